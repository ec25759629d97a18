// What the tray, the web interface and the statistics read about the moment:
// which game runs (kept by the game watcher) and the one-line recording status
// (kept by the status thread).
#pragma once

#include <optional>
#include <string>

namespace corvane {

// `GameStatus`: the game that runs, if any.
struct GameStatus {
    std::string title;  // e.g. "Warzone · Black Ops 7"
    std::string exe;    // the executable's file name as the process list gives it
    bool warzone = false;
    bool operator==(const GameStatus&) const = default;
};

// A copy of `GameStatus`; none while no game runs.
std::optional<GameStatus> game_status_snapshot();

// Replaces `GameStatus`; true when the value changed.
bool game_status_store(const std::optional<GameStatus>& status);

// `StatusText`: empty until the status thread has written it.
std::string status_text();
void status_text_set(std::string text);

}  // namespace corvane
