#include "recording/replay_buffer.h"

#include <utility>

#include "base/log.h"

namespace corvane {

namespace {

// Timestamps come from encoders; a wild one must not overflow the window test.
__int128 time_diff(std::int64_t later, std::int64_t earlier) {
    return static_cast<__int128>(later) - static_cast<__int128>(earlier);
}

// Pops the front sample with its accounting. The sample goes out of the
// deque before the counters move, so they never describe a sample that is
// not there.
void pop_front_counted(ReplayBuffer& b) {
    const bool key = replay_sample_is_key_video(b.samples.front());
    const std::uint64_t bytes = replay_sample_bytes(b.samples.front());
    b.samples.pop_front();
    b.total_bytes -= bytes;
    if (key) --b.keyframe_count;
}

// The first key video sample after the front, or null.
const ReplaySample* second_keyframe(const ReplayBuffer& b) {
    for (auto it = b.samples.begin() + 1; it != b.samples.end(); ++it) {
        if (replay_sample_is_key_video(*it)) return &*it;
    }
    return nullptr;
}

}  // namespace

void replay_buffer_evict_front(ReplayBuffer& b) {
    if (b.samples.empty()) return;
    const bool was_key = replay_sample_is_key_video(b.samples.front());
    pop_front_counted(b);
    if (!was_key) return;
    while (!b.samples.empty() && !replay_sample_is_key_video(b.samples.front())) {
        pop_front_counted(b);
    }
}

ReplayPushOutcome replay_buffer_push(const SampleSink& sink, ReplaySample sample) {
    if (!sink.buffer) return ReplayPushOutcome::dropped_no_keyframe;
    ReplayBuffer& b = *sink.buffer;
    bool log_stall = false;
    ReplayPushOutcome outcome = ReplayPushOutcome::stored;
    {
        std::lock_guard lock(b.mutex);
        const bool key = replay_sample_is_key_video(sample);
        if (b.samples.empty() && !key) return ReplayPushOutcome::dropped_no_keyframe;
        const std::uint64_t bytes = replay_sample_bytes(sample);
        const std::int64_t ts = sample.timestamp;

        // Both limits below need three keyframes, so while video stalls and
        // sound keeps coming nothing would ever be evicted. Refuse the sound
        // instead of growing without bound; video is never refused, its next
        // keyframe lets the limits act again.
        if (sample.track != kTrackVideo && b.keyframe_count < 3) {
            const bool over_cap = bytes > sink.byte_cap || b.total_bytes > sink.byte_cap - bytes;
            const bool over_span =
                time_diff(ts, b.samples.front().timestamp) > 2 * static_cast<__int128>(sink.window);
            if (over_cap || over_span) {
                if (!b.stall_dropping) log_stall = true;
                b.stall_dropping = true;
                outcome = ReplayPushOutcome::dropped_stall;
            }
        }

        if (outcome == ReplayPushOutcome::stored) {
            if (sample.track != kTrackVideo) b.stall_dropping = false;
            b.samples.push_back(std::move(sample));
            // Counted only once stored: a failed append leaves them true.
            if (key) ++b.keyframe_count;
            b.total_bytes += bytes;

            while (b.total_bytes > sink.byte_cap && b.keyframe_count >= 3) {
                replay_buffer_evict_front(b);
            }
            while (b.keyframe_count >= 3) {
                const ReplaySample* k = second_keyframe(b);
                if (!k || time_diff(ts, k->timestamp) < sink.window) break;
                replay_buffer_evict_front(b);
            }
        }
    }
    if (log_stall) {
        log_line(
            "\n[AVISO] El video no avanza y el búfer está lleno: se descarta el sonido nuevo "
            "hasta el próximo fotograma clave.");
    }
    return outcome;
}

void replay_buffer_sink_call(const SampleSink& sink, ReplaySample sample) {
    replay_buffer_push(sink, std::move(sample));
}

void SampleSink::operator()(ReplaySample sample) const { replay_buffer_push(*this, std::move(sample)); }

std::shared_ptr<SampleSink> replay_buffer_sink_make(std::shared_ptr<ReplayBuffer> buffer,
                                                    std::uint32_t buffer_segundos,
                                                    std::uint32_t buffer_max_mb) {
    auto sink = std::make_shared<SampleSink>();
    sink->buffer = std::move(buffer);
    sink->window = static_cast<std::int64_t>(buffer_segundos) * 10'000'000;
    sink->byte_cap = static_cast<std::uint64_t>(buffer_max_mb) * 1'048'576;
    return sink;
}

std::vector<ReplaySample> replay_buffer_snapshot(const ReplayBuffer& b) {
    std::lock_guard lock(b.mutex);
    std::vector<ReplaySample> out;
    out.reserve(b.samples.size());
    out.assign(b.samples.begin(), b.samples.end());
    return out;
}

ReplayBufferStats replay_buffer_stats(const ReplayBuffer& b) {
    std::lock_guard lock(b.mutex);
    ReplayBufferStats st;
    st.total_bytes = b.total_bytes;
    const ReplaySample* first = nullptr;
    for (const auto& s : b.samples) {
        if (s.track == kTrackVideo) {
            first = &s;
            break;
        }
    }
    if (!first) return st;
    for (auto it = b.samples.rbegin(); it != b.samples.rend(); ++it) {
        if (it->track == kTrackVideo) {
            st.video_span = it->timestamp + it->duration - first->timestamp;
            break;
        }
    }
    return st;
}

}  // namespace corvane
