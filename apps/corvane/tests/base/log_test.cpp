#include "base/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <thread>

#include "base/clock.h"
#include "base/text.h"
#include "platform/console.h"
#include "base_test_util.h"

namespace corvane {
namespace {

using test::read_file;
using test::TempAppDir;
using test::write_file;

std::vector<std::string> split_crlf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "line without CR LF: " << text.substr(start);
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

bool is_stamp(const std::string& s) {
    static const std::regex re(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})");
    return std::regex_match(s, re);
}

// Waits (generously) for a condition that a later log_line makes true.
template <class F>
bool eventually(F&& f) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        log_reset_for_tests();
        std::filesystem::create_directories(app_.data());
    }
    void TearDown() override {
        log_set_console(false);
        log_reset_for_tests();
    }
    std::filesystem::path log() const { return app_.data() / "corvane.log"; }
    std::filesystem::path old() const { return app_.data() / "corvane.1.log"; }
    TempAppDir app_;
};

TEST_F(LogTest, MessagesBecomeStampedLines) {
    struct Case {
        const char* name;
        std::string message;
        std::vector<std::string> lines;  // without the stamp
    };
    const Case cases[] = {
        {"empty", "", {}},
        {"only line ends", "\r\n\n\r\r\n", {}},
        {"leading line end removed",
         "\n[AVISO] Todavía no hay video en el búfer.",
         {"[AVISO] Todavía no hay video en el búfer."}},
        {"a line break inside stays on the line", "[OK] uno\ndos", {"[OK] uno\\x0ados"}},
        {"final CR LF adds no line", "[OK] tres\r\n", {"[OK] tres"}},
        {"trailing line ends go, inner ones show",
         "[OK] cuatro\r\r\r\ncinco\r\r\n\r",
         {"[OK] cuatro\\x0d\\x0d\\x0d\\x0acinco"}},
        {"empty middle line", "a\n\nb", {"a\\x0a\\x0ab"}},
    };
    log_open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before = read_file(log());
        log_line(c.message);
        const std::string added = read_file(log()).substr(before.size());
        std::vector<std::string> lines = split_crlf(added);
        ASSERT_EQ(lines.size(), c.lines.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            ASSERT_GE(lines[i].size(), 24u);
            EXPECT_TRUE(is_stamp(lines[i].substr(0, 23))) << lines[i];
            EXPECT_EQ(lines[i][23], ' ');
            EXPECT_EQ(lines[i].substr(0, 23), lines[0].substr(0, 23));
            EXPECT_EQ(lines[i].substr(24), c.lines[i]);
        }
    }
    EXPECT_EQ(test::file_mode(log()), 0600u);
}

TEST_F(LogTest, NothingReachesTheFileBeforeOpening) {
    log_line("[CORVANE] antes de abrir");
    EXPECT_FALSE(std::filesystem::exists(log()));
    log_open();
    log_line("[CORVANE] después");
    EXPECT_NE(read_file(log()).find("[CORVANE] después\r\n"), std::string::npos);
    EXPECT_EQ(read_file(log()).find("antes"), std::string::npos);
}

// Points standard output somewhere else until destroyed (and tells the
// console writer, which keeps a descriptor of its own, to look again).
class StdoutTo {
  public:
    explicit StdoutTo(int fd) : saved_(::dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        ::dup2(fd, STDOUT_FILENO);
        console_forget_for_tests();
    }
    ~StdoutTo() { restore(); }
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
        console_forget_for_tests();
    }

  private:
    int saved_;
};

TEST_F(LogTest, ConsoleCopyHasLfEndsAndSurvivesAClosedPipe) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        StdoutTo console(fds[1]);
        ::close(fds[1]);
        log_open();
        log_set_console(true);
        log_line("\n[OK] uno\r\n");
        log_line("\r\n");
        log_line("dos");
        log_set_console(false);
    }  // closes the pipe's last write ends
    std::string console;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) console.append(buf, n);
    ::close(fds[0]);
    ASSERT_EQ(console.size(), 2 * 24 + 9 + 4);
    const std::string stamp = console.substr(0, 23), stamp2 = console.substr(24 + 9, 23);
    EXPECT_EQ(console, stamp + " [OK] uno\n" + stamp2 + " dos\n");
    EXPECT_EQ(read_file(log()), stamp + " [OK] uno\r\n" + stamp2 + " dos\r\n");

    // The reader goes away: the console write fails, the file still gets the line.
    ASSERT_EQ(::pipe(fds), 0);
    {
        StdoutTo gone(fds[1]);
        ::close(fds[1]);
        ::close(fds[0]);
        log_set_console(true);
        log_line("[OK] sin consola");
        log_set_console(false);
    }
    EXPECT_NE(read_file(log()).find(" [OK] sin consola\r\n"), std::string::npos);
}

