#include "shell/sounds.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/command.h"
#include "../support/temp_dir.h"

namespace corvane {
namespace {

std::vector<std::int16_t> chime_pcm_of(const std::vector<std::uint8_t>& wav) {
    std::vector<std::int16_t> out((wav.size() - kWavHeaderBytes) / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::int16_t>(wav[44 + 2 * i] | (wav[45 + 2 * i] << 8));
    }
    return out;
}

using test::command_output;

TEST(Sounds, WavHeadersAreByteExact) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> image;
        std::size_t size;
        std::vector<std::uint8_t> header;
    };
    // Sizes at offsets 4 and 40: 22,526 / 22,490 and 19,440 / 19,404.
    auto header = [](std::uint8_t riff_lo, std::uint8_t riff_hi, std::uint8_t data_lo, std::uint8_t data_hi) {
        return std::vector<std::uint8_t>{
            'R', 'I', 'F', 'F', riff_lo, riff_hi, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
            16,  0,   0,   0,   1,       0,       1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0,
            2,   0,   16,  0,   'd',     'a',     't', 'a', data_lo, data_hi, 0, 0};
    };
    Case cases[] = {
        {"chime", sound_make_two_note_chime(0.5f), 22'534, header(0xFE, 0x57, 0xDA, 0x57)},
        {"tone", sound_make_low_tone(0.5f), 19'448, header(0xF0, 0x4B, 0xCC, 0x4B)},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.image.size(), c.size) << c.name;
        EXPECT_EQ(std::vector<std::uint8_t>(c.image.begin(), c.image.begin() + 44), c.header) << c.name;
    }
    // Empty PCM still gives a whole header.
    auto empty = wav_from_pcm(nullptr, 0);
    ASSERT_EQ(empty.size(), 44u);
    EXPECT_EQ(empty[4], 36);
    EXPECT_EQ(empty[40], 0);
}

// Our samples against an independent python3 computation (±1 for float
// differences), and python's own wave reader accepting our file.
TEST(Sounds, SamplesMatchAnIndependentComputation) {
    const std::string script = std::string(CORVANE_TEST_DATA_DIR) + "/sound_reference.py";
    test::TempDir scratch;
    const auto& dir = scratch.path();
    struct Case {
        const char* which;
        float volume;
        std::vector<std::uint8_t> image;
    } cases[] = {
        {"chime", 1.0f, sound_make_two_note_chime(1.0f)},
        {"chime", 0.35f, sound_make_two_note_chime(0.35f)},
        {"tone", 1.0f, sound_make_low_tone(1.0f)},
        {"tone", 0.7f, sound_make_low_tone(0.7f)},
    };
    for (const auto& c : cases) {
        const auto file = dir / (std::string(c.which) + std::to_string(c.volume) + ".wav");
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(c.image.data()), c.image.size());
        std::istringstream out(command_output("python3 '" + script + "' " + std::to_string(c.volume) + " " + c.which + " '" +
                                   file.string() + "'"));
        std::string tag;
        int channels = 0, width = 0, rate = 0, frames = 0, match = 0;
        out >> tag >> channels >> width >> rate >> frames >> match;
        const auto ours = chime_pcm_of(c.image);
        ASSERT_EQ(tag, "wave") << c.which;
        EXPECT_EQ(channels, 1);
        EXPECT_EQ(width, 2);
        EXPECT_EQ(rate, 44100);
        EXPECT_EQ(frames, static_cast<int>(ours.size()));
        EXPECT_EQ(match, 1);
        std::size_t n = 0, off = 0;
        int ref;
        while (out >> ref) {
            ASSERT_LT(n, ours.size());
            if (std::abs(ref - ours[n]) > 1) ++off;
            ++n;
        }
        EXPECT_EQ(n, ours.size()) << c.which;
        EXPECT_EQ(off, 0u) << c.which << " " << c.volume;
    }
}

TEST(Sounds, EnvelopeEdges) {
    // Volume 0 (and a NaN or negative volume) is silence.
    for (float v : {0.0f, -1.0f, std::nanf("")}) {
        for (const auto& img : {sound_make_two_note_chime(v), sound_make_low_tone(v)}) {
            for (auto s : chime_pcm_of(img)) ASSERT_EQ(s, 0) << v;
        }
    }
    // Volume 1: the peak stays below the clamp.
    for (const auto& img : {sound_make_two_note_chime(1.0f), sound_make_low_tone(1.0f)}) {
        int peak = 0;
        for (auto s : chime_pcm_of(img)) peak = std::max(peak, std::abs(int(s)));
        EXPECT_GT(peak, 20000);
        EXPECT_LT(peak, 32767);
    }
    // Each note starts from silence with its own attack: sample 0 of note 1
    // and sample 5071 (after 3969 + 1102) of the chime are 0, with the gap
    // silent and note 2 audible right after.
    auto chime = chime_pcm_of(sound_make_two_note_chime(1.0f));
    ASSERT_EQ(chime.size(), 11'245u);
    EXPECT_EQ(chime[0], 0);
    EXPECT_NE(chime[3968], 0);
    for (std::size_t i = 3969; i <= 5071; ++i) ASSERT_EQ(chime[i], 0) << i;
    EXPECT_NE(chime[5072], 0);
}

std::atomic<int> g_builds{0};
std::vector<std::uint8_t> counting_maker(float v) {
    g_builds.fetch_add(1);
    return sound_make_low_tone(v);
}

TEST(Sounds, ImageIsBuiltOnceAtTheFirstVolume) {
    SoundImage image(counting_maker);
    std::vector<const std::vector<std::uint8_t>*> got(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] { got[i] = &image.get(0.1f * static_cast<float>(i + 1)); });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(g_builds.load(), 1);
    for (auto* p : got) EXPECT_EQ(p, got[0]);
    int matches = 0;
    for (int i = 0; i < 8; ++i) matches += *got[0] == sound_make_low_tone(0.1f * static_cast<float>(i + 1));
    EXPECT_EQ(matches, 1);
    // A later volume is ignored.
    EXPECT_EQ(&image.get(1.0f), got[0]);
    EXPECT_EQ(g_builds.load(), 1);
}

}  // namespace
}  // namespace corvane
