// One reading of the fast pass on a scripted recogniser: which regions are
// read, how (scaled, prefiltered) and when, what a failure of the two
// regions read every pass stops, and what the engine hands the thread.
#include "detection/detect_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "../support/temp_dir.h"
#include "base/flags.h"
#include "recording/gpu.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr std::uint32_t kW = 640, kH = 360;

// One recognition as the recogniser saw it.
struct Call {
    std::uint32_t width, height;
    bool black_white;  // binarised or prefiltered (the frame is mid-grey)
    bool operator==(const Call&) const = default;
};

// Answers by picture size (each region has its own); a black-and-white
// picture (the second try of a region, prefiltered) answers
// `prefiltered_words` instead. The bottom band, binarised on every pass,
// answers from there too.
struct ScriptOcr : OcrEngine {
    OcrWordsResult recognize(const std::uint8_t* bgra, std::uint32_t w, std::uint32_t h) override {
        bool bw = true;
        for (std::size_t i = 0; i < std::size_t{w} * h * 4 && bw; i += 4)
            bw = (bgra[i] == 0 || bgra[i] == 255);
        calls.push_back({w, h, bw});
        if (failing.count({w, h})) return {false, {}, PlatformError{7, "Tesseract: fallo"}};
        const auto& table = bw ? prefiltered_words : words;
        auto it = table.find({w, h});
        if (it == table.end()) return {true, {}, {}};
        return {true, it->second, {}};
    }
    const std::string& language() const override { return lang; }
    std::string lang = "eng";
    std::vector<Call> calls;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<OcrWord>> words,
        prefiltered_words;
    std::set<std::pair<std::uint32_t, std::uint32_t>> failing;
};

OcrWord word(std::string text, float left, float top) {
    return OcrWord{std::move(text), left, top, 8.0f * 12.0f, 12.0f};
}

std::pair<std::uint32_t, std::uint32_t> size_of(const Region& r, std::uint32_t scale = 1) {
    return {r.width * scale, r.height * scale};
}

class ReadFrame : public ::testing::Test {
  protected:
    void SetUp() override {
        frame.device = gpu_device_create(ScreenSize{kW, kH});
        frame.width = kW;
        frame.height = kH;
        {
            std::lock_guard lock(frame.device->context_lock);
            auto& px = frame.device->frame.pixels;
            std::fill(px.begin(), px.end(), std::uint8_t{100});
        }
        regions = detector_regions(kW, kH);
        staging = DetectorStaging{*detect_create_staging_texture(regions.top_strip).staging,
                                  *detect_create_staging_texture(regions.centre_band).staging,
                                  *detect_create_staging_texture(regions.top_centre).staging,
                                  *detect_create_staging_texture(regions.bottom_band).staging,
                                  *detect_create_staging_texture(regions.right_column).staging};
        state.history_path = dir.path() / "estadisticas.jsonl";
        state.log = [this](std::string_view m) { logs.emplace_back(m); };
        state.local_time = [] { return LocalDateTime{"2026-12-10", "14-33-58"}; };
    }
    void TearDown() override { LobbyFlag = false; }

    DetectorReadResult read(DetectorInstant now) {
        DetectorContext c{staging,      frame,     covered, ocr,   pass_counter, kH,
                          game_context, last_menu, menu,    stats, now};
        return detector_read_frame(c, state);
    }
    // What was recognised in the last reading, by region.
    std::vector<std::string> regions_read() {
        std::vector<std::string> out;
        for (const Call& c : std::exchange(ocr.calls, {})) {
            std::string name = "?";
            for (auto [n, r] : {std::pair{"top", regions.top_centre},
                                {"bottom", regions.bottom_band},
                                {"column", regions.right_column},
                                {"strip", regions.top_strip},
                                {"centre", regions.centre_band}}) {
                if (size_of(r) == std::pair{c.width, c.height}) name = n;
                if (size_of(r, 2) == std::pair{c.width, c.height}) name = std::string(n) + " x2";
            }
            out.push_back(name + (c.black_white ? " b/n" : ""));
        }
        return out;
    }

    test::TempDir dir;
    SharedFrame frame;
    DetectorRegions regions;
    DetectorStaging staging;
    CoveredRects covered;
    ScriptOcr ocr;
    std::uint32_t pass_counter = 0;
    GameContext game_context;
    std::optional<DetectorInstant> last_menu;
    MenuState menu;
    DetectorStats stats;
    EventEngineState state;
    std::vector<std::string> logs;
    DetectorInstant t0{std::chrono::hours(1)};
};

