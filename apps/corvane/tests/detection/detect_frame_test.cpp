// A drawn 1080p HUD in the shared frame, read by the fast pass's regions and
// by the slow pass with the real recogniser.
#include <gtest/gtest.h>

#include <algorithm>

#include "detection/detect.h"
#include "detection/detect_slow.h"
#include "hud_render.h"

namespace corvane {
namespace {

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

std::vector<std::string> texts(const std::vector<OcrLine>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(l.text);
    return out;
}

bool has(const std::vector<OcrLine>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const OcrLine& l) { return l.text == text; });
}

TEST(DetectorFrame, EachRegionReadsTheTextDrawnInIt) {
    const test::Picture pic =
        test::render_texts(1920, 1080,
                           {{"COPPERTON", 880, 20, 24},               // top-centre, above the strip
                            {"DEPLOYMENT WILL BEGIN", 760, 150, 26},  // centre band and top strip
                            {"ELIMINATED SHADOWFOX", 760, 800, 30},   // bottom band (white)
                            {"2ND KILL", 880, 850, 26, 1.0, 0.85, 0.1},  // bottom band (yellow)
                            {"ATTACKERS 3", 1500, 300, 24}});            // right column
    DetectorThread t;
    t.frame = frame_of(pic);
    t.env.log = [](std::string_view) {};
    t.ocr = ocr_create_engine();
    ASSERT_TRUE(t.ocr);
    t.engine = detector_engine_regions_only(std::nullopt);
    t.game_context = std::make_shared<GameContext>();
    t.menu_state = std::make_shared<MenuState>();
    ASSERT_TRUE(detector_prepare(t));
    DetectorContext c{t.staging,           t.frame,
                      t.covered,           *t.ocr,
                      t.loop.pass_counter, 1080,
                      *t.game_context,     t.loop.last_menu,
                      *t.menu_state,       t.engine->stats(),
                      DetectorClock::now()};
    DetectorRegionLines lines;
    const DetectorReadResult r = detector_read_regions(c, lines);
    ASSERT_TRUE(r.ok) << r.error.text;
    EXPECT_TRUE(has(lines.top_centre, "COPPERTON"))
        << ::testing::PrintToString(texts(lines.top_centre));
    EXPECT_TRUE(has(lines.bottom_band, "ELIMINATED SHADOWFOX"))
        << ::testing::PrintToString(texts(lines.bottom_band));
    EXPECT_TRUE(has(lines.bottom_band, "2ND KILL"))
        << ::testing::PrintToString(texts(lines.bottom_band));
    EXPECT_TRUE(has(lines.right_column, "ATTACKERS 3"))
        << ::testing::PrintToString(texts(lines.right_column));
    EXPECT_TRUE(has(lines.centre_band, "DEPLOYMENT WILL BEGIN"))
        << ::testing::PrintToString(texts(lines.centre_band));
    // Centres are frame pixels: the card line sits where it was drawn.
    for (const auto& l : lines.bottom_band) {
        if (l.text != "ELIMINATED SHADOWFOX") continue;
        const test::InkBox& first = pic.words[4];
        EXPECT_NEAR(l.y, first.top + first.height / 2, 15.0);
        EXPECT_NEAR(l.x, 960.0, 200.0);
    }
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
