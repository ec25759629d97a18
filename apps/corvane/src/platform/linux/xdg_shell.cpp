#include "platform/shell_open.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/linux/posix_spawn_clean.h"
#include "platform/processes.h"

namespace corvane {

namespace {

// The dialog's path comes back on its standard output; nothing else is read.
constexpr std::size_t kMaxAnswer = 64 * 1024;

struct Captured {
    bool ran = false;
    int exit_code = -1;
    std::string out;
};

// Runs the program with its standard output on a pipe and waits for it.
Captured run_capturing(const std::filesystem::path& exe, const std::vector<std::string>& args) {
    Captured c;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return c;
    pid_t pid = 0;
    const int rc = spawn_clean(exe, args, {}, fds[1], pid);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return c;
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (c.out.size() < kMaxAnswer) c.out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    c.ran = true;
    c.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return c;
}

}  // namespace

std::optional<std::filesystem::path> shell_find_program(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        if (!dir.empty()) {
            std::filesystem::path candidate = std::filesystem::path(dir) / name;
            struct stat st {};
            if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        if (colon == std::string_view::npos) return std::nullopt;
        dirs.remove_prefix(colon + 1);
    }
}

bool shell_open(std::string_view target) {
    auto opener = shell_find_program("xdg-open");
    if (!opener) return false;
    return process_spawn_detached(*opener, {std::string(target)}, "/").ok;
}

std::optional<std::string> shell_pick_folder(std::string_view title) {
    Captured c;
    if (auto zenity = shell_find_program("zenity")) {
        c = run_capturing(*zenity, {"--file-selection", "--directory", "--title=" + std::string(title)});
    } else if (auto kdialog = shell_find_program("kdialog")) {
        c = run_capturing(*kdialog, {"--getexistingdirectory", ".", "--title", std::string(title)});
    } else {
        return std::nullopt;
    }
    // Exit code 1 is the cancel button.
    if (!c.ran || c.exit_code != 0) return std::nullopt;
    std::string out = std::move(c.out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    if (out.empty() || out.find('\n') != std::string::npos || out.front() != '/') return std::nullopt;
    return out;
}

}  // namespace corvane