// Text from outside (a posted setting, an INI value, OCR, a file name, a
// server's reply) goes into messages as it came: whatever it holds, the file
// and the console get exactly one line per message, no control character, no
// line separator and only well-formed UTF-8.
TEST_F(LogTest, OutsideTextIsShownEscapedInTheFileAndOnTheConsole) {
    struct Case {
        const char* name;
        std::string text, shown;
    };
    const Case cases[] = {
        {"a fake line after LF", "x\n2026-10-25 09:05:03.042 [ERROR] falso",
         "x\\x0a2026-10-25 09:05:03.042 [ERROR] falso"},
        {"a fake line after CR", "x\r[ERROR] falso", "x\\x0d[ERROR] falso"},
        {"terminal clear, title and bell", "\x1b[2J\x1b[H\x1b]0;pwned\x07tag",
         "\\x1b[2J\\x1b[H\\x1b]0;pwned\\x07tag"},
        {"cursor back to the line start", "a\x1b[1G\x1b[2K[ERROR] falso", "a\\x1b[1G\\x1b[2K[ERROR] falso"},
        {"NUL, tab, backspace, DEL", std::string("a\0b\tc\bd\x7f", 8), "a\\x00b\\x09c\\x08d\\x7f"},
        {"line and paragraph separators", "a\u2028[ERROR] b\u2029c", "a\\u2028[ERROR] b\\u2029c"},
        {"NEL and the 8-bit CSI", "a\u0085b\u009b2Jc", "a\\u0085b\\u009b2Jc"},
        {"broken UTF-8", "a\xff\xc3(\xe2\x80z\xed\xa0\x80", "a\\xff\\xc3(\\xe2\\x80z\\xed\\xa0\\x80"},
        {"a lone continuation byte", "\x9b[2J", "\\x9b[2J"},
        {"plain Spanish and symbols kept", "Zoë · ñandú «x» … \\x1b 🎮", "Zoë · ñandú «x» … \\x1b 🎮"},
        {"a line end at the end goes", "tag\u2028\r\n", "tag\\u2028"},
    };
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string console;
    std::thread reader([&console, r = fds[0]] {
        char buf[4096];
        for (ssize_t n; (n = ::read(r, buf, sizeof buf)) > 0;) console.append(buf, static_cast<size_t>(n));
    });
    {
        StdoutTo out(fds[1]);
        ::close(fds[1]);
        log_open();
        log_set_console(true);
        for (const auto& c : cases) log_line("[CONFIGURACIÓN] [general] gamertag = " + c.text);
        log_set_console(false);
    }
    reader.join();
    ::close(fds[0]);

    const std::string file = read_file(log());
    const auto lines = split_crlf(file);
    ASSERT_EQ(lines.size(), std::size(cases)) << file;
    std::vector<std::string> shown;
    for (std::size_t start = 0, lf; (lf = console.find('\n', start)) != std::string::npos; start = lf + 1) {
        // A count of lines an earlier test's console dropped may come first.
        if (console.compare(start, 10, "[CONSOLA] ") != 0) shown.push_back(console.substr(start, lf - start));
    }
    ASSERT_EQ(shown.size(), std::size(cases)) << console;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(lines[i].substr(24), "[CONFIGURACIÓN] [general] gamertag = " + cases[i].shown);
        EXPECT_EQ(shown[i], lines[i]);
    }
    for (const std::string* out : {&file, static_cast<const std::string*>(&console)}) {
        EXPECT_TRUE(utf8_valid(*out));
        const std::string_view line_ends = out == &file ? "\r\n" : "\n";
        for (unsigned char ch : *out)
            EXPECT_TRUE(ch >= 0x20 || line_ends.find(static_cast<char>(ch)) != std::string_view::npos)
                << "raw control " << int(ch);
        for (const char* raw : {"\u2028", "\u2029", "\u0085", "\u009b", "\x7f"})
            EXPECT_EQ(out->find(raw), std::string::npos) << raw;
    }
}

