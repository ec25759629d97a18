// The replay buffer: the encoded samples of every track, interleaved in push
// order, kept as whole groups of pictures within a time window and a byte cap.
// One buffer per process; the encoders push through one shared SampleSink,
// the clip saver and the status thread read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace corvane {

// Track kinds of a sample.
inline constexpr std::uint8_t kTrackVideo = 0;
inline constexpr std::uint8_t kTrackAudio = 1;  // the clip's sound
inline constexpr std::uint8_t kTrackVoice = 2;  // the separate voice

// Encoded bytes, shared and never copied once made.
using SamplePayload = std::shared_ptr<const std::vector<std::uint8_t>>;

// One encoded unit: an Annex-B access unit (video) or a raw AAC frame (audio).
// Times are in 100-ns units in the producing encoder's time base.
struct ReplaySample {
    std::int64_t timestamp = 0;
    std::int64_t duration = 0;
    SamplePayload payload;
    std::uint8_t track = kTrackVideo;
    bool keyframe = false;  // audio samples always carry true
};

// Only video samples with the key flag count as keyframes anywhere.
inline bool replay_sample_is_key_video(const ReplaySample& s) {
    return s.track == kTrackVideo && s.keyframe;
}

// Payload length in bytes (0 for a sample without payload).
inline std::uint64_t replay_sample_bytes(const ReplaySample& s) {
    return s.payload ? s.payload->size() : 0;
}

// All fields are guarded by `mutex`. Whenever the mutex is free, `samples` is
// empty or starts with a key video sample, and the two counters match it.
struct ReplayBuffer {
    mutable std::mutex mutex;
    std::deque<ReplaySample> samples;
    std::uint64_t keyframe_count = 0;
    std::uint64_t total_bytes = 0;
    // Set while incoming sound is being refused because video stopped
    // producing keyframes; cleared when sound is stored again.
    bool stall_dropping = false;
};

// What happened to one pushed sample.
enum class ReplayPushOutcome {
    stored,
    dropped_no_keyframe,  // the buffer was empty and the sample was not key video
    dropped_stall,        // video stopped making keyframes and the buffer is full
};

// The encoders' entry point into the buffer: the buffer with its limits.
struct SampleSink {
    std::shared_ptr<ReplayBuffer> buffer;
    std::int64_t window = 0;      // 100-ns units
    std::uint64_t byte_cap = 0;  // bytes

    void operator()(ReplaySample sample) const;
};

// The sink of the settings' buffer_segundos and buffer_max_mb.
std::shared_ptr<SampleSink> replay_buffer_sink_make(std::shared_ptr<ReplayBuffer> buffer,
                                                    std::uint32_t buffer_segundos,
                                                    std::uint32_t buffer_max_mb);

// Stores the sample and trims the oldest GOPs by byte cap, then by window, but
// never below two keyframes. Thread-safe. A refusal of the stall guard is
// logged once per stall, outside the buffer's lock.
ReplayPushOutcome replay_buffer_push(const SampleSink& sink, ReplaySample sample);

// The sink's call operation; same as replay_buffer_push.
void replay_buffer_sink_call(const SampleSink& sink, ReplaySample sample);

// Removes the front GOP: the front key video sample and every sample of any
// track up to the next key video sample. Caller holds the mutex and the front
// is a key video sample.
void replay_buffer_evict_front(ReplayBuffer& buffer);

// Copies of all samples, front to back, payloads shared. The copy is the
// buffer either before or after any one push, never in between.
std::vector<ReplaySample> replay_buffer_snapshot(const ReplayBuffer& buffer);

// Read by the status thread under the buffer's lock.
struct ReplayBufferStats {
    std::int64_t video_span = 0;  // end of the last video sample − start of the first; 0 without video
    std::uint64_t total_bytes = 0;
};
ReplayBufferStats replay_buffer_stats(const ReplayBuffer& buffer);

}  // namespace corvane
