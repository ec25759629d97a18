#include "recording/audio_level.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "recording/audio_ring.h"

namespace corvane {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(AudioDecode, SampleCodesByTagAndWidth) {
    struct Row {
        std::uint16_t tag, bits, channels;
        std::uint32_t block;
        int code;  // -1 unsupported
    } rows[] = {
        {1, 16, 2, 4, kSampleS16}, {1, 24, 2, 6, kSampleS24},  {1, 32, 2, 8, kSampleS32},
        {3, 32, 2, 8, kSampleF32}, {1, 8, 2, 2, -1},           {3, 64, 2, 16, -1},
        {2, 16, 2, 4, -1},         {1, 16, 2, 3, -1},           // block smaller than the samples
        {1, 16, 2, 0, -1},         {1, 24, 6, 24, kSampleS24},  // 24 bits in 32-bit containers
        {3, 32, 0, 4, kSampleF32},                              // 0 channels read as 1
    };
    EXPECT_FALSE(audio_sample_code(AudioDeviceFormat{3, 32, 2, 8, 0}));  // no rate
    for (const Row& r : rows) {
        AudioDeviceFormat f{r.tag, r.bits, r.channels, r.block, 48000};
        auto code = audio_sample_code(f);
        if (r.code < 0)
            EXPECT_FALSE(code) << r.tag << "/" << r.bits << "/" << r.block;
        else
            EXPECT_EQ(code.value_or(99), r.code) << r.tag << "/" << r.bits << "/" << r.block;
    }
}

TEST(AudioDecode, SamplesOfEachWidth) {
    auto f32 = [](float v) {
        std::vector<std::uint8_t> b(4);
        std::memcpy(b.data(), &v, 4);
        return b;
    };
    struct Row {
        std::size_t bps;
        std::uint8_t code;
        std::vector<std::uint8_t> bytes;
        float want;
    } rows[] = {
        {2, kSampleS16, {0x00, 0x80}, -1.0f},
        {2, kSampleS16, {0xFF, 0x7F}, 32767.0f / 32768.0f},
        {2, kSampleS16, {0x00, 0x40}, 0.5f},
        {3, kSampleS24, {0x00, 0x00, 0x80}, -1.0f},
        {3, kSampleS24, {0x00, 0x00, 0x40}, 0.5f},
        {3, kSampleS24, {0xFF, 0xFF, 0xFF}, -1.0f / 8388608.0f},
        {4, kSampleS24, {0x00, 0x00, 0xC0, 0x00}, -0.5f},  // 24 bits in a 4-byte slot
        {4, kSampleS32, {0x00, 0x00, 0x00, 0x80}, -1.0f},
        {4, kSampleS32, {0x00, 0x00, 0x00, 0x40}, 0.5f},
        {4, kSampleF32, f32(0.25f), 0.25f},
        {4, kSampleF32, f32(-1.5f), -1.5f},
        {4, kSampleF32, f32(std::numeric_limits<float>::quiet_NaN()), 0.0f},
        {4, kSampleF32, f32(std::numeric_limits<float>::infinity()), 0.0f},
        {4, kSampleF32, f32(-std::numeric_limits<float>::infinity()), 0.0f},
    };
    for (const Row& r : rows) {
        EXPECT_FLOAT_EQ(audio_pcm_sample_to_f32(r.bps, r.code, r.bytes.data(), r.bytes.size(), 0),
                        r.want)
            << int(r.code) << " " << r.bytes.size();
    }
    // A channel beyond the frame reads as 0 instead of past the end.
    std::uint8_t frame[4] = {0x00, 0x40, 0x00, 0x40};
    EXPECT_FLOAT_EQ(audio_pcm_sample_to_f32(2, kSampleS16, frame, 4, 1), 0.5f);
    EXPECT_FLOAT_EQ(audio_pcm_sample_to_f32(2, kSampleS16, frame, 4, 2), 0.0f);
}

std::vector<std::uint8_t> float_frame(const std::vector<float>& ch) {
    std::vector<std::uint8_t> b(ch.size() * 4);
    std::memcpy(b.data(), ch.data(), b.size());
    return b;
}

TEST(AudioDecode, DownmixByLayout) {
    struct Row {
        std::vector<float> in;
        float l, r;
    } rows[] = {
        {{0.3f}, 0.3f, 0.3f},
        {{0.1f, -0.2f}, 0.1f, -0.2f},
        // 3 channels: channel 2 is taken as the centre.
        {{0.1f, 0.2f, 0.4f}, 0.1f + 0.707f * 0.4f, 0.2f + 0.707f * 0.4f},
        // 5.1: L R C LFE BL BR; the low-frequency channel is never used.
        {{0.1f, 0.2f, 0.4f, 0.9f, 0.2f, -0.2f},
         0.1f + 0.707f * 0.4f + 0.1f,
         0.2f + 0.707f * 0.4f - 0.1f},
        // 7.1: the side pair adds at 0.5 too.
        {{0.1f, 0.2f, 0.0f, 0.9f, 0.2f, 0.4f, 0.6f, 0.8f}, 0.1f + 0.1f + 0.3f, 0.2f + 0.2f + 0.4f},
        // 7 channels: the last one is not used.
        {{0.1f, 0.2f, 0.0f, 0.9f, 0.2f, 0.4f, 0.6f}, 0.1f + 0.1f, 0.2f + 0.2f},
    };
    for (const Row& r : rows) {
        auto bytes = float_frame(r.in);
        AudioDeviceFormat f{kFormatTagFloat, 32, static_cast<std::uint16_t>(r.in.size()),
                            static_cast<std::uint32_t>(bytes.size()), 48000};
        std::vector<float> out;
        audio_decode_frames(bytes.data(), 1, f, kSampleF32, out);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_NEAR(out[0], r.l, 1e-6) << r.in.size() << " channels";
        EXPECT_NEAR(out[1], r.r, 1e-6) << r.in.size() << " channels";
    }
}

// Relative power of `freq` in interleaved stereo (left channel), Goertzel.
double tone_power(const std::vector<float>& v, double rate, double freq) {
    const double w = 2 * kPi * freq / rate;
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < v.size(); i += 2) {
        double s = v[i] + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
}

std::vector<float> stereo_tone(std::size_t frames, double rate, double freq, float amp) {
    std::vector<float> v(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        v[2 * i] = v[2 * i + 1] = amp * static_cast<float>(std::sin(2 * kPi * freq * i / rate));
    }
    return v;
}

TEST(AudioResample, From44100GivesExactly48000PerSecond) {
    AudioResampler rs;
    rs.rate = 44100;
    std::vector<float> out;
    for (int second = 1; second <= 3; ++second) {
        // One second in 10 ms packets, as a device delivers it.
        for (int k = 0; k < 100; ++k) rs.process(std::vector<float>(441 * 2, 0.5f), out);
        EXPECT_NEAR(static_cast<double>(out.size() / 2), 48000.0 * second, 1.0);
    }
}

TEST(AudioResample, OutputDoesNotDependOnPacketSplits) {
    std::vector<float> in = stereo_tone(20000, 44100, 1000, 0.8f);
    AudioResampler whole;
    whole.rate = 44100;
    std::vector<float> ref;
    whole.process(in, ref);

    std::mt19937 rng(7);
    for (int trial = 0; trial < 5; ++trial) {
        AudioResampler rs;
        rs.rate = 44100;
        std::vector<float> out;
        std::size_t at = 0;
        while (at < 20000) {
            std::size_t n = std::min<std::size_t>(20000 - at, 1 + rng() % 700);
            rs.process(std::vector<float>(in.begin() + 2 * at, in.begin() + 2 * (at + n)), out);
            at += n;
        }
        ASSERT_EQ(out.size(), ref.size());
        EXPECT_EQ(0, std::memcmp(out.data(), ref.data(), out.size() * sizeof(float)))
            << "trial " << trial;
    }
}

TEST(AudioResample, ToneKeepsItsFrequencyAnd48kPassesThrough) {
    AudioResampler rs;
    rs.rate = 44100;
    std::vector<float> out;
    rs.process(stereo_tone(44100, 44100, 1000, 0.5f), out);
    const double at = tone_power(out, 48000, 1000);
    EXPECT_GT(at,
              1000 * tone_power(out, 48000, 918.75));  // where a tone left at 44.1 kHz would land
    EXPECT_GT(at, 1000 * tone_power(out, 48000, 1088.4));
    // The output lags by one input frame: it starts from the silence before it.
    EXPECT_EQ(out[0], 0.0f);

    AudioResampler same;
    std::vector<float> in = stereo_tone(480, 48000, 1000, 0.5f), copy;
    same.process(in, copy);
    EXPECT_EQ(copy, in);
}

TEST(AudioLevel, SoftLimiterAndPcm16Table) {
    EXPECT_EQ(audio_soft_limit(0.89f), 0.89f);
    EXPECT_NEAR(audio_soft_limit(0.95f), 0.94468f, 1e-5);
    EXPECT_NEAR(audio_soft_limit(1.0f), 0.97378f, 1e-5);
    EXPECT_EQ(audio_soft_limit(3.0f), 1.0f);
    EXPECT_NEAR(audio_soft_limit(-1.0f), -0.97378f, 1e-5);
    EXPECT_TRUE(std::isnan(audio_soft_limit(std::numeric_limits<float>::quiet_NaN())));

    struct Row {
        float in;
        std::int16_t out;
    } rows[] = {{0.0f, 0},
                {0.5f, 16383},
                {0.89f, 29162},
                {1.0f, 31907},
                {-1.0f, -31907},
                {1.5f, 32766},
                {3.0f, 32767},
                {100.0f, 32767},
                {-3.0f, -32767},
                {-0.5f, -16383},
                {std::numeric_limits<float>::quiet_NaN(), 0},
                {std::numeric_limits<float>::infinity(), 32767}};
    std::vector<float> in;
    for (const Row& r : rows) in.push_back(r.in);
    std::vector<std::uint8_t> pcm = audio_f32_to_pcm16(in);
    ASSERT_EQ(pcm.size(), in.size() * 2);
    for (std::size_t i = 0; i < in.size(); ++i) {
        auto v = static_cast<std::int16_t>(
            static_cast<std::uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8)));
        EXPECT_EQ(v, rows[i].out) << rows[i].in;
    }
    EXPECT_TRUE(audio_f32_to_pcm16(std::vector<float>{}).empty());
}

