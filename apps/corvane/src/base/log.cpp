#include "base/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "base/clock.h"
#include "base/fd_write.h"
#include "base/paths.h"
#include "base/text.h"
#include "platform/console.h"
#include "platform/files.h"

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

// The console copy. A console nobody reads must never hold up the file log or
// the thread that logs, so a line the console cannot take at once is dropped
// and counted; the count is told on the console before the next line it takes.
struct ConsoleCopy {
    std::mutex mutex;
    std::string unfinished;  // the rest of a line the console took only part of
    std::uint64_t dropped = 0;
};

ConsoleCopy& console_copy() {
    static auto* c = new ConsoleCopy;  // leaked like the log state
    return *c;
}

void write_console(std::string text, std::uint64_t lines) {
    auto& c = console_copy();
    std::lock_guard lock(c.mutex);
    if (!c.unfinished.empty()) c.unfinished.erase(0, console_write_now(c.unfinished));
    if (!c.unfinished.empty()) {
        c.dropped += lines;
        return;
    }
    if (c.dropped > 0) {
        text.insert(0, c.dropped == 1
                           ? std::string("[CONSOLA] 1 línea no se mostró aquí; está en el registro.\n")
                           : fmt::format("[CONSOLA] {} líneas no se mostraron aquí; están en el registro.\n",
                                         c.dropped));
    }
    const std::size_t written = console_write_now(text);
    if (written == 0) {
        // Nothing of it (nor of the count) reached the console.
        c.dropped += lines;
        return;
    }
    c.dropped = 0;
    // A line begun must be finished before any other is written after it.
    if (written < text.size()) c.unfinished.assign(text, written);
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
            (void)file_rename(path, old);
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
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        if (s.fd >= 0) ::close(s.fd);
        s.fd = -1;
        s.initialised = false;
        s.size = 0;
    }
    auto& c = console_copy();
    std::lock_guard lock(c.mutex);
    c.unfinished.clear();
    c.dropped = 0;
}

void log_line(std::string_view message) {
    // Line ends around the message are how callers space their output; they
    // add no line of their own.
    const auto is_line_end = [](char c) { return c == '\r' || c == '\n'; };
    while (!message.empty() && is_line_end(message.front())) message.remove_prefix(1);
    while (!message.empty() && is_line_end(message.back())) message.remove_suffix(1);
    if (message.empty()) return;

    // One message is one line. Messages carry text from outside (requests,
    // INI values, OCR, file names, servers' replies): a line break in it would
    // fake a line of its own, and an escape sequence would drive the console.
    // Cleaning it here, where every line passes, leaves no caller to forget.
    std::string block = clock_log_stamp(std::chrono::system_clock::now());
    block += ' ';
    block += text_escape_controls(message);
    block += "\r\n";

    if (g_console.load(std::memory_order_relaxed)) {
        std::string console(block, 0, block.size() - 2);
        console += '\n';
        write_console(std::move(console), 1);
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
        (void)file_rename(s.path, old);
        s.fd = open_append(s.path);
        s.size = fd_size(s.fd);
    }
    if (s.fd >= 0 && fd_write_all(s.fd, block)) s.size += block.size();
}

namespace {

constexpr std::size_t kTailLines = 400;
// A log is rotated at 5 MiB, but another copy or a user may have made it far
// larger: never hold more than this of it.
constexpr std::size_t kTailMaxBytes = 2 * kLogRotateBytes;
constexpr std::size_t kTailChunk = 64 * 1024;

// The end of the file holding its last `kTailLines` lines (more when a chunk
// reaches further back), read backwards from the end in chunks.
std::optional<std::string> read_file_end(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    auto end = static_cast<std::uint64_t>(st.st_size);
    std::vector<std::string> chunks;  // last piece of the file first
    std::size_t held = 0, line_ends = 0;
    while (end > 0 && held < kTailMaxBytes && line_ends < kTailLines) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({end, kTailChunk, kTailMaxBytes - held}));
        std::string chunk(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::pread(fd, chunk.data() + got, n - got,
                                      static_cast<off_t>(end - n + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        if (got < n) {  // shrank under us or failed: what we have is not a tail
            ::close(fd);
            return std::nullopt;
        }
        line_ends += static_cast<std::size_t>(std::count(chunk.begin(), chunk.end(), '\n'));
        // A final line end closes the last line and does not begin another.
        if (chunks.empty() && chunk.back() == '\n') --line_ends;
        held += n;
        end -= n;
        chunks.push_back(std::move(chunk));
    }
    ::close(fd);
    std::string text;
    text.reserve(held);
    for (auto it = chunks.rbegin(); it != chunks.rend(); ++it) text += *it;
    // Stopped short of the file's start: the first line is only its end.
    if (end > 0) {
        const std::size_t lf = text.find('\n');
        text.erase(0, lf == std::string::npos ? text.size() : lf + 1);
    }
    return text;
}

}  // namespace

std::string log_read_tail() {
    const auto read = read_file_end(log_file_path());
    if (!read) return {};
    const std::string& text = *read;
    auto lines = split_lines(text);
    size_t from = lines.size() > kTailLines ? lines.size() - kTailLines : 0;
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
