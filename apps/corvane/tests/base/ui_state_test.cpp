#include "base/ui_state.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(UiState, SessionIsPublishedOnceAndNeverChanges) {
    // Racing publishers: exactly one wins, and every reader sees the winner.
    ui_session_reset_for_tests();
    std::vector<std::thread> threads;
    std::atomic<int> winners{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i, &winners] {
            if (ui_session_publish("token" + std::to_string(i), static_cast<std::uint16_t>(1000 + i))) ++winners;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(winners.load(), 1);
    const UiSession* s = ui_session();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->token, "token" + std::to_string(s->port - 1000));
    EXPECT_FALSE(ui_session_publish("other", 1));
    EXPECT_EQ(ui_session(), s);
}

TEST(UiState, PendingTabIsReplacedAndTakenOnce) {
    ui_pending_tab_take();
    EXPECT_EQ(ui_pending_tab_take(), std::nullopt);
    ui_pending_tab_set("clips");
    ui_pending_tab_set("ajustes:audio");
    EXPECT_EQ(ui_pending_tab_take(), "ajustes:audio");
    EXPECT_EQ(ui_pending_tab_take(), std::nullopt);
    ui_pending_tab_set("");
    EXPECT_EQ(ui_pending_tab_take(), "");  // an empty name is still a request
}

}  // namespace
}  // namespace corvane