// A 200 Hz voice at `rms` (linear) on the chosen sides, `seconds` long.
std::vector<float> voice(double seconds, double rms, bool left, bool right) {
    const std::size_t n = static_cast<std::size_t>(seconds * 48000);
    std::vector<float> v(n * 2);
    const double amp = rms * std::sqrt(2.0);
    for (std::size_t i = 0; i < n; ++i) {
        float s = static_cast<float>(amp * std::sin(2 * kPi * 200 * i / 48000.0));
        v[2 * i] = left ? s : 0.0f;
        v[2 * i + 1] = right ? s : 0.0f;
    }
    return v;
}

double rms_left(const std::vector<float>& v, std::size_t from_frame) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = 2 * from_frame; i < v.size(); i += 2, ++n) sum += double(v[i]) * v[i];
    return std::sqrt(sum / n);
}

TEST(AudioLevel, LeftOnlyVoiceIsCentredAtFullLevel) {
    VoiceLeveller lv;
    std::vector<float> v = voice(3.0, 0.2, true, false);  // loud enough for gain 1
    lv.process(v);
    for (std::size_t i = 0; i < v.size(); i += 2) ASSERT_EQ(v[i], v[i + 1]);
    EXPECT_NEAR(rms_left(v, 48000), 0.2, 0.005);  // taken from the left, not halved
    EXPECT_NEAR(lv.gain, 1.0f, 1e-3);
}

