#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "recording/replay_buffer.h"

namespace corvane {
namespace {

constexpr std::int64_t kSecond = 10'000'000;

// Three encoders (video + two sound tracks) push while a saver snapshots and
// a status thread reads. Each snapshot must be a state between two whole
// pushes: key video first, per-track order kept, and the limits that every
// finished push restores (cap with three keys, window) hold in it.
TEST(TsanReplayBuffer, ThreePushersOneSnapshotter) {
    constexpr std::int64_t kWindow = 2 * kSecond;
    constexpr std::uint64_t kCap = 400'000;
    auto sink = replay_buffer_sink_make(std::make_shared<ReplayBuffer>(), 0, 0);
    sink->window = kWindow;
    sink->byte_cap = kCap;

    constexpr int kFrames = 3000;  // 100 s at 30 fps
    std::atomic<int> running{3};
    auto video = [&] {
        for (int i = 0; i < kFrames; ++i) {
            const bool key = i % 30 == 0;
            auto p = std::make_shared<const std::vector<std::uint8_t>>(key ? 6000 : 600, 1);
            (*sink)(ReplaySample{i * kSecond / 30, kSecond / 30, p, kTrackVideo, key});
        }
        running.fetch_sub(1);
    };
    auto sound = [&](std::uint8_t track) {
        for (int k = 0; k * 213'333LL < kFrames * kSecond / 30; ++k) {
            auto p = std::make_shared<const std::vector<std::uint8_t>>(200, 2);
            (*sink)(ReplaySample{k * 213'333LL, 213'333, p, track, true});
        }
        running.fetch_sub(1);
    };
    std::thread tv(video), ta(sound, kTrackAudio), tm(sound, kTrackVoice);

    int snapshots = 0, non_empty = 0;
    bool ok = true;
    std::int64_t last_span = 0;
    while (running.load() > 0 || snapshots < 10) {
        auto snap = replay_buffer_snapshot(*sink->buffer);
        ++snapshots;
        auto st = replay_buffer_stats(*sink->buffer);
        last_span = st.video_span;
        if (snap.empty()) continue;
        ++non_empty;
        if (!replay_sample_is_key_video(snap.front())) ok = false;
        std::uint64_t keys = 0, bytes = 0;
        std::map<std::uint8_t, std::int64_t> last_ts;
        std::int64_t newest = INT64_MIN;
        std::vector<std::int64_t> key_ts;
        for (const auto& s : snap) {
            if (replay_sample_is_key_video(s)) {
                ++keys;
                key_ts.push_back(s.timestamp);
            }
            bytes += replay_sample_bytes(s);
            auto it = last_ts.find(s.track);
            if (it != last_ts.end() && s.timestamp <= it->second) ok = false;
            last_ts[s.track] = s.timestamp;
            newest = std::max(newest, s.timestamp);
        }
        if (keys >= 3 && bytes > kCap) ok = false;
        if (keys >= 3 && newest - key_ts[1] >= kWindow) ok = false;
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
        if (!ok) break;
    }
    tv.join();
    ta.join();
    tm.join();
    EXPECT_TRUE(ok) << "after " << snapshots << " snapshots";
    EXPECT_GT(non_empty, 0);
    EXPECT_GT(last_span, 0);
    EXPECT_GE(sink->buffer->keyframe_count, 2u);
}

}  // namespace
}  // namespace corvane