// Nobody reads the console: its pipe is full. Logging goes on into the file
// without waiting; the console lines are dropped and, once the console takes
// text again, their number is told before the next line.
TEST_F(LogTest, FullConsoleNeverHoldsUpTheLog) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Fill the pipe through a non-blocking write end, then make it blocking
    // again: the program's standard output is an ordinary blocking pipe.
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    std::size_t filled = 0;
    const std::string filler(4096, 'x');
    for (ssize_t w; (w = ::write(fds[1], filler.data(), filler.size())) > 0;) filled += w;
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, 0), 0);
    ASSERT_GT(filled, 0u);

    StdoutTo console(fds[1]);
    ::close(fds[1]);
    log_open();
    log_set_console(true);
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([done] {
        log_line("[OK] uno");
        log_line("[OK] dos");
        log_line("[OK] tres");
        done->store(true);
    }).detach();
    const bool went_on = eventually([&] { return done->load(); });

    // Drain the filler only (a stuck writer is freed by this too).
    std::string seen;
    char buf[65536];
    while (seen.size() < filled) {
        const ssize_t n = ::read(fds[0], buf, std::min(sizeof buf, filled - seen.size()));
        if (n <= 0) break;
        seen.append(buf, static_cast<size_t>(n));
    }
    eventually([&] { return done->load(); });
    log_line("[OK] cuatro");
    log_set_console(false);
    console.restore();
    std::string after;
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) after.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);

    EXPECT_TRUE(went_on) << "log_line waited for the console";
    EXPECT_EQ(seen, std::string(filled, 'x'));
    const auto file = split_crlf(read_file(log()));
    ASSERT_EQ(file.size(), 4u);
    EXPECT_EQ(file[0].substr(24), "[OK] uno");
    EXPECT_EQ(file[3].substr(24), "[OK] cuatro");
    ASSERT_GT(after.size(), 24u);
    EXPECT_EQ(after, "[CONSOLA] 3 líneas no se mostraron aquí; están en el registro.\n" +
                         file[3] + "\n");
}

TEST_F(LogTest, RotationWhileWriting) {
    // A 4-byte message makes a 30-byte block: 23 stamp + blank + 4 + CR LF.
    struct Case {
        std::uint64_t existing;
        bool rotates;
    };
    for (Case c : {Case{5'242'870, true}, Case{5'242'850, false}}) {
        SCOPED_TRACE(c.existing);
        log_reset_for_tests();
        std::filesystem::remove(old());
        write_file(log(), std::string(c.existing, 'x'));
        log_open();
        log_line("abcd");
        if (c.rotates) {
            EXPECT_EQ(std::filesystem::file_size(old()), c.existing);
            EXPECT_EQ(std::filesystem::file_size(log()), 30u);
            EXPECT_EQ(read_file(log()).substr(23), " abcd\r\n");
        } else {
            EXPECT_FALSE(std::filesystem::exists(old()));
            EXPECT_EQ(std::filesystem::file_size(log()), kLogRotateBytes);
        }
    }
}

TEST_F(LogTest, RotationAtStartUp) {
    struct Case {
        std::uint64_t existing;
        bool rotate_allowed;
        bool rotates;
    };
    const Case cases[] = {{kLogRotateBytes, true, false},
                          {kLogRotateBytes + 1, true, true},
                          {kLogRotateBytes + 1, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("{} {}", c.existing, c.rotate_allowed));
        log_reset_for_tests();
        std::filesystem::remove(old());
        write_file(old(), "generación anterior");
        write_file(log(), std::string(c.existing, 'y'));
        log_open(c.rotate_allowed);
        if (c.rotates) {
            EXPECT_EQ(std::filesystem::file_size(old()), c.existing);
            EXPECT_EQ(std::filesystem::file_size(log()), 0u);
        } else {
            EXPECT_EQ(read_file(old()), "generación anterior");
            EXPECT_EQ(std::filesystem::file_size(log()), c.existing);
        }
    }
}

TEST_F(LogTest, FollowsAFileRotatedByAnotherCopy) {
    log_open();
    log_line("[OK] antes");
    // Another copy (holding the single-instance lock) rotates at its start-up.
    std::filesystem::rename(log(), old());
    ASSERT_TRUE(eventually([&] {
        log_line("[OK] después");
        return std::filesystem::exists(log()) &&
               read_file(log()).find("[OK] después") != std::string::npos;
    }));
    EXPECT_EQ(read_file(log()).find("antes"), std::string::npos);
    EXPECT_NE(read_file(old()).find("[OK] antes"), std::string::npos);
}

