// The slow pass: killfeed pairs, menu mode and map, objectives screen, and
// one cycle end to end with a scripted recogniser over a real shared frame.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "detection/detect_slow.h"

namespace corvane {
namespace {

constexpr std::uint32_t kSlowH = 1080;

TEST(SlowKillfeed, PairsFromRowsOfSegments) {
    const std::vector<OcrLine> segments = {
        // Row 1 (given right segment first): a pair.
        {"SHADOWFOX", 500, 400},
        {"PLAYERONE", 100, 402},
        // Row 2: one segment only.
        {"NIGHTOWL", 100, 440},
        // Row 3: the same name on both sides (clan tag and id differ).
        {"[ABC]Fox#12", 100, 480},
        {"fox", 400, 481},
        // Row 4: a repeat of row 1 in the same cycle.
        {"PLAYERONE", 100, 520},
        {"SHADOWFOX", 500, 521},
        // Row 5: icon junk between the names is dropped by the word filter.
        {"RAVEN77", 100, 560},
        {"»", 250, 560},
        {"12", 300, 561},
        {"EMBER", 450, 559},
    };
    const auto pairs = slow_killfeed_pairs(segments, kSlowH);
    EXPECT_EQ(pairs, (std::vector<KillfeedPair>{{"PLAYERONE", "SHADOWFOX"}, {"RAVEN77", "EMBER"}}));
    // Rows 8.64 px apart at 1080p are two rows; 8 px apart, one.
    EXPECT_EQ(slow_killfeed_pairs({{"ALPHA", 100, 400}, {"BRAVO", 400, 408.7f}}, kSlowH).size(), 0u);
    EXPECT_EQ(slow_killfeed_pairs({{"ALPHA", 100, 400}, {"BRAVO", 400, 408}}, kSlowH).size(), 1u);
}

TEST(SlowMenu, ModeAndTheMapJustBelowIt) {
    const std::vector<OcrLine> menu = {
        {"PLAY", 300, 600},
        {"RESURGENCE QUADS", 300, 700},
        {"COPPER HARBOR", 310, 740},
    };
    EXPECT_EQ(slow_menu_selection(menu, kSlowH),
              (MenuSelection{"Resurgimiento Quads", std::string("Copper Harbor")}));

    struct Case {
        const char* below;
        float dy, dx;
        bool map;
    };
    const Case cases[] = {
        {"MAP ROTATION", 40, 0, false},          {"MAP", 40, 0, false},  // 3 letters
        {"THE OLD COPPER HARBOR", 40, 0, false},                         // 4 words
        {"COPPER HARBOR", 65, 0, false},                                 // 0.06 H = 64.8 below
        {"COPPER HARBOR", 0, 0, false},                                  // level with it, not below
        {"COPPER HARBOR", 40, 270, false},                               // 0.25 H across
        {"COPPER HARBOR", 64, 269, true},
    };
    for (const Case& c : cases) {
        const std::vector<OcrLine> lines = {{"RESURGENCE QUADS", 300, 700},
                                            {c.below, 300 + c.dx, 700 + c.dy}};
        const auto sel = slow_menu_selection(lines, kSlowH);
        ASSERT_TRUE(sel) << c.below;
        EXPECT_EQ(sel->map.has_value(), c.map) << c.below << " " << c.dy << " " << c.dx;
    }
    EXPECT_FALSE(slow_menu_selection({{"COPPER HARBOR", 300, 700}}, kSlowH));
}

TEST(SlowObjectives, ModeAndTheLongestTextAboveIt) {
    const std::vector<OcrLine> lines = {
        {"VERDANSK", 300, 60},          {"AL   MAZRAH  NORTH", 320, 70}, {"!!", 300, 75},
        {"RESURGENCE TRIOS", 300, 100}, {"FAR AWAY TEXT", 700, 80},
    };
    EXPECT_EQ(slow_objectives(lines, kSlowH),
              (ObjectivesReading{"Resurgimiento Tríos", std::string("AL MAZRAH NORTH")}));
    EXPECT_EQ(slow_objectives({{"RESURGENCE TRIOS", 300, 100}}, kSlowH),
              (ObjectivesReading{"Resurgimiento Tríos", std::nullopt}));
}

TEST(SlowContext, PublishingReplacesReadingsAndCapsThePairs) {
    GameContext ctx;
    SlowReading first;
    first.menu_selection = MenuSelection{"Resurgimiento Quads", std::nullopt};
    for (int i = 0; i < 50; ++i) first.killfeed_pairs.push_back({fmt::format("K{}", i), "V"});
    game_context_publish(ctx, first);
    SlowReading second;
    second.duration_ms = 80;
    for (int i = 50; i < 80; ++i) second.killfeed_pairs.push_back({fmt::format("K{}", i), "V"});
    game_context_publish(ctx, second);
    GameContextValue v = game_context_take(ctx);
    ASSERT_EQ(v.killfeed_pairs.size(), kKillfeedPairsCap);
    EXPECT_EQ(v.killfeed_pairs.front().first, "K16");  // the oldest were dropped
    EXPECT_EQ(v.killfeed_pairs.back().first, "K79");
    EXPECT_TRUE(v.menu_selection);  // not replaced by a cycle without one
    EXPECT_EQ(v.slow_ms, 80u);
    v = game_context_take(ctx);
    EXPECT_TRUE(v.killfeed_pairs.empty());
    EXPECT_FALSE(v.menu_selection);
}

// Gives words by the size of the picture it is shown, so each region has its
// own text; can be told to throw.
struct RegionOcr : OcrEngine {
    bool fail = false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
    OcrWordsResult recognize(const std::uint8_t*, std::uint32_t w, std::uint32_t h) override {
        if (fail) throw std::runtime_error("roto");
        seen.emplace_back(w, h);
        const SlowRegions r = slow_regions(1920, 1080);
        OcrWordsResult out{true, {}, {}};
        if (w == r.killfeed.width && h == r.killfeed.height) {
            out.words = {{"PLAYERONE", 20, 100, 180, 22}, {"SHADOWFOX", 400, 100, 180, 22}};
        } else if (w == r.menu.width) {
            out.words = {{"RESURGENCE", 40, 100, 200, 24},
                         {"QUADS", 250, 100, 100, 24},
                         {"COPPER", 40, 140, 120, 20},
                         {"HARBOR", 170, 140, 120, 20}};
        }
        return out;
    }
    const std::string& language() const override { return lang; }
    std::string lang = "eng";
};

class SlowCycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        p.env.log = [this](std::string_view m) { log.emplace_back(m); };
        p.env.enabled = &enabled;
        p.env.in_front = &in_front;
        auto o = std::make_unique<RegionOcr>();
        ocr = o.get();
        p.ocr = std::move(o);
        p.frame.device = gpu_device_create(ScreenSize{1920, 1080});
        p.frame.width = 1920;
        p.frame.height = 1080;
        p.game_context = std::make_shared<GameContext>();
        p.menu_state = std::make_shared<MenuState>();
        ASSERT_TRUE(slow_prepare(p));
    }
    SlowPass p;
    RegionOcr* ocr = nullptr;
    std::vector<std::string> log;
    std::atomic<bool> enabled{true};
    std::atomic<bool> in_front{true};
};

