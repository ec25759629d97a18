#include "shell/watcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "../base/base_test_util.h"
#include "base/log.h"
#include "detection/hud.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

std::optional<GameMatch> real_titles(std::string_view name) {
    auto t = game_title_for_exe(name);
    if (!t) return std::nullopt;
    return GameMatch{t->title, t->warzone};
}

// A private log for one test; the text added since the last call.
class LogTail {
  public:
    LogTail() {
        log_reset_for_tests();
        log_open();
    }
    ~LogTail() { log_reset_for_tests(); }
    std::string added() {
        const std::string all = test::read_file(log_file_path());
        std::string out = all.substr(std::min(seen_, all.size()));
        seen_ = all.size();
        return out;
    }

  private:
    test::TempAppDir app_;
    std::size_t seen_ = 0;
};

ProcessNames proc(std::uint32_t pid, std::string exe, std::string command = {}) {
    return ProcessNames{pid, std::move(exe), std::move(command)};
}

TEST(GameChoose, WarzoneWinsThenListOrder) {
    struct Case {
        std::vector<ProcessNames> list;
        std::optional<GameStatus> want;
    };
    const std::vector<Case> cases{
        {{}, std::nullopt},
        {{proc(1, "bash"), proc(2, "sleep")}, std::nullopt},
        {{proc(10, "cod26.exe"), proc(11, "cod25.exe")},
         GameStatus{"Warzone · Black Ops 7", "cod25.exe", true}},
        {{proc(10, "cod26.exe"), proc(11, "cod.exe")},
         GameStatus{"Modern Warfare 4", "cod26.exe", false}},
        // Run through a loader: the program is named by its command line.
        {{proc(5, "wine64-preloader", "cod25.exe")},
         GameStatus{"Warzone · Black Ops 7", "cod25.exe", true}},
        // A process with an unreadable program link still has its command.
        {{proc(5, "", "cod25")}, GameStatus{"Warzone · Black Ops 7", "cod25", true}},
        // The program's own name wins over what its command line claims.
        {{proc(5, "cod26", "cod25.exe")}, GameStatus{"Modern Warfare 4", "cod26", false}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(game_choose(cases[i].list, real_titles), cases[i].want) << "case " << i;
    }
}

TEST(GameWatch, LogsOnlyChanges) {
    LogTail log;
    game_status_store(std::nullopt);
    const std::vector<ProcessNames> none{proc(1, "bash")};
    const std::vector<ProcessNames> game{proc(1, "bash"), proc(7, "cod25.exe")};

    game_watch_pass(none, real_titles);
    EXPECT_EQ(log.added(), "");  // nothing running at start: nothing logged
    game_watch_pass(game, real_titles);
    EXPECT_NE(log.added().find("[JUEGO] Abierto: Warzone · Black Ops 7 (cod25.exe)\r\n"),
              std::string::npos);
    game_watch_pass(game, real_titles);
    EXPECT_EQ(log.added(), "");
    EXPECT_EQ(game_status_snapshot(), (GameStatus{"Warzone · Black Ops 7", "cod25.exe", true}));
    // An unreadable process list counts as no game, and the game comes back
    // with the next good scan.
    game_watch_pass(std::nullopt, real_titles);
    EXPECT_NE(log.added().find("[JUEGO] Ningún Call of Duty abierto.\r\n"), std::string::npos);
    EXPECT_EQ(game_status_snapshot(), std::nullopt);
    game_watch_pass(game, real_titles);
    EXPECT_NE(log.added().find("[JUEGO] Abierto: "), std::string::npos);
    game_watch_pass(none, real_titles);
    EXPECT_NE(log.added().find("[JUEGO] Ningún Call of Duty abierto."), std::string::npos);
}

// A real process whose program file is named cod25 shows up as the game at
// the next scan, and its end is noticed as well.
TEST(GameWatch, RealProcessNamedCod25IsSeenAndItsEndLogged) {
    LogTail log;
    game_status_store(std::nullopt);
    test::TempDir dir;
    const auto exe = dir.path() / "cod25";
    std::filesystem::copy_file("/bin/sleep", exe);
    std::filesystem::permissions(exe, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    std::string a0 = exe.string(), a1 = "60";
    char* argv[] = {a0.data(), a1.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ), 0);

    // Other tests on the machine may run programs named like the game: only
    // ours counts here.
    auto ours = [&] {
        auto list = process_list();
        if (list) {
            std::erase_if(*list, [&](const ProcessNames& p) {
                return p.pid != static_cast<std::uint32_t>(pid) &&
                       (real_titles(p.exe) || real_titles(p.command));
            });
        }
        return list;
    };
    auto watch_until = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        do {
            game_watch_pass(ours(), real_titles);
            if (done()) return true;
            std::this_thread::sleep_for(100ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    };
    const bool seen = watch_until([] { return game_status_snapshot().has_value(); });
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ASSERT_TRUE(seen);
    EXPECT_NE(log.added().find("[JUEGO] Abierto: Warzone · Black Ops 7 (cod25)"),
              std::string::npos);
    ASSERT_TRUE(watch_until([] { return !game_status_snapshot().has_value(); }));
    EXPECT_NE(log.added().find("[JUEGO] Ningún Call of Duty abierto."), std::string::npos);
}

// A program run through a loader shows the loader as its program file; its
// command line's first word (a Windows path) names the game.
TEST(ProcessList, LoaderProcessIsNamedByItsCommandLine) {
    std::string a0 = "C:\\Juegos\\Call of Duty\\cod25.exe", a1 = "60";
    char* argv[] = {a0.data(), a1.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ), 0);
    std::optional<ProcessNames> seen;
    for (int i = 0; i < 100 && !seen; ++i) {
        for (const auto& p : process_list().value_or(std::vector<ProcessNames>{})) {
            if (p.pid == static_cast<std::uint32_t>(pid) && p.command == "cod25.exe") seen = p;
        }
        if (!seen) std::this_thread::sleep_for(20ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->exe, "sleep");
    EXPECT_EQ(game_choose({*seen}, real_titles),
              (GameStatus{"Warzone · Black Ops 7", "cod25.exe", true}));
}

TEST(ProcessList, ListsOurselvesByProgramAndCommand) {
    auto list = process_list();
    ASSERT_TRUE(list.has_value());
    const auto self = static_cast<std::uint32_t>(::getpid());
    const auto it = std::find_if(list->begin(), list->end(),
                                 [&](const ProcessNames& p) { return p.pid == self; });
    ASSERT_NE(it, list->end());
    EXPECT_EQ(it->exe, "corvane_shell_tests");
    EXPECT_EQ(it->command, "corvane_shell_tests");
    EXPECT_TRUE(
        std::is_sorted(list->begin(), list->end(), [](auto& a, auto& b) { return a.pid < b.pid; }));
}

TEST(StatusLine, Texts) {
    struct Case {
        bool front, stopped;
        double seconds, mb;
        const char* want;
    };
    const std::vector<Case> cases{
        {true, false, 30.4, 412.6, "Juego al frente · Grabando · búfer 30 s · 413 MB"},
        {false, false, 0, 0, "Grabando · búfer 0 s · 0 MB"},
        {false, false, 119.6, 1023.4, "Grabando · búfer 120 s · 1023 MB"},
        {false, true, 30, 50, "Grabación detenida · búfer 30 s · 50 MB"},
        {true, true, 30, 50, "Juego al frente · Grabación detenida · búfer 30 s · 50 MB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(status_line_text(c.front, c.stopped, c.seconds, c.mb), c.want);
    }
}

StatusReadings reading(std::uint64_t frames, std::uint64_t late, bool front = false) {
    StatusReadings r;
    r.video_span = 304'000'000;  // 30.4 s
    r.total_bytes = static_cast<std::uint64_t>(412.6 * 1'048'576);
    r.frames_arrived = frames;
    r.late = late;
    r.game_in_front = front;
    return r;
}

TEST(StatusMeter, MinuteLineOnTheSixtiethCycle) {
    StatusMeter meter(reading(1000, 5), 60);
    std::uint64_t frames = 1000, late = 5;
    for (int i = 1; i <= 59; ++i) {
        frames += (i == 30) ? 45 : 60;  // one slow second
        late += (i % 20 == 0) ? 1 : 0;
        const auto s = meter.tick(reading(frames, late, true));
        EXPECT_EQ(s.status_line, "Juego al frente · Grabando · búfer 30 s · 413 MB");
        ASSERT_EQ(s.log_line, "") << "cycle " << i;
    }
    frames += 60;
    const auto s = meter.tick(reading(frames, late, true));
    // (58 × 60 + 45 + 60) / 60 = 59.75 → 60; late: cycles 20 and 40.
    EXPECT_EQ(s.log_line,
              "[ESTADO] Búfer 30.4 s, RAM 413 MB | pantalla 60 fps prom. (mín. 45) | video 60 fps "
              "| retrasados en el minuto: 2 | juego al frente");
    // The next minute starts afresh.
    for (int i = 1; i <= 59; ++i) {
        ASSERT_EQ(meter.tick(reading(frames, late)).log_line, "");
    }
    // No frame in a whole minute: average and minimum 0; the counters'
    // subtraction wraps rather than failing.
    EXPECT_EQ(meter.tick(reading(frames, late)).log_line,
              "[ESTADO] Búfer 30.4 s, RAM 413 MB | pantalla 0 fps prom. (mín. 0) | video 60 fps "
              "| retrasados en el minuto: 0");
}

TEST(StatusMeter, CountersWrapAndAStoppedRecordingShows) {
    const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    StatusMeter meter(reading(top - 9, top), 30);
    StatusReadings r = reading(20, 2);  // 30 frames and 3 late ticks across the wrap
    r.recording_stopped = true;
    StatusMeter::Second s;
    for (int i = 0; i < 60; ++i) {
        s = meter.tick(r);
        if (i == 0) {
            EXPECT_EQ(s.status_line, "Grabación detenida · búfer 30 s · 413 MB");
        }
    }
    EXPECT_EQ(s.log_line,
              "[ESTADO] Búfer 30.4 s, RAM 413 MB | pantalla 0 fps prom. (mín. 0) | video 30 fps "
              "| retrasados en el minuto: 3 | grabación detenida");
}

TEST(StatusRead, TakesTheBufferCountersAndFlags) {
    StatusContext ctx;
    ctx.frames = std::make_shared<FrameSignal>();
    ctx.clock = std::make_shared<ClockStats>();
    ctx.buffer = std::make_shared<ReplayBuffer>();
    ctx.frames->frames_arrived = 77;
    ctx.clock->late = 3;
    ctx.clock->recording_stopped = true;
    auto payload = std::make_shared<const std::vector<std::uint8_t>>(1000);
    ctx.buffer->samples.push_back(ReplaySample{0, 10, payload, kTrackAudio, true});
    ctx.buffer->samples.push_back(ReplaySample{100, 50, payload, kTrackVideo, true});
    ctx.buffer->samples.push_back(ReplaySample{150, 50, payload, kTrackVideo, false});
    ctx.buffer->samples.push_back(ReplaySample{190, 10, payload, kTrackAudio, true});
    ctx.buffer->total_bytes = 4000;
    GameInFrontFlag = true;
    const StatusReadings r = status_read(ctx);
    GameInFrontFlag = false;
    EXPECT_EQ(r.video_span, 100);  // first video at 100, last ends at 200
    EXPECT_EQ(r.total_bytes, 4000u);
    EXPECT_EQ(r.frames_arrived, 77u);
    EXPECT_EQ(r.late, 3u);
    EXPECT_TRUE(r.recording_stopped);
    EXPECT_TRUE(r.game_in_front);
}

}  // namespace
}  // namespace corvane
