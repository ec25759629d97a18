// Replay buffer: the cost of one push in steady recording (60 fps video with
// 1 s GOPs and two sound tracks, 60 s window, evicting as it goes) against a
// plain locked deque push/pop, and the lock hold of a 20,000-sample snapshot
// against the same copy made without the buffer.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "recording/replay_buffer.h"

namespace {

using namespace corvane;

constexpr std::int64_t kSecond = 10'000'000;
constexpr std::int64_t kAacStep = 213'333;

// Endless steady encoder output in arrival order. Payloads are made once and
// shared, so the loop measures the buffer, not the allocator.
class Feed {
public:
    Feed()
        : key_(std::make_shared<const std::vector<std::uint8_t>>(60'000, 1)),
          frame_(std::make_shared<const std::vector<std::uint8_t>>(6'000, 2)),
          aac_(std::make_shared<const std::vector<std::uint8_t>>(400, 3)) {}

    ReplaySample next() {
        const std::int64_t vts = frame_i_ * kSecond / 60;
        const std::int64_t ats = aac_k_ * kAacStep;
        if (ats < vts) {
            const std::uint8_t track = aac_track_ == 0 ? kTrackAudio : kTrackVoice;
            ReplaySample s{ats, kAacStep, aac_, track, true};
            if (++aac_track_ == 2) {
                aac_track_ = 0;
                ++aac_k_;
            }
            return s;
        }
        const bool key = frame_i_ % 60 == 0;
        ReplaySample s{vts, (frame_i_ + 1) * kSecond / 60 - vts, key ? key_ : frame_, kTrackVideo, key};
        ++frame_i_;
        return s;
    }

private:
    SamplePayload key_, frame_, aac_;
    std::int64_t frame_i_ = 0, aac_k_ = 0;
    int aac_track_ = 0;
};

void BM_PushOurs(benchmark::State& state) {
    auto sink = replay_buffer_sink_make(std::make_shared<ReplayBuffer>(), 60, 8192);
    Feed feed;
    for (int i = 0; i < 70 * 154; ++i) replay_buffer_push(*sink, feed.next());  // past the window
    for (auto _ : state) replay_buffer_push(*sink, feed.next());
    state.counters["held"] = static_cast<double>(sink->buffer->samples.size());
}
BENCHMARK(BM_PushOurs);

void BM_PushPlainDeque(benchmark::State& state) {
    std::mutex mutex;
    std::deque<ReplaySample> q;
    Feed feed;
    const std::size_t held = 60 * 154;
    for (std::size_t i = 0; i < held; ++i) q.push_back(feed.next());
    for (auto _ : state) {
        std::lock_guard lock(mutex);
        q.push_back(feed.next());
        q.pop_front();
    }
}
BENCHMARK(BM_PushPlainDeque);

std::shared_ptr<ReplayBuffer> filled(std::size_t n) {
    // Window and cap out of reach: exactly n samples stay.
    auto sink = replay_buffer_sink_make(std::make_shared<ReplayBuffer>(), 0, 0);
    sink->window = INT64_MAX;
    sink->byte_cap = UINT64_MAX;
    Feed feed;
    while (sink->buffer->samples.size() < n) replay_buffer_push(*sink, feed.next());
    return sink->buffer;
}

void BM_Snapshot20kOurs(benchmark::State& state) {
    auto buffer = filled(20'000);
    for (auto _ : state) {
        auto snap = replay_buffer_snapshot(*buffer);
        benchmark::DoNotOptimize(snap.data());
        state.PauseTiming();  // releasing the copy happens after the lock
        snap = {};
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Snapshot20kOurs)->Unit(benchmark::kMicrosecond);

void BM_Snapshot20kPlainCopy(benchmark::State& state) {
    auto buffer = filled(20'000);
    const std::deque<ReplaySample>& q = buffer->samples;
    for (auto _ : state) {
        std::vector<ReplaySample> snap(q.begin(), q.end());
        benchmark::DoNotOptimize(snap.data());
        state.PauseTiming();
        snap = {};
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Snapshot20kPlainCopy)->Unit(benchmark::kMicrosecond);

// Keeps each benchmark's real time per iteration, in seconds.
class Collector : public benchmark::ConsoleReporter {
public:
    // No colours: their escape codes would stand before the result lines.
    Collector() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            if (r.error_occurred || r.iterations == 0) continue;
            seconds[r.run_name.function_name] = r.real_accumulated_time / static_cast<double>(r.iterations);
        }
    }
    std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    auto line = [&](const char* name, const char* ours, const char* ref, double scale) {
        auto o = collector.seconds.find(ours), r = collector.seconds.find(ref);
        if (o == collector.seconds.end() || r == collector.seconds.end() || r->second <= 0) return;
        std::printf("%s ours=%.3f reference=%.3f ratio=%.3f\n", name, o->second * scale, r->second * scale,
                    o->second / r->second);
    };
    line("buffer_push_ns_per_sample", "BM_PushOurs", "BM_PushPlainDeque", 1e9);
    line("buffer_snapshot_20k_lock_hold_us", "BM_Snapshot20kOurs", "BM_Snapshot20kPlainCopy", 1e6);
    return 0;
}
