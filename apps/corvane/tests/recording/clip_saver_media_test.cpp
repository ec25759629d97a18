// Real encoder output through the replay buffer and the clip saver into real
// MP4 / M4A files, checked with ffprobe, ffmpeg and python3.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "../support/command.h"
#include "../support/x265_leak.h"
#include "base/avisos.h"
#include "clips/library.h"
#include "recording/channel.h"
#include "recording/clip_saver.h"
#include "recording/video_encoder.h"
#include "saver_test_util.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::kSec;

using test::command_output;

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

nlohmann::json probe(const fs::path& file) {
    const std::string text =
        command_output("ffprobe -v error -print_format json -show_format -show_streams " + quoted(file));
    return nlohmann::json::parse(text, nullptr, false);
}

// The first packets of a stream: "pts_time,flags" lines.
std::string first_packets(const fs::path& file, const char* stream, int count) {
    return command_output(fmt::format(
        "ffprobe -v error -select_streams {} -show_entries packet=pts_time,flags -of csv=p=0 "
        "-read_intervals '%+#{}' {}",
        stream, count, quoted(file)));
}

// Encodes `frames` moving NV12 pictures with the real video encoder thread
// into the sink; the encoder publishes its format in the slot.
void encode_video(std::uint8_t codec, const char* encoder_id, std::uint32_t w, std::uint32_t h,
                  std::uint32_t fps, int frames, const std::shared_ptr<SampleSink>& sink,
                  const std::shared_ptr<FormatSlot>& slot) {
    auto [rtx, rrx] = make_channel<VideoEncoderReply>(1);
    auto [ftx, frx] = make_channel<VideoFrameMsg>(static_cast<std::size_t>(frames) + 1);
    auto backlog = std::make_shared<EncoderBacklog>();
    for (int i = 0; i < frames; ++i) {
        auto f = nv12_frame_alloc(w, h);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x)
                f->y[y * f->y_stride + x] = static_cast<std::uint8_t>(16 + ((x + y + 4 * i) % 200));
        for (std::uint32_t y = 0; y < h / 2; ++y)
            for (std::uint32_t x = 0; x < w; ++x) f->uv[y * f->uv_stride + x] = 128;
        backlog->sent(video_frame_stamp(i, fps));
        ftx.send(VideoFrameMsg{f, video_frame_stamp(i, fps)});
    }
    ftx.send(VideoFrameMsg{});
    VideoEncoderParams p;
    p.reply = std::move(rtx);
    p.frames = std::move(frx);
    p.width = w;
    p.height = h;
    p.fps = fps;
    p.mean_bit_rate = 2'000'000;
    p.codec = codec;
    p.backlog = backlog;
    p.format = slot;
    p.sink = sink;
    const std::string id = encoder_id;
    p.factory = VideoEncoderFactory{[id](VideoCodecId) {
                                        return std::vector<VideoEncoderCandidate>{{id, id, false}};
                                    },
                                    video_encoder_open};
    video_encoder_thread_main(std::move(p));
    auto reply = rrx.receive();
    ASSERT_TRUE(reply.has_value());
    ASSERT_TRUE(reply->ok) << reply->text;
}

