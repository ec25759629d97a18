// Drawn HUD frames read by the real recogniser, the classifier and the event
// engine on a simulated clock: the frames come from scripts/hud_frames.py
// (busy backgrounds, the HUD's texts at 1080p and 1440p) and pass through
// the very calls the detector thread makes every 250 ms, with the slow pass
// where the killfeed or the menu matter.
#include <gtest/gtest.h>

#include "../support/command.h"
#include "../support/temp_dir.h"
#include "detection/hud.h"
#include "hud_pipeline.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// The time here is simulated; only a machine too loaded to recognise a region
// within the engine's usual limit could make a reading fail, so the limit is
// lifted out of the way.
std::unique_ptr<OcrEngine> patient_ocr() {
    return ocr_engine_create(OcrEngineOptions{60'000});
}

OcrEngine* fast_ocr() {
    static std::unique_ptr<OcrEngine> e = patient_ocr();
    return e.get();
}

bool fuzzy(const json& v, const char* name) {
    return v.is_string() && hud_fuzzy_eq(v.get<std::string>(), name);
}

class HudFrames : public ::testing::TestWithParam<std::uint32_t> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fast_ocr()) << "no Tesseract data";
        height = GetParam();
        run = std::make_unique<test::HudPipeline>(height * 16 / 9, height, *fast_ocr(),
                                                  patient_ocr(), dir.path() / "estadisticas.jsonl");
        ASSERT_TRUE(run->slow_ready);
    }
    void TearDown() override { LobbyFlag = false; }

    // Draws one named frame with the repository's renderer.
    test::PngFrame frame(const std::string& scene) {
        const int rc = test::run_command(
            {"/usr/bin/python3", std::string(CORVANE_SOURCE_DIR) + "/scripts/hud_frames.py",
             "scene", scene, "--height", std::to_string(height), "--out", dir.path().string()});
        EXPECT_EQ(rc, 0) << "hud_frames.py " << scene;
        test::PngFrame f =
            test::load_png(dir.path() / (scene + "_" + std::to_string(height) + ".png"));
        EXPECT_EQ(f.height, height) << scene;
        return f;
    }

    void show(const test::PngFrame& f) { ASSERT_TRUE(run->show(f)); }
    void passes(int n, bool with_slow = false) {
        const DetectorReadResult r = run->passes(n, with_slow);
        ASSERT_TRUE(r.ok) << r.error.text;
    }
    std::string logs() const { return run->all_logs(); }

    test::TempDir dir;
    std::uint32_t height = 0;
    std::unique_ptr<test::HudPipeline> run;
};

TEST_P(HudFrames, AKillCardGivesOneKillWithItsLevelMedalPlaceAndClip) {
    const auto card = frame("baja");
    const auto none = frame("vacio");
    show(card);
    const DetectorInstant first_pass = run->now + 250ms;
    passes(8);  // two seconds on screen
    show(none);
    passes(12);  // the card commits, then the scene closes after a quiet second

    ASSERT_EQ(run->logged("[BAJA]").size(), 1u) << logs();
    const auto lines = run->history();
    ASSERT_EQ(lines.size(), 1u) << logs();
    const json& k = lines[0];
    EXPECT_EQ(k["tipo"], "baja");
    EXPECT_TRUE(fuzzy(k["enemigo"], "SHADOWFOX")) << k.dump();
    EXPECT_EQ(k["nivel"], 57) << k.dump();
    EXPECT_EQ(k["baja_en_partida"], 2) << k.dump();
    EXPECT_EQ(k["medallas"], json::array({"HEADSHOT"})) << k.dump();
    EXPECT_TRUE(fuzzy(k["lugar"], "COPPERTON")) << k.dump();
    EXPECT_EQ(k["juego"], "Warzone · Black Ops 7");
    const std::string clip = "2026-12-10/Bajas/CRVN_2026-12-10_14-33-58_baja.mp4";
    EXPECT_EQ(k["clip"], clip);

    const auto req = save_request_take(*run->slot);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->kind, "baja");
    EXPECT_EQ(req->clip_path, clip);
    EXPECT_EQ(req->automatic, 1);
    ASSERT_EQ(req->events.size(), 1u);
    // The kill is the card's first sighting; the clip reaches back to it
    // from the scene's close (after the card's two seconds), plus the lead.
    EXPECT_GE(req->events[0].instant, first_pass);
    EXPECT_LT(req->events[0].instant, first_pass + 1s);
    ASSERT_TRUE(req->span);
    const auto span =
        std::chrono::seconds(req->span->seconds) + std::chrono::nanoseconds(req->span->nanoseconds);
    EXPECT_GE(span, 2s + 1750ms);
    EXPECT_LE(span, run->now - req->events[0].instant + 2s);
    EXPECT_EQ(run->state.kill_cards_committed, 1u);
}

// Snow blackens in the binarisation like the card's text, so the band is
// mostly black with the text black on the plate: it must still be read.
TEST_P(HudFrames, AKillCardOverSnowIsRead) {
    show(frame("baja_nieve"));
    passes(8);
    show(frame("vacio"));
    passes(12);
    ASSERT_EQ(run->logged("[BAJA]").size(), 1u) << logs();
    const auto lines = run->history();
    ASSERT_EQ(lines.size(), 1u) << logs();
    EXPECT_EQ(lines[0]["enemigo"], "FABEX_1988") << lines[0].dump();
    EXPECT_EQ(lines[0]["baja_en_partida"], 2) << lines[0].dump();
}