TEST_F(LogTest, FailedOpenIsRetried) {
    std::filesystem::create_directories(log());  // a folder in the way: opening fails
    log_open();
    log_line("[OK] perdida");
    std::filesystem::remove(log());
    ASSERT_TRUE(eventually([&] {
        log_line("[OK] recuperada");
        return std::filesystem::is_regular_file(log()) &&
               read_file(log()).find("[OK] recuperada") != std::string::npos;
    }));
    EXPECT_EQ(read_file(log()).find("perdida"), std::string::npos);
    EXPECT_EQ(test::file_mode(log()), 0600u);
}

std::string shell_tail(const std::filesystem::path& p) {
    std::string cmd = fmt::format("tail -n 400 '{}' | tr -d '\\r'", p.string());
    FILE* f = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; f && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    if (f) ::pclose(f);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST_F(LogTest, TailOfTheLastFourHundredLines) {
    EXPECT_EQ(log_read_tail(), "");  // no log yet
    log_open();
    for (int i = 1; i <= 10; ++i) log_line(fmt::format("[OK] línea {}", i));
    std::string tail = log_read_tail();
    EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 9);
    EXPECT_EQ(tail, shell_tail(log()));

    for (int i = 11; i <= 1000; ++i) log_line(fmt::format("[OK] línea {}", i));
    tail = log_read_tail();
    EXPECT_EQ(tail, shell_tail(log()));
    EXPECT_EQ(tail.substr(24, 15), "[OK] línea 601");
    EXPECT_EQ(tail.substr(tail.size() - 16), "[OK] línea 1000");
    EXPECT_EQ(tail.find('\r'), std::string::npos);
}

// The tail is read from the end: line ends across read pieces, lines longer
// than a piece, with and without a final line end, agree with tail(1).
TEST_F(LogTest, TailReadFromTheEndAgreesWithTail) {
    const std::size_t kLong = 150'000;  // longer than one piece read from the end
    struct Case {
        int lines;
        std::size_t every_long;  // every n-th line is long; 0: none
        bool final_end;
    } cases[] = {{399, 0, true}, {400, 0, true},  {401, 0, false}, {2000, 0, true},
                 {450, 7, true}, {60, 1, false},  {1, 0, false},   {0, 0, true}};
    for (const auto& c : cases) {
        std::string text;
        for (int i = 1; i <= c.lines; ++i) {
            if (i > 1) text += "\r\n";
            text += fmt::format("línea {}", i);
            if (c.every_long && i % c.every_long == 0) text += std::string(kLong, 'a' + i % 26);
        }
        if (c.final_end && c.lines > 0) text += "\r\n";
        write_file(log(), text);
        EXPECT_EQ(log_read_tail(), shell_tail(log()))
            << c.lines << " lines, long every " << c.every_long << ", final end " << c.final_end;
    }
}

// Lines so long that their last 400 pass the read limit: the tail holds only
// whole lines, the newest ones, in order.
TEST_F(LogTest, TailOfVeryLongLinesHoldsWholeLines) {
    const std::size_t kLong = 150'000;
    std::string text;
    for (int i = 1; i <= 100; ++i) text += fmt::format("línea {:03} ", i) + std::string(kLong, 'x') + "\r\n";
    write_file(log(), text);
    const std::string tail = log_read_tail();
    std::vector<std::string> lines;
    for (std::size_t at = 0; at <= tail.size();) {
        std::size_t lf = tail.find('\n', at);
        if (lf == std::string::npos) lf = tail.size();
        lines.push_back(tail.substr(at, lf - at));
        at = lf + 1;
    }
    ASSERT_GT(lines.size(), 10u);
    ASSERT_LT(lines.size(), 100u);
    const int first = 100 - static_cast<int>(lines.size()) + 1;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i], fmt::format("línea {:03} ", first + static_cast<int>(i)) + std::string(kLong, 'x'))
            << "line " << i;
    }
}

// Another writer made the log enormous (here a sparse 64 GiB file): the tail
// still comes from its end, without reading the rest.
TEST_F(LogTest, TailOfAnEnormousLog) {
    std::string lines;
    for (int i = 1; i <= 1000; ++i) lines += fmt::format("\r\n2026-10-25 09:05:03.042 [OK] línea {}", i);
    lines += "\r\n";
    {
        const int fd = ::open(log().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, lines.data(), lines.size(), off_t{64} << 30),
                  static_cast<ssize_t>(lines.size()));
        ::close(fd);
    }
    const std::string tail = log_read_tail();
    EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 399);
    EXPECT_EQ(tail.substr(24, 15), "[OK] línea 601");
    EXPECT_EQ(tail.substr(tail.size() - 16), "[OK] línea 1000");
}

