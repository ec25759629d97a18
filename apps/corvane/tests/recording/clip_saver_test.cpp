#include "recording/clip_saver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include <fmt/format.h>

#include "base/avisos.h"
#include "base/json.h"
#include "clips/library.h"
#include "saver_test_util.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::kSec;
using test::sample;
using ::testing::HasSubstr;
using ::testing::Not;

// Video every 0.5 s, keyframes each second: K = {0,1,2,3 s}, end 3.5 s.
std::vector<ReplaySample> four_gops() {
    std::vector<ReplaySample> s;
    for (int i = 0; i < 7; ++i)
        s.push_back(sample(kTrackVideo, i * kSec / 2, kSec / 2, i % 2 == 0));
    return s;
}

TEST(ClipCut, KeyframeTable) {
    const auto s = four_gops();
    struct Case {
        std::optional<std::int64_t> span;
        std::int64_t since;
        std::optional<std::int64_t> cut;
    };
    const std::int64_t none = INT64_MIN;
    const std::vector<Case> cases = {
        {kSec, none, 2 * kSec},                  // target 2.5 s: the key before it
        {kSec * 3 / 2, none, 2 * kSec},          // target exactly on a key
        {10 * kSec, none, 0},                    // reaches back beyond the buffer
        {std::nullopt, none, 0},                 // manual: the oldest key
        {0, none, 3 * kSec},                     // no span at all: the newest key
        {INT64_MAX, none, 0},                    // end − span saturates instead of wrapping
        {std::nullopt, kSec * 3 / 2, 2 * kSec},  // format published at 1.5 s
        {10 * kSec, 1 * kSec, 1 * kSec},
        {std::nullopt, 4 * kSec, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clip_cut_point(s, c.span, c.since), c.cut)
            << c.span.value_or(-1) << " since " << c.since;
    }
    // A huge span in seconds converts without wrapping.
    EXPECT_EQ(clip_cut_point(s, save_span_units({UINT64_MAX, 999'999'999})), 0);
    EXPECT_EQ(clip_cut_point({sample(kTrackAudio, 0, 1, true)}, std::nullopt), std::nullopt);
    EXPECT_EQ(clip_cut_point({sample(kTrackVideo, 0, 1, false)}, std::nullopt), std::nullopt);
}

TEST(ClipCut, KeptSamplesAreRebasedAndStablySorted) {
    std::vector<ReplaySample> s = {
        sample(kTrackVideo, 10, 5, true),  sample(kTrackAudio, 12, 3, true),
        sample(kTrackVideo, 20, 5, true),  sample(kTrackAudio, 18, 3, true),
        sample(kTrackVoice, 20, 3, true),  sample(kTrackAudio, 20, 3, true),
        sample(kTrackVideo, 25, 5, false),
    };
    const auto kept = clip_kept_samples(s, 20);
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(kept[0].track, kTrackVideo);  // equal timestamps keep buffer order
    EXPECT_EQ(kept[1].track, kTrackVoice);
    EXPECT_EQ(kept[2].track, kTrackAudio);
    EXPECT_EQ(kept[3].timestamp, 5);
    for (const auto& k : kept) EXPECT_GE(k.timestamp, 0);
    EXPECT_EQ(kept[0].payload.get(), s[2].payload.get());  // shared, not copied
    EXPECT_EQ(clip_kept_samples({sample(kTrackVideo, 7, 5, true)}, 7).size(), 1u);
}