TEST_P(HudFrames, ADeathCardWithItsKillcamGivesOneDeathWithTheKillersCard) {
    const auto card = frame("muerte");
    const auto none = frame("vacio");
    show(card);
    passes(12);  // three seconds of killcam
    show(none);
    passes(28);  // the death commits 6 s after the last reading, the scene 0.5 s later

    EXPECT_EQ(run->logged("[KILLCAM] Empieza la killcam").size(), 1u) << logs();
    ASSERT_EQ(run->logged("[MUERTE]").size(), 1u) << logs();
    const auto lines = run->history();
    ASSERT_EQ(lines.size(), 1u) << logs();
    const json& d = lines[0];
    EXPECT_EQ(d["tipo"], "muerte");
    EXPECT_TRUE(fuzzy(d["enemigo"], "NIGHTOWL")) << d.dump();
    EXPECT_EQ(d["rango"], "CAPTAIN") << d.dump();
    EXPECT_EQ(d["nivel"], 42) << d.dump();
    EXPECT_EQ(d["arma"], "ASSAULT RIFLE") << d.dump();
    EXPECT_EQ(d["accesorios"], "RED DOT + GRIP") << d.dump();
    EXPECT_EQ(d["atacantes"], 3) << d.dump();
    EXPECT_EQ(d["nombre_de"], "killcam");
    // The killcam lasts from its first reading to its last.
    EXPECT_GE(d["killcam_seg"].get<double>(), 2.0) << d.dump();
    EXPECT_LE(d["killcam_seg"].get<double>(), 3.0) << d.dump();
    const std::string clip = "2026-12-10/Muertes/CRVN_2026-12-10_14-33-58_muerte.mp4";
    EXPECT_EQ(d["clip"], clip);

    const auto req = save_request_take(*run->slot);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->kind, "muerte");
    EXPECT_EQ(req->clip_path, clip);
    std::vector<std::string> kinds;
    for (const auto& e : req->events) kinds.push_back(json::parse("{" + e.fragment + "}")["tipo"]);
    EXPECT_EQ(kinds, (std::vector<std::string>{"killcam", "fin_killcam"}));
    EXPECT_EQ(run->state.death_cards_committed, 1u);
}

TEST_P(HudFrames, TheWarmUpLobbyKeepsAKillCardFromCountingUntilTheMatchStarts) {
    const auto lobby = frame("lobby");
    const auto card = frame("baja");
    const auto start = frame("partida");
    const auto none = frame("vacio");
    show(lobby);
    passes(4);
    EXPECT_EQ(run->logged("[PARTIDA] Lobby previo").size(), 1u) << logs();
    EXPECT_TRUE(LobbyFlag.load());
    EXPECT_EQ(run->stats.previa, 4u);
    show(card);
    passes(8);
    show(none);
    passes(12);
    EXPECT_TRUE(run->logged("[BAJA]").empty()) << logs();
    EXPECT_TRUE(run->history().empty());
    EXPECT_FALSE(save_request_take(*run->slot));

    show(start);
    passes(2);
    EXPECT_EQ(run->logged("[PARTIDA] Empieza la partida").size(), 1u) << logs();
    EXPECT_FALSE(LobbyFlag.load());
    EXPECT_EQ(run->logged("[PARTIDA] Lobby previo").size(), 1u) << logs();
}

TEST_P(HudFrames, TheMenuGivesTheSelectedModeAndMap) {
    show(frame("menu"));
    passes(10, true);
    EXPECT_EQ(
        run->logged("[MENÚ]"),
        (std::vector<std::string>{"[MENÚ] Modo seleccionado: Resurgimiento Quads — Copper Harbor"}))
        << logs();
    EXPECT_EQ(run->state.mode_text, "Resurgimiento Quads");
    EXPECT_EQ(run->state.map_text, "Copper Harbor");
    EXPECT_GT(run->stats.menu, 0u);
    EXPECT_TRUE(menu_state_seen(*run->menu_state));
    EXPECT_TRUE(run->logged("[BAJA]").empty()) << logs();
}

TEST_P(HudFrames, AKillfeedLineOfThePlayerGivesAKillWithoutCard) {
    run->state.gamertag = "PLAYERONE";
    const auto feed = frame("killfeed");
    const auto none = frame("vacio");
    show(feed);
    passes(8, true);
    show(none);
    passes(20, true);

    ASSERT_EQ(run->logged("[BAJA]").size(), 1u) << logs();
    const auto lines = run->history();
    ASSERT_EQ(lines.size(), 1u) << logs();
    EXPECT_TRUE(fuzzy(lines[0]["enemigo"], "SHADOWFOX")) << lines[0].dump();
    EXPECT_TRUE(lines[0]["nivel"].is_null());
    EXPECT_TRUE(lines[0]["baja_en_partida"].is_null());
    EXPECT_GT(run->stats.killfeed, 0u);
    const auto req = save_request_take(*run->slot);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->kind, "baja");
    // The other row does not involve the player.
    EXPECT_TRUE(run->logged("[DERRIBO]").empty()) << logs();
    EXPECT_TRUE(run->logged("[MUERTE]").empty()) << logs();
}

TEST_P(HudFrames, AFrameWithoutHudGivesNothing) {
    run->state.gamertag = "PLAYERONE";
    show(frame("vacio"));
    passes(24, true);
    EXPECT_EQ(logs(), "");
    EXPECT_TRUE(run->history().empty());
    EXPECT_FALSE(save_request_take(*run->slot));
    EXPECT_FALSE(run->state.pending_kill || run->state.pending_death || run->state.pending_knock);
    EXPECT_EQ(run->stats.menu + run->stats.previa + run->stats.killfeed, 0u);
    EXPECT_FALSE(run->state.place_text);
    EXPECT_FALSE(LobbyFlag.load());
}

INSTANTIATE_TEST_SUITE_P(Sizes, HudFrames, ::testing::Values(1080u, 1440u),
                         [](const auto& info) { return std::to_string(info.param) + "p"; });

}  // namespace
}  // namespace corvane
