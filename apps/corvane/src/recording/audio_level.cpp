#include "recording/audio_level.h"

#include <cmath>
#include <cstring>

namespace corvane {

std::optional<std::uint8_t> audio_sample_code(const AudioDeviceFormat& f) {
    std::optional<std::uint8_t> code;
    if (f.tag == kFormatTagPcm) {
        if (f.bits == 16)
            code = kSampleS16;
        else if (f.bits == 24)
            code = kSampleS24;
        else if (f.bits == 32)
            code = kSampleS32;
    } else if (f.tag == kFormatTagFloat && f.bits == 32) {
        code = kSampleF32;
    }
    if (!code) return std::nullopt;
    const std::size_t channels = f.channels ? f.channels : 1;
    const std::size_t width = *code == kSampleS16 ? 2 : *code == kSampleS24 ? 3 : 4;
    if (f.block == 0 || f.block < channels * width) return std::nullopt;
    if (f.rate == 0) return std::nullopt;  // the resampler could never advance
    return code;
}

float audio_pcm_sample_to_f32(std::size_t bps, std::uint8_t code, const std::uint8_t* frame,
                              std::size_t frame_bytes, std::size_t channel) {
    const std::size_t need = code == kSampleS16 ? 2 : code == kSampleS24 ? 3 : 4;
    const std::size_t at = channel * bps;
    if (bps < need || at + need > frame_bytes) return 0.0f;
    const std::uint8_t* p = frame + at;
    switch (code) {
        case kSampleS16: {
            auto s = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
            return static_cast<float>(s) * (1.0f / 32768.0f);
        }
        case kSampleS24: {
            std::int32_t s = p[0] | (p[1] << 8) | (p[2] << 16);
            if (s & 0x800000) s -= 0x1000000;
            return static_cast<float>(s) * (1.0f / 8388608.0f);
        }
        case kSampleS32: {
            std::uint32_t u =
                static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
            return static_cast<float>(static_cast<double>(static_cast<std::int32_t>(u)) *
                                      (1.0 / 2147483648.0));
        }
        case kSampleF32: {
            float v;
            std::memcpy(&v, p, 4);
            // One NaN would poison the leveller's envelopes for the rest of the run.
            return std::isfinite(v) ? v : 0.0f;
        }
        default:
            return 0.0f;
    }
}

void audio_decode_frames(const std::uint8_t* data, std::size_t frames, const AudioDeviceFormat& f,
                         std::uint8_t code, std::vector<float>& out) {
    const std::size_t ch = f.channels ? f.channels : 1;
    const std::size_t block = f.block;
    if (block == 0) return;
    const std::size_t bps = block / ch;
    const float centre = 0.707f;
    out.reserve(out.size() + frames * 2);
    for (std::size_t n = 0; n < frames; ++n) {
        const std::uint8_t* fr = data + n * block;
        auto s = [&](std::size_t k) { return audio_pcm_sample_to_f32(bps, code, fr, block, k); };
        float l, r;
        if (ch == 1) {
            l = r = s(0);
        } else if (ch == 2) {
            l = s(0);
            r = s(1);
        } else {
            const float c = s(2);
            l = s(0) + centre * c;
            r = s(1) + centre * c;
            if (ch >= 6) {
                for (std::size_t k = 5; k < ch; k += 2) {
                    l += 0.5f * s(k - 1);
                    r += 0.5f * s(k);
                }
            }
        }
        out.push_back(l);
        out.push_back(r);
    }
}

void AudioResampler::process(const std::vector<float>& in, std::vector<float>& out) {
    const std::size_t n = in.size() / 2;
    if (n == 0) return;
    if (passthrough()) {
        out.insert(out.end(), in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n * 2));
        return;
    }
    const std::uint64_t end = static_cast<std::uint64_t>(n) * kAudioRate;
    while (position < end) {
        const std::size_t i = static_cast<std::size_t>(position / kAudioRate);
        const float t = static_cast<float>(static_cast<double>(position % kAudioRate) / kAudioRate);
        const float al = i ? in[2 * (i - 1)] : prev_l;
        const float ar = i ? in[2 * (i - 1) + 1] : prev_r;
        out.push_back(al + (in[2 * i] - al) * t);
        out.push_back(ar + (in[2 * i + 1] - ar) * t);
        position += rate;
    }
    position -= end;
    prev_l = in[2 * (n - 1)];
    prev_r = in[2 * (n - 1) + 1];
}

float audio_soft_limit(float x) {
    const float knee = 0.89f;
    const float room = 0.110000014f;  // 1 − 0.89 in 32-bit float
    const float a = std::fabs(x);
    if (!(a > knee)) return x;
    const float y = knee + room * std::tanh((a - knee) / room);
    return x < 0 ? -y : y;
}

void VoiceLeveller::process(std::vector<float>& v) {
    const float env_k = 0.99998957f, env_f = 1.0430813e-05f;  // 2 s
    const float lvl_k = 0.99993056f, lvl_f = 6.943941e-05f;   // 0.3 s
    const float rise = 0.99998611f;                           // 1.5 s
    const float fall = 0.99965286f;                           // 60 ms
    for (std::size_t i = 0; i + 1 < v.size(); i += 2) {
        const float l = v[i], r = v[i + 1];
        env_l = env_f * l * l + env_k * env_l;
        env_r = env_f * r * r + env_k * env_r;
        float x;
        if (env_l > 10.0f * env_r)
            x = l;
        else if (env_r > 10.0f * env_l)
            x = r;
        else
            x = (l + r) * 0.5f;
        level = lvl_f * x * x + lvl_k * level;
        const float rms = std::sqrt(level);
        if (rms > 0.00316f) {
            float wanted = 0.126f / rms;
            if (wanted < 1.0f) wanted = 1.0f;
            if (wanted > 8.0f) wanted = 8.0f;
            const float c = gain > wanted ? fall : rise;
            gain = (1.0f - c) * wanted + c * gain;
        }
        x = audio_soft_limit(x * gain);
        v[i] = x;
        v[i + 1] = x;
    }
}

std::vector<std::uint8_t> audio_f32_to_pcm16(const float* values, std::size_t n) {
    std::vector<std::uint8_t> out(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        float v = values[i];
        std::int32_t s = 0;
        if (!std::isnan(v)) {
            v = audio_soft_limit(v);
            if (v > 1.0f) v = 1.0f;
            if (v < -1.0f) v = -1.0f;
            float scaled = v * 32767.0f;
            if (scaled > 32767.0f) scaled = 32767.0f;
            if (scaled < -32768.0f) scaled = -32768.0f;
            s = static_cast<std::int32_t>(scaled);  // truncates toward zero
        }
        const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(s));
        out[2 * i] = static_cast<std::uint8_t>(u & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    }
    return out;
}

}  // namespace corvane