TEST(ClipSidecar, ExactBytesForEveryAudioRow) {
    EXPECT_EQ(
        clip_sidecar_text("X.mp4", 60.0, clip_audio_object(true, false, true, std::nullopt), {}),
        "{\"clip\":\"X.mp4\",\"duracion\":60.0,\"audio\":{\"juego\":\"pista\",\"microfono\":\"no\"}"
        ","
        "\"eventos\":[\n  \n]}\n");
    struct Row {
        bool game, mic, in_video;
        std::optional<std::string> voice;
        const char* want;
    };
    const std::vector<Row> rows = {
        {true, false, false, "v_mic.m4a", R"({"juego":"pista","microfono":"no"})"},
        {false, true, true, std::nullopt, R"({"juego":"no","microfono":"integrado"})"},
        {true, true, false, "v\"_mic.m4a",
         R"({"juego":"pista","microfono":"separado","archivo_microfono":"v_mic.m4a","desfase_microfono":0.0})"},
        {true, true, false, std::nullopt, R"({"juego":"pista","microfono":"no"})"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(clip_audio_object(r.game, r.mic, r.in_video, r.voice), r.want);

    EXPECT_EQ(clip_sidecar_text(
                  "a\"b\".mp4", 14.04, R"({"juego":"no","microfono":"no"})",
                  {{3.25, R"("tipo":"baja","enemigo":"A")"}, {0.0, R"("tipo":"fin_killcam")"}}),
              "{\"clip\":\"ab.mp4\",\"duracion\":14.0,\"audio\":{\"juego\":\"no\",\"microfono\":"
              "\"no\"},\"eventos\":[\n"
              "  {\"segundo\":3.2,\"tipo\":\"baja\",\"enemigo\":\"A\"},\n  "
              "{\"segundo\":0.0,\"tipo\":\"fin_killcam\"}\n]}\n");
}

TEST(ClipSidecar, EventSecondsCountBackFromTheCutSnapshot) {
    const auto t1 = std::chrono::steady_clock::now();
    using std::chrono::milliseconds;
    // end 60 s, cut 0: an event 2 s before t1 sits at 60 − 0.15 − 2.
    EXPECT_DOUBLE_EQ(clip_event_second(60 * kSec, 0, t1, t1 - milliseconds(2000), 60.0), 57.85);
    EXPECT_DOUBLE_EQ(clip_event_second(60 * kSec, 10 * kSec, t1, t1 + milliseconds(500), 50.0),
                     49.85);
    EXPECT_DOUBLE_EQ(clip_event_second(60 * kSec, 0, t1, t1 - milliseconds(90'000), 60.0), 0.0);
    EXPECT_DOUBLE_EQ(clip_event_second(60 * kSec, 0, t1, t1, 30.0), 30.0);
}

TEST(ClipNotice, TitleKindAndText) {
    struct Case {
        const char* kind;
        const char* title;
        std::uint8_t notice_kind;
    };
    const std::vector<Case> cases = {
        {"baja", "BAJA", 0},          {"bajas-x3", "RACHA x3", 1},
        {"derribo", "DERRIBO", 2},    {"muerte", "MUERTE · KILLCAM", 3},
        {"manual", "CLIP MANUAL", 4}, {"acción", "ACCIÓN", 5}};
    for (const auto& c : cases) {
        const AvisoEntry e = clip_notice(c.kind, {}, 14.0);
        EXPECT_EQ(e.title, c.title);
        EXPECT_EQ(e.kind, c.notice_kind);
        EXPECT_EQ(e.text, "Clip guardado · 14 s");
    }
    auto ev = [](std::string f) { return SceneEvent{std::move(f), {}}; };
    const std::vector<SceneEvent> events = {
        ev(R"("tipo":"baja","enemigo":"A","arma":"M4")"),
        ev(R"("tipo":"baja","enemigo":"B")"),
        ev(R"("tipo":"baja","enemigo":"A","arma":"MP5")"),
        ev(R"("tipo":"fin_killcam","enemigo":"Z","arma":"X")"),
        ev(R"("tipo":"baja","enemigo":"C")"),
        ev(R"("tipo":"baja","enemigo":"D")"),
        ev(R"("tipo":"baja","enemigo":"E")"),
    };
    EXPECT_EQ(clip_notice("bajas-x5", events, 14.4).text, "A, B, C +2 · M4 · Clip guardado · 14 s");
    EXPECT_EQ(clip_notice("muerte", {ev(R"("tipo":"muerte","arma":"Kar98")")}, 9.6).text,
              "Kar98 · Clip guardado · 10 s");
    EXPECT_EQ(clip_notice("muerte", {ev(R"("tipo":"fin_killcam","enemigo":"Z")")}, 3.0).text,
              "Clip guardado · 3 s");
}

TEST(ClipNotice, StringValueLookup) {
    EXPECT_EQ(json_find_string_value(R"("a":"x","enemigo":"Bob","b":"y")", "enemigo"), "Bob");
    EXPECT_EQ(json_find_string_value(R"("enemigo": "Bob")", "enemigo"), std::nullopt);
    EXPECT_EQ(json_find_string_value(R"("enemigo":"")", "enemigo"), "");
    EXPECT_EQ(clipsaver_error_text("crear MP4", "Permission denied"),
              "crear MP4 (Permission denied)");
}

// ---- Whole saves on the recording muxer ------------------------------------

Mp4Track video_track() {
    Mp4Track t;
    t.codec = Mp4Codec::h264;
    t.width = 640;
    t.height = 360;
    t.fps = 30;
    return t;
}

Mp4Track audio_track() {
    Mp4Track t;
    t.codec = Mp4Codec::aac;
    t.sample_rate = 48000;
    t.channels = 2;
    return t;
}

class ClipSaver : public ::testing::Test {
  protected:
    void SetUp() override {
        avisos_clear_for_tests();
        buffer = std::make_shared<ReplayBuffer>();
        sink = SampleSink{buffer, 600 * kSec, 1ULL << 40};
        ctx.clips_folder = prog.clips();
        ctx.buffer = buffer;
        ctx.video_format = [this]() -> std::optional<PublishedTrack> {
            if (!video_published) return std::nullopt;
            return PublishedTrack{video_track(), video_since};
        };
        ctx.audio_format = []() -> std::optional<PublishedTrack> {
            return PublishedTrack{audio_track(), 0};
        };
        ctx.open_muxer = muxers.factory();
        ctx.play_sound = [this](ClipSound s, float v) { sounds.emplace_back(s, v); };
        ctx.chime_volume = 0.4f;
        ctx.load_settings = [this] {
            Settings s;
            s.clips.limite_disco_gb = limit_gb;
            return s;
        };
        ctx.local_time = [] { return LocalDateTime{"2026-10-25", "21-03-07"}; };
    }
    void TearDown() override {
        avisos_clear_for_tests();
        clips_set_file_ops_for_tests({});
    }

    // 10 s of video at 10 fps with a key each second, sound every 0.1 s
    // starting 0.05 s late, voice every 0.1 s.
    void fill(std::int64_t from = 0, std::int64_t to = 10 * kSec, bool voice = false) {
        for (std::int64_t t = from; t < to; t += kSec / 10) {
            replay_buffer_push(sink, sample(kTrackVideo, t, kSec / 10, (t % kSec) == 0));
            replay_buffer_push(sink, sample(kTrackAudio, t + kSec / 20, kSec / 10, true));
            if (voice)
                replay_buffer_push(sink, sample(kTrackVoice, t + kSec / 20, kSec / 10, true));
        }
    }

    std::vector<AvisoEntry> notices() {
        std::vector<AvisoEntry> out;
        while (auto e = avisos_pop()) out.push_back(*e);
        return out;
    }

    test::TempProgram prog;
    std::shared_ptr<ReplayBuffer> buffer;
    SampleSink sink;
    ClipSaverContext ctx;
    test::FakeMuxers muxers;
    std::vector<std::pair<ClipSound, float>> sounds;
    bool video_published = true;
    std::int64_t video_since = 0;
    std::uint64_t limit_gb = 0;
};

TEST_F(ClipSaver, NothingToSaveOnlyWarns) {
    const auto before = ClipsSavedCounter.load();
    EXPECT_EQ(clipsaver_save(ctx, save_request_manual()).outcome,
              ClipSaveResult::Outcome::no_video);
    fill();
    video_published = false;
    EXPECT_EQ(clipsaver_save(ctx, save_request_manual()).outcome,
              ClipSaveResult::Outcome::no_video);
    const std::string log = prog.log();
    size_t n = 0;
    for (size_t at = 0;
         (at = log.find("[AVISO] Todavía no hay video en el búfer.", at)) != std::string::npos;
         ++at)
        ++n;
    EXPECT_EQ(n, 2u);
    EXPECT_TRUE(muxers.logs().empty());
    EXPECT_TRUE(sounds.empty());
    EXPECT_TRUE(notices().empty());
    EXPECT_EQ(ClipsSavedCounter.load(), before);
    EXPECT_FALSE(fs::exists(prog.clips()));
}

TEST_F(ClipSaver, ManualSaveWritesClipSidecarLogNoticeAndSound) {
    fill(0, 10 * kSec, /*voice=*/true);
    const auto before = ClipsSavedCounter.load();
    const ClipSaveResult r = clipsaver_save(ctx, save_request_manual());
    ASSERT_EQ(r.outcome, ClipSaveResult::Outcome::saved);
    const fs::path clip = prog.clips() / "2026-10-25/Manual/CRVN_2026-10-25_21-03-07_manual.mp4";
    EXPECT_EQ(r.clip, clip);
    EXPECT_TRUE(fs::exists(clip));
    EXPECT_FALSE(fs::exists(clip.string() + ".part"));

    const auto logs = muxers.logs();
    ASSERT_EQ(logs.size(), 1u);  // no voice format published: no .m4a
    EXPECT_EQ(logs[0].path, clip.string() + ".part");
    EXPECT_EQ(logs[0].container, Mp4Container::mp4);
    ASSERT_EQ(logs[0].tracks.size(), 2u);
    EXPECT_EQ(logs[0].tracks[0].codec, Mp4Codec::h264);
    EXPECT_EQ(logs[0].tracks[1].codec, Mp4Codec::aac);
    ASSERT_EQ(logs[0].samples.size(), 200u);  // voice samples stay out of the clip
    EXPECT_EQ(logs[0].samples[0].first, 0);
    EXPECT_EQ(logs[0].samples[0].second.timestamp, 0);
    EXPECT_TRUE(logs[0].samples[0].second.keyframe);
    EXPECT_EQ(logs[0].samples[1].first, 1);
    EXPECT_EQ(logs[0].samples[1].second.timestamp, kSec / 20);
    EXPECT_TRUE(logs[0].begun && logs[0].finished);

    EXPECT_EQ(test::read_file(clips_sidecar_path(clip)),
              "{\"clip\":\"CRVN_2026-10-25_21-03-07_manual.mp4\",\"duracion\":10.0,"
              "\"audio\":{\"juego\":\"pista\",\"microfono\":\"no\"},\"eventos\":[\n  \n]}\n");
    EXPECT_THAT(
        prog.log(),
        HasSubstr("[OK] Clip guardado: 2026-10-25/Manual/CRVN_2026-10-25_21-03-07_manual.mp4  "
                  "(10 s, 0.0 MB, listo en "));
    EXPECT_EQ(ClipsSavedCounter.load(), before + 1);
    ASSERT_EQ(sounds.size(), 1u);
    EXPECT_EQ(sounds[0].first, ClipSound::chime);
    EXPECT_FLOAT_EQ(sounds[0].second, 0.4f);
    const auto n = notices();
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].title, "CLIP MANUAL");
    EXPECT_EQ(n[0].text, "Clip guardado · 10 s");
    EXPECT_EQ(n[0].kind, 4);

    // The same second again: a new name, the first clip untouched.
    const std::string first = test::read_file(clip);
    ASSERT_EQ(clipsaver_save(ctx, save_request_manual()).clip,
              prog.clips() / "2026-10-25/Manual/CRVN_2026-10-25_21-03-07_manual_2.mp4");
    EXPECT_EQ(clipsaver_save(ctx, save_request_manual()).clip,
              prog.clips() / "2026-10-25/Manual/CRVN_2026-10-25_21-03-07_manual_3.mp4");
    EXPECT_EQ(test::read_file(clip), first);
    EXPECT_THAT(test::read_file(clips_sidecar_path(clip)),
                HasSubstr("\"clip\":\"CRVN_2026-10-25_21-03-07_manual.mp4\""));

    sounds.clear();
    ctx.sound_on_save = false;
    ASSERT_EQ(clipsaver_save(ctx, save_request_manual()).outcome, ClipSaveResult::Outcome::saved);
    EXPECT_TRUE(sounds.empty());
}

TEST_F(ClipSaver, AutomaticClipIsCutAtTheSpanAndMarksEvents) {
    fill();
    SaveRequest req;
    req.kind = "bajas-x2";
    req.clip_path = "2026-10-25/Bajas/CRVN_2026-10-25_21-03-11_bajas-x2.mp4";
    req.span = SaveSpan{4, 500'000'000};  // end 10 s − 4.5 s = 5.5 s: cut at 5 s
    const auto now = std::chrono::steady_clock::now();
    req.events = {{R"("tipo":"baja","enemigo":"A","arma":"M4")", now - std::chrono::seconds(3)},
                  {R"("tipo":"baja","enemigo":"B")", now}};
    // The encoders go on while the clip is written; the marks must not move.
    muxers.during_write = [this] { fill(10 * kSec, 30 * kSec); };
    const ClipSaveResult r = clipsaver_save(ctx, req);
    ASSERT_EQ(r.outcome, ClipSaveResult::Outcome::saved);
    const auto logs = muxers.logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].samples.front().second.timestamp, 0);
    EXPECT_EQ(logs[0].samples.size(), 100u);  // 5 s of video and sound
    const std::string sidecar =
        test::read_file(prog.clips() / "2026-10-25/Bajas/CRVN_2026-10-25_21-03-11_bajas-x2.json");
    auto parsed = json_parse_untrusted(sidecar);
    ASSERT_FALSE(parsed.is_discarded()) << sidecar;
    EXPECT_DOUBLE_EQ(parsed["duracion"].get<double>(), 5.0);
    const double s0 = parsed["eventos"][0]["segundo"].get<double>();
    const double s1 = parsed["eventos"][1]["segundo"].get<double>();
    // 5 s − 0.15 s − time since the event (a little over 3 s, then 0).
    EXPECT_NEAR(s0, 1.8, 0.15);
    EXPECT_NEAR(s1, 4.8, 0.15);
    EXPECT_EQ(parsed["eventos"][1]["enemigo"], "B");
    const auto n = notices();
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].title, "RACHA x2");
    EXPECT_EQ(n[0].text, "A, B · M4 · Clip guardado · 5 s");
}

