#include "recording/audio_ring.h"

#include <algorithm>

namespace corvane {

void AudioRing::append(const float* v, std::size_t n) {
    std::lock_guard lock(mutex);
    values.insert(values.end(), v, v + n);
    if (values.size() > kAudioRingMaxValues) {
        values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(
                                                          values.size() - kAudioRingMaxValues));
    }
}

std::size_t AudioRing::frames() const {
    std::lock_guard lock(mutex);
    return values.size() / 2;
}

void audio_ring_take(AudioRing& ring, float volume, std::size_t n, float* out) {
    std::lock_guard lock(ring.mutex);
    const std::size_t m = std::min(2 * n, ring.values.size());
    auto it = ring.values.begin();
    for (std::size_t i = 0; i < m; ++i, ++it) out[i] += *it * volume;
    ring.values.erase(ring.values.begin(), ring.values.begin() + static_cast<std::ptrdiff_t>(m));
}

void audio_trim_rings(AudioRing* game, AudioRing* mic, std::size_t n) {
    for (AudioRing* r : {game, mic}) {
        if (!r) continue;
        std::lock_guard lock(r->mutex);
        if (r->values.size() > 2 * n) {
            r->values.erase(r->values.begin(), r->values.begin() + static_cast<std::ptrdiff_t>(
                                                                       r->values.size() - 2 * n));
        }
    }
}

}  // namespace corvane
