#include "base/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "base/clock.h"
#include "base/fd_write.h"
#include "base/paths.h"
#include "base/text.h"

namespace corvane {

namespace {

struct LogState {
    std::mutex mutex;
    bool initialised = false;
    int fd = -1;
    std::filesystem::path path;
    std::uint64_t size = 0;
    // When the writer next checks that its file is still the one at `path`
    // (another copy may have rotated it) or retries a failed opening.
    std::chrono::steady_clock::time_point next_check{};
};

constexpr auto kRecheckInterval = std::chrono::seconds(1);

LogState& state() {
    // Leaked on purpose: detached threads may log while the process ends.
    static LogState* s = new LogState;
    return *s;
}

std::atomic<bool> g_console{false};
std::mutex& console_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

int open_append(const std::filesystem::path& p) {
    return ::open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

std::uint64_t fd_size(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

// Splits at LF; a CR right before the LF goes, and a final line end adds no line.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    return lines;
}

// Called under the lock. A rename by another process leaves our descriptor on
// the old file (now "corvane.1.log"), whose lines the tail would no longer show
// and which that copy's next rotation would destroy; follow the path instead.
void recheck_file(LogState& s) {
    if (s.fd >= 0) {
        struct stat by_path {
        }, by_fd{};
        if (::stat(s.path.c_str(), &by_path) == 0) {
            if (::fstat(s.fd, &by_fd) == 0 && by_path.st_dev == by_fd.st_dev &&
                by_path.st_ino == by_fd.st_ino) {
                return;
            }
        } else if (errno != ENOENT) {
            return;
        }
        ::close(s.fd);
        s.fd = -1;
    }
    s.fd = open_append(s.path);
    s.size = fd_size(s.fd);
}

}  // namespace

std::filesystem::path log_file_path() {
    return data_dir() / "corvane.log";
}

void log_set_console(bool on) {
    g_console.store(on, std::memory_order_relaxed);
}

void log_open(bool rotate) {
    auto path = log_file_path();
    if (rotate) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 &&
            static_cast<std::uint64_t>(st.st_size) > kLogRotateBytes) {
            auto old = path;
            old.replace_filename("corvane.1.log");
            ::rename(path.c_str(), old.c_str());
        }
    }
    int fd = open_append(path);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.fd >= 0) ::close(s.fd);
    s.fd = fd;
    s.path = path;
    s.size = fd_size(fd);
    s.initialised = true;
    s.next_check = std::chrono::steady_clock::now() + kRecheckInterval;
}

void log_flush() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.fd >= 0) ::fdatasync(s.fd);
}

void log_reset_for_tests() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
    s.initialised = false;
    s.size = 0;
}

void log_line(std::string_view message) {
    size_t skip = 0;
    while (skip < message.size() && (message[skip] == '\r' || message[skip] == '\n')) ++skip;
    message.remove_prefix(skip);
    if (message.empty()) return;

    const std::string stamp = clock_log_stamp(std::chrono::system_clock::now());
    std::string block;
    block.reserve(message.size() + 32);
    for (std::string_view line : split_lines(message)) {
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        block += stamp;
        block += ' ';
        block += line;
        block += "\r\n";
    }

    if (g_console.load(std::memory_order_relaxed)) {
        std::string console;
        console.reserve(block.size());
        for (size_t i = 0; i < block.size(); ++i) {
            if (block[i] == '\r' && i + 1 < block.size() && block[i + 1] == '\n') continue;
            console += block[i];
        }
        std::lock_guard lock(console_mutex());
        std::fflush(stdout);  // keep order with anything printed through stdio
        // A closed console must not disturb the file logging.
        (void)fd_write_all(STDOUT_FILENO, console);
    }

    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialised) return;
    const auto now = std::chrono::steady_clock::now();
    if (now >= s.next_check) {
        s.next_check = now + kRecheckInterval;
        recheck_file(s);
    }
    if (s.size + block.size() > kLogRotateBytes) {
        if (s.fd >= 0) ::close(s.fd);
        auto old = s.path;
        old.replace_filename("corvane.1.log");
        ::rename(s.path.c_str(), old.c_str());
        s.fd = open_append(s.path);
        s.size = fd_size(s.fd);
    }
    if (s.fd >= 0 && fd_write_all(s.fd, block)) s.size += block.size();
}

std::string log_read_tail() {
    std::ifstream in(log_file_path(), std::ios::binary);
    if (!in) return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return {};
    const std::string text = ss.str();
    auto lines = split_lines(text);
    size_t from = lines.size() > 400 ? lines.size() - 400 : 0;
    std::string out;
    for (size_t i = from; i < lines.size(); ++i) {
        std::string_view l = lines[i];
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (i > from) out += '\n';
        out += l;
    }
    // One stray byte (an OCR text, a path) must not hide the whole log.
    return utf8_lossy(out);
}

}  // namespace corvane