TEST_F(ClipSaver, ClipNeverStartsBeforeTheCurrentFormat) {
    fill();
    video_since = 7 * kSec;  // the encoder restarted with a new format at 7 s
    ASSERT_EQ(clipsaver_save(ctx, save_request_manual()).outcome, ClipSaveResult::Outcome::saved);
    const auto logs = muxers.logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].samples.size(), 60u);
}

TEST_F(ClipSaver, FailureAtEveryStageIsReportedAndLeavesNothing) {
    struct Case {
        Mp4Step step;
        int track;
        const char* text;
    };
    const std::vector<Case> cases = {
        {Mp4Step::create, 0, "crear MP4 (boom)"},
        {Mp4Step::track, 0, "pista de video (boom)"},
        {Mp4Step::track, 1, "pista de audio (boom)"},
        {Mp4Step::begin, 0, "empezar a escribir (boom)"},
        {Mp4Step::prepare, 0, "preparar paquete (boom)"},
        {Mp4Step::write, 0, "escribir paquete (boom)"},
        {Mp4Step::finish, 0, "cerrar MP4 (boom)"},
    };
    fill();
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        muxers.fail_step = c.step;
        muxers.fail_track = c.track;
        sounds.clear();
        const auto before = ClipsSavedCounter.load();
        SaveRequest req;
        req.kind = "muerte";
        req.clip_path = fmt::format("d/Muertes/c{}.mp4", i++);
        req.automatic = 1;
        const ClipSaveResult r = clipsaver_save(ctx, req);
        EXPECT_EQ(r.outcome, ClipSaveResult::Outcome::failed);
        EXPECT_EQ(r.error, c.text);
        EXPECT_THAT(prog.log(),
                    HasSubstr(std::string("[ERROR] No se pudo guardar el clip: ") + c.text));
        ASSERT_EQ(sounds.size(), 1u);
        EXPECT_EQ(sounds[0].first, ClipSound::low_tone);
        EXPECT_FLOAT_EQ(sounds[0].second, 0.4f);
        const auto n = notices();
        ASSERT_EQ(n.size(), 1u);
        EXPECT_EQ(n[0].title, "NO SE GUARDÓ EL CLIP");
        EXPECT_EQ(n[0].text, "Revisa el registro (ícono → Registro)");
        EXPECT_EQ(n[0].kind, 6);
        EXPECT_EQ(ClipsSavedCounter.load(), before);
        const fs::path clip = prog.clips() / *req.clip_path;
        EXPECT_FALSE(fs::exists(clip));
        EXPECT_FALSE(fs::exists(clip.string() + ".part"));
        EXPECT_FALSE(fs::exists(clips_sidecar_path(clip)));
    }
    EXPECT_THAT(prog.log(), Not(HasSubstr("[OK]")));
}

