// The sound of one source between its capture thread (the only writer) and the
// frame clock (the only reader): interleaved stereo floats at 48 kHz and unit
// gain. Each operation holds the lock for one copy only.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>

namespace corvane {

// 96,000 frames: 2 s.
inline constexpr std::size_t kAudioRingMaxValues = 192000;

struct AudioRing {
    mutable std::mutex mutex;
    std::deque<float> values;

    // Appends, then drops the oldest values beyond kAudioRingMaxValues.
    void append(const float* v, std::size_t n);
    // Stereo frames held.
    std::size_t frames() const;
};

// Takes min(2n, held) values from the front and adds value × volume to
// out[0..]; the rest of `out` (room for 2n values) is left as it was.
void audio_ring_take(AudioRing& ring, float volume, std::size_t n, float* out);

// Keeps at most n frames (the newest) in each present ring; n = 0 empties them.
void audio_trim_rings(AudioRing* game, AudioRing* mic, std::size_t n);

}  // namespace corvane
