// The game watcher ("crvn-juego") keeps `GameStatus` current from the process
// list; the status thread ("crvn-estado") writes the tray's status line every
// second and an "[ESTADO]" line to the log every minute.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/flags.h"
#include "base/status.h"
#include "platform/processes.h"
#include "recording/capture.h"
#include "recording/frame_clock.h"
#include "recording/replay_buffer.h"

namespace corvane {

struct GameMatch {
    std::string title;
    bool warzone = false;
};
// The game title of an executable's name; none when it is not the game.
using GameTitleFn = std::function<std::optional<GameMatch>(std::string_view name)>;

// The game among `processes` (in list order): each is judged by its program's
// file name, else by the first word of its command line. Warzone wins over
// other titles; among equals the first in the list. None without a candidate.
std::optional<GameStatus> game_choose(const std::vector<ProcessNames>& processes,
                                      const GameTitleFn& title_for);

// One scan: `processes` is none when the list could not be read (no game
// then). Stores the choice and logs the change, if any.
void game_watch_pass(const std::optional<std::vector<ProcessNames>>& processes,
                     const GameTitleFn& title_for);

struct GameWatchContext {
    std::shared_ptr<QuitFlag> quit;
    GameTitleFn title_for;
};

// Body of "crvn-juego": a scan every 3 s until the quit flag is set.
void game_watch_thread_main(GameWatchContext ctx);

// What the status thread reads each second.
struct StatusReadings {
    std::int64_t video_span = 0;  // 100-ns units of buffered video
    std::uint64_t total_bytes = 0;
    std::uint64_t frames_arrived = 0;  // the capture's running count
    std::uint64_t late = 0;            // the frame clock's running count
    bool game_in_front = false;
    bool recording_stopped = false;  // the video encoder has gone
};

// The tray's status line.
std::string status_line_text(bool game_in_front, bool recording_stopped, double seconds,
                             double megabytes);

// The per-minute accumulators of the status thread.
class StatusMeter {
  public:
    // `first` gives the counters' readings when the thread starts.
    StatusMeter(const StatusReadings& first, std::uint32_t video_fps);

    struct Second {
        std::string status_line;
        std::string log_line;  // "" except on every 60th second
    };
    // One cycle with this second's readings.
    Second tick(const StatusReadings& now);

  private:
    std::uint32_t fps_;
    std::uint64_t cycles_ = 0;
    std::uint64_t capture_sum_ = 0;
    std::uint64_t capture_min_;
    std::uint64_t late_sum_ = 0;
    std::uint64_t prev_frames_;
    std::uint64_t prev_late_;
};

struct StatusContext {
    std::shared_ptr<QuitFlag> quit;
    std::shared_ptr<FrameSignal> frames;
    std::shared_ptr<ClockStats> clock;
    std::shared_ptr<ReplayBuffer> buffer;
    std::uint32_t video_fps = 0;
};

// Reads the counters, the buffer and the flags once.
StatusReadings status_read(const StatusContext& ctx);

// Body of "crvn-estado": a cycle every second until the quit flag is set.
void status_thread_main(StatusContext ctx);

}  // namespace corvane