TEST_F(ClipSaver, VoiceApartGoesToItsOwnFileFromZero) {
    fill(0, 10 * kSec, /*voice=*/true);
    ctx.microphone = true;
    ctx.microphone_in_video = false;
    ctx.voice_format = [] {
        return std::optional<PublishedTrack>(PublishedTrack{audio_track(), 0});
    };
    SaveRequest req = save_request_manual();
    ASSERT_EQ(clipsaver_save(ctx, req).outcome, ClipSaveResult::Outcome::saved);
    const fs::path clip = prog.clips() / "2026-10-25/Manual/CRVN_2026-10-25_21-03-07_manual.mp4";
    const fs::path mic = prog.clips() / "2026-10-25/Manual/CRVN_2026-10-25_21-03-07_manual_mic.m4a";
    EXPECT_TRUE(fs::exists(mic));
    const auto logs = muxers.logs();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[1].container, Mp4Container::m4a);
    ASSERT_EQ(logs[1].tracks.size(), 1u);
    ASSERT_EQ(logs[1].samples.size(), 100u);
    EXPECT_EQ(logs[1].samples[0].second.timestamp, kSec / 20);
    EXPECT_THAT(
        test::read_file(clips_sidecar_path(clip)),
        HasSubstr(
            R"("audio":{"juego":"pista","microfono":"separado","archivo_microfono":"CRVN_2026-10-25_21-03-07_manual_mic.m4a","desfase_microfono":0.0})"));
    EXPECT_THAT(prog.log(), HasSubstr(" + tu voz aparte: CRVN_2026-10-25_21-03-07_manual_mic.m4a"));

    // A failing voice file is only a warning: the clip is saved and counted.
    muxers.fail_step = Mp4Step::finish;
    muxers.fail_container = Mp4Container::m4a;
    const auto before = ClipsSavedCounter.load();
    const ClipSaveResult r = clipsaver_save(ctx, req);
    ASSERT_EQ(r.outcome, ClipSaveResult::Outcome::saved);
    EXPECT_FALSE(r.voice_written);
    EXPECT_EQ(ClipsSavedCounter.load(), before + 1);
    EXPECT_THAT(prog.log(),
                HasSubstr("[AVISO] El clip se guardó, pero tu voz aparte no: cerrar .m4a (boom)"));
    EXPECT_THAT(test::read_file(clips_sidecar_path(r.clip)), HasSubstr(R"("microfono":"no")"));
    EXPECT_FALSE(fs::exists(clips_mic_path(r.clip)));
    EXPECT_FALSE(fs::exists(clips_mic_path(r.clip).string() + ".part"));
    EXPECT_EQ(notices().back().title, "CLIP MANUAL");
}