// `seconds` of a stereo sine as AAC frames, stamped k·1024·10^7/48000, into
// the sink as `track`; frames stamped in [lost_from, lost_to) never reach it.
// Returns the published format.
TrackFormat encode_aac(double seconds, double tone, std::uint8_t track,
                       const std::shared_ptr<SampleSink>& sink, std::int64_t lost_from = -1,
                       std::int64_t lost_to = -1) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    EXPECT_NE(codec, nullptr);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->sample_rate = 48000;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&c->ch_layout, 2);
    c->bit_rate = 128000;
    c->time_base = AVRational{1, 48000};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    EXPECT_EQ(avcodec_open2(c, codec, nullptr), 0);
    TrackFormat format;
    format.codec = TrackCodec::aac;
    format.sample_rate = 48000;
    format.channels = 2;
    format.bit_rate = 128000;
    format.extradata.assign(c->extradata, c->extradata + c->extradata_size);

    AVFrame* frame = av_frame_alloc();
    frame->nb_samples = c->frame_size;
    frame->format = c->sample_fmt;
    av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
    av_frame_get_buffer(frame, 0);
    AVPacket* pkt = av_packet_alloc();
    std::int64_t k = 0;
    auto drain = [&] {
        while (avcodec_receive_packet(c, pkt) == 0) {
            ReplaySample s;
            s.timestamp = k * 1024 * kSec / 48000;
            s.duration = (k + 1) * 1024 * kSec / 48000 - s.timestamp;
            s.payload =
                std::make_shared<const std::vector<std::uint8_t>>(pkt->data, pkt->data + pkt->size);
            s.track = track;
            s.keyframe = true;
            if (s.timestamp < lost_from || s.timestamp >= lost_to) (*sink)(std::move(s));
            ++k;
            av_packet_unref(pkt);
        }
    };
    const int total = static_cast<int>(seconds * 48000);
    for (int start = 0; start < total; start += c->frame_size) {
        av_frame_make_writable(frame);
        for (int ch = 0; ch < 2; ++ch) {
            float* d = reinterpret_cast<float*>(frame->data[ch]);
            for (int i = 0; i < c->frame_size; ++i)
                d[i] = 0.3f * std::sin(2 * M_PI * tone * (start + i) / 48000.0);
        }
        frame->pts = start;
        avcodec_send_frame(c, frame);
        drain();
    }
    avcodec_send_frame(c, nullptr);
    drain();
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    return format;
}

class ClipSaverMedia : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("ffprobe -version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "ffprobe is not installed";
        avisos_clear_for_tests();
        buffer = std::make_shared<ReplayBuffer>();
        sink = replay_buffer_sink_make(buffer, 60, 1024);
        ctx.clips_folder = prog.clips();
        ctx.buffer = buffer;
        ctx.video_format = clip_format_source(video_slot);
        ctx.local_time = [] { return LocalDateTime{"2026-10-25", "21-03-07"}; };
    }
    void TearDown() override { avisos_clear_for_tests(); }

    test::TempProgram prog;
    std::shared_ptr<ReplayBuffer> buffer;
    std::shared_ptr<SampleSink> sink;
    std::shared_ptr<FormatSlot> video_slot = std::make_shared<FormatSlot>();
    ClipSaverContext ctx;
};

