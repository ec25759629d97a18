#include "shell/fatal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"

#include "base/log.h"
#include "base/paths.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using corvane::test::TempDir;
using corvane::test::read_file;

fs::path g_marker;
void remove_icon_marker() {
    std::ofstream(g_marker) << "quitado";
}

// The box of a fatal error, in a child process with the log in `dir`.
[[noreturn]] void fatal_in_child(const fs::path& dir, const char* message) {
    corvane::paths_set_app_dir_for_tests(dir);
    corvane::log_open();
    corvane::main_fatal_error(message);
}

// A private Xvfb on a random display number, ready when it has written the
// number to -displayfd. Several test programs start servers at once: picking
// the lowest free number makes them race for it, a random one does not.
struct Xvfb {
    pid_t pid = -1;
    std::string display;
    int ready_fd = -1;  // the server may write to it again: open while it runs
    ~Xvfb() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (ready_fd >= 0) ::close(ready_fd);
    }
};

void start_xvfb(Xvfb& x) {
    std::random_device rd;
    std::uniform_int_distribution<int> pick(200, 29999);
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::string number = std::to_string(pick(rd));
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) break;
        pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], 3);
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            const std::string display = ":" + number;
            ::execl("/usr/bin/Xvfb", "Xvfb", display.c_str(), "-displayfd", "3", "-screen", "0",
                    "640x480x24", "-nolisten", "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string got;
        char buf[16];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
            got.append(buf, static_cast<size_t>(n));
            if (got.find('\n') != std::string::npos) break;
        }
        if (got == number + "\n") {
            x.pid = pid;
            x.display = ":" + number;
            x.ready_fd = fds[0];
            return;
        }
        ::close(fds[0]);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

}  // namespace

TEST(FatalError, WithoutDisplayLogsWritesTheBoxTextAndExitsWithOne) {
    TempDir dir;
    g_marker = dir.path() / "icono";
    EXPECT_EXIT(
        {
            ::unsetenv("DISPLAY");
            corvane::fatal_set_tray_icon_remover(&remove_icon_marker);
            fatal_in_child(dir.path(), "No se encontró el monitor: sin pantalla");
        },
        testing::ExitedWithCode(1),
        "^Corvane: No se encontró el monitor: sin pantalla\n\nDetalles en el registro:\n.*/data/"
        "corvane\\.log\n$");
    EXPECT_NE(read_file(dir.path() / "data" / "corvane.log")
                  .find(" [ERROR] No se encontró el monitor: sin pantalla\r\n"),
              std::string::npos);
    EXPECT_EQ(read_file(g_marker), "quitado");
}

TEST(FatalError, RealBoxWaitsUntilClosedThenExitsWithOne) {
    if (!fs::exists("/usr/bin/Xvfb") || !fs::exists("/usr/bin/xdotool")) GTEST_SKIP() << "no Xvfb";
    TempDir dir;
    Xvfb xvfb;
    start_xvfb(xvfb);
    ASSERT_GT(xvfb.pid, 0) << "no Xvfb display could be started";
    const std::string& display = xvfb.display;
    const std::string env = "DISPLAY=" + display + " ";
    // The server has told its number; the box needs it to take connections too.
    bool answers = false;
    for (auto end = std::chrono::steady_clock::now() + 30s;
         !answers && std::chrono::steady_clock::now() < end;) {
        answers = std::system((env + "xdpyinfo >/dev/null 2>&1").c_str()) == 0;
        if (!answers) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(answers) << "the Xvfb display never answered";

    pid_t child = ::fork();
    if (child == 0) {
        ::setenv("DISPLAY", display.c_str(), 1);
        fatal_in_child(dir.path(), "No se pudo iniciar la captura de pantalla: prueba");
    }
    bool found = false;
    int status = 0;
    pid_t done = 0;
    for (auto end = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < end;) {
        done = ::waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (!found &&
            std::system((env + "xdotool search --name '^Corvane$' >/dev/null 2>&1").c_str()) == 0) {
            found = true;
            // The box is up and the process still runs until it is closed.
            std::this_thread::sleep_for(200ms);
            EXPECT_EQ(::waitpid(child, &status, WNOHANG), 0);
            std::system((env + "xdotool key Return").c_str());
        }
        std::this_thread::sleep_for(50ms);
    }
    if (done != child) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(found) << "no box window";
    ASSERT_EQ(done, child) << "the box did not close";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(read_file(dir.path() / "data" / "corvane.log")
                  .find("[ERROR] No se pudo iniciar la captura de pantalla: prueba"),
              std::string::npos);
}
