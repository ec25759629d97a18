#include "shell/hotkey.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <span>
#include <set>
#include <thread>

#include "../base/base_test_util.h"
#include "base/hotkey_pause.h"
#include "base/log.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

const std::vector<std::uint32_t> kCtrlW{vk::kControl, std::uint32_t{'W'}};

// Runs polls over a sequence of key states; returns the polls that fired.
std::vector<int> fires(const std::vector<std::set<std::uint32_t>>& states,
                       const std::vector<std::uint32_t>& codes = kCtrlW, std::uint64_t pause = 0,
                       std::uint64_t now0 = 1000) {
    std::vector<int> out;
    bool was = false;
    for (std::size_t i = 0; i < states.size(); ++i) {
        auto p = hotkey_poll(codes, pause, now0 + i * 25, was,
                             [&](std::uint32_t c) { return states[i].count(c) > 0; });
        if (p.fires) out.push_back(static_cast<int>(i));
        was = p.was_down;
    }
    return out;
}

TEST(HotkeyPoll, FiresOncePerPress) {
    const std::set<std::uint32_t> both{vk::kControl, 'W'};
    const std::set<std::uint32_t> ctrl{vk::kControl};
    // Held for 80 polls: one press.
    EXPECT_EQ(fires(std::vector(80, both)), std::vector<int>{0});
    // Ctrl held, W released for one poll and pressed again: two presses.
    EXPECT_EQ(fires({ctrl, both, both, ctrl, both, both}), (std::vector<int>{1, 4}));
    // Only part of the combination, or nothing, never fires.
    EXPECT_TRUE(fires({ctrl, {'W'}, {}, {'W', vk::kShift}}).empty());
}

TEST(HotkeyPoll, AsksCodesInOrderAndStopsAtTheFirstUp) {
    std::vector<std::uint32_t> asked;
    const std::vector<std::uint32_t> codes{vk::kControl, vk::kShift, 'E'};
    hotkey_poll(codes, 0, 0, false, [&](std::uint32_t c) {
        asked.push_back(c);
        return c != vk::kShift;
    });
    EXPECT_EQ(asked, (std::vector<std::uint32_t>{vk::kControl, vk::kShift}));
}

TEST(HotkeyPoll, PauseAndEmptyListNeverReadTheKeyboard) {
    int reads = 0;
    auto down = [&](std::uint32_t) {
        ++reads;
        return true;
    };
    // Paused: keys count as up, and the pause also clears was_down.
    auto p = hotkey_poll(kCtrlW, 5000, 4999, true, down);
    EXPECT_EQ(p.fires, 0u);
    EXPECT_FALSE(p.was_down);
    p = hotkey_poll({}, 0, 100, false, down);
    EXPECT_EQ(p.fires, 0u);
    EXPECT_EQ(reads, 0);
    // At the pause's end (now == pause) the keys are live again.
    p = hotkey_poll(kCtrlW, 5000, 5000, false, down);
    EXPECT_EQ(p.fires, 1u);
}

TEST(HotkeyPoll, KeysHeldThroughAPauseFireWhenItEnds) {
    const std::set<std::uint32_t> both{vk::kControl, 'W'};
    // Polls at 1000, 1025, ... with a pause until 1060: polls 0-2 are paused.
    EXPECT_EQ(fires(std::vector(6, both), kCtrlW, 1060), std::vector<int>{3});
}

// The keyboard's events count the presses between two polls: a tap that
// came and went unseen fires, and so does each of several taps; the state
// alone still fires a press the events did not see (held through a pause).
TEST(HotkeyPoll, PressesSeenOnlyByTheEvents) {
    const std::set<std::uint32_t> both{vk::kControl, 'W'};
    const std::set<std::uint32_t> ctrl{vk::kControl};
    struct Case {
        std::set<std::uint32_t> now;
        bool was_down;
        std::optional<unsigned> events;
        unsigned fires;
        bool down;
    };
    const std::vector<Case> cases{
        {ctrl, false, 1u, 1, false},          // a tap of W between the polls
        {{}, false, 3u, 3, false},            // three quick taps
        {both, false, 1u, 1, true},           // pressed and still held: once
        {both, true, 1u, 1, true},            // released and pressed again between polls
        {both, true, 0u, 0, true},            // held
        {both, false, 0u, 1, true},           // held through a pause: the state tells
        {ctrl, false, std::nullopt, 0, false},  // no events: the state alone
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        int asked = 0;
        auto p = hotkey_poll(
            kCtrlW, 0, 100, c.was_down, [&](std::uint32_t code) { return c.now.count(code) > 0; },
            [&] {
                ++asked;
                return c.events;
            });
        EXPECT_EQ(p.fires, c.fires) << i;
        EXPECT_EQ(p.was_down, c.down) << i;
        EXPECT_EQ(asked, 1) << i;
    }
    // Paused or nothing to watch: the events are not asked.
    int asked = 0;
    auto events = [&]() -> std::optional<unsigned> {
        ++asked;
        return 2u;
    };
    EXPECT_EQ(hotkey_poll(kCtrlW, 200, 100, false, [](std::uint32_t) { return true; }, events).fires, 0u);
    EXPECT_EQ(hotkey_poll({}, 0, 100, false, [](std::uint32_t) { return true; }, events).fires, 0u);
    EXPECT_EQ(asked, 0);
}