TEST_F(SlowCycleTest, OutsideTheMenuTheKillfeedIsReadEveryCycle) {
    slow_cycle(p);
    slow_cycle(p);
    slow_cycle(p);  // n = 3: the objectives too
    const SlowRegions r = slow_regions(1920, 1080);
    ASSERT_EQ(ocr->seen.size(), 4u);
    EXPECT_EQ(ocr->seen[3], std::make_pair(r.objectives.width, r.objectives.height));
    const GameContextValue v = game_context_take(*p.game_context);
    EXPECT_EQ(v.killfeed_pairs, (std::vector<KillfeedPair>(3, {"PLAYERONE", "SHADOWFOX"})));
    EXPECT_FALSE(v.menu_selection);
}

TEST_F(SlowCycleTest, InTheMenuOnlyTheMenuRegionIsRead) {
    menu_state_set(*p.menu_state, true);
    slow_cycle(p);  // n = 1: the menu
    slow_cycle(p);  // n = 2: nothing
    ASSERT_EQ(ocr->seen.size(), 1u);
    const GameContextValue v = game_context_take(*p.game_context);
    EXPECT_TRUE(v.killfeed_pairs.empty());
    EXPECT_EQ(v.menu_selection,
              (MenuSelection{"Resurgimiento Quads", std::string("Copper Harbor")}));
}

TEST_F(SlowCycleTest, NothingWhileOffOrNotInFrontAndFailuresLoggedOnce) {
    enabled = false;
    slow_cycle(p);
    enabled = true;
    in_front = false;
    slow_cycle(p);
    EXPECT_TRUE(ocr->seen.empty());
    EXPECT_EQ(p.cycle, 0u);
    in_front = true;
    ocr->fail = true;
    slow_cycle(p);
    slow_cycle(p);
    EXPECT_EQ(log, std::vector<std::string>{"\n[AVISO] Detector: una lectura falló y se omitió "
                                            "(el detector sigue funcionando)."});
    EXPECT_TRUE(game_context_take(*p.game_context).killfeed_pairs.empty());
    // A region that cannot be read is skipped without a word.
    ocr->fail = false;
    p.covered = [] { return std::vector<Region>{Region{0, 0, 1920, 1080}}; };
    slow_cycle(p);
    EXPECT_EQ(log.size(), 1u);
}

}  // namespace
}  // namespace corvane
