#include "platform/video_codec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "../support/command.h"
#include "../support/temp_dir.h"
#include "../support/x265_leak.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

using test::read_file;
using test::run_command;
using test::TempDir;

// A moving picture: a bright bar sliding over a gradient.
void paint(Nv12Frame& f, int i) {
    for (std::uint32_t y = 0; y < f.height; ++y)
        for (std::uint32_t x = 0; x < f.width; ++x) {
            bool bar = (x + f.width - (static_cast<std::uint32_t>(i) * 7) % f.width) % f.width < 24;
            f.y[y * f.y_stride + x] = bar ? 230 : static_cast<std::uint8_t>(16 + (x + y) % 200);
        }
    for (std::uint32_t y = 0; y < f.height / 2; ++y)
        for (std::uint32_t x = 0; x < f.width; ++x)
            f.uv[y * f.uv_stride + x] = static_cast<std::uint8_t>(128 + ((x / 2 + y + i) % 32) - 16);
}

struct Encoded {
    std::vector<VideoPacket> packets;
    int max_delay = 0;  // frames sent beyond the newest packet
};

Encoded encode(const VideoEncoderCandidate& cand, VideoCodecId codec, int frames,
               std::uint32_t quality_vs_speed = 66) {
    VideoEncoderConfig cfg;
    cfg.codec = codec;
    cfg.width = 320;
    cfg.height = 240;
    cfg.fps = 30;
    cfg.mean_bit_rate = 1'000'000;
    cfg.max_bit_rate = 1'500'000;
    cfg.gop = 30;
    cfg.quality_vs_speed = quality_vs_speed;
    VideoEncoderOpen o = video_encoder_open(cand, cfg);
    EXPECT_TRUE(o.encoder) << cand.id << ": " << o.failure.stage << " " << o.failure.error.text;
    Encoded out;
    if (!o.encoder) return out;
    std::vector<std::shared_ptr<Nv12Frame>> ring;
    for (int i = 0; i < 4; ++i) ring.push_back(nv12_frame_alloc(320, 240));
    std::int64_t newest = -1;
    for (int i = 0; i < frames; ++i) {
        auto& f = ring[static_cast<std::size_t>(i) % ring.size()];
        EXPECT_EQ(f->holds.load(), 0) << "a picture is still held by the encoder";
        paint(*f, i);
        auto fail = o.encoder->send(f, i);
        EXPECT_FALSE(fail) << (fail ? fail->error.text : "");
        VideoPacket p;
        VideoCodecFailure rf;
        while (o.encoder->receive(p, &rf) == VideoReceive::packet) {
            newest = p.pts;
            out.packets.push_back(p);
        }
        out.max_delay = std::max(out.max_delay, static_cast<int>(i - newest));
    }
    return out;
}

std::optional<VideoEncoderCandidate> software(VideoCodecId codec, const std::string& id) {
    for (auto& c : video_encoder_candidates(codec))
        if (c.id == id) return c;
    return std::nullopt;
}

TEST(FfmpegVideo, X264KeyEverySecondNoBFramesLowDelayTaggedBt709) {
    auto cand = software(VideoCodecId::h264, "libx264");
    ASSERT_TRUE(cand) << "libx264 missing";
    EXPECT_FALSE(cand->name.empty());
    Encoded e = encode(*cand, VideoCodecId::h264, 90);
    ASSERT_GE(e.packets.size(), 80u);
    EXPECT_LT(e.max_delay, 14);
    for (std::size_t i = 0; i < e.packets.size(); ++i) {
        EXPECT_EQ(e.packets[i].pts, static_cast<std::int64_t>(i));  // output order = input order
        EXPECT_EQ(e.packets[i].key, i % 30 == 0) << i;
    }
    // ffprobe as the oracle: picture types, key frames and colour tags.
    TempDir dir;
    {
        std::ofstream raw(dir.path() / "v.h264", std::ios::binary);
        for (auto& p : e.packets) raw.write(reinterpret_cast<const char*>(p.bytes.data()), p.bytes.size());
    }
    ASSERT_EQ(run_command({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                           "frame=pict_type,key_frame:stream=profile,color_space,color_range,color_primaries,"
                           "has_b_frames",
                           "-of", "compact", "-o", (dir.path() / "probe.txt").string(), (dir.path() / "v.h264").string()}),
              0);
    std::string probe = read_file(dir.path() / "probe.txt");
    EXPECT_EQ(probe.find("pict_type=B"), std::string::npos);
    std::size_t keys = 0, frames = 0;
    for (std::size_t at = 0; (at = probe.find("frame|", at)) != std::string::npos; ++at) ++frames;
    for (std::size_t at = 0; (at = probe.find("key_frame=1", at)) != std::string::npos; ++at) ++keys;
    EXPECT_EQ(frames, e.packets.size());
    EXPECT_EQ(keys, 3u);
    EXPECT_NE(probe.find("profile=High"), std::string::npos) << probe.substr(probe.rfind("stream"));
    EXPECT_NE(probe.find("color_range=tv"), std::string::npos);
    EXPECT_NE(probe.find("color_space=bt709"), std::string::npos);
    EXPECT_NE(probe.find("has_b_frames=0"), std::string::npos);
}