TEST(HotkeyPause, ClockAndWriters) {
    const auto epoch = std::chrono::steady_clock::now();
    EXPECT_EQ(ms_since(epoch, epoch - 1s), 0u);
    EXPECT_EQ(ms_since(epoch, epoch + 1500ms + 999us), 1500u);

    hotkey_pause_for_typing();
    const auto now = process_now_ms();
    EXPECT_GE(HotkeyPause.load(), now + kHotkeyPauseMs - 50);
    EXPECT_LE(HotkeyPause.load(), now + kHotkeyPauseMs);
    hotkey_resume();
    EXPECT_LE(HotkeyPause.load(), process_now_ms());
}

// A keyboard whose keys the test presses.
class FakeKeys final : public KeyState {
  public:
    struct Shared {
        std::mutex mutex;
        std::set<std::uint32_t> down;
        std::atomic<int> refreshes{0};
    };
    explicit FakeKeys(std::shared_ptr<Shared> s) : s_(std::move(s)) {}
    bool refresh() override {
        std::lock_guard lock(s_->mutex);
        snapshot_ = s_->down;
        ++s_->refreshes;
        return true;
    }
    bool is_down(std::uint32_t code) const override { return snapshot_.count(code) > 0; }

  private:
    std::shared_ptr<Shared> s_;
    std::set<std::uint32_t> snapshot_;
};

// A keyboard with key events: the test queues taps that happen between two
// refreshes (never seen down by a refresh).
class TappedKeys final : public KeyState {
  public:
    struct Shared {
        std::mutex mutex;
        unsigned taps = 0;  // since the last refresh
        std::atomic<int> refreshes{0};
    };
    explicit TappedKeys(std::shared_ptr<Shared> s) : s_(std::move(s)) {}
    bool refresh() override {
        std::lock_guard lock(s_->mutex);
        between_ = s_->taps;
        s_->taps = 0;
        ++s_->refreshes;
        return true;
    }
    bool is_down(std::uint32_t code) const override { return code == vk::kControl; }
    std::optional<unsigned> presses(std::span<const std::uint32_t>) const override { return between_; }

  private:
    std::shared_ptr<Shared> s_;
    unsigned between_ = 0;
};

// Events gathered while the watch was not reading (before its first poll,
// during a pause) may predate it: they fire nothing. Taps between two reads do.
TEST(HotkeyWatch, TapsBetweenReadsFireAndOlderOnesDoNot) {
    auto shared = std::make_shared<TappedKeys::Shared>();
    TappedKeys keys(shared);
    HotkeyWatch watch(kCtrlW, &keys);
    shared->taps = 2;
    EXPECT_EQ(watch.poll(0, 1000), 0u);  // first read: whatever came before is old
    shared->taps = 2;
    EXPECT_EQ(watch.poll(0, 1025), 2u);
    EXPECT_EQ(watch.poll(0, 1050), 0u);
    shared->taps = 1;
    EXPECT_EQ(watch.poll(5000, 1075), 0u);  // paused: not read at all
    EXPECT_EQ(shared->refreshes.load(), 3);
    EXPECT_EQ(watch.poll(0, 5000), 0u);  // the tap came during the pause
    shared->taps = 1;
    EXPECT_EQ(watch.poll(0, 5025), 1u);
    HotkeyWatch none(kCtrlW, nullptr);
    EXPECT_EQ(none.poll(0, 1000), 0u);
    EXPECT_EQ(none.poll(0, 1025), 0u);
}

bool wait_until(const std::function<bool()>& cond, std::chrono::seconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return cond();
}

