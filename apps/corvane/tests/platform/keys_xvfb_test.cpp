// The keyboard backend against a real X server: keys pressed with xdotool
// (XTest changes the server's key state) must read down by their Windows code.
#include <gtest/gtest.h>

#include <cstdlib>

#include "../recording/recording_test_util.h"
#include "base/settings.h"
#include "platform/keys.h"

namespace corvane {
namespace {

class KeysXvfb : public ::testing::Test {
  protected:
    void SetUp() override {
        xvfb_ = std::make_unique<test::XvfbServer>(320, 240);
        auto r = keys_open(xvfb_->display());
        ASSERT_TRUE(r.keys) << r.error;
        keys_ = std::move(r.keys);
    }
    int xdotool(const std::string& action, const std::string& key) {
        return test::run_command({"env", "DISPLAY=" + xvfb_->display(), "xdotool", action, key});
    }
    std::unique_ptr<test::XvfbServer> xvfb_;
    std::unique_ptr<KeyState> keys_;
};

TEST_F(KeysXvfb, EveryKindOfKeyReadsDownWhilePressed) {
    struct Case {
        const char* keysym;  // as xdotool names it
        std::uint32_t code;
    };
    const std::vector<Case> cases{
        {"Control_L", vk::kControl},
        {"Control_R", vk::kControl},
        {"Shift_R", vk::kShift},
        {"Alt_L", vk::kAlt},
        {"w", 'W'},
        {"q", 'Q'},
        {"5", '5'},
        {"F9", vk::kF1 + 8},
        {"F12", vk::kF1 + 11},
        {"KP_3", vk::kNumpad0 + 3},
        {"Tab", vk::kTab},
        {"space", vk::kSpace},
        {"Prior", vk::kPageUp},
        {"Next", vk::kPageDown},
        {"Home", vk::kHome},
        {"End", vk::kEnd},
        {"Insert", vk::kInsert},
        {"Delete", vk::kDelete},
        {"Pause", vk::kPause},
        {"Print", vk::kPrintScreen},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(keys_->refresh());
        EXPECT_FALSE(keys_->is_down(c.code)) << c.keysym << " before";
        ASSERT_EQ(xdotool("keydown", c.keysym), 0) << c.keysym;
        ASSERT_TRUE(keys_->refresh());
        EXPECT_TRUE(keys_->is_down(c.code)) << c.keysym;
        // A neighbour of another kind stays up.
        EXPECT_FALSE(keys_->is_down(c.code == 'E' ? 'R' : 'E')) << c.keysym;
        ASSERT_EQ(xdotool("keyup", c.keysym), 0) << c.keysym;
        ASSERT_TRUE(keys_->refresh());
        EXPECT_FALSE(keys_->is_down(c.code)) << c.keysym << " after";
    }
}

TEST_F(KeysXvfb, FollowsAKeyboardMapChangedAfterOpening) {
    // Xvfb's keyboard has no F20 until keycode 93 (empty) is given it.
    ASSERT_TRUE(keys_->refresh());
    EXPECT_FALSE(keys_->is_down(vk::kF1 + 19));
    ASSERT_EQ(test::run_command(
                  {"env", "DISPLAY=" + xvfb_->display(), "xmodmap", "-e", "keycode 93 = F20"}),
              0);
    ASSERT_EQ(xdotool("keydown", "F20"), 0);
    ASSERT_TRUE(keys_->refresh());
    EXPECT_TRUE(keys_->is_down(vk::kF1 + 19));
    ASSERT_EQ(xdotool("keyup", "F20"), 0);
    ASSERT_TRUE(keys_->refresh());
    EXPECT_FALSE(keys_->is_down(vk::kF1 + 19));
}

// Taps that go down and up between two readings are never seen by the
// state, only by the events: each counts once, for the combination as a
// whole, in the interval it happened in.
TEST_F(KeysXvfb, TapsBetweenReadingsAreCounted) {
    const std::vector<std::uint32_t> ctrl_w{vk::kControl, 'W'};
    const std::vector<std::uint32_t> w{'W'};
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"env", "DISPLAY=" + xvfb_->display(), "xdotool"});
        return test::run_command(args);
    };
    ASSERT_TRUE(keys_->refresh());
    ASSERT_EQ(run({"key", "ctrl+w"}), 0);
    ASSERT_TRUE(keys_->refresh());
    EXPECT_FALSE(keys_->is_down('W'));
    EXPECT_EQ(keys_->presses(ctrl_w), 1u);
    EXPECT_EQ(keys_->presses(w), 1u);
    ASSERT_TRUE(keys_->refresh());
    EXPECT_EQ(keys_->presses(ctrl_w), 0u);  // counted once, in its own interval

    // Ctrl held; W tapped three times.
    ASSERT_EQ(run({"keydown", "ctrl", "key", "w", "key", "w", "key", "w", "keyup", "ctrl"}), 0);
    ASSERT_TRUE(keys_->refresh());
    EXPECT_EQ(keys_->presses(ctrl_w), 3u);
    // Ctrl and W tapped one after the other: never down together.
    ASSERT_EQ(run({"key", "ctrl", "key", "w"}), 0);
    ASSERT_TRUE(keys_->refresh());
    EXPECT_EQ(keys_->presses(ctrl_w), 0u);
    EXPECT_EQ(keys_->presses(w), 1u);
    // Pressed and still held at the reading: one press, seen down too.
    ASSERT_EQ(xdotool("keydown", "ctrl+w"), 0);
    ASSERT_TRUE(keys_->refresh());
    EXPECT_TRUE(keys_->is_down('W'));
    EXPECT_EQ(keys_->presses(ctrl_w), 1u);
    ASSERT_TRUE(keys_->refresh());
    EXPECT_EQ(keys_->presses(ctrl_w), 0u);  // held: no new press
    ASSERT_EQ(xdotool("keyup", "ctrl+w"), 0);
    ASSERT_TRUE(keys_->refresh());
    EXPECT_EQ(keys_->presses(ctrl_w), 0u);
}

TEST_F(KeysXvfb, LostDisplayStopsTheReaderNotTheProcess) {
    ASSERT_TRUE(keys_->refresh());
    xvfb_.reset();  // the X server goes away
    EXPECT_FALSE(keys_->refresh());
    EXPECT_FALSE(keys_->refresh());
    EXPECT_FALSE(keys_->is_down(vk::kControl));
}

TEST(Keys, NoDisplayIsAnError) {
    auto r = keys_open(":9999");
    EXPECT_FALSE(r.keys);
    EXPECT_NE(r.error.find(":9999"), std::string::npos);
}

}  // namespace
}  // namespace corvane