// x264 writes its settings into the first access unit as text ("... options:
// cabac=1 ref=2 ... subme=6 ..."): one option's value from there.
std::string x264_option(const std::vector<VideoPacket>& packets, const std::string& key) {
    if (packets.empty()) return "(no packets)";
    const std::string text(packets.front().bytes.begin(), packets.front().bytes.end());
    const std::size_t options = text.find("options: ");
    if (options == std::string::npos) return "(no settings text)";
    const std::size_t at = text.find(" " + key + "=", options);
    if (at == std::string::npos) return "(no " + key + ")";
    const std::size_t from = at + key.size() + 2;
    return text.substr(from, text.find_first_of(" \0", from) - from);
}

TEST(FfmpegVideo, X264PresetFollowsQualityVsSpeed) {
    auto cand = software(VideoCodecId::h264, "libx264");
    ASSERT_TRUE(cand) << "libx264 missing";
    // ligero (33): superfast; calidad (80): fast. The preset shows in the
    // motion search and reference count x264 reports, and in the cost.
    Encoded light = encode(*cand, VideoCodecId::h264, 2, 33);
    Encoded sharp = encode(*cand, VideoCodecId::h264, 2, 80);
    EXPECT_EQ(x264_option(light.packets, "subme"), "1");
    EXPECT_EQ(x264_option(light.packets, "me"), "dia");
    EXPECT_EQ(x264_option(light.packets, "ref"), "1");
    EXPECT_EQ(x264_option(sharp.packets, "subme"), "6");
    EXPECT_EQ(x264_option(sharp.packets, "me"), "hex");
    EXPECT_EQ(x264_option(sharp.packets, "ref"), "2");
    // The low-delay settings stay whatever the preset.
    for (const Encoded* e : {&light, &sharp}) {
        EXPECT_EQ(x264_option(e->packets, "bframes"), "0");
        EXPECT_EQ(x264_option(e->packets, "rc_lookahead"), "0");
        EXPECT_EQ(x264_option(e->packets, "keyint"), "30");
    }
}

TEST(FfmpegVideo, SoftwareHevcAndAv1OnlyBehindTheSwitch) {
    video_codec_allow_software_for_tests(false);
    EXPECT_FALSE(software(VideoCodecId::hevc, "libx265"));
    for (auto& c : video_encoder_candidates(VideoCodecId::h264)) EXPECT_NE(c.id, "libx265");
    video_codec_allow_software_for_tests(true);
    auto hevc = software(VideoCodecId::hevc, "libx265");
    auto av1 = software(VideoCodecId::av1, "libsvtav1");
    video_codec_allow_software_for_tests(false);
    ASSERT_TRUE(hevc);
    ASSERT_TRUE(av1);

    Encoded h = encode(*hevc, VideoCodecId::hevc, 62);
    ASSERT_GE(h.packets.size(), 50u);
    EXPECT_LT(h.max_delay, 14);
    for (auto& p : h.packets) EXPECT_EQ(p.key, p.pts % 30 == 0) << p.pts;

    Encoded a = encode(*av1, VideoCodecId::av1, 62);
    ASSERT_GE(a.packets.size(), 40u);
    EXPECT_LT(a.max_delay, 14);
    EXPECT_TRUE(a.packets.front().key);
}

TEST(FfmpegVideo, ScalerRefusesOddOutputAndWrongFrames) {
    EXPECT_FALSE(nv12_scaler_create(64, 32, 63, 32).scaler);
    EXPECT_FALSE(nv12_frame_alloc(15, 8));
    auto s = nv12_scaler_create(64, 32, 32, 16);
    ASSERT_TRUE(s.scaler);
    std::vector<std::uint8_t> bgra(64 * 32 * 4, 0);
    auto wrong = nv12_frame_alloc(64, 32);
    EXPECT_TRUE(s.scaler->convert(bgra.data(), 64 * 4, *wrong).has_value());
    auto right = nv12_frame_alloc(32, 16);
    EXPECT_FALSE(s.scaler->convert(bgra.data(), 64 * 4, *right).has_value());
}

}  // namespace
}  // namespace corvane
