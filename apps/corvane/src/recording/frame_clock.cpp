#include "recording/frame_clock.h"

#include <time.h>

#include <cerrno>

#include <fmt/format.h>

#include "base/log.h"
#include "platform/thread.h"

namespace corvane {

namespace {

class MonotonicTicks final : public TickSource {
public:
    std::int64_t now_ns() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
    void sleep_until_ns(std::int64_t t) override {
        timespec ts{static_cast<time_t>(t / 1'000'000'000), static_cast<long>(t % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
};

}  // namespace

TickSource& tick_source_monotonic() {
    static MonotonicTicks ticks;
    return ticks;
}

std::function<ConvertResult()> clock_convert_with(std::shared_ptr<Nv12Converter> converter,
                                                  std::shared_ptr<DeviceContextLock> device) {
    return [converter, device] { return gpu_convert_frame(*converter, *device); };
}

void clock_thread_main(ClockParams p) {
    TickSource& time = p.time ? *p.time : tick_source_monotonic();
    ClockStats& stats = *p.stats;
    const std::uint32_t fps = p.fps ? p.fps : 1;
    const std::int64_t period = 1'000'000'000 / fps;
    const std::int64_t start = time.now_ns();
    bool encoder_gone = false;

    if (!(p.quit && p.quit->set.load())) {
        bool started = false;
        std::uint64_t base = 0;
        for (std::uint64_t k = 0;; ++k) {
            std::int64_t deadline = start + static_cast<std::int64_t>(static_cast<__int128>(k) * period);
            if (deadline > time.now_ns()) time.sleep_until_ns(deadline);
            std::int64_t now = time.now_ns();
            std::uint64_t now_index =
                now > start ? static_cast<std::uint64_t>(static_cast<__int128>(now - start) / period) : 0;
            // Two or more periods late: skip, never catch up with a burst.
            if (k + 1 < now_index) {
                stats.late.fetch_add(now_index - 1 - k);
                k = now_index - 1;
            }
            stats.ticks.fetch_add(1);

            // A dead encoder is noticed on every tick, also while the backlog
            // holds frames back (else sound would keep filling the buffer with
            // no picture and no keyframes).
            if (p.video.receiver_closed()) {
                encoder_gone = true;
                break;
            }

            if (p.signal->frame_available.load(std::memory_order_acquire)) {
                if (!started) {
                    base = k;
                    if (p.audio) p.audio->start();
                }
                std::uint64_t i = k - base;
                if (p.backlog->count() >= kEncoderBacklogLimit) {
                    stats.late.fetch_add(1);
                } else {
                    ConvertResult c = p.convert();
                    if (!c.frame) {
                        log_line(fmt::format("\n[ERROR] Conversión de color en la GPU: {}",
                                             platform_error_text(c.error)));
                        stats.late.fetch_add(1);
                    } else {
                        std::int64_t stamp = video_frame_stamp(static_cast<std::int64_t>(i), fps);
                        p.backlog->sent(stamp);
                        if (!p.video.send(VideoFrameMsg{std::move(c.frame), stamp})) {
                            encoder_gone = true;
                            break;
                        }
                    }
                }
                started = true;
                if (p.audio) p.audio->step(i);
            }
            if (p.quit && p.quit->set.load()) break;
        }
    }

    if (encoder_gone && !(p.quit && p.quit->set.load())) {
        stats.recording_stopped.store(true);
        log_line("\n[ERROR] La grabación se detuvo: el codificador de video terminó.");
    }
    p.video.send(VideoFrameMsg{});  // end of stream; refused when the encoder is gone
    p.audio.reset();
    p.video.close();
}

bool clock_spawn(ClockParams params, std::string* error) {
    auto holder = std::make_shared<ClockParams>(std::move(params));
    std::string failure =
        thread_start_detached("crvn-reloj", [holder] { clock_thread_main(std::move(*holder)); });
    if (error) *error = failure;
    return failure.empty();
}

}  // namespace corvane