TEST_F(ClipSaver, DiskLimitRemovesOldestUnarchivedAutomaticClipsOnly) {
    constexpr std::uint64_t kGiB = 1ULL << 30;
    const fs::path d = prog.clips() / "2026-01-05";
    test::write_sparse(d / "Manual/m.mp4", 5 * kGiB, 1000);  // manual: kept
    test::write_sparse(d / "Bajas/a.mp4", kGiB, 2000);       // oldest automatic
    test::write_sparse(d / "Bajas/a_mic.m4a", 1000, 2000);
    test::write_sparse(d / "Bajas/a.json", 10, 2000);
    test::write_sparse(d / "Muertes/b.mp4", kGiB, 2500);  // archived: kept
    std::ofstream(d / "Muertes/b.json") << R"({"archivado":true})";
    test::write_sparse(d / "Muertes/c.mp4", kGiB, 3000);
    test::write_sparse(d / "Bajas/e.mp4", kGiB, 4000);

    EXPECT_EQ(clips_apply_disk_limit(prog.clips(), 0, {}), 0u);
    EXPECT_EQ(clips_apply_disk_limit(prog.clips(), 3, {}), 1u);  // 3 GiB + 1000 B over: a goes
    EXPECT_FALSE(fs::exists(d / "Bajas/a.mp4"));
    EXPECT_FALSE(fs::exists(d / "Bajas/a_mic.m4a"));
    EXPECT_FALSE(fs::exists(d / "Bajas/a.json"));
    EXPECT_THAT(prog.log(),
                HasSubstr("[DISCO] Límite de 3 GB: se borraron 1 clip(s) automático(s) viejo(s) "
                          "(los archivados nunca)."));

    // c cannot be deleted: the walk goes on; e is the clip just saved.
    clips_set_file_ops_for_tests({[&](const fs::path& p) {
                                      if (p == d / "Muertes/c.mp4") return EBUSY;
                                      return ::unlink(p.c_str()) == 0 ? 0 : errno;
                                  },
                                  [](std::chrono::milliseconds) {}});
    test::write_sparse(d / "Bajas/f.mp4", kGiB, 3500);
    EXPECT_EQ(clips_apply_disk_limit(prog.clips(), 1, d / "Bajas/e.mp4"), 1u);
    EXPECT_TRUE(fs::exists(d / "Muertes/c.mp4"));
    EXPECT_FALSE(fs::exists(d / "Bajas/f.mp4"));
    EXPECT_TRUE(fs::exists(d / "Bajas/e.mp4"));
    EXPECT_TRUE(fs::exists(d / "Muertes/b.mp4"));
    EXPECT_TRUE(fs::exists(d / "Manual/m.mp4"));
}

