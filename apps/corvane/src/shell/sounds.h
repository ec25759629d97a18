// The two synthesised sounds of the clip saver: a bright two-note chime when
// a clip was saved, a short low tone when it was not. Mono, 44.1 kHz, signed
// 16-bit, wrapped as WAV images, built once per run at the first caller's
// volume and kept until the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace corvane {

inline constexpr std::uint32_t kSoundRate = 44100;
inline constexpr std::size_t kWavHeaderBytes = 44;

// 44-byte RIFF/WAVE header (PCM, mono, 44100 Hz, 16 bits) and the samples,
// all little-endian.
std::vector<std::uint8_t> wav_from_pcm(const std::int16_t* samples, std::size_t count);

// One note: attack ramp over 220 samples, exp(−n/k) decay, the fundamental
// (0.85) plus its octave (0.15), scaled by volume × 32767 and truncated.
// Appends `length` samples.
void sound_append_note(std::vector<std::int16_t>& out, double frequency, double decay_k, std::size_t length,
                       float volume);

// 1046.5 Hz for 3969 samples, 1102 samples of silence, 1568 Hz for 6174.
std::vector<std::uint8_t> sound_make_two_note_chime(float volume);
// 330 Hz for 9702 samples.
std::vector<std::uint8_t> sound_make_low_tone(float volume);

// A WAV image built at most once; the first caller's volume is baked in and
// later volumes are ignored.
class SoundImage {
public:
    using Maker = std::vector<std::uint8_t> (*)(float volume);
    explicit SoundImage(Maker maker) : maker_(maker) {}
    const std::vector<std::uint8_t>& get(float volume);

private:
    Maker maker_;
    std::once_flag once_;
    std::vector<std::uint8_t> image_;
};

// The process's two images.
const std::vector<std::uint8_t>& sound_chime_image(float volume);
const std::vector<std::uint8_t>& sound_low_tone_image(float volume);

// Play them asynchronously; a new sound replaces one still playing. Nothing
// is reported: without a sound server the sound is skipped.
void sound_play_chime(float volume);
void sound_play_low_tone(float volume);

}  // namespace corvane
