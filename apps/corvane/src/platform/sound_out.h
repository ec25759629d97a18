// Sound out: plays a synthesised PCM buffer on the default output.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace corvane {

// Interleaved signed 16-bit little-endian samples. The player keeps only the
// pointer: the samples must live until the process ends.
struct PcmSound {
    const std::int16_t* samples = nullptr;
    std::size_t frames = 0;
    std::uint32_t rate = 44100;
    std::uint8_t channels = 1;
};

// Returns at once; one player thread plays the sound. A new sound replaces
// one still playing or waiting. Without a sound server the sound is skipped
// silently; there is no failure to report.
void sound_out_play(const PcmSound& sound);

// Waits until nothing is playing or waiting; false when `timeout` passed first.
bool sound_out_wait_idle(std::chrono::milliseconds timeout);

}  // namespace corvane
