// Sound processing between the device and the rings: sample decoding, the
// downmix to stereo, the linear resampler to 48 kHz, the voice leveller and
// the soft limiter with the conversion to 16-bit PCM. Pure functions and small
// state records; no locks, no devices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

inline constexpr std::uint32_t kAudioRate = 48000;

// Sample codes: how one channel sample is stored.
inline constexpr std::uint8_t kSampleF32 = 0;
inline constexpr std::uint8_t kSampleS16 = 1;
inline constexpr std::uint8_t kSampleS24 = 2;
inline constexpr std::uint8_t kSampleS32 = 3;

// Format tags of a device format (after the extensible rule).
inline constexpr std::uint16_t kFormatTagPcm = 1;
inline constexpr std::uint16_t kFormatTagFloat = 3;

struct AudioDeviceFormat {
    std::uint16_t tag = kFormatTagFloat;
    std::uint16_t bits = 32;
    std::uint16_t channels = 2;  // 0 is taken as 1
    std::uint32_t block = 8;     // bytes per frame
    std::uint32_t rate = kAudioRate;
};

// The sample code of a tag and width, or nothing when the combination is not
// supported (also when the framing makes no sense: a block smaller than
// channels × the sample width, or a rate of 0).
std::optional<std::uint8_t> audio_sample_code(const AudioDeviceFormat& format);

// One channel's sample of one frame as a float. A sample that does not lie
// inside the frame, and a float that is NaN or infinite, read as 0.
float audio_pcm_sample_to_f32(std::size_t bytes_per_sample, std::uint8_t code,
                              const std::uint8_t* frame, std::size_t frame_bytes,
                              std::size_t channel);

// Decodes and downmixes `frames` frames to interleaved stereo floats, appended
// to `out`. The channel layout is the extensible one (0 L, 1 R, 2 centre,
// 3 low frequency, then pairs).
void audio_decode_frames(const std::uint8_t* data, std::size_t frames,
                         const AudioDeviceFormat& format, std::uint8_t code,
                         std::vector<float>& out);

// Linear interpolation to 48 kHz, continuous across packets. The position is
// kept exactly (in 1/48000ths of an input frame), so the output does not
// depend on how the input is split.
struct AudioResampler {
    std::uint32_t rate = kAudioRate;  // the device's rate
    std::uint64_t position = 0;       // × 1/48000 input frames
    float prev_l = 0.0f;
    float prev_r = 0.0f;

    bool passthrough() const { return rate == kAudioRate; }
    // Interleaved stereo in, interleaved stereo out (appended). Lags the input
    // by one input frame.
    void process(const std::vector<float>& in, std::vector<float>& out);
};

// The voice leveller's state; it runs on across reconnections.
struct VoiceLeveller {
    float env_l = 0.0f;
    float env_r = 0.0f;
    float level = 0.0f;
    float gain = 1.0f;

    // Centres the voice on both channels at a steady level, in place.
    void process(std::vector<float>& values);
};

// Soft knee above 0.89, reaching 1.0 asymptotically. NaN stays NaN.
float audio_soft_limit(float x);

// Interleaved floats to 16-bit little-endian PCM through the soft limiter.
// NaN gives 0.
std::vector<std::uint8_t> audio_f32_to_pcm16(const float* values, std::size_t n);
inline std::vector<std::uint8_t> audio_f32_to_pcm16(const std::vector<float>& v) {
    return audio_f32_to_pcm16(v.data(), v.size());
}

}  // namespace corvane
