#include "shell/sounds.h"

#include <cmath>
#include <numbers>

#include "platform/sound_out.h"

namespace corvane {

namespace {

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put_tag(std::vector<std::uint8_t>& out, const char (&tag)[5]) { out.insert(out.end(), tag, tag + 4); }

float clamp_volume(float v) { return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; }  // NaN → 0

void play_image(const std::vector<std::uint8_t>& image) {
    if (image.size() <= kWavHeaderBytes) return;
    PcmSound snd;
    snd.samples = reinterpret_cast<const std::int16_t*>(image.data() + kWavHeaderBytes);
    snd.frames = (image.size() - kWavHeaderBytes) / 2;
    snd.rate = kSoundRate;
    snd.channels = 1;
    sound_out_play(snd);
}

}  // namespace

std::vector<std::uint8_t> wav_from_pcm(const std::int16_t* samples, std::size_t count) {
    const auto data_bytes = static_cast<std::uint32_t>(2 * count);
    std::vector<std::uint8_t> out;
    out.reserve(kWavHeaderBytes + data_bytes);
    put_tag(out, "RIFF");
    put_u32(out, data_bytes + 36);
    put_tag(out, "WAVE");
    put_tag(out, "fmt ");
    put_u32(out, 16);
    put_u16(out, 1);  // PCM
    put_u16(out, 1);  // mono
    put_u32(out, kSoundRate);
    put_u32(out, kSoundRate * 2);  // bytes per second
    put_u16(out, 2);               // block align
    put_u16(out, 16);              // bits per sample
    put_tag(out, "data");
    put_u32(out, data_bytes);
    for (std::size_t i = 0; i < count; ++i) put_u16(out, static_cast<std::uint16_t>(samples[i]));
    return out;
}

void sound_append_note(std::vector<std::int16_t>& out, double frequency, double decay_k, std::size_t length,
                       float volume) {
    const double scale = static_cast<double>(clamp_volume(volume)) * 32767.0;
    const double w = 2.0 * std::numbers::pi * frequency;
    for (std::size_t n = 0; n < length; ++n) {
        const double nd = static_cast<double>(n);
        const double t = nd / kSoundRate;
        const double attack = std::min(nd / 220.0, 1.0);
        const double decay = std::exp(-nd / decay_k);
        const double tone = 0.85 * std::sin(w * t) + 0.15 * std::sin(2.0 * w * t);
        double v = decay * attack * tone * scale;
        if (v > 32767.0) v = 32767.0;
        if (v < -32768.0) v = -32768.0;
        out.push_back(static_cast<std::int16_t>(v));  // truncates toward zero
    }
}

std::vector<std::uint8_t> sound_make_two_note_chime(float volume) {
    std::vector<std::int16_t> pcm;
    pcm.reserve(3969 + 1102 + 6174);
    sound_append_note(pcm, 1046.5, 1389.15, 3969, volume);
    pcm.insert(pcm.end(), 1102, 0);
    sound_append_note(pcm, 1568.0, 2160.9, 6174, volume);
    return wav_from_pcm(pcm.data(), pcm.size());
}

std::vector<std::uint8_t> sound_make_low_tone(float volume) {
    std::vector<std::int16_t> pcm;
    pcm.reserve(9702);
    sound_append_note(pcm, 330.0, 3395.7, 9702, volume);
    return wav_from_pcm(pcm.data(), pcm.size());
}

const std::vector<std::uint8_t>& SoundImage::get(float volume) {
    std::call_once(once_, [&] { image_ = maker_(volume); });
    return image_;
}

const std::vector<std::uint8_t>& sound_chime_image(float volume) {
    // Leaked on purpose: an asynchronous playback may still read it at exit.
    static SoundImage* image = new SoundImage(sound_make_two_note_chime);
    return image->get(volume);
}

const std::vector<std::uint8_t>& sound_low_tone_image(float volume) {
    static SoundImage* image = new SoundImage(sound_make_low_tone);
    return image->get(volume);
}

void sound_play_chime(float volume) { play_image(sound_chime_image(volume)); }
void sound_play_low_tone(float volume) { play_image(sound_low_tone_image(volume)); }

}  // namespace corvane
