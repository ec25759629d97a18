#include "platform/media_log.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/video_codec.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace corvane {
namespace {

struct Lines {
    std::mutex m;
    std::vector<std::string> got;
    std::vector<std::string> take() {
        std::lock_guard lock(m);
        return std::exchange(got, {});
    }
};

TEST(MediaLog, OnlyWarningsAndErrorsReachTheSinkAsWholeLines) {
    Lines lines;
    media_log_route([&](std::string_view l) {
        std::lock_guard lock(lines.m);
        lines.got.emplace_back(l);
    });
    av_log(nullptr, AV_LOG_INFO, "probe noise\n");
    av_log(nullptr, AV_LOG_VERBOSE, "more noise\n");
    av_log(nullptr, AV_LOG_WARNING, "first part ");
    av_log(nullptr, AV_LOG_WARNING, "and the end %d\n", 7);
    av_log(nullptr, AV_LOG_ERROR, "two\nlines\r\n");
    EXPECT_EQ(lines.take(), (std::vector<std::string>{"[FFmpeg] first part and the end 7",
                                                      "[FFmpeg] two", "[FFmpeg] lines"}));

    // A real component names itself, without the address FFmpeg's own prefix
    // would carry.
    AVCodecContext* ctx = avcodec_alloc_context3(avcodec_find_encoder_by_name("libx264"));
    ASSERT_TRUE(ctx);
    av_log(ctx, AV_LOG_WARNING, "careful\n");
    avcodec_free_context(&ctx);
    EXPECT_EQ(lines.take(), std::vector<std::string>{"[FFmpeg] libx264: careful"});

    // Opening and running an encoder says nothing worth a log line (x264's
    // settings and statistics are information, not warnings).
    auto cands = video_encoder_candidates(VideoCodecId::h264);
    ASSERT_FALSE(cands.empty());
    VideoEncoderConfig cfg;
    cfg.width = 64;
    cfg.height = 64;
    cfg.fps = 30;
    cfg.mean_bit_rate = 500'000;
    cfg.max_bit_rate = 750'000;
    {
        VideoEncoderOpen o = video_encoder_open(cands.back(), cfg);
        ASSERT_TRUE(o.encoder);
        auto frame = nv12_frame_alloc(64, 64);
        ASSERT_FALSE(o.encoder->send(frame, 0));
        ASSERT_FALSE(o.encoder->send(nullptr, 0));  // end of stream: statistics time
        VideoPacket p;
        while (o.encoder->receive(p, nullptr) == VideoReceive::packet) {
        }
    }
    EXPECT_TRUE(lines.take().empty());

    // Probing hardware encoders that are not there says nothing either; the
    // caller's failure text is the one report.
    for (const char* id : {"h264_nvenc", "h264_qsv", "h264_vaapi"}) {
        if (!avcodec_find_encoder_by_name(id)) continue;
        VideoEncoderOpen o = video_encoder_open(VideoEncoderCandidate{id, id, true}, cfg);
        if (o.encoder) continue;  // a machine that has one
        EXPECT_FALSE(o.failure.stage.empty()) << id;
    }
    EXPECT_TRUE(lines.take().empty());
    {
        MediaLogQuiet quiet;
        av_log(nullptr, AV_LOG_ERROR, "hushed\n");
    }
    av_log(nullptr, AV_LOG_ERROR, "heard\n");
    EXPECT_EQ(lines.take(), std::vector<std::string>{"[FFmpeg] heard"});

    media_log_route({});
    av_log(nullptr, AV_LOG_ERROR, "dropped\n");
    EXPECT_TRUE(lines.take().empty());
}

}  // namespace
}  // namespace corvane
