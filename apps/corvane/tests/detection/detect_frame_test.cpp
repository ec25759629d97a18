// A drawn HUD in the shared frame, read with the real recogniser by the fast
// pass (through the classifier into the event engine) and by the slow pass.
#include <gtest/gtest.h>

#include <algorithm>

#include <gmock/gmock.h>

#include "../base/base_test_util.h"
#include "base/config_file.h"
#include "base/flags.h"
#include "detection/detect.h"
#include "detection/detect_engine.h"
#include "detection/detect_slow.h"
#include "hud_render.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

SharedFrame frame_of(const test::Picture& pic) {
    SharedFrame frame;
    frame.device = gpu_device_create(ScreenSize{pic.width, pic.height});
    frame.width = pic.width;
    frame.height = pic.height;
    std::lock_guard lock(frame.device->context_lock);
    FrameStore& f = frame.device->frame;
    for (std::uint32_t y = 0; y < pic.height; ++y) {
        std::copy_n(pic.bgra.data() + std::size_t{y} * pic.width * 4, std::size_t{pic.width} * 4,
                    f.pixels.data() + y * f.stride);
    }
    return frame;
}

// The detector thread with the classifier and the event engine over a state
// made from the INI as start-up makes it; a fake clock, so every pass starts
// 250 ms after the previous one however long the recogniser takes.
class FastPass : public ::testing::Test {
  protected:
    struct GameProbe : ForegroundProbe {
        ForegroundWindow query() override { return {true, false, "/juegos/cod25"}; }
    };

    void TearDown() override { LobbyFlag = false; }

    void start(std::uint32_t w, std::uint32_t h) {
        fs::create_directories(app.data());
        fs::create_directories(clips());
        test::write_file(app.ini(), "[general]\ncarpeta_clips = " + clips().string() +
                                        "\n[clips]\nsegundos_despues = 1\nsegundos_antes = 2\n");
        EventEngineState st = events_state_make(config_load(), slot, [] {
            return std::optional<std::string>("Warzone · Black Ops 7");
        });
        st.log = [this](std::string_view m) { logs.emplace_back(m); };
        st.local_time = [] { return LocalDateTime{"2026-12-10", "14-33-58"}; };
        t.env.now = [this] { return now; };
        t.env.sleep_until = [this](DetectorInstant at) { now = at; };
        t.env.log = [this](std::string_view m) { logs.emplace_back(m); };
        t.env.local_time = [] { return std::string("14:33:58"); };
        t.env.enabled = &on;
        t.env.in_front = &in_front;
        t.env.stats_path = app.data() / "detector.log";
        t.probe = std::make_unique<GameProbe>();
        t.engine = detector_engine_make(std::move(st));
        t.ocr = ocr_create_engine();
        ASSERT_TRUE(t.ocr);
        t.frame = frame_of(test::render_texts(w, h, {}));
        t.game_context = std::make_shared<GameContext>();
        t.menu_state = std::make_shared<MenuState>();
        ASSERT_TRUE(detector_prepare(t));
        logs.clear();
    }
    void show(const test::Picture& pic) {
        std::lock_guard lock(t.frame.device->context_lock);
        FrameStore& f = t.frame.device->frame;
        for (std::uint32_t y = 0; y < pic.height; ++y)
            std::copy_n(pic.bgra.data() + std::size_t{y} * pic.width * 4,
                        std::size_t{pic.width} * 4, f.pixels.data() + y * f.stride);
    }
    void passes(int n) {
        for (int i = 0; i < n; ++i) detector_pass(t);
    }
    std::vector<std::string> lines_with(const std::string& part) const {
        std::vector<std::string> out;
        for (const auto& l : logs)
            if (l.find(part) != std::string::npos) out.push_back(l);
        return out;
    }
    fs::path clips() const { return app.dir() / "clips"; }

    test::TempAppDir app;
    std::shared_ptr<SaveRequestSlot> slot = std::make_shared<SaveRequestSlot>();
    DetectorThread t;
    DetectorInstant now{std::chrono::hours(1)};
    std::atomic<bool> on{true}, in_front{false};
    std::vector<std::string> logs;
};

// A kill card as the game draws it, scaled to the frame: the victim in white,
// the kill's number in yellow, the level under it; the compass, the place
// and a medal at the top.
test::Picture kill_card(std::uint32_t w, std::uint32_t h) {
    const double s = h / 1080.0, cx = w / 2.0;
    return test::render_texts(w, h,
                              {{"NW    N    NE", cx - 80 * s, 12 * s, 22 * s},
                               {"COPPERTON", cx - 70 * s, 50 * s, 24 * s},
                               {"HEADSHOT", cx - 60 * s, 240 * s, 26 * s, 1.0, 0.85, 0.1},
                               {"ELIMINATED SHADOWFOX", cx - 200 * s, 800 * s, 30 * s},
                               {"2ND KILL", cx - 80 * s, 850 * s, 26 * s, 1.0, 0.85, 0.1},
                               {"57", cx - 20 * s, 930 * s, 24 * s}});
}

