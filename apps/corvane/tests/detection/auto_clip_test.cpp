// A scene's automatic clip through the real clip saver thread: real encoded
// video in the replay buffer, the engine's request in the slot, and the MP4
// and its sidecar checked with ffprobe and the JSON parser.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include <nlohmann/json.hpp>

#include "../recording/saver_test_util.h"
#include "../support/command.h"
#include "clips/library.h"
#include "detection/events.h"
#include "recording/channel.h"
#include "recording/clip_saver.h"
#include "recording/video_encoder.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// `seconds` of moving pictures through the real video encoder (libx264, a
// keyframe every second) into the sink.
void encode_video(std::uint32_t fps, int seconds, const std::shared_ptr<SampleSink>& sink,
                  const std::shared_ptr<FormatSlot>& slot) {
    constexpr std::uint32_t w = 320, h = 180;
    const int frames = static_cast<int>(fps) * seconds;
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
    p.mean_bit_rate = 1'000'000;
    p.codec = kCodecH264;
    p.backlog = backlog;
    p.format = slot;
    p.sink = sink;
    p.factory = VideoEncoderFactory{
        [](VideoCodecId) {
            return std::vector<VideoEncoderCandidate>{{"libx264", "libx264", false}};
        },
        video_encoder_open};
    video_encoder_thread_main(std::move(p));
    auto reply = rrx.receive();
    ASSERT_TRUE(reply.has_value());
    ASSERT_TRUE(reply->ok) << reply->text;
}

TEST(AutomaticClip, CoversTheSceneAndPlacesItsEventsInsideTheClip) {
    if (std::system("ffprobe -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffprobe is not installed";
    test::TempProgram prog;
    fs::create_directories(prog.clips());

    // 15 s of video in the buffer, its end being "now" for the saver.
    auto buffer = std::make_shared<ReplayBuffer>();
    auto sink = replay_buffer_sink_make(buffer, 60, 1024);
    auto video_slot = std::make_shared<FormatSlot>();
    encode_video(15, 15, sink, video_slot);
    ASSERT_TRUE(video_slot->load().has_value());

    auto slot = std::make_shared<SaveRequestSlot>();
    Settings settings = settings_defaults();
    settings.general.carpeta_clips = prog.clips();
    // The test's buffer stops growing once encoded, so the time the saver
    // takes moves every event earlier in the clip; 4 s of lead leave room
    // for a slow machine.
    settings.clips.segundos_antes = 4;
    settings.clips.segundos_despues = 1;
    EventEngineState st = events_state_make(settings, slot, [] { return std::string("Warzone"); });

    // A knock-down at 1 s, the death card read from 2 s to 4 s: the death
    // is committed at 10.25 s and the scene closes at 10.75 s, which is the
    // real now, so the scene's instants lie where the buffered video shows them.
    const Instant t0 = std::chrono::steady_clock::now() - 10750ms;
    const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
    for (int ms = 250; ms <= 10750; ms += 250) {
        if (ms == 1000) st.pending_knock = PendingKnock{"VIPER", at(ms)};
        if (ms == 2000)
            events_open_death(st, DeathCardReading{"NIGHTOWL", "CAPTAIN", "SMG", {}, 30}, at(ms));
        if (ms > 2000 && ms <= 4000) {
            st.pending_death->readings.push_back(
                DeathCardReading{"NIGHTOWL", "CAPTAIN", "SMG", {}, 30});
            st.pending_death->last = at(ms);
        }
        events_tick(st, at(ms));
    }
    ASSERT_FALSE(st.scene);

    // The saver thread takes the request from the slot.
    ClipSaverContext ctx;
    ctx.clips_folder = prog.clips();
    ctx.quit = std::make_shared<QuitFlag>();
    ctx.slot = slot;
    ctx.buffer = buffer;
    ctx.video_format = clip_format_source(video_slot);
    ctx.sound_on_save = false;
    ctx.game_sound = false;
    const auto saved_before = ClipsSavedCounter.load();
    std::thread saver(clipsaver_thread_main, ctx);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (ClipsSavedCounter.load() == saved_before &&
           std::chrono::steady_clock::now() < deadline &&
           prog.log().find("[ERROR]") == std::string::npos)
        std::this_thread::sleep_for(20ms);
    ctx.quit->set = true;
    saver.join();
    ASSERT_GT(ClipsSavedCounter.load(), saved_before) << prog.log();

    // The history names the clip that was written.
    const std::string history = test::read_file(prog.clips() / "estadisticas.jsonl");
    const auto line = nlohmann::json::parse(history, nullptr, false);
    ASSERT_TRUE(line.is_object()) << history;
    EXPECT_EQ(line["tipo"], "muerte");
    EXPECT_EQ(line["derribado_por"], "VIPER");
    EXPECT_EQ(line["juego"], "Warzone");
    const std::string relative = line["clip"];
    EXPECT_THAT(
        relative,
        ::testing::MatchesRegex(
            R"([0-9]{4}-[0-9]{2}-[0-9]{2}/Muertes/CRVN_[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}-[0-9]{2}-[0-9]{2}_muerte\.mp4)"));
    const fs::path clip = prog.clips() / relative;
    ASSERT_TRUE(fs::exists(clip)) << prog.log();

    // Span: 9.75 s since the knock + 4 s; cut at the keyframe of 1 s.
    const std::string probed = test::command_output(
        "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + clip.string() + "'");
    const double duration = std::stod(probed);
    EXPECT_GE(duration, 13.75);
    EXPECT_NEAR(duration, 14.0, 0.1);

    const auto sidecar =
        nlohmann::json::parse(test::read_file(clips_sidecar_path(clip)), nullptr, false);
    ASSERT_TRUE(sidecar.is_object());
    const auto& events = sidecar["eventos"];
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]["tipo"], "killcam");
    EXPECT_EQ(events[0]["enemigo"], "NIGHTOWL");
    EXPECT_EQ(events[0]["arma"], "SMG");
    EXPECT_EQ(events[1]["tipo"], "derribo");
    EXPECT_EQ(events[1]["enemigo"], "VIPER");
    EXPECT_EQ(events[2]["tipo"], "fin_killcam");
    for (const auto& e : events) {
        EXPECT_GT(e["segundo"].get<double>(), 0.0) << e;
        EXPECT_LT(e["segundo"].get<double>(), duration) << e;
    }
    // Where they lie relative to each other does not depend on how fast the
    // saver ran: the knock 1 s before the killcam, which lasts 2 s.
    const double knock = events[1]["segundo"], killcam = events[0]["segundo"],
                 end = events[2]["segundo"];
    EXPECT_NEAR(killcam - knock, 1.0, 0.11);
    EXPECT_NEAR(end - killcam, 2.0, 0.11);
    EXPECT_THAT(prog.log(), ::testing::HasSubstr("[OK] Clip guardado: " + relative));
    EXPECT_THAT(prog.log(), ::testing::HasSubstr("[CLIP] Escena con 1 evento(s) -> " + relative));
}

}  // namespace
}  // namespace corvane
