#include "shell/watcher.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include <fmt/format.h>

#include "base/log.h"

namespace corvane {

using namespace std::chrono_literals;

std::optional<GameStatus> game_choose(const std::vector<ProcessNames>& processes,
                                      const GameTitleFn& title_for) {
    std::vector<GameStatus> candidates;
    for (const auto& p : processes) {
        for (const std::string* name : {&p.exe, &p.command}) {
            if (name->empty()) continue;
            if (auto m = title_for(*name)) {
                candidates.push_back(GameStatus{std::move(m->title), *name, m->warzone});
                break;
            }
        }
    }
    if (candidates.empty()) return std::nullopt;
    std::stable_sort(
        candidates.begin(), candidates.end(),
        [](const GameStatus& a, const GameStatus& b) { return a.warzone > b.warzone; });
    return candidates.front();
}

void game_watch_pass(const std::optional<std::vector<ProcessNames>>& processes,
                     const GameTitleFn& title_for) {
    std::optional<GameStatus> choice;
    if (processes) choice = game_choose(*processes, title_for);
    if (!game_status_store(choice)) return;
    if (choice) {
        log_line(fmt::format("[JUEGO] Abierto: {} ({})", choice->title, choice->exe));
    } else {
        log_line("[JUEGO] Ningún Call of Duty abierto.");
    }
}

void game_watch_thread_main(GameWatchContext ctx) {
    while (!ctx.quit->set.load()) {
        auto processes = process_list();
        // Nothing is logged after the quit has begun: "Cerrado." stays last.
        if (ctx.quit->set.load()) break;
        game_watch_pass(processes, ctx.title_for);
        std::this_thread::sleep_for(3s);
    }
}

std::string status_line_text(bool game_in_front, bool recording_stopped, double seconds,
                             double megabytes) {
    // A gone encoder freezes the buffer: saying "Grabando" then would be a lie.
    return fmt::format("{}{} · búfer {:.0f} s · {:.0f} MB",
                       game_in_front ? "Juego al frente · " : "",
                       recording_stopped ? "Grabación detenida" : "Grabando", seconds, megabytes);
}

StatusMeter::StatusMeter(const StatusReadings& first, std::uint32_t video_fps)
    : fps_(video_fps),
      capture_min_(std::numeric_limits<std::uint64_t>::max()),
      prev_frames_(first.frames_arrived),
      prev_late_(first.late) {}

StatusMeter::Second StatusMeter::tick(const StatusReadings& now) {
    const double seconds = static_cast<double>(now.video_span) / 10'000'000.0;
    const double megabytes = static_cast<double>(now.total_bytes) / 1'048'576.0;
    const std::uint64_t captured = now.frames_arrived - prev_frames_;
    prev_frames_ = now.frames_arrived;
    capture_min_ = std::min(capture_min_, captured);
    late_sum_ += now.late - prev_late_;
    prev_late_ = now.late;

    Second out;
    out.status_line =
        status_line_text(now.game_in_front, now.recording_stopped, seconds, megabytes);
    capture_sum_ += captured;
    if (cycles_ >= 59) {
        const double average = static_cast<double>(capture_sum_) / 60.0;
        std::string tail;
        if (now.recording_stopped) tail += " | grabación detenida";
        if (now.game_in_front) tail += " | juego al frente";
        out.log_line = fmt::format(
            "[ESTADO] Búfer {:.1f} s, RAM {:.0f} MB | pantalla {:.0f} fps prom. (mín. {}) | "
            "video {} fps | retrasados en el minuto: {}{}",
            seconds, megabytes, average, capture_min_, fps_, late_sum_, tail);
        capture_min_ = std::numeric_limits<std::uint64_t>::max();
        late_sum_ = 0;
        cycles_ = 0;
        capture_sum_ = 0;
    } else {
        ++cycles_;
    }
    return out;
}

StatusReadings status_read(const StatusContext& ctx) {
    StatusReadings r;
    if (ctx.buffer) {
        const ReplayBufferStats st = replay_buffer_stats(*ctx.buffer);
        r.video_span = st.video_span;
        r.total_bytes = st.total_bytes;
    }
    if (ctx.frames) r.frames_arrived = ctx.frames->frames_arrived.load();
    if (ctx.clock) {
        r.late = ctx.clock->late.load();
        r.recording_stopped = ctx.clock->recording_stopped.load();
    }
    r.game_in_front = GameInFrontFlag.load();
    return r;
}

void status_thread_main(StatusContext ctx) {
    StatusMeter meter(status_read(ctx), ctx.video_fps);
    for (;;) {
        std::this_thread::sleep_for(1s);
        StatusMeter::Second s = meter.tick(status_read(ctx));
        status_text_set(std::move(s.status_line));
        if (!s.log_line.empty()) log_line(s.log_line);
        if (ctx.quit->set.load()) return;
    }
}

}  // namespace corvane