TEST_F(ReadFrame, EveryPassReadsTwoRegionsAndEveryFourthTheCentreBandTwice) {
    for (int pass = 1; pass <= 4; ++pass) {
        ASSERT_TRUE(read(t0 + pass * 250ms).ok);
        if (pass < 4) {
            EXPECT_THAT(regions_read(), ElementsAre("top", "bottom b/n")) << pass;
        }
    }
    // Nothing on the first try: the same pixels again, pulled out of their
    // background.
    EXPECT_THAT(regions_read(), ElementsAre("top", "bottom b/n", "centre x2", "centre x2 b/n"));
    EXPECT_EQ(pass_counter, 4u);
    EXPECT_EQ(stats.lecturas, 4u);
    EXPECT_FALSE(state.in_lobby);
}

TEST_F(ReadFrame, DeploymentInTheCentreBandStartsTheLobbyOnEitherTry) {
    for (bool second_try : {false, true}) {
        SCOPED_TRACE(second_try);
        ocr.words.clear();
        ocr.prefiltered_words.clear();
        (second_try ? ocr.prefiltered_words : ocr.words)[size_of(regions.centre_band, 2)] = {
            word("DEPLOYMENT", 10, 10), word("WILL", 120, 10), word("BEGIN", 180, 10)};
        state.in_lobby = false;
        logs.clear();
        pass_counter = 3;
        ASSERT_TRUE(read(t0).ok);
        const std::vector<std::string> first = {"top", "bottom b/n", "centre x2"};
        const std::vector<std::string> both = {"top", "bottom b/n", "centre x2", "centre x2 b/n"};
        EXPECT_EQ(regions_read(), second_try ? both : first);
        EXPECT_TRUE(state.in_lobby);
        EXPECT_THAT(logs, ElementsAre(HasSubstr("[PARTIDA] Lobby previo")));
    }
    EXPECT_EQ(stats.previa, 2u);
}

TEST_F(ReadFrame, DeploymentInTheBottomBandSkipsTheCentreBand) {
    ocr.prefiltered_words[size_of(regions.bottom_band)] = {
        word("DEPLOYMENT", 10, 10), word("WILL", 120, 10), word("BEGIN", 180, 10)};
    pass_counter = 3;
    ASSERT_TRUE(read(t0).ok);
    EXPECT_THAT(regions_read(), ElementsAre("top", "bottom b/n"));
    EXPECT_EQ(stats.previa, 1u);
}

