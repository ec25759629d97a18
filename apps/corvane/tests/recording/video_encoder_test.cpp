#include "recording/video_encoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <mutex>
#include <thread>

#include "../support/x265_leak.h"
#include "recording_test_util.h"
#include "base/log.h"

namespace corvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(VideoBitRate, PartExamples) {
    struct Case {
        std::uint32_t mbps, fps, w, h;
        double bpp;
        std::uint32_t ceiling;
        std::uint8_t codec;
        std::uint32_t mean;
    } cases[] = {
        {1, 60, 1920, 1080, 0.16, 60, kCodecH264, 2'000'000},      // raised to 2 Mbps
        {200, 60, 1920, 1080, 0.16, 60, kCodecH264, 150'000'000},  // capped at 150
        {37, 60, 1920, 1080, 0.16, 60, kCodecAv1, 37'000'000},     // fixed rates ignore the codec
        {0, 60, 1920, 1080, 0.16, 60, kCodecHevc, 13'934'592},
        {0, 30, 1280, 720, 0.1, 15, kCodecH264, 4'000'000},        // 2,764,800 raised to the floor
        {0, 120, 3840, 2160, 0.2, 150, kCodecH264, 150'000'000},   // supercalidad at 4K: the ceiling
        {0, 60, 1920, 1080, 0.16, 60, kCodecAv1, 11'943'936},
    };
    for (const Case& c : cases)
        EXPECT_EQ(video_bit_rate(c.mbps, c.fps, c.w, c.h, c.bpp, c.ceiling, c.codec), c.mean)
            << c.mbps << " " << c.fps << " " << c.w << "x" << c.h << " codec " << int(c.codec);
}

