#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "../support/command.h"
#include "../support/temp_dir.h"
#include "../support/x265_leak.h"
#include "platform/mp4.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

using test::command_output;
using test::TempDir;

Mp4Sample aac_frame(std::int64_t ts) {
    // A silent AAC-LC stereo frame is enough for the container: nothing here
    // decodes it.
    auto bytes = std::make_shared<const std::vector<std::uint8_t>>(
        std::vector<std::uint8_t>{0x21, 0x10, 0x04, 0x60, 0x8c, 0x1c});
    return Mp4Sample{bytes, ts, 213'333, true};
}

TEST(FfmpegMux, DecodeTimesStayStrictlyIncreasing) {
    if (std::system("ffprobe -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffprobe is not installed";
    TempDir scratch;
    const fs::path& dir = scratch.path();
    const fs::path file = dir / "v_mic.m4a.part";
    ClipMuxerOpen open = clip_muxer_open(file, Mp4Container::m4a);
    ASSERT_TRUE(open.muxer) << open.error.text;
    Mp4Track t;
    t.codec = Mp4Codec::aac;
    t.sample_rate = 48000;
    t.channels = 2;
    t.extradata = {0x11, 0x90};  // AAC-LC, 48 kHz, 2 channels
    int index = -1;
    ASSERT_EQ(open.muxer->add_track(t, &index), std::nullopt);
    ASSERT_EQ(open.muxer->begin(), std::nullopt);
    // 0 and 1 (100-ns) fall on the same 1/48000 tick; 213,333 rounds to 1024.
    for (std::int64_t ts : {0, 1, 213'333, 426'666})
        ASSERT_EQ(open.muxer->write(index, aac_frame(ts)), std::nullopt);
    ASSERT_EQ(open.muxer->finish(), std::nullopt);
    open.muxer.reset();
    EXPECT_EQ(
        command_output("ffprobe -v error -show_entries packet=dts -of csv=p=0 '" + file.string() + "'"),
        "0\n1\n1024\n2048\n");
}

TEST(FfmpegMux, FailuresNameTheirStep) {
    TempDir scratch;
    const fs::path& dir = scratch.path();
    ClipMuxerOpen missing = clip_muxer_open(dir / "no/such/folder/x.mp4.part", Mp4Container::mp4);
    EXPECT_FALSE(missing.muxer);
    EXPECT_EQ(missing.error.step, Mp4Step::create);
    EXPECT_EQ(missing.error.text, "No such file or directory");

    // A video track without its size cannot start the file.
    ClipMuxerOpen open = clip_muxer_open(dir / "x.mp4.part", Mp4Container::mp4);
    ASSERT_TRUE(open.muxer);
    Mp4Track t;
    t.codec = Mp4Codec::h264;
    int index = -1;
    ASSERT_EQ(open.muxer->add_track(t, &index), std::nullopt);
    auto err = open.muxer->begin();
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->step, Mp4Step::begin);
    EXPECT_FALSE(err->text.empty());
    open.muxer.reset();
}

}  // namespace
}  // namespace corvane