TEST_F(ClipSaver, OnlyAutomaticSavesApplyTheDiskLimit) {
    constexpr std::uint64_t kGiB = 1ULL << 30;
    const fs::path old = prog.clips() / "2026-01-05/Bajas/old.mp4";
    test::write_sparse(old, 2 * kGiB, 1000);
    limit_gb = 1;
    fill();
    ASSERT_EQ(clipsaver_save(ctx, save_request_manual()).outcome, ClipSaveResult::Outcome::saved);
    EXPECT_TRUE(fs::exists(old));

    SaveRequest req;
    req.kind = "baja";
    req.clip_path = "2026-10-25/Bajas/new.mp4";
    req.automatic = 1;
    const ClipSaveResult r = clipsaver_save(ctx, req);
    ASSERT_EQ(r.outcome, ClipSaveResult::Outcome::saved);
    EXPECT_EQ(r.disk_deleted, 1u);
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(r.clip));
}

// Also run under ThreadSanitizer: the saver thread against the slot writers.
class ClipSaverConcurrency : public ClipSaver {};

TEST_F(ClipSaverConcurrency, ThreadSavesOnlyTheLastWaitingRequestAndStopsOnQuit) {
    fill();
    auto slot = std::make_shared<SaveRequestSlot>();
    auto quit = std::make_shared<QuitFlag>();
    ctx.slot = slot;
    ctx.quit = quit;
    const auto before = ClipsSavedCounter.load();
    SaveRequest first;
    first.kind = "baja";
    first.clip_path = "d/Bajas/first.mp4";
    SaveRequest second = first;
    second.clip_path = "d/Bajas/second.mp4";
    save_request_store(*slot, first);
    save_request_store(*slot, second);
    std::thread saver(clipsaver_thread_main, ctx);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ClipsSavedCounter.load() == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    quit->set = true;
    saver.join();
    EXPECT_EQ(ClipsSavedCounter.load(), before + 1);
    EXPECT_TRUE(fs::exists(prog.clips() / "d/Bajas/second.mp4"));
    EXPECT_FALSE(fs::exists(prog.clips() / "d/Bajas/first.mp4"));
}

