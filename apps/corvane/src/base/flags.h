// Process-wide flags. Read and written without a lock by many threads.
#pragma once

#include <atomic>
#include <memory>

namespace corvane {

// The shared stop flag: created once during start-up and published; it only
// ever goes from false to true. Before it is published a quit has no effect.
struct QuitFlag {
    std::atomic<bool> set{false};
};

// Publishes the flag (once; later calls return the published one).
std::shared_ptr<QuitFlag> quit_flag_publish();
// The published flag, or null before start-up has made it.
std::shared_ptr<QuitFlag> quit_flag();
// True once the published flag is set.
bool quit_requested();

inline std::atomic<bool> DetectorEnabledFlag{true};
inline std::atomic<bool> GameInFrontFlag{false};
inline std::atomic<bool> FirstRunFlag{false};
inline std::atomic<bool> ConsoleFlag{false};
// The game's warm-up lobby is showing: no clips are saved and no kills
// counted. Written by the detector thread, read by the web status.
inline std::atomic<bool> LobbyFlag{false};

}  // namespace corvane
