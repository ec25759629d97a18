#include "shell/notices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../base/base_test_util.h"
#include "base/log.h"

namespace corvane {
namespace {

TEST(NoticeGeometry, SizesOnThreeMonitors) {
    struct Case {
        std::int32_t height;
        float factor;
        double s;
        std::int32_t w, h;
    };
    const std::vector<Case> cases{
        {2160, 1.0f, 1.5, 570, 114},
        {720, 1.0f, 0.6, 228, 46},  // 45.6 to the nearest whole
        {2880, 2.0f, 4.0, 1520, 304},
        {1440, 0.5f, 0.5, 190, 38},
    };
    for (const auto& c : cases) {
        const auto g = notice_geometry(ScreenRect{0, 0, 3840, c.height}, c.factor, 0);
        EXPECT_DOUBLE_EQ(g.s, c.s) << c.height;
        EXPECT_EQ(g.width, c.w) << c.height;
        EXPECT_EQ(g.height, c.h) << c.height;
    }
    // A size from outside that would make a huge or empty image is held in bounds.
    EXPECT_EQ(notice_geometry(ScreenRect{0, 0, 1920, 1080}, 1e9f, 0).width, 3040);
    EXPECT_EQ(notice_geometry(ScreenRect{0, 0, 1920, 1080}, std::nanf(""), 0).width, 285);
}

TEST(NoticeGeometry, EveryPositionOnTwoMonitors) {
    struct Case {
        ScreenRect monitor;
        std::uint8_t position;
        double x0, y0, dx, dy;
        NoticePlace rest, start;  // slide 0 and slide 1
    };
    // 1920 x 1080 at (100, 50): s = 0.75, card 285 x 57, margin 27.
    const ScreenRect a{100, 50, 2020, 1130};
    // 2560 x 1440 at the origin: s = 1, card 380 x 76, margin 36.
    const ScreenRect b{0, 0, 2560, 1440};
    const std::vector<Case> cases{
        {a, 0, 917.5, 163.4, 0, -18, {917, 163}, {917, 145}},
        {a, 1, 1708, 77, 18, 0, {1708, 77}, {1726, 77}},
        {a, 2, 127, 77, -18, 0, {127, 77}, {109, 77}},
        {a, 3, 917.5, 943.4, 0, 18, {917, 943}, {917, 961}},
        {b, 0, 1090, 151.2, 0, -24, {1090, 151}, {1090, 127}},
        {b, 1, 2144, 36, 24, 0, {2144, 36}, {2168, 36}},
        {b, 2, 36, 36, -24, 0, {36, 36}, {12, 36}},
        {b, 3, 1090, 1191.2, 0, 24, {1090, 1191}, {1090, 1215}},
        {b, 9, 1090, 151.2, 0, -24, {1090, 151}, {1090, 127}},  // unknown: arriba_centro
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.monitor.left << " pos " << int(c.position));
        const auto g = notice_geometry(c.monitor, 1.0f, c.position);
        EXPECT_NEAR(g.x0, c.x0, 1e-9);
        EXPECT_NEAR(g.y0, c.y0, 1e-9);
        EXPECT_NEAR(g.dx, c.dx, 1e-9);
        EXPECT_NEAR(g.dy, c.dy, 1e-9);
        EXPECT_EQ(notice_place(g, 0), c.rest);
        EXPECT_EQ(notice_place(g, 1), c.start);
        const ScreenRect area = notice_card_area_of(g);
        EXPECT_EQ(area.left, std::min(c.rest.x, c.start.x));
        EXPECT_EQ(area.top, std::min(c.rest.y, c.start.y));
        EXPECT_EQ(area.right, std::max(c.rest.x, c.start.x) + g.width);
        EXPECT_EQ(area.bottom, std::max(c.rest.y, c.start.y) + g.height);
    }
}

TEST(NoticeGeometry, SaturatingConversions) {
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(notice_to_int32(std::nan("")), 0);
    EXPECT_EQ(notice_to_int32(1e12), kMax);
    EXPECT_EQ(notice_to_int32(-1e12), kMin);
    EXPECT_EQ(notice_to_int32(2.9), 2);
    EXPECT_EQ(notice_to_int32(-3.7), -3);
    EXPECT_EQ(notice_alpha_byte(-0.5), 0);
    EXPECT_EQ(notice_alpha_byte(1.7), 255);
    EXPECT_EQ(notice_alpha_byte(0.5), 127);
    EXPECT_EQ(notice_alpha_byte(std::nan("")), 0);
}

TEST(NoticeColours, ByKind) {
    const std::vector<std::uint32_t> accents{0x6BF59A, 0xF2C230, 0xFFB15F, 0xFF6B5F,
                                             0x7FB8FF, 0xF2C230, 0xFF6B5F, 0xF2C230};
    for (std::uint8_t k = 0; k < accents.size(); ++k) {
        EXPECT_EQ(notice_accent(k), accents[k]) << int(k);
        EXPECT_EQ(notice_second_colour(k), k == 6 ? 0xE9EFEAu : 0x9FB2A7u) << int(k);
    }
}

// A clock that moves only when the animation sleeps.
struct FakeClock {
    double t = 100.0;
    struct Step {
        double at, slide, alpha;
    };
    std::vector<Step> steps;
    bool waiting = false;
    double quit_at = 1e9;
    NoticeAnimation animation() {
        NoticeAnimation a;
        a.now = [this] { return t; };
        a.sleep = [this](int ms) { t += ms / 1000.0; };
        a.update = [this](double slide, double alpha) { steps.push_back({t, slide, alpha}); };
        a.quit = [this] { return t >= quit_at; };
        a.waiting = [this] { return waiting; };
        return a;
    }
};

TEST(NoticeAnimation, FadesInHoldsAndDriftsOut) {
    FakeClock c;
    notice_animate(c.animation(), 3.0);
    ASSERT_GT(c.steps.size(), 40u);
    // Fade in: starts displaced by the whole slide and invisible, then the
    // slide falls and the opacity rises monotonically, ending exactly at rest.
    EXPECT_DOUBLE_EQ(c.steps[0].slide, 1.0);
    EXPECT_DOUBLE_EQ(c.steps[0].alpha, 0.0);
    std::size_t rest = 0;
    while (!(c.steps[rest].slide == 0.0 && c.steps[rest].alpha == 1.0)) {
        ASSERT_LT(rest + 1, c.steps.size());
        EXPECT_LT(c.steps[rest + 1].slide, c.steps[rest].slide);
        EXPECT_GT(c.steps[rest + 1].alpha, c.steps[rest].alpha);
        ++rest;
    }
    EXPECT_EQ(rest, 19u);  // 0.28 s in 15-ms steps
    EXPECT_NEAR(c.steps[1].alpha, 1 - std::pow(1 - 0.015 / 0.28, 3), 1e-9);
    // Hold for the seconds visible, then drift half the slide back while fading.
    const auto& out0 = c.steps[rest + 1];
    EXPECT_NEAR(out0.at - c.steps[rest].at, 3.0, 0.041);
    EXPECT_DOUBLE_EQ(out0.slide, 0.0);
    EXPECT_DOUBLE_EQ(out0.alpha, 1.0);
    for (std::size_t i = rest + 2; i < c.steps.size(); ++i) {
        EXPECT_GT(c.steps[i].slide, c.steps[i - 1].slide);
        EXPECT_LT(c.steps[i].alpha, c.steps[i - 1].alpha);
        EXPECT_LE(c.steps[i].slide, 0.5);
    }
    EXPECT_LT(c.steps.back().alpha, 0.001);
    EXPECT_NEAR(c.steps.back().slide, 0.5, 0.001);
    EXPECT_NEAR(c.t - 100.0, 0.28 + 3.0 + 0.45, 0.1);
}

TEST(NoticeAnimation, AWaitingNoticeCutsTheHoldToJustOver1_2s) {
    FakeClock c;
    c.waiting = true;
    notice_animate(c.animation(), 3.0);
    const auto rest = std::find_if(c.steps.begin(), c.steps.end(),
                                   [](auto& s) { return s.slide == 0 && s.alpha == 1; });
    ASSERT_NE(rest, c.steps.end());
    const double hold = (rest + 1)->at - rest->at;
    EXPECT_GT(hold, 1.2);
    EXPECT_LE(hold, 1.25);
    // Never longer than the seconds visible when those are shorter.
    FakeClock d;
    d.waiting = true;
    notice_animate(d.animation(), 1.0);
    EXPECT_NEAR(d.t - 100.0, 0.28 + 1.0 + 0.45, 0.1);
}

TEST(NoticeAnimation, QuitEndsEveryPhaseAtOnce) {
    FakeClock c;
    c.quit_at = 100.1;  // during the fade in
    notice_animate(c.animation(), 3.0);
    EXPECT_LT(c.t - 100.0, 0.12);
    EXPECT_DOUBLE_EQ(c.steps.back().slide, 0.0);  // the rest step after the fade in
}

class FakeWindow : public NoticeWindow {
  public:
    ScreenRect monitor() const override { return {0, 0, 1280, 720}; }
    std::string draw(const NoticeCard& card) override {
        cards.push_back(card);
        return fail;
    }
    void show_at(std::int32_t x, std::int32_t y, std::uint8_t alpha) override {
        shown.push_back({x, y, alpha});
        areas.push_back(notice_card_area());
    }
    void hide() override { ++hidden; }
    bool alive() const override { return true; }
    struct Shown {
        std::int32_t x, y;
        std::uint8_t alpha;
    };
    std::vector<NoticeCard> cards;
    std::vector<Shown> shown;
    std::vector<std::optional<ScreenRect>> areas;
    int hidden = 0;
    std::string fail;
};

TEST(NoticesShowEntry, DrawsOnceAnimatesPublishesItsAreaAndHides) {
    test::TempAppDir app;
    log_reset_for_tests();
    log_open();
    FakeWindow w;
    FakeClock c;
    notice_settings_set(NoticeSettings{1.0f, 2.0f, 1, true});
    notices_show_entry(w, AvisoEntry{"BAJA", "Enemigo · M4 · 20 s", 0}, c.animation());
    ASSERT_EQ(w.cards.size(), 1u);
    EXPECT_EQ(w.cards[0].width, 228);
    EXPECT_EQ(w.cards[0].height, 46);
    EXPECT_EQ(w.cards[0].accent, 0x6BF59Au);
    EXPECT_EQ(w.cards[0].second_colour, 0x9FB2A7u);
    EXPECT_EQ(w.cards[0].title, "BAJA");
    ASSERT_GT(w.shown.size(), 30u);
    // arriba_derecha on 1280 x 720: rests at (1280 - 228 - 18, 18), starts 14.4 px right.
    EXPECT_EQ(w.shown.front().x, 1048);
    EXPECT_EQ(w.shown.front().alpha, 0);
    bool rested = false;
    for (const auto& s : w.shown) rested |= (s.x == 1034 && s.y == 18 && s.alpha == 255);
    EXPECT_TRUE(rested);
    for (const auto& a : w.areas) {
        ASSERT_TRUE(a.has_value());
        EXPECT_EQ(*a, (ScreenRect{1034, 18, 1048 + 228, 18 + 46}));
    }
    EXPECT_EQ(w.hidden, 1);
    EXPECT_FALSE(notice_card_area().has_value());

    // Switched off: taken and dropped without drawing.
    notice_settings_set(NoticeSettings{1.0f, 2.0f, 1, false});
    notices_show_entry(w, AvisoEntry{"BAJA", "x", 0}, c.animation());
    EXPECT_EQ(w.cards.size(), 1u);

    // A card that cannot be drawn is dropped with a line in the log.
    notice_settings_set(NoticeSettings{});
    w.fail = "sin memoria";
    notices_show_entry(w, AvisoEntry{"CLIP MANUAL", "x", 4}, c.animation());
    EXPECT_EQ(w.hidden, 1);
    EXPECT_NE(test::read_file(log_file_path()).find("[AVISO] Avisos en pantalla: sin memoria"),
              std::string::npos);
    log_reset_for_tests();
}

}  // namespace
}  // namespace corvane