TEST_F(ClipSaverConcurrency, ShutdownCanWaitForAClipBeingWritten) {
    fill();
    EXPECT_TRUE(clipsaver_wait_idle(std::chrono::milliseconds(0)));  // nothing being written
    auto slot = std::make_shared<SaveRequestSlot>();
    auto quit = std::make_shared<QuitFlag>();
    ctx.slot = slot;
    ctx.quit = quit;
    ctx.local_time = [] { return LocalDateTime{"2026-10-25", "21-03-08"}; };
    std::atomic<bool> writing{false};
    std::atomic<bool> release{false};
    muxers.during_write = [&] {
        writing = true;
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    save_request_store(*slot, save_request_manual());
    std::thread saver(clipsaver_thread_main, ctx);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!writing.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(writing.load());
    quit->set = true;
    // Still writing: a short wait runs out, and the clip is not there yet.
    EXPECT_FALSE(clipsaver_wait_idle(std::chrono::milliseconds(50)));
    const fs::path clip =
        prog.clips() / "2026-10-25" / "Manual" / "CRVN_2026-10-25_21-03-08_manual.mp4";
    EXPECT_FALSE(fs::exists(clip));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        release = true;
    });
    EXPECT_TRUE(clipsaver_wait_idle(std::chrono::seconds(10)));
    EXPECT_TRUE(fs::exists(clip));
    releaser.join();
    saver.join();
}

}  // namespace
}  // namespace corvane
