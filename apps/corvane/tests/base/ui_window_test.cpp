#include "base/ui_window.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "base/ui_state.h"
#include "base_test_util.h"

namespace corvane {
namespace {

TEST(UiWindow, OpensOnlyOnceTheSessionIsPublished) {
    test::TempAppDir app;
    log_reset_for_tests();
    log_open();
    ui_pending_tab_take();
    if (!ui_session()) {
        // Nothing to open yet: no line, no tab left waiting.
        ui_open_window("ayuda");
        EXPECT_EQ(test::read_file(log_file_path()).find("[VENTANA]"), std::string::npos);
        EXPECT_EQ(ui_pending_tab_take(), std::nullopt);
        ui_session_publish("0123456789abcdef0123456789abcdef", 4321);
    }
    ui_open_window("ajustes:audio");
    EXPECT_NE(test::read_file(log_file_path()).find("[VENTANA] Abriendo Corvane (ajustes:audio)."),
              std::string::npos);
    EXPECT_EQ(ui_pending_tab_take(), "ajustes:audio");
    log_reset_for_tests();
}

}  // namespace
}  // namespace corvane