TEST(HotkeyConcurrency, SaveThreadOnePressOneRequestAndLogLineThenEndsOnQuit) {
    test::TempAppDir app;
    log_reset_for_tests();
    log_open();
    HotkeyPause.store(0);

    auto keys = std::make_shared<FakeKeys::Shared>();
    auto quit = std::make_shared<QuitFlag>();
    auto slot = std::make_shared<SaveRequestSlot>();
    SaveHotkeyContext ctx{KeyCombo{kCtrlW, "Ctrl+W"}, quit, slot, std::make_unique<FakeKeys>(keys)};
    std::atomic<bool> ended{false};
    std::thread t([&, c = std::move(ctx)]() mutable {
        save_hotkey_thread_main(std::move(c));
        ended = true;
    });

    {
        std::lock_guard lock(keys->mutex);
        keys->down = {vk::kControl, 'W'};
    }
    ASSERT_TRUE(wait_until([&] { return save_request_take(*slot).has_value(); }));
    // Still held for many more polls: no second request.
    const int seen = keys->refreshes.load();
    ASSERT_TRUE(wait_until([&] { return keys->refreshes.load() > seen + 10; }));
    EXPECT_FALSE(save_request_take(*slot).has_value());
    // Released, then pressed again: a second request, of kind "manual".
    {
        std::lock_guard lock(keys->mutex);
        keys->down = {vk::kControl};
    }
    const int released = keys->refreshes.load();
    ASSERT_TRUE(wait_until([&] { return keys->refreshes.load() > released + 2; }));
    {
        std::lock_guard lock(keys->mutex);
        keys->down = {vk::kControl, 'W'};
    }
    std::optional<SaveRequest> second;
    ASSERT_TRUE(wait_until([&] { return (second = save_request_take(*slot)).has_value(); }));
    EXPECT_EQ(second->kind, "manual");
    EXPECT_EQ(second->automatic, 0);
    EXPECT_FALSE(second->clip_path.has_value());

    quit->set = true;
    ASSERT_TRUE(wait_until([&] { return ended.load(); }, 2s));
    t.join();
    const std::string log = test::read_file(log_file_path());
    std::size_t count = 0;
    for (auto p = log.find("[Ctrl+W] Guardando clip..."); p != std::string::npos;
         p = log.find("[Ctrl+W] Guardando clip...", p + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 2u);
    log_reset_for_tests();
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Three taps between two polls: three "Guardando" lines; the slot keeps one
// request and the log says the other two were joined to it.
TEST(HotkeyConcurrency, SaveThreadTapsBetweenPollsAreEachLoggedAndJoined) {
    test::TempAppDir app;
    log_reset_for_tests();
    log_open();
    HotkeyPause.store(0);
    auto keys = std::make_shared<TappedKeys::Shared>();
    auto quit = std::make_shared<QuitFlag>();
    auto slot = std::make_shared<SaveRequestSlot>();
    SaveHotkeyContext ctx{KeyCombo{kCtrlW, "Ctrl+W"}, quit, slot, std::make_unique<TappedKeys>(keys)};
    std::thread t([c = std::move(ctx)]() mutable { save_hotkey_thread_main(std::move(c)); });
    ASSERT_TRUE(wait_until([&] { return keys->refreshes.load() >= 2; }));
    {
        std::lock_guard lock(keys->mutex);
        keys->taps = 3;
    }
    const std::string press = "[Ctrl+W] Guardando clip...";
    ASSERT_TRUE(wait_until([&] { return count_of(test::read_file(log_file_path()), press) == 3; }));
    quit->set = true;
    t.join();
    const std::string log = test::read_file(log_file_path());
    EXPECT_EQ(count_of(log, press), 3u) << log;
    EXPECT_EQ(count_of(log, "[AVISO] La petición de clip anterior (manual) aún esperaba turno: se une a "
                            "esta (manual) y se guarda un solo clip.\r\n"),
              2u)
        << log;
    EXPECT_TRUE(save_request_take(*slot).has_value());
    EXPECT_FALSE(save_request_take(*slot).has_value());
    log_reset_for_tests();
}

TEST(HotkeyConcurrency, ViewerThreadEmptyCombinationNeverReadsTheKeyboardAndEndsOnQuit) {
    auto keys = std::make_shared<FakeKeys::Shared>();
    auto quit = std::make_shared<QuitFlag>();
    ViewerHotkeyContext ctx{{}, quit, std::make_unique<FakeKeys>(keys)};
    std::atomic<bool> ended{false};
    std::thread t([&, c = std::move(ctx)]() mutable {
        viewer_hotkey_thread_main(std::move(c));
        ended = true;
    });
    std::this_thread::sleep_for(200ms);  // several periods
    EXPECT_EQ(keys->refreshes.load(), 0);
    quit->set = true;
    EXPECT_TRUE(wait_until([&] { return ended.load(); }, 2s));
    t.join();
}

}  // namespace
}  // namespace corvane
