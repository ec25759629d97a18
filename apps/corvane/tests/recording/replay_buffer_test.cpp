#include "recording/replay_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/log.h"
#include "../support/temp_dir.h"
#include "base/paths.h"

namespace corvane {
namespace {

constexpr std::int64_t kSecond = 10'000'000;
constexpr std::int64_t kAacStep = 213'333;

SamplePayload bytes(std::size_t n) { return std::make_shared<const std::vector<std::uint8_t>>(n, 0xAB); }

ReplaySample video(std::int64_t ts, bool key, std::size_t n = 100, std::int64_t dur = 0) {
    return ReplaySample{ts, dur, bytes(n), kTrackVideo, key};
}
ReplaySample audio(std::int64_t ts, std::size_t n = 10, std::uint8_t track = kTrackAudio) {
    return ReplaySample{ts, kAacStep, bytes(n), track, true};
}

SampleSink make_sink(std::int64_t window, std::uint64_t cap) {
    return SampleSink{std::make_shared<ReplayBuffer>(), window, cap};
}

// ---------------------------------------------------------------------------
// Scenario table: synthetic encoder output pushed in arrival order, with the
// buffer's invariants checked after every single push.

struct Scenario {
    const char* name;
    int fps;
    int gop;               // frames per GOP
    int audio_tracks;      // 0, 1 or 2
    std::int64_t audio_lag;  // audio arrives this late (so behind newer video)
    std::size_t key_bytes, frame_bytes, audio_bytes;
    int window_s;
    std::uint64_t cap;
    int run_s;
    int video_stops_s;     // -1: video runs to the end
};

struct Event {
    std::int64_t arrival;
    ReplaySample sample;
};

std::vector<Event> build_events(const Scenario& sc) {
    std::vector<Event> ev;
    const std::int64_t end = sc.run_s * kSecond;
    const std::int64_t video_end = sc.video_stops_s < 0 ? end : sc.video_stops_s * kSecond;
    for (std::int64_t i = 0;; ++i) {
        std::int64_t ts = i * kSecond / sc.fps;
        if (ts >= video_end) break;
        std::int64_t next = (i + 1) * kSecond / sc.fps;
        bool key = i % sc.gop == 0;
        ev.push_back({ts, video(ts, key, key ? sc.key_bytes : sc.frame_bytes, next - ts)});
    }
    for (int t = 0; t < sc.audio_tracks; ++t) {
        for (std::int64_t k = 0; k * kAacStep < end; ++k) {
            ev.push_back({k * kAacStep + sc.audio_lag,
                          audio(k * kAacStep, sc.audio_bytes, static_cast<std::uint8_t>(kTrackAudio + t))});
        }
    }
    std::stable_sort(ev.begin(), ev.end(), [](const Event& a, const Event& b) { return a.arrival < b.arrival; });
    return ev;
}

void check_invariants(const ReplayBuffer& b, const SampleSink& sink, std::int64_t max_ts) {
    if (b.samples.empty()) {
        ASSERT_EQ(b.keyframe_count, 0u);
        ASSERT_EQ(b.total_bytes, 0u);
        return;
    }
    ASSERT_TRUE(replay_sample_is_key_video(b.samples.front())) << "front is not a key video sample";
    std::uint64_t keys = 0, total = 0;
    const ReplaySample* second_key = nullptr;
    for (const auto& s : b.samples) {
        if (replay_sample_is_key_video(s)) {
            ++keys;
            if (keys == 2) second_key = &s;
        }
        total += replay_sample_bytes(s);
    }
    ASSERT_EQ(b.keyframe_count, keys);
    ASSERT_EQ(b.total_bytes, total);
    if (keys >= 3) {
        ASSERT_LE(b.total_bytes, sink.byte_cap) << "byte cap broken with 3+ keyframes";
        ASSERT_LT(max_ts - second_key->timestamp, sink.window) << "window would allow another eviction";
    }
}

void PrintTo(const Scenario& sc, std::ostream* os) { *os << sc.name; }

constexpr std::uint64_t kBig = 1ull << 40;

class ReplayBufferScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ReplayBufferScenario, InvariantsHoldAfterEveryPush) {
    const Scenario sc = GetParam();
    SampleSink sink = make_sink(sc.window_s * kSecond, sc.cap);
    const ReplayBuffer& b = *sink.buffer;
    const std::int64_t gop_dur = sc.gop * kSecond / sc.fps;

