#include "base/ui_window.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "../recording/recording_test_util.h"
#include "base/log.h"
#include "base/ui_state.h"
#include "base_test_util.h"

namespace corvane {
namespace {

constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

// The lines the fake browser appended, one per start.
std::vector<std::string> launches(const std::filesystem::path& log) {
    std::vector<std::string> out;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

void publish_session() { ui_session_publish(kToken, 4321); }

// Every process's command line, to look for the token in.
std::string all_command_lines() {
    std::string all;
    DIR* proc = ::opendir("/proc");
    if (!proc) return all;
    while (dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        all += test::read_file(std::filesystem::path("/proc") / e->d_name / "cmdline");
        all += '\n';
    }
    ::closedir(proc);
    return all;
}

TEST(UiWindow, TitleMatchTable) {
    struct Case {
        const char* wanted;
        const char* title;
        bool match;
    };
    const std::vector<Case> cases{
        {"Corvane", "Corvane", true},
        {"Corvane", "Corvane · Clips", false},
        {"Corvane", "corvane", false},
        {"Corvane", "Corvane ", false},
        {"Corvane · ", "Corvane · Clips", true},
        {"Corvane · ", "Corvane · Análisis con IA", true},
        {"Corvane · ", "Corvane", false},
        {"Corvane · ", "Corvane - Clips", false},
        {"Corvane · Ajustes", "Corvane · Ajustes", true},
        {"Corvane · Ajustes", "Corvane · Ayuda", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ui_window_title_matches(c.wanted, c.title), c.match) << c.wanted << " / " << c.title;
}

TEST(UiWindow, LaunchThrottleByWholeSecondsPerKey) {
    using namespace std::chrono;
    const steady_clock::time_point t0{seconds(1000)};
    std::vector<UiLaunchEntry> times;
    EXPECT_TRUE(ui_launch_allowed(times, "ventana_config", t0));
    EXPECT_FALSE(ui_launch_allowed(times, "ventana_config", t0 + seconds(1)));
    EXPECT_FALSE(ui_launch_allowed(times, "ventana_config", t0 + milliseconds(4999)));
    EXPECT_TRUE(ui_launch_allowed(times, "otra", t0 + seconds(1)));
    // A refused call does not move the instant: 5 s after the launch is enough.
    EXPECT_TRUE(ui_launch_allowed(times, "ventana_config", t0 + seconds(5)));
    EXPECT_FALSE(ui_launch_allowed(times, "ventana_config", t0 + seconds(9)));
    // A clock that went backwards gives no duration: no launch.
    EXPECT_FALSE(ui_launch_allowed(times, "ventana_config", t0));
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[0].at, t0 + seconds(5));
}

TEST(UiWindow, LaunchPageRedirectsWithoutEndingItsScript) {
    const std::string page = ui_launch_page("http://127.0.0.1:5/?t=ab#x</script><b>");
    EXPECT_NE(page.find("<title>Corvane</title>"), std::string::npos);
    EXPECT_NE(page.find("location.replace(\"http://127.0.0.1:5/?t=ab#x\\u003c/script>\\u003cb>\")"),
              std::string::npos)
        << page;
    EXPECT_EQ(page.find("</script><b>"), std::string::npos);
}

TEST(UiWindow, NothingBeforeTheSessionThenOneBrowserStartPerFiveSeconds) {
    test::TempAppDir app;
    log_reset_for_tests();
    log_open();
    ui_pending_tab_take();
    ui_window_reset_launch_times_for_tests();
    const auto browser_log = app.dir() / "browser.log";
    ::setenv("FAKE_BROWSER_LOG", browser_log.c_str(), 1);
    ::unsetenv("DISPLAY");  // the fake starts, logs and ends: no window is ever found
    ui_window_set_browser_for_tests(std::filesystem::path(FAKE_BROWSER));
    ui_session_reset_for_tests();

    ui_open_window("ayuda");
    EXPECT_EQ(test::read_file(log_file_path()).find("[VENTANA]"), std::string::npos);
    EXPECT_EQ(ui_pending_tab_take(), std::nullopt);

    publish_session();
    ui_open_window("ajustes:audio");
    ui_open_window("clips");
    const std::string log = test::read_file(log_file_path());
    EXPECT_NE(log.find("[VENTANA] Abriendo Corvane (ajustes:audio)."), std::string::npos);
    EXPECT_NE(log.find("[VENTANA] Abriendo Corvane (clips)."), std::string::npos);
    EXPECT_EQ(ui_pending_tab_take(), "clips");

    ASSERT_TRUE(test::wait_for([&] { return !launches(browser_log).empty(); }, 20));
    const auto lines = launches(browser_log);
    ASSERT_EQ(lines.size(), 1u);
    const std::string page = (app.data() / "abrir.html").string();
    EXPECT_EQ(lines[0], "--app=file://" + page + "\t--user-data-dir=" + (app.data() / "ventana_config").string() +
                            "\t--window-size=1360,920\t--no-first-run\t--no-default-browser-check");
    EXPECT_EQ(lines[0].find(kToken), std::string::npos);
    EXPECT_EQ(test::file_mode(page), 0600u);
    EXPECT_NE(test::read_file(page).find(std::string("http://127.0.0.1:4321/?t=") + kToken + "#ajustes:audio"),
              std::string::npos);

    ui_window_set_browser_for_tests(std::nullopt);
    ::unsetenv("FAKE_BROWSER_LOG");
    log_reset_for_tests();
}

// A window manager on a private display, and the fake browser in its place.
class UiWindowDesktop : public ::testing::Test {
  protected:
    void SetUp() override {
        xvfb_ = std::make_unique<test::XvfbServer>(640, 360);
        ::setenv("DISPLAY", xvfb_->display().c_str(), 1);
        // Openbox runs its start-up command once it manages windows; a window
        // mapped before that could be missed and never shown.
        const auto ready = app_.dir() / "wm_listo";
        std::vector<std::string> args{"openbox", "--sm-disable", "--startup", "touch " + ready.string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        ASSERT_EQ(posix_spawnp(&wm_, "openbox", &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        ASSERT_TRUE(test::wait_for([&] { return std::filesystem::exists(ready); }, 30));
        log_reset_for_tests();
        log_open();
        browser_log_ = app_.dir() / "browser.log";
        ::setenv("FAKE_BROWSER_LOG", browser_log_.c_str(), 1);
        ui_window_set_browser_for_tests(std::filesystem::path(FAKE_BROWSER));
        ui_window_reset_launch_times_for_tests();
        ui_session_reset_for_tests();
        publish_session();
    }
    void TearDown() override {
        for (pid_t p : extra_) {
            ::kill(p, SIGTERM);
            ::waitpid(p, nullptr, 0);
        }
        if (wm_ > 0) {
            ::kill(wm_, SIGTERM);
            ::waitpid(wm_, nullptr, 0);
        }
        ui_window_set_browser_for_tests(std::nullopt);
        ::unsetenv("FAKE_BROWSER_LOG");
        log_reset_for_tests();
        xvfb_.reset();  // fake browsers still running lose their display and end
    }
    // Another browser window, started by the test itself.
    void open_window(const std::string& title) {
        std::string env_title = "FAKE_BROWSER_TITLE=" + title;
        std::vector<std::string> args{"env", env_title, "FAKE_BROWSER_LOG=/dev/null", FAKE_BROWSER};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t p = 0;
        ASSERT_EQ(posix_spawnp(&p, "env", nullptr, nullptr, argv.data(), environ), 0);
        extra_.push_back(p);
        ASSERT_TRUE(test::wait_for([&] { return visor_find_window(title).has_value(); }, 20)) << title;
    }
    std::size_t windows_titled(std::string_view title) {
        std::size_t n = 0;
        for (const auto& w : browser_windows()) n += w.title == title;
        return n;
    }

    test::TempAppDir app_;
    std::unique_ptr<test::XvfbServer> xvfb_;
    pid_t wm_ = -1;
    std::vector<pid_t> extra_;
    std::filesystem::path browser_log_;
};

TEST_F(UiWindowDesktop, AMinimisedWindowIsRestoredInsteadOfStartingASecond) {
    ui_open_window("clips");
    ASSERT_TRUE(test::wait_for([&] { return visor_find_window("Corvane").has_value(); }, 20));
    EXPECT_EQ(all_command_lines().find(kToken), std::string::npos);

    const auto first = visor_find_window("Corvane");
    ASSERT_EQ(test::run_command({"xdotool", "windowminimize", "--sync", std::to_string(first->id)}), 0);
    ASSERT_TRUE(test::wait_for([&] {
        auto w = visor_find_window("Corvane");
        return w && w->minimized;
    }, 20));

    // Past the throttle, so only the window search can keep a second start away.
    ui_window_reset_launch_times_for_tests();
    ui_open_window("ajustes");
    ASSERT_TRUE(test::wait_for([&] {
        auto w = visor_find_window("Corvane");
        return w && !w->minimized;
    }, 20));
    EXPECT_EQ(visor_find_window("Corvane")->id, first->id);
    EXPECT_EQ(windows_titled("Corvane"), 1u);
    EXPECT_EQ(launches(browser_log_).size(), 1u);
    EXPECT_EQ(ui_pending_tab_take(), "ajustes");
}

TEST_F(UiWindowDesktop, ShutdownClosesTheInterfaceWindowsByTitleOnly) {
    open_window("Corvane");
    open_window("Corvane · Clips");
    open_window("Corvane · Ajustes");
    open_window("Otra página");
    visor_close_window("Corvane");
    visor_close_window("Corvane · ");
    EXPECT_FALSE(visor_find_window("Corvane").has_value());
    EXPECT_FALSE(visor_find_window("Corvane · ").has_value());
    EXPECT_TRUE(visor_find_window("Otra página").has_value());
    EXPECT_EQ(launches(browser_log_).size(), 0u);
}

}  // namespace
}  // namespace corvane
