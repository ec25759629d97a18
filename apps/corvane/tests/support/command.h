// Runs other programs from the tests (ffmpeg, ffprobe, python3, Xvfb's
// helpers): by argument list, or by a shell line whose output comes back.
#pragma once

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace corvane::test {

// Runs argv with posix_spawnp; returns the exit status (-1 when it cannot run).
inline int run_command(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Standard output of a shell command line whose arguments are paths made by
// the test itself; "popen failed" when the shell cannot start.
inline std::string command_output(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

}  // namespace corvane::test