TEST(AudioLevel, QuietSpeechRisesTowardMinus18WithASlowGain) {
    VoiceLeveller lv;
    const double minus30 = std::pow(10.0, -30 / 20.0);
    const double wanted = 0.126 / minus30;  // about 3.98
    std::vector<float> first = voice(0.3, minus30, true, true);
    lv.process(first);
    const float early = lv.gain;
    std::vector<float> second = voice(1.2, minus30, true, true);
    lv.process(second);
    // A 1.5 s climb: still on its way after 1.5 s.
    EXPECT_GT(early, 1.0f);
    EXPECT_GT(lv.gain, early + 0.5f);
    EXPECT_LT(lv.gain, 0.9 * wanted);
    std::vector<float> rest = voice(15.0, minus30, true, true);
    lv.process(rest);
    EXPECT_NEAR(lv.gain, wanted, 0.05 * wanted);
    EXPECT_NEAR(20 * std::log10(rms_left(rest, 10 * 48000)), -18.0, 0.5);

    // Whisper at −45 dBFS: the gain stops at 8.
    VoiceLeveller quiet;
    std::vector<float> w = voice(20.0, std::pow(10.0, -45 / 20.0), true, true);
    quiet.process(w);
    EXPECT_LE(quiet.gain, 8.0f);
    EXPECT_GT(quiet.gain, 7.9f);

    // Noise below −50 dBFS leaves the gain where it was.
    const float held = quiet.gain;
    std::vector<float> noise = voice(10.0, std::pow(10.0, -65 / 20.0), true, true);
    quiet.process(noise);
    EXPECT_FLOAT_EQ(quiet.gain, held);

    // Speech louder than −18 dBFS falls back to gain 1 and stays there.
    std::vector<float> loud = voice(3.0, std::pow(10.0, -10 / 20.0), true, true);
    quiet.process(loud);
    EXPECT_NEAR(quiet.gain, 1.0f, 1e-3);
}

TEST(AudioRing, KeepsTheNewestTwoSecondsAndTakesWithVolume) {
    AudioRing ring;
    std::vector<float> v(kAudioRingMaxValues + 1000);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i);
    ring.append(v.data(), v.size());
    EXPECT_EQ(ring.frames(), kAudioRingMaxValues / 2);
    EXPECT_EQ(ring.values.front(), 1000.0f);

    std::vector<float> out(6, 1.0f);
    audio_ring_take(ring, 0.5f, 3, out.data());  // adds, does not overwrite
    EXPECT_EQ(out, (std::vector<float>{501, 501.5f, 502, 502.5f, 503, 503.5f}));
    EXPECT_EQ(ring.values.front(), 1006.0f);

    AudioRing small;
    float two[4] = {1, 2, 3, 4};
    small.append(two, 4);
    std::vector<float> wide(10, 7.0f);
    audio_ring_take(small, 2.0f, 5, wide.data());
    EXPECT_EQ(wide, (std::vector<float>{9, 11, 13, 15, 7, 7, 7, 7, 7, 7}));
    EXPECT_EQ(small.frames(), 0u);

    audio_trim_rings(&ring, nullptr, 10);
    EXPECT_EQ(ring.frames(), 10u);
    EXPECT_EQ(ring.values.back(), static_cast<float>(v.size() - 1));
    audio_trim_rings(nullptr, &ring, 0);
    EXPECT_EQ(ring.frames(), 0u);
}

}  // namespace
}  // namespace corvane