TEST_F(FastPass, AKillCardOnScreenBecomesAKillAndAnAutomaticClip) {
    for (auto [w, h] : {std::pair{1920u, 1080u}, std::pair{2560u, 1440u}}) {
        SCOPED_TRACE(h);
        start(w, h);
        show(kill_card(w, h));
        passes(6);  // 1.5 s of the card
        show(test::render_texts(w, h, {}));
        std::optional<SaveRequest> request;
        for (int i = 0; i < 40 && !request; ++i) {
            passes(1);
            request = save_request_take(*slot);
        }
        ASSERT_TRUE(request) << ::testing::PrintToString(logs);
        EXPECT_THAT(lines_with("[BAJA]"),
                    ElementsAre("\n[BAJA] Eliminaste a SHADOWFOX (nivel 57) [HEADSHOT] en "
                                "COPPERTON — tu baja #2 de la partida"));
        EXPECT_EQ(request->kind, "baja");
        EXPECT_EQ(request->clip_path, "2026-12-10/Bajas/CRVN_2026-12-10_14-33-58_baja.mp4");
        EXPECT_EQ(request->automatic, 1);
        const std::string history = test::read_file(clips() / "estadisticas.jsonl");
        EXPECT_THAT(history, HasSubstr("\"tipo\":\"baja\",\"enemigo\":\"SHADOWFOX\""));
        EXPECT_THAT(history, HasSubstr("\"juego\":\"Warzone · Black Ops 7\""));
        EXPECT_THAT(history, HasSubstr("\"clip\":\"2026-12-10/Bajas/"));
        logs.clear();
        t = DetectorThread{};
        fs::remove_all(clips());  // the next size starts with no history
    }
}

TEST_F(FastPass, DeploymentTextGivesTheLobbyLineOnceAndNoKill) {
    start(1920, 1080);
    // A kill card read in the lobby does not count either.
    show(test::render_texts(1920, 1080,
                            {{"DEPLOYMENT WILL BEGIN IN 12", 700, 780, 30},
                             {"ELIMINATED SHADOWFOX", 760, 880, 30},
                             {"2ND KILL", 880, 930, 26, 1.0, 0.85, 0.1}}));
    passes(4);
    EXPECT_THAT(lines_with("[PARTIDA]"),
                ElementsAre("[PARTIDA] Lobby previo (calentamiento): no se guardan clips ni se "
                            "cuentan bajas hasta que empiece la partida."));
    EXPECT_TRUE(LobbyFlag.load());
    show(test::render_texts(1920, 1080, {{"ENTERING THE WARZONE", 700, 800, 30}}));
    passes(12);
    EXPECT_THAT(lines_with("[PARTIDA]"),
                ElementsAre(HasSubstr("Lobby previo"),
                            "[PARTIDA] Empieza la partida: el detector vuelve a guardar clips."));
    EXPECT_FALSE(LobbyFlag.load());
    EXPECT_THAT(lines_with("[BAJA]"), IsEmpty());
    EXPECT_FALSE(save_request_take(*slot));
}

TEST_F(FastPass, AFrameWithoutAHudGivesNothing) {
    start(1920, 1080);
    passes(41);
    EXPECT_THAT(logs, ElementsAre("[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). "
                                  "Leyendo."));
    EXPECT_FALSE(save_request_take(*slot));
    // The statistics line after 10 s of readings.
    EXPECT_THAT(test::read_file(app.data() / "detector.log"),
                ::testing::StartsWith("14:33:58 lecturas=40 "));
}

TEST(DetectorFrame, TheSlowPassFindsKillfeedPairsAndTheMenuSelection) {
    const test::Picture pic = test::render_texts(1920, 1080,
                                                 {{"PLAYERONE", 40, 400, 20},
                                                  {"SHADOWFOX", 420, 400, 20},  // killfeed row
                                                  {"NIGHTOWL", 40, 440, 20},
                                                  {"EMBER", 420, 440, 20},            // another
                                                  {"RESURGENCE QUADS", 60, 700, 30},  // menu mode
                                                  {"COPPER HARBOR", 60, 745, 22}});   // its map
    SlowPass p;
    p.frame = frame_of(pic);
    p.env.log = [](std::string_view) {};
    std::atomic<bool> on{true};
    p.env.enabled = &on;
    p.env.in_front = &on;
    p.ocr = ocr_create_engine();
    ASSERT_TRUE(p.ocr);
    p.game_context = std::make_shared<GameContext>();
    p.menu_state = std::make_shared<MenuState>();
    ASSERT_TRUE(slow_prepare(p));
    slow_cycle(p);  // n = 1, outside the menu: the killfeed
    GameContextValue v = game_context_take(*p.game_context);
    EXPECT_EQ(v.killfeed_pairs,
              (std::vector<KillfeedPair>{{"PLAYERONE", "SHADOWFOX"}, {"NIGHTOWL", "EMBER"}}));
    menu_state_set(*p.menu_state, true);
    slow_cycle(p);  // n = 2: nothing
    slow_cycle(p);  // n = 3: the objectives screen (none drawn)
    slow_cycle(p);  // n = 4: the menu
    v = game_context_take(*p.game_context);
    EXPECT_TRUE(v.killfeed_pairs.empty());
    EXPECT_FALSE(v.objectives);
    EXPECT_EQ(v.menu_selection,
              (MenuSelection{"Resurgimiento Quads", std::string("Copper Harbor")}));
}

}  // namespace
}  // namespace corvane