TEST_F(ReadFrame, AnOpenDeathReadsTheTopStripAndTheAttackers) {
    struct Case {
        const char* what;
        std::vector<OcrWord> top, strip, strip_filtered;
        std::vector<std::string> read;
        bool killcam;
    };
    const std::vector<Case> cases = {
        {"nada", {}, {}, {}, {"top", "bottom b/n", "strip", "strip x2 b/n", "column"}, false},
        {"killcam arriba",
         {},
         {word("KILLCAM", 10, 10)},
         {},
         {"top", "bottom b/n", "strip", "column"},
         true},
        {"killcam b/n",
         {},
         {},
         {word("KILLCAM", 10, 10)},
         {"top", "bottom b/n", "strip", "strip x2 b/n", "column"},
         true},
        {"killcam en el centro",
         {word("KILLCAM", 10, 10)},
         {},
         {},
         {"top", "bottom b/n", "column"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ocr.words = {
            {size_of(regions.top_centre), c.top},
            {size_of(regions.top_strip), c.strip},
            {size_of(regions.right_column), {word("ATTACKERS", 10, 10), word("3", 130, 10)}}};
        ocr.prefiltered_words = {{size_of(regions.top_strip, 2), c.strip_filtered}};
        state.pending_death = PendingDeathCard{{}, t0, t0};
        state.attacker_counts.clear();
        pass_counter = 0;  // the centre band is not due
        ASSERT_TRUE(read(t0 + 1s).ok);
        EXPECT_EQ(regions_read(), c.read);
        ASSERT_TRUE(state.pending_death);
        // The death's last reading moves only when the pass saw its killcam.
        EXPECT_EQ(state.pending_death->last == t0 + 1s, c.killcam);
        EXPECT_THAT(state.attacker_counts, ElementsAre(3u));
    }
}

TEST_F(ReadFrame, WithoutADeathNeitherTheStripNorTheColumnIsRead) {
    ocr.words[size_of(regions.top_centre)] = {word("KILLCAM", 10, 10)};
    ocr.words[size_of(regions.right_column)] = {word("ATTACKERS", 10, 10), word("3", 130, 10)};
    ASSERT_TRUE(read(t0).ok);
    EXPECT_THAT(regions_read(), ElementsAre("top", "bottom b/n"));
    // The killcam alone opens a death; the column waits for the next pass.
    EXPECT_TRUE(state.pending_death);
    EXPECT_THAT(state.attacker_counts, IsEmpty());
}

TEST_F(ReadFrame, AFailingTopCentreOrBottomBandStopsThePass) {
    struct Case {
        const char* what;
        std::function<void()> break_it;
        std::string error;
        std::vector<std::string> read;
    };
    const std::vector<Case> cases = {
        {"reconocimiento del centro",
         [&] { ocr.failing.insert(size_of(regions.top_centre)); },
         "Tesseract: fallo",
         {"top"}},
        {"reconocimiento de la franja",
         [&] { ocr.failing.insert(size_of(regions.bottom_band)); },
         "Tesseract: fallo",
         {"top", "bottom b/n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        covered = nullptr;
        ocr.failing.clear();
        c.break_it();
        game_context_publish(
            game_context,
            SlowReading{MenuSelection{"Resurgimiento", {}}, {}, 90, {{"PLAYERONE", "SHADOWFOX"}}});
        menu_state_set(menu, true);
        last_menu = t0;
        pass_counter = 3;
        const DetectorReadResult r = read(t0 + 1s);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error.text, c.error);
        EXPECT_EQ(regions_read(), c.read);
        // Nothing else: no count, no hand-over, the slow pass's readings wait.
        EXPECT_EQ(pass_counter, 3u);
        EXPECT_EQ(stats.lecturas, 0u);
        EXPECT_EQ(stats.ms_lento, 0u);
        EXPECT_TRUE(menu_state_seen(menu));
        EXPECT_FALSE(state.mode_text);
        EXPECT_THAT(logs, IsEmpty());
        const GameContextValue left = game_context_take(game_context);
        EXPECT_EQ(left.killfeed_pairs.size(), 1u);
        EXPECT_TRUE(left.menu_selection);
    }
}

// A notice card on screen hides the game's text under it: that region shows
// nothing this pass, the card's own words never count, and the rest of the
// pass goes on without a warning.
TEST_F(ReadFrame, ARegionUnderANoticeCardReadsAsNoTextAndThePassGoesOn) {
    const Region corner{regions.bottom_band.x, kH - 2, 2, 2};
    struct Case {
        const char* what;
        std::vector<Region> cards;
        std::vector<std::string> read;
        bool kill_seen, killcam_seen;
    };
    const std::vector<Case> cases = {
        {"aviso arriba", {regions.top_centre}, {"bottom b/n"}, true, false},
        {"aviso sobre una esquina de la franja", {corner}, {"top"}, false, true},
        {"aviso en otra parte", {Region{0, 0, 4, 4}}, {"top", "bottom b/n"}, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        state = EventEngineState{};
        state.history_path = dir.path() / "estadisticas.jsonl";
        state.log = [this](std::string_view m) { logs.emplace_back(m); };
        logs.clear();
        covered = [&c] { return c.cards; };
        // What the card says must not open a death; the band holds a kill card.
        ocr.words = {{size_of(regions.top_centre), {word("KILLCAM", 10, 10)}}};
        ocr.prefiltered_words = {{size_of(regions.bottom_band),
                                  {word("ELIMINATED", 40, 60), word("SHADOWFOX", 150, 60)}}};
        pass_counter = 0;
        stats = DetectorStats{};
        const DetectorReadResult r = read(t0);
        EXPECT_TRUE(r.ok) << r.error.text;
        EXPECT_EQ(regions_read(), c.read);
        EXPECT_EQ(pass_counter, 1u);
        EXPECT_EQ(stats.lecturas, 1u);
        EXPECT_EQ(state.pending_kill.has_value(), c.kill_seen);
        EXPECT_EQ(state.pending_death.has_value(), c.killcam_seen);
        for (const std::string& m : logs) EXPECT_THAT(m, Not(HasSubstr("[AVISO]")));
    }
}

// The whole road on the engine: a kill card shown while a notice covers the
// top of the screen is counted like any other.
TEST_F(ReadFrame, AKillCardShownUnderANoticeIsCounted) {
    state.gamertag = "PLAYERONE";
    covered = [&] { return std::vector<Region>{regions.top_centre}; };
    ocr.words = {{size_of(regions.top_centre), {word("KILLCAM", 10, 10)}}};
    ocr.prefiltered_words = {{size_of(regions.bottom_band),
                              {word("ELIMINATED", 40, 60), word("SHADOWFOX", 150, 60)}}};
    DetectorInstant now = t0;
    for (int pass = 0; pass < 4; ++pass, now += 250ms) {
        ASSERT_TRUE(read(now).ok);
        events_tick(state, now);
    }
    ocr.prefiltered_words.clear();
    for (int pass = 0; pass < 40; ++pass, now += 250ms) {
        ASSERT_TRUE(read(now).ok);
        events_tick(state, now);
    }
    std::vector<std::string> kills;
    for (const std::string& m : logs)
        if (m.find("[BAJA]") != std::string::npos) kills.push_back(m);
    ASSERT_EQ(kills.size(), 1u) << ::testing::PrintToString(logs);
    EXPECT_THAT(kills[0], HasSubstr("Eliminaste a SHADOWFOX"));
    EXPECT_FALSE(state.pending_death);
    for (const std::string& m : logs) EXPECT_THAT(m, Not(HasSubstr("cubierta")));
    EXPECT_THAT(test::read_file(dir.path() / "estadisticas.jsonl"),
                HasSubstr("\"enemigo\":\"SHADOWFOX\""));
}

TEST_F(ReadFrame, TakesTheSlowPassReadingsAndKeepsTheMenuRecord) {
    const std::vector<OcrWord> menu_words = {word("OPERATORS", 10, 10), word("STORE", 200, 10)};
    ocr.words[size_of(regions.top_centre)] = menu_words;
    game_context_publish(game_context,
                         SlowReading{MenuSelection{"Resurgimiento Quads", std::string("Rebirth")},
                                     {},
                                     310,
                                     {{"PLAYERONE", "SHADOWFOX"}}});
    ASSERT_TRUE(read(t0).ok);
    EXPECT_EQ(stats.lecturas, 1u);
    EXPECT_EQ(stats.menu, 1u);
    EXPECT_EQ(stats.ms_lento, 310u);
    EXPECT_EQ(stats.killfeed, 1u);
    EXPECT_EQ(last_menu, t0);
    EXPECT_TRUE(menu_state_seen(menu));
    EXPECT_EQ(state.mode_text, "Resurgimiento Quads");
    EXPECT_THAT(logs, ElementsAre("\n[MENÚ] Modo seleccionado: Resurgimiento Quads — Rebirth"));
    EXPECT_TRUE(game_context_take(game_context).killfeed_pairs.empty());

    // The menu is remembered for 10 seconds after it was last seen.
    ocr.words.clear();
    ASSERT_TRUE(read(t0 + 9900ms).ok);
    EXPECT_TRUE(menu_state_seen(menu));
    ASSERT_TRUE(read(t0 + 10s).ok);
    EXPECT_FALSE(menu_state_seen(menu));
    EXPECT_EQ(stats.menu, 1u);
}

TEST(DetectorEngine, CountsCommittedCardsAndWritesTheOpenSceneAtQuit) {
    test::TempDir dir;
    EventEngineState st;
    st.history_path = dir.path() / "estadisticas.jsonl";
    std::vector<std::string> logs;
    st.log = [&](std::string_view m) { logs.emplace_back(m); };
    st.local_time = [] { return LocalDateTime{"2026-12-10", "14-33-58"}; };
    st.gamertag = "PLAYERONE";
    const DetectorInstant t0{std::chrono::hours(1)};
    st.pending_kill = PendingKillCard{{"SHADOWFOX", "SHADOWFOX"}, {57}, {2}, {}, t0, t0, false};
    auto engine = detector_engine_make(std::move(st));
    EXPECT_EQ(engine->gamertag(), "PLAYERONE");
    engine->tick(t0 + 2s);
    EXPECT_EQ(engine->stats().tarjetas_baja, 1u);
    EXPECT_EQ(engine->stats().tarjetas_muerte, 0u);
    engine->stats() = DetectorStats{};  // the thread's statistics line
    engine->tick(t0 + 2250ms);
    EXPECT_EQ(engine->stats().tarjetas_baja, 0u);
    // The scene is still open (its quiet spell has not passed): at quit its
    // kill goes to the history without a clip.
    ASSERT_FALSE(std::filesystem::exists(dir.path() / "estadisticas.jsonl"));
    engine->close();
    const std::string history = test::read_file(dir.path() / "estadisticas.jsonl");
    EXPECT_THAT(history, HasSubstr("\"enemigo\":\"SHADOWFOX\""));
    EXPECT_THAT(history, HasSubstr("\"clip\":null}"));
}

// A detector thread whose passes are idle (only the ticks) on an injected
// clock, holding a kill committed at the start: its scene is open while the
// thread runs.
struct IdleDetectorWithAKill {
    test::TempDir dir;
    const DetectorInstant t0{std::chrono::hours(1)};
    DetectorInstant now = t0;
    std::shared_ptr<QuitFlag> quit = std::make_shared<QuitFlag>();
    std::atomic<bool> enabled{false}, in_front{false};

    // `after_sleep` runs on the detector thread after each paced sleep.
    DetectorStart start(std::function<void()> after_sleep) {
        EventEngineState st;
        st.history_path = dir.path() / "estadisticas.jsonl";
        st.log = [](std::string_view) {};
        st.local_time = [] { return LocalDateTime{"2026-12-10", "14-33-58"}; };
        st.pending_kill = PendingKillCard{{"SHADOWFOX", "SHADOWFOX"}, {}, {}, {}, t0, t0, false};
        DetectorStart s;
        s.env.now = [this] { return now; };
        s.env.sleep_until = [this, after_sleep = std::move(after_sleep)](DetectorInstant at) {
            now = at;
            after_sleep();
        };
        s.env.log = [](std::string_view) {};
        s.env.enabled = &enabled;
        s.env.in_front = &in_front;
        s.env.stats_path = dir.path() / "detector.log";
        s.make_ocr = [] { return std::unique_ptr<OcrEngine>(std::make_unique<ScriptOcr>()); };
        s.engine = detector_engine_make(std::move(st));
        s.frame.device = gpu_device_create(ScreenSize{kW, kH});
        s.frame.width = kW;
        s.frame.height = kH;
        s.quit = quit;
        return s;
    }
    std::string history() const { return test::read_file(dir.path() / "estadisticas.jsonl"); }
};

TEST(DetectorEngine, TheThreadClosesTheEngineAtQuitBeforeItEnds) {
    IdleDetectorWithAKill d;
    int sleeps = 0;
    bool open_while_running = false;
    DetectorStart start = d.start([&] {
        if (++sleeps == 5) open_while_running = !detector_wait_closed(0ms);
        if (sleeps == 10) d.quit->set.store(true);  // the kill is committed, its scene open
    });
    std::thread thread([&] { detector_run(std::move(start)); });
    thread.join();
    EXPECT_TRUE(open_while_running);
    EXPECT_TRUE(detector_wait_closed(0ms));
    EXPECT_EQ(sleeps, 10);
    EXPECT_THAT(d.history(), HasSubstr("\"enemigo\":\"SHADOWFOX\""));
}

// An exit without the quit (the update's) still lets the detector write the
// scene it holds before the process goes.
TEST(DetectorEngine, AnExitWithoutTheQuitClosesTheEngineToo) {
    IdleDetectorWithAKill d;
    std::atomic<int> sleeps{0};
    DetectorStart start = d.start([&] {
        if (++sleeps >= 10) std::this_thread::sleep_for(1ms);  // the scene is open by now
    });
    std::thread thread([&] { detector_run(std::move(start)); });
    while (sleeps.load() < 10) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(detector_close_for_exit(60s));
    thread.join();
    detector_exit_reset_for_tests();
    EXPECT_FALSE(d.quit->set.load());
    EXPECT_THAT(d.history(), HasSubstr("\"enemigo\":\"SHADOWFOX\""));
}

}  // namespace
}  // namespace corvane
