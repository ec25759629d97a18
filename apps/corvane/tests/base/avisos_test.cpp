#include "base/avisos.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

namespace corvane {
namespace {

TEST(Avisos, FifthPushDropsTheOldest) {
    avisos_clear_for_tests();
    EXPECT_FALSE(avisos_waiting());
    EXPECT_FALSE(avisos_pop().has_value());
    for (int i = 1; i <= 5; ++i) {
        avisos_push(static_cast<std::uint8_t>(i), fmt::format("T{}", i), fmt::format("texto {}", i));
    }
    EXPECT_TRUE(avisos_waiting());
    for (int i = 2; i <= 5; ++i) {
        auto e = avisos_pop();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->title, fmt::format("T{}", i));
        EXPECT_EQ(e->text, fmt::format("texto {}", i));
        EXPECT_EQ(e->kind, i);
    }
    EXPECT_FALSE(avisos_waiting());
    EXPECT_FALSE(avisos_pop().has_value());
}

TEST(Avisos, TextsAreCopied) {
    avisos_clear_for_tests();
    {
        std::string title = "NO SE GUARDÓ EL CLIP";
        std::string text = "Revisa el registro (ícono → Registro)";
        avisos_push(6, title, text);
        title.assign(title.size(), 'x');
        text.clear();
    }
    auto e = avisos_pop();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->title, "NO SE GUARDÓ EL CLIP");
    EXPECT_EQ(e->text, "Revisa el registro (ícono → Registro)");
    EXPECT_EQ(e->kind, 6);
}

// Four pushers against one taker: never more than four wait, and each
// pusher's entries come out in the order it pushed them.
TEST(TsanAvisos, PushersAndOneTaker) {
    avisos_clear_for_tests();
    constexpr int kPushers = 4, kEach = 3000;
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < kPushers; ++p) {
        threads.emplace_back([p, &done] {
            for (int i = 0; i < kEach; ++i) avisos_push(static_cast<std::uint8_t>(p), std::to_string(i), "x");
            done.fetch_add(1);
        });
    }
    std::vector<int> last(kPushers, -1);
    int taken = 0;
    bool ordered = true;
    for (;;) {
        const bool finished = done.load() == kPushers;
        auto e = avisos_pop();
        if (!e) {
            if (finished) break;
            std::this_thread::yield();
            continue;
        }
        ++taken;
        const int i = std::stoi(e->title);
        if (i <= last[e->kind]) ordered = false;
        last[e->kind] = i;
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(ordered);
    EXPECT_GE(taken, 1);
    EXPECT_FALSE(avisos_waiting());

    // Without a taker exactly four stay, whoever pushed last.
    threads.clear();
    for (int p = 0; p < kPushers; ++p) {
        threads.emplace_back([p] {
            for (int i = 0; i < 500; ++i) avisos_push(static_cast<std::uint8_t>(p), std::to_string(i), "y");
        });
    }
    for (auto& t : threads) t.join();
    int left = 0;
    while (avisos_pop()) ++left;
    EXPECT_EQ(left, 4);
}

}  // namespace
}  // namespace corvane