TEST_F(ClipSaverMedia, H264AndAacClipWithVoiceApartPlaysCleanly) {
    // 4 s at 30 fps (keys at 0, 1, 2, 3 s), sound and a voice beside it.
    encode_video(kCodecH264, "libx264", 320, 180, 30, 120, sink, video_slot);
    const TrackFormat game = encode_aac(4.0, 440.0, kTrackAudio, sink);
    const TrackFormat voice = encode_aac(4.0, 660.0, kTrackVoice, sink);
    ASSERT_TRUE(video_slot->load().has_value());
    EXPECT_EQ(video_slot->load()->since, 0);
    ctx.audio_format = [game] { return std::optional<PublishedTrack>({clip_mp4_track(game), 0}); };
    ctx.voice_format = [voice] {
        return std::optional<PublishedTrack>({clip_mp4_track(voice), 0});
    };
    ctx.microphone = true;
    ctx.microphone_in_video = false;

    // 2.5 s back from the end (4 s): cut at the key of 1 s, 3 s long.
    SaveRequest req;
    req.kind = "baja";
    req.clip_path = "2026-10-25/Bajas/CRVN_2026-10-25_21-03-11_baja.mp4";
    req.span = SaveSpan{2, 500'000'000};
    req.events = {{R"("tipo":"baja","enemigo":"Ñandú \"El\" Rápido","arma":"M4")",
                   std::chrono::steady_clock::now()}};
    const ClipSaveResult r = clipsaver_save(ctx, req);
    ASSERT_EQ(r.outcome, ClipSaveResult::Outcome::saved) << r.error << prog.log();
    ASSERT_TRUE(r.voice_written);

    const nlohmann::json info = probe(r.clip);
    ASSERT_FALSE(info.is_discarded());
    ASSERT_EQ(info["streams"].size(), 2u);
    EXPECT_EQ(info["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(info["streams"][0]["codec_tag_string"], "avc1");
    EXPECT_EQ(info["streams"][0]["width"], 320);
    EXPECT_EQ(info["streams"][0]["nb_frames"], "90");
    EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
    EXPECT_EQ(info["streams"][1]["sample_rate"], "48000");
    EXPECT_EQ(info["streams"][1]["channels"], 2);
    EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), 3.0, 0.05);
    EXPECT_NEAR(std::stod(info["format"]["start_time"].get<std::string>()), 0.0, 1e-6);
    EXPECT_EQ(first_packets(r.clip, "v:0", 2), "0.000000,K_\n0.033333,__\n");

    EXPECT_EQ(command_output("ffmpeg -nostdin -v error -i " + quoted(r.clip) + " -f null - 2>&1"), "");

    const fs::path mic = clips_mic_path(r.clip);
    const nlohmann::json vinfo = probe(mic);
    ASSERT_FALSE(vinfo.is_discarded());
    ASSERT_EQ(vinfo["streams"].size(), 1u);
    EXPECT_EQ(vinfo["streams"][0]["codec_name"], "aac");
    EXPECT_THAT(vinfo["format"]["format_name"].get<std::string>(), ::testing::HasSubstr("m4a"));
    // The voice keeps the clip's time line: it starts at the clip's 0, within
    // the one AAC frame that straddles the cut.
    EXPECT_NEAR(std::stod(vinfo["format"]["start_time"].get<std::string>()), 0.0, 0.0214);
    // Same time line as the clip's own sound, cut at the same instant.
    EXPECT_EQ(vinfo["format"]["start_time"], info["streams"][1]["start_time"]);
    EXPECT_NEAR(std::stod(vinfo["format"]["duration"].get<std::string>()), 3.0, 0.05);
    EXPECT_EQ(command_output("ffmpeg -nostdin -v error -i " + quoted(mic) + " -f null - 2>&1"), "");

    const fs::path sidecar = clips_sidecar_path(r.clip);
    EXPECT_EQ(command_output("python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                      "print(d[\"duracion\"], d[\"audio\"][\"microfono\"], "
                      "d[\"eventos\"][0][\"enemigo\"])' " +
                      quoted(sidecar) + " 2>&1"),
              "3.0 separado Ñandú \"El\" Rápido\n");
    EXPECT_THAT(
        prog.log(),
        ::testing::HasSubstr(
            "[OK] Clip guardado: 2026-10-25/Bajas/CRVN_2026-10-25_21-03-11_baja.mp4  (3 s, "));
}

// Sound lost while the audio encoder was stuck: the clip's track keeps the
// gap where it was, and the sound after it stays at its own time.
TEST_F(ClipSaverMedia, AudioGapStaysAGapInTheClip) {
    encode_video(kCodecH264, "libx264", 160, 90, 30, 120, sink, video_slot);
    // Frames stamped from 1.5 s to 2 s never reached the buffer.
    const TrackFormat game = encode_aac(4.0, 440.0, kTrackAudio, sink, 15 * kSec / 10, 2 * kSec);
    std::int64_t resumed = -1;
    for (const ReplaySample& s : replay_buffer_snapshot(*buffer))
        if (s.track == kTrackAudio && s.timestamp >= 2 * kSec && resumed < 0) resumed = s.timestamp;
    ASSERT_GT(resumed, 0);
    ctx.audio_format = [game] { return std::optional<PublishedTrack>({clip_mp4_track(game), 0}); };
    const ClipSaveResult r = clipsaver_save(ctx, save_request_manual());
    ASSERT_EQ(r.outcome, ClipSaveResult::Outcome::saved) << r.error << prog.log();
    EXPECT_EQ(command_output("ffmpeg -nostdin -v error -i " + quoted(r.clip) + " -f null - 2>&1"), "");

    std::vector<double> times;
    std::istringstream lines(command_output(
        "ffprobe -v error -select_streams a:0 -show_entries packet=pts_time -of csv=p=0 " +
        quoted(r.clip)));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) times.push_back(std::stod(line));
    ASSERT_GT(times.size(), 100u);
    std::size_t after = 0;
    while (after < times.size() && times[after] < 1.9) ++after;
    ASSERT_LT(after, times.size());
    ASSERT_GT(after, 0u);
    EXPECT_LT(times[after - 1], 1.5);
    EXPECT_NEAR(times[after], static_cast<double>(resumed) / kSec, 1e-4);
}

