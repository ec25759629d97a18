// Helpers for the recording tests: a private log, a private Xvfb display.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../base/base_test_util.h"
#include "../support/command.h"
#include "base/log.h"

namespace corvane::test {

// The log of a fresh program folder, for the life of the object.
class LogCapture {
public:
    LogCapture() {
        log_reset_for_tests();
        log_open();
    }
    ~LogCapture() { log_reset_for_tests(); }
    std::string text() const { return read_file(app_.data() / "corvane.log"); }

private:
    TempAppDir app_;
};

// Polls `cond` every 10 ms until it holds or `seconds` pass.
inline bool wait_for(const std::function<bool()>& cond, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// Xvfb on a display number it picks itself (-displayfd), stopped by pid.
class XvfbServer {
public:
    XvfbServer(int width, int height, std::vector<std::string> extra = {}) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 3);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-screen", "0", screen,
                                         "-nolisten", "tcp", "-noreset"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawnp(&pid_, "Xvfb", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            throw std::runtime_error("Xvfb no arrancó");
        }
        std::string number;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (number.empty()) throw std::runtime_error("Xvfb no dio número de pantalla");
        display_ = ":" + number;
    }
    ~XvfbServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
        }
    }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace corvane::test