    // The limit is soft: the cap may be passed by two GOPs and their sound.
    const double gop_audio = static_cast<double>(gop_dur) / kAacStep * sc.audio_tracks * sc.audio_bytes;
    const double gop_bytes = sc.key_bytes + (sc.gop - 1) * double(sc.frame_bytes) + gop_audio;
    const double soft_cap = double(sc.cap) + 3 * gop_bytes;

    std::int64_t max_ts = INT64_MIN, max_stored_ts = INT64_MIN;
    std::uint64_t peak_bytes = 0;
    std::int64_t peak_span = 0;
    bool evicted_by_window = false;  // meaningful only where the cap never binds
    const bool cap_free = sc.cap >= kBig;
    std::size_t pushes = 0;
    for (auto& e : build_events(sc)) {
        const std::int64_t ts = e.sample.timestamp;
        const std::size_t before = b.samples.size();
        ReplayPushOutcome out = replay_buffer_push(sink, std::move(e.sample));
        ++pushes;
        if (out == ReplayPushOutcome::stored) {
            max_ts = std::max(max_ts, ts);
            max_stored_ts = std::max(max_stored_ts, ts);
            if (b.samples.size() <= before) evicted_by_window = true;
        }
        ASSERT_NO_FATAL_FAILURE(check_invariants(b, sink, max_ts)) << sc.name << " after push " << pushes;
        if (b.samples.empty()) continue;
        peak_bytes = std::max(peak_bytes, b.total_bytes);
        peak_span = std::max(peak_span, max_stored_ts - b.samples.front().timestamp);
        // Trimmed by the window only: the front keyframe is still at least a
        // window back, so no more than needed was dropped.
        if (cap_free && evicted_by_window && sc.video_stops_s < 0) {
            ASSERT_GE(max_ts - b.samples.front().timestamp, sink.window) << sc.name << " over-evicted at push " << pushes;
            ASSERT_LT(max_ts - b.samples.front().timestamp, sink.window + gop_dur) << sc.name;
        }
    }
    // Memory and span stay bounded, also while video stalls and sound flows.
    EXPECT_LE(double(peak_bytes), soft_cap) << sc.name;
    EXPECT_LE(peak_span, 2 * sink.window + 2 * gop_dur) << sc.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplayBufferScenario,
    ::testing::Values(
        // name, fps, gop, tracks, lag, key, frame, audio, window, cap, run, stop
        Scenario{"steady_60fps_1s_gop_60s", 60, 60, 1, 0, 20000, 2000, 400, 60, kBig, 75, -1},
        Scenario{"30fps_two_tracks_late_audio", 30, 30, 2, 3 * kAacStep, 9000, 900, 300, 10, kBig, 30, -1},
        Scenario{"24fps_2s_gop", 24, 48, 1, 0, 30000, 3000, 350, 10, kBig, 35, -1},
        Scenario{"cap_binds_on_video", 60, 60, 1, 0, 50000, 5000, 400, 60, 3 * 400'000, 20, -1},
        Scenario{"cap_binds_on_audio_alone", 30, 30, 2, kAacStep, 200, 20, 20000, 60, 4'000'000, 20, -1},
        Scenario{"video_only_144fps", 144, 144, 0, 0, 8000, 800, 0, 10, kBig, 25, -1},
        Scenario{"stall_window_bound", 30, 30, 2, 0, 9000, 900, 300, 10, kBig, 200, 15},
        Scenario{"stall_cap_bound", 30, 30, 1, 0, 9000, 900, 5000, 60, 2'000'000, 200, 12},
        Scenario{"stall_before_third_key", 30, 30, 1, 0, 9000, 900, 300, 10, kBig, 100, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

TEST(ReplayBuffer, OnlyAKeyVideoSampleStartsTheBuffer) {
    SampleSink sink = make_sink(60 * kSecond, kBig);
    EXPECT_EQ(replay_buffer_push(sink, audio(0)), ReplayPushOutcome::dropped_no_keyframe);
    EXPECT_EQ(replay_buffer_push(sink, video(0, false)), ReplayPushOutcome::dropped_no_keyframe);
    // Audio with the key flag is still not a keyframe.
    EXPECT_EQ(replay_buffer_push(sink, ReplaySample{0, 1, bytes(5), kTrackVoice, true}),
              ReplayPushOutcome::dropped_no_keyframe);
    EXPECT_TRUE(sink.buffer->samples.empty());
    EXPECT_EQ(sink.buffer->total_bytes, 0u);

    EXPECT_EQ(replay_buffer_push(sink, video(100, true, 50)), ReplayPushOutcome::stored);
    EXPECT_EQ(replay_buffer_push(sink, audio(90, 7)), ReplayPushOutcome::stored);
    EXPECT_EQ(sink.buffer->samples.size(), 2u);
    EXPECT_EQ(sink.buffer->keyframe_count, 1u);
    EXPECT_EQ(sink.buffer->total_bytes, 57u);
}

TEST(ReplayBuffer, TwoKeyframesAreNeverEvicted) {
    // Tiny window and cap: with two keyframes nothing may go.
    SampleSink sink = make_sink(10, 1);
    replay_buffer_push(sink, video(0, true, 1000));
    for (int i = 1; i < 50; ++i) replay_buffer_push(sink, video(i * 1000, false, 1000));
    replay_buffer_push(sink, video(50'000, true, 1000));
    for (int i = 51; i < 100; ++i) replay_buffer_push(sink, video(i * 1000, false, 1000));
    EXPECT_EQ(sink.buffer->samples.size(), 100u);
    EXPECT_EQ(sink.buffer->keyframe_count, 2u);
    EXPECT_EQ(sink.buffer->samples.front().timestamp, 0);

    // The third keyframe lets the limits act: back to two GOPs.
    replay_buffer_push(sink, video(100'000, true, 1000));
    EXPECT_EQ(sink.buffer->keyframe_count, 2u);
    EXPECT_EQ(sink.buffer->samples.front().timestamp, 50'000);
    EXPECT_EQ(sink.buffer->samples.size(), 51u);
}

TEST(ReplayBuffer, WindowBoundaryIsInclusive) {
    const std::int64_t W = 60 * kSecond;
    struct Case {
        std::int64_t newest;
        bool evicts;
    } cases[] = {{kSecond + W - 1, false}, {kSecond + W, true}};
    for (const auto& c : cases) {
        SampleSink sink = make_sink(W, kBig);
        replay_buffer_push(sink, video(0, true));
        replay_buffer_push(sink, audio(100));
        replay_buffer_push(sink, video(kSecond, true));  // K: the keyframe after the front
        replay_buffer_push(sink, video(2 * kSecond, true));
        replay_buffer_push(sink, video(c.newest, false));
        EXPECT_EQ(sink.buffer->samples.front().timestamp, c.evicts ? kSecond : 0) << c.newest;
        EXPECT_EQ(sink.buffer->samples.size(), c.evicts ? 3u : 5u) << c.newest;
    }
}

TEST(ReplayBuffer, LateAudioIsAppendedAndItsOwnTimestampDrivesTheWindow) {
    const std::int64_t W = 10 * kSecond;
    SampleSink sink = make_sink(W, kBig);
    replay_buffer_push(sink, video(0, true));
    replay_buffer_push(sink, video(kSecond, true));
    replay_buffer_push(sink, video(kSecond + W - 5, true));  // three keys, no eviction yet
    // Older than the newest video: goes behind it, and its own (earlier)
    // timestamp is what the window sees, so nothing is evicted.
    replay_buffer_push(sink, audio(kSecond + W - 100, 33));
    ASSERT_EQ(sink.buffer->samples.size(), 4u);
    EXPECT_EQ(sink.buffer->samples.back().timestamp, kSecond + W - 100);
    EXPECT_EQ(sink.buffer->samples.front().timestamp, 0);
    // A later audio sample crosses the window: the front GOP goes.
    replay_buffer_push(sink, audio(kSecond + W, 33));
    EXPECT_EQ(sink.buffer->samples.front().timestamp, kSecond);
    EXPECT_EQ(sink.buffer->keyframe_count, 2u);
    EXPECT_EQ(sink.buffer->total_bytes, 200u + 66u);
}

TEST(ReplayBuffer, EvictionTakesTheWholeGopOfEveryTrack) {
    SampleSink sink = make_sink(kBig, 1000);
    replay_buffer_push(sink, video(0, true, 100));
    replay_buffer_push(sink, audio(1, 100, kTrackVoice));
    replay_buffer_push(sink, video(2, false, 100));
    replay_buffer_push(sink, audio(3, 100));
    replay_buffer_push(sink, video(10, true, 100));
    replay_buffer_push(sink, audio(11, 100));
    replay_buffer_push(sink, video(20, true, 100));
    replay_buffer_push(sink, audio(21, 100));
    EXPECT_EQ(sink.buffer->total_bytes, 800u);
    // Large sound alone passes the cap: the oldest GOP goes with its sound.
    replay_buffer_push(sink, audio(22, 500));
    ASSERT_EQ(sink.buffer->samples.size(), 5u);
    EXPECT_EQ(sink.buffer->samples.front().timestamp, 10);
    EXPECT_EQ(sink.buffer->total_bytes, 900u);
    EXPECT_EQ(sink.buffer->keyframe_count, 2u);
}

TEST(ReplayBuffer, StalledVideoRefusesSoundAndLogsOncePerStall) {
    test::TempDir scratch;
    const auto& dir = scratch.path();
    paths_set_app_dir_for_tests(dir);
    log_open();

    SampleSink sink = make_sink(10 * kSecond, kBig);
    replay_buffer_push(sink, video(0, true));
    replay_buffer_push(sink, video(kSecond, true));
    // Video stops. Sound within twice the window is kept...
    std::int64_t t = kSecond;
    for (; t <= 20 * kSecond; t += kAacStep) EXPECT_EQ(replay_buffer_push(sink, audio(t)), ReplayPushOutcome::stored);
    // ...beyond it, refused: the buffer stops growing.
    const std::size_t held = sink.buffer->samples.size();
    for (int i = 0; i < 500; ++i, t += kAacStep) {
        EXPECT_EQ(replay_buffer_push(sink, audio(t)), ReplayPushOutcome::dropped_stall);
    }
    EXPECT_EQ(sink.buffer->samples.size(), held);
    // Video is never refused. Its first keyframe evicts the oldest GOP; the
    // one holding the stalled sound goes with the next keyframe, and sound
    // is taken again from then on.
    EXPECT_EQ(replay_buffer_push(sink, video(t, false)), ReplayPushOutcome::stored);
    EXPECT_EQ(replay_buffer_push(sink, video(t, true)), ReplayPushOutcome::stored);
    EXPECT_EQ(sink.buffer->samples.front().timestamp, kSecond);
    EXPECT_EQ(replay_buffer_push(sink, audio(t + 1)), ReplayPushOutcome::dropped_stall);
    EXPECT_EQ(replay_buffer_push(sink, video(t + kSecond, true)), ReplayPushOutcome::stored);
    EXPECT_EQ(replay_buffer_push(sink, audio(t + kSecond + 1)), ReplayPushOutcome::stored);
    // A second stall logs again.
    const std::int64_t restart = t + kSecond;
    for (t = restart + kAacStep; t <= restart + 25 * kSecond; t += kAacStep) replay_buffer_push(sink, audio(t));

    log_reset_for_tests();
    const std::string text = test::read_file(dir / "data" / "corvane.log");
    std::size_t n = 0;
    for (std::size_t p = 0; (p = text.find("[AVISO] El video no avanza", p)) != std::string::npos; ++p) ++n;
    EXPECT_EQ(n, 2u) << text;
    paths_set_app_dir_for_tests({});
}

TEST(ReplayBuffer, SnapshotSharesPayloadsAndStatsMeasureVideo) {
    SampleSink sink = make_sink(kBig, kBig);
    EXPECT_EQ(replay_buffer_stats(*sink.buffer).video_span, 0);
    replay_buffer_push(sink, video(1000, true, 10, 500));
    replay_buffer_push(sink, audio(900, 4));
    replay_buffer_push(sink, video(1500, false, 10, 500));
    replay_buffer_push(sink, audio(1200, 4, kTrackVoice));

    auto snap = replay_buffer_snapshot(*sink.buffer);
    ASSERT_EQ(snap.size(), 4u);
    for (std::size_t i = 0; i < snap.size(); ++i) {
        const auto& s = sink.buffer->samples[i];
        EXPECT_EQ(snap[i].payload.get(), s.payload.get());  // shared, not copied
        EXPECT_EQ(snap[i].timestamp, s.timestamp);
        EXPECT_EQ(snap[i].track, s.track);
        EXPECT_EQ(snap[i].keyframe, s.keyframe);
    }
    auto st = replay_buffer_stats(*sink.buffer);
    EXPECT_EQ(st.video_span, 1500 + 500 - 1000);
    EXPECT_EQ(st.total_bytes, 28u);
}

TEST(ReplayBuffer, SinkFromSettingsAndCallOperator) {
    auto sink = replay_buffer_sink_make(std::make_shared<ReplayBuffer>(), 60, 1024);
    EXPECT_EQ(sink->window, 600'000'000);
    EXPECT_EQ(sink->byte_cap, 1'073'741'824u);
    auto top = replay_buffer_sink_make(std::make_shared<ReplayBuffer>(), 300, 8192);
    EXPECT_EQ(top->window, 3'000'000'000);
    EXPECT_EQ(top->byte_cap, 8'589'934'592u);

    (*sink)(video(0, true, 3));
    replay_buffer_sink_call(*sink, audio(1, 4));
    EXPECT_EQ(sink->buffer->total_bytes, 7u);
}

}  // namespace
}  // namespace corvane