TEST_F(ClipSaverMedia, HevcIsTaggedHvc1AndVideoOnlyClipsHaveOneTrack) {
    video_codec_allow_software_for_tests(true);
    encode_video(kCodecHevc, "libx265", 320, 180, 30, 60, sink, video_slot);
    video_codec_allow_software_for_tests(false);
    // The clip holds every buffered frame from the oldest keyframe on.
    std::size_t frames = 0;
    for (const ReplaySample& s : replay_buffer_snapshot(*buffer)) frames += s.track == kTrackVideo;
    ASSERT_GE(frames, 30u);
    const ClipSaveResult r = clipsaver_save(ctx, save_request_manual());
    ASSERT_EQ(r.outcome, ClipSaveResult::Outcome::saved) << r.error << prog.log();
    const nlohmann::json info = probe(r.clip);
    ASSERT_FALSE(info.is_discarded());
    ASSERT_EQ(info["streams"].size(), 1u);
    EXPECT_EQ(info["streams"][0]["codec_name"], "hevc");
    EXPECT_EQ(info["streams"][0]["codec_tag_string"], "hvc1");
    EXPECT_EQ(info["streams"][0]["nb_frames"], std::to_string(frames));
    EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), frames / 30.0, 0.01);
    EXPECT_EQ(first_packets(r.clip, "v:0", 1), "0.000000,K_\n");
    EXPECT_EQ(command_output("ffmpeg -nostdin -v error -i " + quoted(r.clip) + " -f null - 2>&1"), "");
}

TEST_F(ClipSaverMedia, Av1ClipDecodesCleanly) {
    video_codec_allow_software_for_tests(true);
    encode_video(kCodecAv1, "libsvtav1", 320, 180, 30, 60, sink, video_slot);
    video_codec_allow_software_for_tests(false);
    const ClipSaveResult r = clipsaver_save(ctx, save_request_manual());
    ASSERT_EQ(r.outcome, ClipSaveResult::Outcome::saved) << r.error << prog.log();
    const nlohmann::json info = probe(r.clip);
    ASSERT_FALSE(info.is_discarded());
    ASSERT_EQ(info["streams"].size(), 1u);
    EXPECT_EQ(info["streams"][0]["codec_name"], "av1");
    EXPECT_EQ(info["streams"][0]["codec_tag_string"], "av01");
    EXPECT_EQ(first_packets(r.clip, "v:0", 1), "0.000000,K_\n");
    EXPECT_EQ(command_output("ffmpeg -nostdin -v error -i " + quoted(r.clip) + " -f null - 2>&1"), "");
}

TEST_F(ClipSaverMedia, UnwritableFolderFailsAtCreate) {
    encode_video(kCodecH264, "libx264", 160, 90, 30, 30, sink, video_slot);
    // A file where the day folder should be: the folder cannot be made.
    fs::create_directories(prog.clips());
    std::ofstream(prog.clips() / "2026-10-25") << "x";
    const ClipSaveResult r = clipsaver_save(ctx, save_request_manual());
    ASSERT_EQ(r.outcome, ClipSaveResult::Outcome::failed);
    EXPECT_EQ(r.error.rfind("crear MP4 (", 0), 0u) << r.error;
}

}  // namespace
}  // namespace corvane