TEST(VideoBitRate, PeakIsHalfOfTripleSaturating) {
    EXPECT_EQ(video_max_bit_rate(13'934'592), 20'901'888u);
    EXPECT_EQ(video_max_bit_rate(4'000'000), 6'000'000u);
    EXPECT_EQ(video_max_bit_rate(4'294'967'295u), 2'147'483'647u);
    EXPECT_EQ(video_max_bit_rate(2'000'000'000u), 2'147'483'647u);
}

TEST(VideoStamps, ExactAndInvertible) {
    EXPECT_EQ(video_frame_stamp(0, 60), 0);
    EXPECT_EQ(video_frame_stamp(1, 60), 166'666);
    EXPECT_EQ(video_frame_stamp(2, 60), 333'333);  // not 333,332: no drift from truncated durations
    EXPECT_EQ(video_frame_stamp(3, 30), 1'000'000);
    // One hour at 60 fps is exactly 3600 s.
    EXPECT_EQ(video_frame_stamp(216'000, 60), 36'000'000'000);
    for (std::uint32_t fps : {15u, 24u, 30u, 50u, 59u, 60u, 90u, 120u})
        for (std::int64_t i : {0LL, 1LL, 2LL, 7LL, 1'000LL, 999'999LL, 123'456'789LL})
            ASSERT_EQ(video_frame_index(video_frame_stamp(i, fps), fps), i) << fps << " " << i;
}

TEST(NalScan, Table) {
    struct Case {
        const char* name;
        Bytes in;
        std::vector<NalSlice> units;
    } cases[] = {
        {"empty", {}, {}},
        {"two bytes", {0, 0}, {}},
        {"no start code", {1, 2, 3, 4}, {}},
        {"three-byte code", {0, 0, 1, 0x65, 0xAA}, {{3, 2}}},
        {"four-byte codes", {0, 0, 0, 1, 0x67, 0x11, 0, 0, 0, 1, 0x68, 0x22}, {{4, 2}, {10, 2}}},
        {"trailing zeros before next code", {0, 0, 1, 0x67, 0x11, 0, 0, 0, 0, 0, 1, 0x68}, {{3, 2}, {11, 1}}},
        {"trailing zeros at the end stay", {0, 0, 1, 0x65, 0x01, 0, 0}, {{3, 4}}},
        {"back-to-back codes", {0, 0, 1, 0, 0, 1, 0x41}, {{6, 1}}},
        {"only codes and zeros", {0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1}, {}},
        {"code at the very end", {0, 0, 1, 0x09, 0xF0, 0, 0, 1}, {{3, 2}}},
    };
    for (const Case& c : cases) EXPECT_EQ(encoder_find_start_codes(c.in), c.units) << c.name;
}

Bytes h264_access_unit() {
    // AUD, SPS, PPS, SEI, IDR slice.
    return {0, 0, 0, 1, 0x09, 0xF0,                    //
            0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1F, 0xAC,  //
            0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80,        //
            0, 0, 1, 0x06, 0x05, 0xFF,                 //
            0, 0, 1, 0x65, 0x88, 0x84, 0x00};
}

TEST(SequenceHeader, H264KeepsSpsAndPpsInOrder) {
    Bytes au = h264_access_unit();
    EXPECT_TRUE(encoder_payload_is_key(kCodecH264, au));
    Bytes want = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1F, 0xAC, 0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80};
    EXPECT_EQ(encoder_build_sequence_header(kCodecH264, au), want);
    // A P slice (type 1) alone is no keyframe and has no header.
    Bytes p = {0, 0, 0, 1, 0x41, 0x9A, 0x02};
    EXPECT_FALSE(encoder_payload_is_key(kCodecH264, p));
    EXPECT_TRUE(encoder_build_sequence_header(kCodecH264, p).empty());
}

TEST(SequenceHeader, HevcVpsSpsPpsAndIdr) {
    // VPS (32), SPS (33), PPS (34), prefix SEI (39), IDR_W_RADL (19).
    Bytes au = {0, 0, 0, 1, 0x40, 0x01, 0x0C,  //
                0, 0, 0, 1, 0x42, 0x01, 0x01,  //
                0, 0, 0, 1, 0x44, 0x01, 0xC1,  //
                0, 0, 0, 1, 0x4E, 0x01, 0x05,  //
                0, 0, 0, 1, 0x26, 0x01, 0xAF};
    EXPECT_TRUE(encoder_payload_is_key(kCodecHevc, au));
    Bytes want = {0, 0, 0, 1, 0x40, 0x01, 0x0C, 0, 0, 0, 1, 0x42, 0x01, 0x01, 0, 0, 0, 1, 0x44, 0x01, 0xC1};
    EXPECT_EQ(encoder_build_sequence_header(kCodecHevc, au), want);
    // TRAIL_R (1) is not key; as H.264 the same bytes would read differently.
    Bytes trail = {0, 0, 1, 0x02, 0x01, 0xD0};
    EXPECT_FALSE(encoder_payload_is_key(kCodecHevc, trail));
    // AV1 is never key by scanning and gets no built header.
    EXPECT_FALSE(encoder_payload_is_key(kCodecAv1, h264_access_unit()));
    EXPECT_TRUE(encoder_build_sequence_header(kCodecAv1, h264_access_unit()).empty());
}

TEST(EncoderBacklog, CountsSentFramesAboveTheNewestPacket) {
    EncoderBacklog b;
    for (int i = 0; i < 5; ++i) b.sent(i * 100);
    EXPECT_EQ(b.count(), 5u);  // an encoder that holds frames before its first output
    b.finished(200);
    EXPECT_EQ(b.count(), 2u);
    // A dropped frame (no packet for 300) heals itself with the next packet.
    b.finished(400);
    EXPECT_EQ(b.count(), 0u);
    b.finished(500);  // never below zero
    EXPECT_EQ(b.count(), 0u);
}

// ---------------------------------------------------------------------------
// The encoder thread and the start-up with a scripted encoder.

struct Script {
    // Per codec: how opening fails (empty stage = success).
    std::map<VideoCodecId, VideoCodecFailure> open_fails;
    std::vector<VideoEncoderConfig> opened;  // every open attempt's config
    std::vector<std::string> tried;
    bool no_candidates = false;
    std::set<VideoCodecId> no_candidates_for;  // codecs without any encoder
    // Packets the fake encoder returns after each sent frame, by frame index.
    std::function<std::vector<VideoPacket>(std::int64_t pts)> output;
    std::mutex mutex;
};

class FakeEncoder final : public VideoEncoder {
public:
    explicit FakeEncoder(Script* s) : s_(s) {}
    std::optional<VideoCodecFailure> send(std::shared_ptr<const Nv12Frame>, std::int64_t pts) override {
        if (fail_at_ >= 0 && pts == fail_at_) return VideoCodecFailure{"enviar cuadro", {-5, "E/S"}};
        for (auto& p : s_->output(pts)) queue_.push_back(std::move(p));
        return std::nullopt;
    }
    VideoReceive receive(VideoPacket& p, VideoCodecFailure*) override {
        if (queue_.empty()) return VideoReceive::again;
        p = std::move(queue_.front());
        queue_.pop_front();
        return VideoReceive::packet;
    }
    std::vector<std::uint8_t> global_header() const override { return {}; }
    std::int64_t fail_at_ = -1;

private:
    Script* s_;
    std::deque<VideoPacket> queue_;
};

VideoEncoderFactory fake_factory(Script* s, std::int64_t fail_at = -1) {
    VideoEncoderFactory f;
    f.candidates = [s](VideoCodecId c) {
        std::vector<VideoEncoderCandidate> v;
        if (s->no_candidates || s->no_candidates_for.count(c)) return v;
        const char* n = c == VideoCodecId::h264 ? "Fake H264" : c == VideoCodecId::hevc ? "Fake HEVC" : "Fake AV1";
        v.push_back({n, n, true});
        if (c == VideoCodecId::h264) v.push_back({"Fake H264 2", "second", true});
        return v;
    };
    f.open = [s, fail_at](const VideoEncoderCandidate& cand, const VideoEncoderConfig& cfg) {
        std::lock_guard lock(s->mutex);
        s->opened.push_back(cfg);
        s->tried.push_back(cand.name);
        VideoEncoderOpen o;
        auto it = s->open_fails.find(cfg.codec);
        if (it != s->open_fails.end()) {
            o.failure = it->second;
            return o;
        }
        auto e = std::make_unique<FakeEncoder>(s);
        e->fail_at_ = fail_at;
        o.encoder = std::move(e);
        return o;
    };
    return f;
}

VideoEncoderStartConfig start_config(Script* s, std::uint8_t codec, std::shared_ptr<SampleSink> sink) {
    VideoEncoderStartConfig c;
    c.width = 1920;
    c.height = 1080;
    c.fps = 60;
    c.bits_per_pixel = 0.16;
    c.bitrate_ceiling_mbps = 60;
    c.codec = codec;
    c.sink = std::move(sink);
    c.factory = fake_factory(s);
    return c;
}

std::shared_ptr<SampleSink> test_sink() {
    return std::make_shared<SampleSink>(SampleSink{std::make_shared<ReplayBuffer>(), 60 * 10'000'000LL, 1ull << 30});
}

TEST(VideoEncoderStart, Av1FallsBackThroughHevcToH264WithFreshRates) {
    Script s;
    s.open_fails[VideoCodecId::av1] = {"iniciar", {-22, "Invalid argument"}};
    s.open_fails[VideoCodecId::hevc] = {"formato de salida", {-38, "Function not implemented"}};
    VideoEncoderStarted r = video_encoder_start(start_config(&s, kCodecAv1, test_sink()));
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.warnings.size(), 2u);
    EXPECT_EQ(r.warnings[0],
              "[AVISO] AV1 (experimental) no disponible (ningún codificador por hardware de este equipo pudo "
              "iniciarlo). Se usará HEVC (H.265).");
    EXPECT_EQ(r.warnings[1],
              "[AVISO] HEVC (H.265) no disponible (ningún codificador por hardware de este equipo pudo "
              "iniciarlo). Se usará H.264.");
    EXPECT_EQ(r.codec, kCodecH264);
    EXPECT_EQ(r.encoder_name, "Fake H264");
    ASSERT_EQ(s.opened.size(), 3u);
    EXPECT_EQ(s.opened[0].mean_bit_rate, 11'943'936u);  // factor 0.6
    EXPECT_EQ(s.opened[1].mean_bit_rate, 13'934'592u);  // recomputed with 0.7
    EXPECT_EQ(s.opened[2].mean_bit_rate, 19'906'560u);  // and with 1.0
    EXPECT_EQ(s.opened[1].max_bit_rate, 20'901'888u);
    EXPECT_EQ(s.opened[2].gop, 60u);
    EXPECT_EQ(r.mean_bit_rate, 19'906'560u);
    EXPECT_FALSE(r.format->load().has_value());
    r.frames.close();
}

// From the INI's profile word to the encoder's own speed setting: every
// profile reaches the encoder with its own figure, more quality never faster.
TEST(VideoEncoderStart, ProfileQualityVsSpeedReachesTheEncoderPreset) {
    struct Row {
        const char* ini;
        std::uint32_t value;
        const char* x264;
        const char* nvenc;
        const char* vaapi_level;
    };
    const Row rows[] = {
        {"[grabacion]\nperfil = ligero\n", 33, "superfast", "p2", "4"},
        {"[grabacion]\nperfil = super calidad\n", 50, "veryfast", "p3", "3"},
        {"[grabacion]\nperfil = equilibrado\n", 66, "faster", "p4", "2"},
        {"[grabacion]\nperfil = Calidad\n[avanzado]\nfps = 30\n", 80, "fast", "p5", "1"},
        {"", 66, "faster", "p4", "2"},  // no profile named: equilibrado
    };
    for (const Row& row : rows) {
        Settings settings;
        config_parse(settings, row.ini);
        VideoEncoderStartConfig c = video_encoder_start_config(settings, 1280, 720);
        EXPECT_EQ(c.quality_vs_speed, row.value) << row.ini;
        Script s;
        c.factory = fake_factory(&s);
        c.sink = test_sink();
        VideoEncoderStarted r = video_encoder_start(c);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_FALSE(s.opened.empty());
        const std::uint32_t q = s.opened.back().quality_vs_speed;
        EXPECT_EQ(q, row.value) << row.ini;
        EXPECT_EQ(video_encoder_speed_option("libx264", q),
                  (VideoSpeedOption{"preset", row.x264}));
        EXPECT_EQ(video_encoder_speed_option("libx265", q),
                  (VideoSpeedOption{"preset", row.x264}));
        EXPECT_EQ(video_encoder_speed_option("h264_nvenc", q),
                  (VideoSpeedOption{"preset", row.nvenc}));
        EXPECT_EQ(video_encoder_speed_option("hevc_vaapi", q),
                  (VideoSpeedOption{"compression_level", row.vaapi_level}));
        r.frames.close();
    }
    // The profile's other figures travel with it.
    Settings ligero;
    config_parse(ligero, "[grabacion]\nperfil = ligero\n[avanzado]\ncodec = h264\nbitrate_mbps = 9\n");
    VideoEncoderStartConfig c = video_encoder_start_config(ligero, 640, 360);
    EXPECT_EQ(c.width, 640u);
    EXPECT_EQ(c.height, 360u);
    EXPECT_EQ(c.fps, 30u);
    EXPECT_EQ(c.bits_per_pixel, 0.1);
    EXPECT_EQ(c.bitrate_ceiling_mbps, 15u);
    EXPECT_EQ(c.bitrate_mbps, 9u);
    EXPECT_EQ(c.codec, kCodecH264);
    // Below the lightest profile the fastest settings; an unknown encoder has none.
    EXPECT_EQ(video_encoder_speed_option("libx264", 0).value, "ultrafast");
    EXPECT_EQ(video_encoder_speed_option("libx264", 100).value, "fast");
    EXPECT_TRUE(video_encoder_speed_option("mpeg4", 80).name.empty());
}

TEST(VideoEncoderStart, EachTryGetsAFreshSlot) {
    Script s;
    std::vector<std::shared_ptr<FormatSlot>> seen;
    s.open_fails[VideoCodecId::hevc] = {"iniciar", {-1, "x"}};
    VideoEncoderStartConfig c = start_config(&s, kCodecHevc, test_sink());
    std::vector<std::thread> threads;
    c.spawn = [&](std::function<void()> body, std::string*) {
        threads.emplace_back(std::move(body));
        return true;
    };
    VideoEncoderStarted r = video_encoder_start(std::move(c));
    ASSERT_TRUE(r.ok);
    r.frames.close();
    for (auto& t : threads) t.join();
    EXPECT_EQ(threads.size(), 2u);
    EXPECT_EQ(r.codec, kCodecH264);
}

TEST(VideoEncoderStart, H264FailureIsFatalAfterEveryCandidate) {
    Script s;
    s.open_fails[VideoCodecId::h264] = {"iniciar", {-12, "Cannot allocate memory"}};
    VideoEncoderStarted r = video_encoder_start(start_config(&s, kCodecH264, test_sink()));
    EXPECT_FALSE(r.ok);
    // The last candidate's failure replaces the earlier one.
    EXPECT_EQ(r.error,
              "No se pudo iniciar el codificador de video: no se pudo iniciar el codificador de video "
              "(Fake H264 2: iniciar (Cannot allocate memory))");
    EXPECT_EQ(s.tried, (std::vector<std::string>{"Fake H264", "Fake H264 2"}));
    EXPECT_TRUE(r.warnings.empty());
}

TEST(VideoEncoderStart, NoCandidateNoReplyAndNoThread) {
    Script s;
    s.no_candidates = true;
    VideoEncoderStarted r = video_encoder_start(start_config(&s, kCodecH264, test_sink()));
    EXPECT_EQ(r.error,
              "No se pudo iniciar el codificador de video: tu tarjeta de video no tiene codificador "
              "por hardware para H.264");

    // Without an HEVC encoder the fallback's warning says so in plain words.
    Script hevcless;
    hevcless.no_candidates_for = {VideoCodecId::hevc};
    r = video_encoder_start(start_config(&hevcless, kCodecHevc, test_sink()));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.warnings, (std::vector<std::string>{"[AVISO] HEVC (H.265) no disponible (este equipo no tiene "
                                                    "codificador por hardware para él). Se usará H.264."}));
    EXPECT_EQ(r.codec, kCodecH264);
    r.frames.close();

    // A thread that ends without replying.
    Script s2;
    VideoEncoderStartConfig c = start_config(&s2, kCodecH264, test_sink());
    c.spawn = [](std::function<void()> body, std::string*) {
        body = nullptr;  // dropped unrun: its reply channel closes
        return true;
    };
    r = video_encoder_start(std::move(c));
    EXPECT_EQ(r.error, "No se pudo iniciar el codificador de video: el hilo del codificador terminó");

    // A thread that cannot be created is fatal at once, without fallback.
    Script s3;
    c = start_config(&s3, kCodecHevc, test_sink());
    c.spawn = [](std::function<void()>, std::string* e) {
        *e = "Resource temporarily unavailable";
        return false;
    };
    r = video_encoder_start(std::move(c));
    EXPECT_EQ(r.error, "No se pudo iniciar el codificador de video: Resource temporarily unavailable");
    EXPECT_TRUE(r.warnings.empty());
}

VideoPacket packet(std::int64_t pts, Bytes bytes, bool key_flag = false, bool change = false) {
    VideoPacket p;
    p.pts = pts;
    p.bytes = std::move(bytes);
    p.key = key_flag;
    p.stream_change = change;
    return p;
}

// Drives the encoder thread on the test's thread with a scripted encoder.
struct ThreadRun {
    Script script;
    std::shared_ptr<SampleSink> sink = test_sink();
    std::shared_ptr<FormatSlot> slot = std::make_shared<FormatSlot>();
    std::shared_ptr<EncoderBacklog> backlog = std::make_shared<EncoderBacklog>();
    std::optional<VideoEncoderReply> reply;

    // Sends `frames` frames (then end of stream unless `close_instead`) and runs the thread.
    void run(int frames, std::int64_t fail_at = -1, bool end_of_stream = true, std::uint8_t codec = kCodecH264) {
        auto [rtx, rrx] = make_channel<VideoEncoderReply>(1);
        auto [ftx, frx] = make_channel<VideoFrameMsg>(1000);
        auto frame = nv12_frame_alloc(16, 16);
        for (int i = 0; i < frames; ++i) {
            backlog->sent(video_frame_stamp(i, 30));
            ftx.send(VideoFrameMsg{frame, video_frame_stamp(i, 30)});
        }
        if (end_of_stream) ftx.send(VideoFrameMsg{});
        else ftx.close();
        VideoEncoderParams p;
        p.reply = std::move(rtx);
        p.frames = std::move(frx);
        p.width = 16;
        p.height = 16;
        p.fps = 30;
        p.mean_bit_rate = 4'000'000;
        p.codec = codec;
        p.backlog = backlog;
        p.format = slot;
        p.sink = sink;
        p.factory = fake_factory(&script, fail_at);
        video_encoder_thread_main(std::move(p));
        reply = rrx.receive();
        ftx_closed = ftx.receiver_closed();
    }
    bool ftx_closed = false;
    std::vector<ReplaySample> samples() const { return replay_buffer_snapshot(*sink->buffer); }
};

Bytes idr() { return h264_access_unit(); }
Bytes pslice(std::uint8_t tag) { return {0, 0, 0, 1, 0x41, tag}; }

TEST(VideoEncoderThread, DropsUntilTheFirstKeyframeThenPublishesItsParameterSets) {
    test::LogCapture log;
    ThreadRun t;
    // One frame of delay: packet for frame i comes out after frame i+1. Frames
    // 0 and 1 come out as P slices, frame 2 as an IDR without the key flag.
    t.script.output = [](std::int64_t pts) {
        std::vector<VideoPacket> v;
        if (pts == 0) return v;
        std::int64_t out = pts - 1;
        v.push_back(packet(out, out == 2 ? idr() : pslice(static_cast<std::uint8_t>(out))));
        return v;
    };
    t.run(6);
    ASSERT_TRUE(t.reply && t.reply->ok);
    EXPECT_EQ(t.reply->text, "Fake H264");
    auto s = t.samples();
    ASSERT_EQ(s.size(), 3u);  // packets 2, 3, 4; 0 and 1 dropped; 5 still inside at the end
    EXPECT_TRUE(s[0].keyframe);
    EXPECT_EQ(s[0].timestamp, 666'666);
    EXPECT_EQ(s[0].duration, 333'334);
    EXPECT_EQ(s[1].timestamp, 1'000'000);
    EXPECT_EQ(s[1].duration, 333'333);
    EXPECT_FALSE(s[1].keyframe);
    EXPECT_EQ(*s[2].payload, pslice(4));
    auto f = t.slot->load();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->codec, TrackCodec::h264);
    EXPECT_EQ(f->width, 16u);
    EXPECT_EQ(f->fps, 30u);
    EXPECT_EQ(f->extradata,
              (Bytes{0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1F, 0xAC, 0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80}));
    // Dropped packets lowered the backlog too: only frame 5 is still out.
    EXPECT_EQ(t.backlog->count(), 1u);
    EXPECT_TRUE(t.ftx_closed);
    // End of stream is a quiet end.
    EXPECT_EQ(log.text().find("[ERROR]"), std::string::npos);
}

TEST(VideoEncoderThread, KeyFlagAloneMakesAKeyframeAndStreamChangeWaitsForTheNext) {
    ThreadRun t;
    t.script.output = [](std::int64_t pts) {
        std::vector<VideoPacket> v;
        if (pts == 0) v.push_back(packet(0, pslice(0), true));           // key by flag only
        else if (pts == 3) v.push_back(packet(3, pslice(3), false, true)); // new parameter sets, not key
        else if (pts == 5) {
            Bytes au = idr();
            au[14] = 0xAD;  // a different SPS
            v.push_back(packet(5, au));
        } else v.push_back(packet(pts, pslice(static_cast<std::uint8_t>(pts))));
        return v;
    };
    t.run(7, -1, /*end_of_stream=*/false);
    auto s = t.samples();
    std::vector<std::int64_t> stamps;
    for (auto& x : s) stamps.push_back(video_frame_index(x.timestamp, 30));
    EXPECT_EQ(stamps, (std::vector<std::int64_t>{0, 1, 2, 5, 6}));  // 3 and 4 wait for the new keyframe
    auto f = t.slot->load();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->extradata[8], 0xAD);
    EXPECT_TRUE(t.ftx_closed);
}

TEST(VideoEncoderThread, ASendFailureLogsAndClosesTheChannel) {
    test::LogCapture log;
    ThreadRun t;
    t.script.output = [](std::int64_t pts) { return std::vector<VideoPacket>{packet(pts, idr())}; };
    t.run(5, /*fail_at=*/2);
    EXPECT_EQ(t.samples().size(), 2u);
    EXPECT_TRUE(t.ftx_closed);
    EXPECT_NE(log.text().find("[ERROR] El codificador de video se detuvo: enviar cuadro (E/S)"),
              std::string::npos);
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// The real encoders behind the start-up: H.264 always, HEVC and AV1 with the
// software switch. The published header is what the MP4 writer will need.
TEST(VideoEncoderReal, EachCodecPublishesItsHeaderAtTheFirstKeyframe) {
    video_codec_allow_software_for_tests(true);
    for (std::uint8_t codec : {kCodecH264, kCodecHevc, kCodecAv1}) {
        VideoEncoderStartConfig c;
        c.width = 320;
        c.height = 240;
        c.fps = 30;
        c.bits_per_pixel = 0.1;
        c.bitrate_ceiling_mbps = 15;
        c.quality_vs_speed = 33;
        c.codec = codec;
        c.sink = test_sink();
        VideoEncoderStarted r = video_encoder_start(c);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.codec, codec) << "no fallback: " << (r.warnings.empty() ? "" : r.warnings[0]);
        std::vector<std::shared_ptr<Nv12Frame>> ring;
        for (int i = 0; i < 4; ++i) ring.push_back(nv12_frame_alloc(320, 240));
        for (int i = 0; i < 45; ++i) {
            auto& f = ring[static_cast<std::size_t>(i) % ring.size()];
            for (std::uint32_t y = 0; y < 240; ++y)
                for (std::uint32_t x = 0; x < 320; ++x)
                    f->y[y * f->y_stride + x] = static_cast<std::uint8_t>(16 + ((x + 5 * i) ^ y) % 200);
            std::memset(f->uv, 128, f->uv_stride * 120);
            ASSERT_TRUE(test::wait_for([&] { return r.backlog->count() < kEncoderBacklogLimit; }, 30));
            r.backlog->sent(video_frame_stamp(i, 30));
            ASSERT_TRUE(r.frames.send(VideoFrameMsg{f, video_frame_stamp(i, 30)}));
        }
        // Frames 0..30 out: the second keyframe is in. (An encoder may keep a few
        // frames back; the real clock never stops sending, this test does.)
        auto video_out = [&] { return replay_buffer_snapshot(*c.sink->buffer).size(); };
        ASSERT_TRUE(test::wait_for([&] { return video_out() >= 31; }, 60))
            << int(codec) << ": " << video_out() << " out, backlog " << r.backlog->count();
        r.frames.send(VideoFrameMsg{});
        ASSERT_TRUE(test::wait_for([&] { return r.frames.receiver_closed(); }, 60));

        auto format = r.format->load();
        ASSERT_TRUE(format) << int(codec);
        ASSERT_FALSE(format->extradata.empty()) << int(codec);
        auto samples = replay_buffer_snapshot(*c.sink->buffer);
        ASSERT_GE(samples.size(), 31u) << int(codec);
        EXPECT_TRUE(samples[0].keyframe);
        EXPECT_EQ(samples[0].timestamp, 0);
        if (codec == kCodecAv1) {
            EXPECT_EQ(format->codec, TrackCodec::av1);
            // The sequence header OBU (type 1), or an av1C record (marker bit).
            std::uint8_t b = format->extradata[0];
            EXPECT_TRUE((b >> 3 & 0x0F) == 1 || (b & 0x80)) << int(b);
        } else {
            std::vector<int> types;
            for (auto& u : encoder_find_start_codes(format->extradata)) {
                std::uint8_t h = format->extradata[u.start];
                types.push_back(codec == kCodecHevc ? (h >> 1) & 0x3F : h & 0x1F);
            }
            std::vector<int> want = codec == kCodecHevc ? std::vector<int>{32, 33, 34} : std::vector<int>{7, 8};
            EXPECT_EQ(types, want);
        }
        int keys = 0;
        for (auto& s : samples) keys += s.keyframe;
        EXPECT_EQ(keys, 2) << int(codec);  // frames 0 and 30
    }
    video_codec_allow_software_for_tests(false);
}

}  // namespace
}  // namespace corvane
