#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "recording/replay_buffer.h"

namespace corvane {
namespace {

constexpr std::int64_t kSecondTicks = 10'000'000;
constexpr std::int64_t kAacStepTicks = 213'333;

// Three encoders (video + two sound tracks) push while a saver snapshots and
// a status thread reads. Each snapshot must be a state between two whole
// pushes: key video first, per-track order kept, and the byte cap that every
// finished push restores (with three keys or more) holds in it.
TEST(TsanReplayBuffer, ThreePushersOneSnapshotter) {
    constexpr std::uint64_t kCap = 200'000;
    auto sink = replay_buffer_sink_make(std::make_shared<ReplayBuffer>(), 2, 0);
    sink->byte_cap = kCap;

    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> video_clock{-1};
    auto video = [&] {
        for (std::int64_t i = 0; !stop.load(); ++i) {
            const bool key = i % 30 == 0;
            const std::int64_t ts = i * kSecondTicks / 30;
            auto p = std::make_shared<const std::vector<std::uint8_t>>(key ? 6000 : 600, 1);
            (*sink)(ReplaySample{ts, kSecondTicks / 30, p, kTrackVideo, key});
            video_clock.store(ts);
        }
    };
    // Sound follows the video clock loosely, as the frame clock paces it.
    auto sound = [&](std::uint8_t track) {
        for (std::int64_t k = 0; !stop.load();) {
            const std::int64_t ts = k * kAacStepTicks;
            if (ts > video_clock.load() + kSecondTicks / 2) {
                std::this_thread::yield();
                continue;
            }
            auto p = std::make_shared<const std::vector<std::uint8_t>>(200, 2);
            (*sink)(ReplaySample{ts, kAacStepTicks, p, track, true});
            ++k;
        }
    };
    std::thread tv(video), ta(sound, kTrackAudio), tm(sound, kTrackVoice);

    int snapshots = 0, full = 0;
    bool ok = true;
    while (ok && full < 300) {
        auto snap = replay_buffer_snapshot(*sink->buffer);
        ++snapshots;
        const auto st = replay_buffer_stats(*sink->buffer);
        if (snap.empty()) continue;
        if (!replay_sample_is_key_video(snap.front()) || st.video_span <= 0) ok = false;
        std::uint64_t keys = 0, bytes = 0;
        std::map<std::uint8_t, std::int64_t> last_ts;
        for (const auto& s : snap) {
            keys += replay_sample_is_key_video(s);
            bytes += replay_sample_bytes(s);
            auto it = last_ts.find(s.track);
            if (it != last_ts.end() && s.timestamp <= it->second) ok = false;
            last_ts[s.track] = s.timestamp;
        }
        // Mid-push states (appended but not yet trimmed) break the cap.
        if (keys >= 3 && bytes > kCap) ok = false;
        if (keys >= 3) ++full;
        // The counters under the lock match the contents they describe.
        {
            std::lock_guard lock(sink->buffer->mutex);
            std::uint64_t k = 0, b = 0;
            for (const auto& s : sink->buffer->samples) {
                k += replay_sample_is_key_video(s);
                b += replay_sample_bytes(s);
            }
            if (k != sink->buffer->keyframe_count || b != sink->buffer->total_bytes) ok = false;
        }
    }
    stop.store(true);
    tv.join();
    ta.join();
    tm.join();
    EXPECT_TRUE(ok) << "after " << snapshots << " snapshots";
    EXPECT_GE(sink->buffer->keyframe_count, 2u);
}

}  // namespace
}  // namespace corvane