TEST_F(LogTest, TailDecodesInvalidUtf8Lossily) {
    write_file(log(), "uno\r\nd\xFFos\r\ntres");
    EXPECT_EQ(log_read_tail(), "uno\nd\xEF\xBF\xBDos\ntres");
}

TEST_F(LogTest, ClockTexts) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 1;
    tm.tm_mday = 3;
    tm.tm_hour = 7;
    tm.tm_min = 5;
    tm.tm_sec = 9;
    tm.tm_isdst = -1;
    auto t =
        std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(42);
    LocalDateTime dt = clock_local_date_time_at(t);
    EXPECT_EQ(dt.date, "2026-02-03");
    EXPECT_EQ(dt.time, "07-05-09");
    EXPECT_EQ(clock_log_stamp(t), "2026-02-03 07:05:09.042");
}

class LogConcurrency : public LogTest {};

TEST_F(LogConcurrency, MessagesNeverInterleave) {
    log_open();
    constexpr int kThreads = 8, kMessages = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int m = 0; m < kMessages; ++m)
                log_line(fmt::format("[PRUEBA] {}:{} a\n{}:{} b\n{}:{} c", t, m, t, m, t, m));
        });
    }
    for (auto& th : threads) th.join();

    std::vector<std::string> lines = split_crlf(read_file(log()));
    ASSERT_EQ(lines.size(), size_t{kThreads} * kMessages);
    std::map<int, int> next;  // per thread, the next message expected
    for (const std::string& line : lines) {
        int t = -1, m = -1;
        ASSERT_EQ(std::sscanf(line.c_str() + 24, "[PRUEBA] %d:%d a", &t, &m), 2) << line;
        const std::string id = fmt::format("{}:{}", t, m);
        EXPECT_EQ(line.substr(24), "[PRUEBA] " + id + " a\\x0a" + id + " b\\x0a" + id + " c");
        EXPECT_EQ(m, next[t]++);
    }
}

// Many threads log while a slow reader drains a small console pipe: the
// console shows whole lines only, and what it shows plus the counts it tells
// is every line logged.
TEST_F(LogConcurrency, ConsoleShowsWholeLinesAndCountsTheRest) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    std::string console;
    std::atomic<int> logged{0};
    constexpr int kThreads = 8, kMessages = 500;
    // The reader starts once half is logged: the first half surely overflows
    // the pipe, the second half is drained while it is written.
    std::thread reader([&console, &logged, r = fds[0]] {
        while (logged.load() < kThreads * kMessages / 2) std::this_thread::yield();
        char buf[512];
        for (ssize_t n; (n = ::read(r, buf, sizeof buf)) > 0;) {
            console.append(buf, static_cast<size_t>(n));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    {
        StdoutTo out(fds[1]);
        ::close(fds[1]);
        log_open();
        log_set_console(true);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &logged] {
                for (int m = 0; m < kMessages; ++m) {
                    log_line(fmt::format("[PRUEBA] {}:{} a\nb", t, m));
                    ++logged;
                }
            });
        }
        for (auto& th : threads) th.join();
        // Once the reader has caught up, one more line carries the last count.
        eventually([&] {
            int pending = 0;
            return ::ioctl(fds[0], FIONREAD, &pending) == 0 && pending == 0;
        });
        log_line("[PRUEBA] fin");
        log_set_console(false);
    }
    reader.join();
    ::close(fds[0]);

    ASSERT_FALSE(console.empty());
    ASSERT_EQ(console.back(), '\n');
    const std::regex message(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[PRUEBA\] \d+:\d+ a\\x0ab)");
    const std::regex count(R"(\[CONSOLA\] (\d+) l(í|i)neas? no se mostr(ó|aron) aquí; est(á|án) en el registro\.)");
    std::uint64_t shown = 0, told = 0;
    bool fin = false;
    std::size_t start = 0;
    for (std::size_t lf; (lf = console.find('\n', start)) != std::string::npos; start = lf + 1) {
        const std::string line = console.substr(start, lf - start);
        std::smatch m;
        if (std::regex_match(line, m, count)) {
            told += std::stoull(m[1]);
        } else if (line.size() > 24 && line.substr(24) == "[PRUEBA] fin") {
            fin = true;
        } else {
            ASSERT_TRUE(std::regex_match(line, message)) << "not a whole line: " << line;
            ++shown;
        }
    }
    EXPECT_TRUE(fin);
    EXPECT_EQ(shown + told, std::uint64_t{kThreads} * kMessages);
    EXPECT_GT(told, 0u);
}

}  // namespace
}  // namespace corvane
