#include "base/app.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../recording/recording_test_util.h"
#include "../support/temp_dir.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/paths.h"
#include "platform/processes.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using corvane::test::TempDir;
using corvane::test::read_file;

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Process ids whose parent is `parent`.
std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> out;
    for (auto& e : fs::directory_iterator("/proc")) {
        auto name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = read_file(e.path() / "stat");
        auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        // ") S PPID ..."
        int ppid = std::atoi(stat.c_str() + close + 4);
        if (ppid == parent) out.push_back(std::stoi(name));
    }
    return out;
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 30s) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end;) {
        if (pred()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return pred();
}

// A program folder holding a copy of the real program, and a private runtime folder.
struct ProgramFolder {
    TempDir tmp;
    fs::path app = tmp.path() / "app";
    fs::path exe = app / "corvane";
    fs::path run = tmp.path() / "run";
    fs::path log = app / "data" / "corvane.log";
    ProgramFolder() {
        fs::create_directories(app);
        fs::create_directories(run);
        fs::copy_file(CORVANE_BIN, exe);
    }
    // Makes this process look like the program living in `app`.
    void adopt() const {
        ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
        ::unsetenv("DISPLAY");
        corvane::paths_set_app_dir_for_tests(app);
        corvane::app_set_exe_for_tests(exe);
        corvane::log_open();
    }
};

}  // namespace

TEST(AppQuit, OnlyLogsUntilTheFlagIsPublishedAndLogsEveryCall) {
    ProgramFolder pf;
    EXPECT_EXIT(
        {
            pf.adopt();
            corvane::app_quit();
            if (corvane::quit_requested()) std::_Exit(2);
            corvane::quit_flag_publish();
            corvane::app_quit();
            corvane::app_quit();
            std::_Exit(corvane::quit_requested() ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(count(read_file(pf.log), "[CORVANE] Cerrando…\r\n"), 3u);
}

// A log that cannot take the line (here a FIFO whose reader never reads, as
// a hung disk would be) must not keep the program from quitting.
TEST(AppQuit, TheFlagIsSetBeforeTheLineIsWritten) {
    ProgramFolder pf;
    EXPECT_EXIT(
        {
            fs::create_directories(pf.log.parent_path());
            if (::mkfifo(pf.log.c_str(), 0600) != 0) std::_Exit(6);
            const int reader = ::open(pf.log.c_str(), O_RDONLY | O_NONBLOCK);
            const int filler = ::open(pf.log.c_str(), O_WRONLY | O_NONBLOCK);
            if (reader < 0 || filler < 0) std::_Exit(7);
            const std::string block(4096, 'x');
            while (::write(filler, block.data(), block.size()) > 0) {
            }
            pf.adopt();
            corvane::quit_flag_publish();
            std::thread([] { corvane::app_quit(); }).detach();
            std::_Exit(eventually([] { return corvane::quit_requested(); }, 10s) ? 0 : 5);
        },
        testing::ExitedWithCode(0), "");
}

TEST(AppRestart, BeforeTheFlagExistsOnlyLogs) {
    ProgramFolder pf;
    EXPECT_EXIT(
        {
            pf.adopt();
            corvane::app_restart(false);
            std::this_thread::sleep_for(200ms);
            std::_Exit(children_of(::getpid()).empty() ? 0 : 4);
        },
        testing::ExitedWithCode(0), "");
    const std::string log = read_file(pf.log);
    EXPECT_EQ(count(log, "[AVISO] No se pudo reiniciar: cierra y abre Corvane tú.\r\n"), 1u);
    EXPECT_EQ(count(log, "Reiniciando"), 0u);
}

TEST(AppRestart, ProgramThatCannotStartWarnsAndKeepsRunning) {
    ProgramFolder pf;
    fs::remove(pf.exe);  // as when the program file was deleted under us
    EXPECT_EXIT(
        {
            pf.adopt();
            corvane::quit_flag_publish();
            corvane::app_restart(true);
            std::_Exit(corvane::quit_requested() ? 5 : 0);
        },
        testing::ExitedWithCode(0), "");
    const std::string log = read_file(pf.log);
    EXPECT_NE(log.find("[CORVANE] Reiniciando para aplicar los cambios…\r\n"), std::string::npos);
    EXPECT_NE(log.find("[AVISO] No se pudo reiniciar: cierra y abre Corvane tú.\r\n"),
              std::string::npos);
    EXPECT_EQ(count(log, "Cerrando"), 0u);
}

// The old copy restarts; the new one gets exactly its arguments and folder and
// none of the old one's descriptors, waits for the old one to end, then runs.
TEST(AppRestart, NewCopyWaitsForTheOldOneThenRuns) {
    ProgramFolder pf;
    // The new copy records a screen: give it one of its own.
    corvane::test::XvfbServer xvfb(320, 240);
    // Orphans come back to us, so the new copy can be reaped here.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t old_copy = ::fork();
    if (old_copy == 0) {
        pf.adopt();
        ::setenv("DISPLAY", xvfb.display().c_str(), 1);
        corvane::quit_flag_publish();
        // What the old copy holds when it restarts: descriptors with and without
        // close-on-exec.
        std::ofstream(pf.tmp.path() / "abierto.txt") << "x";
        int leaky = ::open((pf.tmp.path() / "abierto.txt").c_str(), O_RDONLY);
        (void)leaky;
        if (corvane::process_instance_lock(corvane::data_dir()) !=
            corvane::InstanceLock::kOnlyCopy) {
            std::_Exit(6);
        }
        corvane::app_restart(true);
        char ok = corvane::quit_requested() ? 'q' : 'n';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        std::_Exit(0);
    }
    ::close(ready[1]);
    pid_t fresh = 0;
    // Whatever fails below, no process of this test outlives it.
    struct Reaper {
        pid_t& a;
        pid_t& b;
        ~Reaper() {
            for (pid_t p : {a, b}) {
                if (p > 0 && ::kill(p, SIGKILL) == 0) ::waitpid(p, nullptr, 0);
            }
            ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        }
    } reaper{old_copy, fresh};
    char quit = 0;
    ASSERT_EQ(::read(ready[0], &quit, 1), 1);
    EXPECT_EQ(quit, 'q') << "the old copy did not quit after starting the new one";

    ASSERT_TRUE(eventually([&] {
        auto kids = children_of(old_copy);
        if (kids.empty()) return false;
        fresh = kids.front();
        return read_file("/proc/" + std::to_string(fresh) + "/cmdline").find("--esperar-pid") !=
               std::string::npos;
    })) << "no new copy";
    const std::string proc = "/proc/" + std::to_string(fresh);

    using namespace std::string_literals;
    EXPECT_EQ(read_file(proc + "/cmdline"),
              pf.exe.string() + "\0--esperar-pid\0"s + std::to_string(old_copy) + "\0--config\0"s);
    EXPECT_EQ(fs::read_symlink(proc + "/cwd"), pf.app);
    // Once it waits on the old copy (a pidfd), its own log and that wait are
    // all it may hold besides stdio (and what its libraries open on loading,
    // such as their own files).
    auto fd_targets = [&] {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(proc + "/fd")) {
            if (std::stoi(e.path().filename()) <= 2) continue;
            std::error_code ec;
            out.push_back(fs::read_symlink(e.path(), ec).string());
        }
        return out;
    };
    ASSERT_TRUE(eventually([&] {
        auto t = fd_targets();
        return std::find(t.begin(), t.end(), "anon_inode:[pidfd]") != t.end();
    })) << "the new copy does not wait for the old one";
    for (const auto& target : fd_targets()) {
        const bool library =
            target.rfind("/usr/lib/", 0) == 0 && target.find(".so") != std::string::npos;
        EXPECT_TRUE(target == pf.log.string() || target == "anon_inode:[pidfd]" || library)
            << target;
    }
    // Still waiting: nothing started yet.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count(read_file(pf.log), "[CORVANE] Iniciando"), 0u);

    ::kill(old_copy, SIGKILL);
    ::waitpid(old_copy, nullptr, 0);
    old_copy = 0;
    // It runs once it has told second starts where it listens.
    const std::string mine = "\"pid\":" + std::to_string(fresh) + "}";
    EXPECT_TRUE(eventually([&] {
        return read_file(pf.app / "data" / "interfaz.json").find(mine) != std::string::npos;
    })) << read_file(pf.log);
    EXPECT_EQ(count(read_file(pf.log), "[CORVANE] Iniciando"), 1u);

    // Once it runs, a quit signal ends it in order.
    EXPECT_TRUE(eventually([&] { return count(read_file(pf.log), "[CORVANE] Listo") == 1; }))
        << read_file(pf.log);
    ::kill(fresh, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(fresh, &status, 0), fresh);
    fresh = 0;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(read_file(pf.log).find("[CORVANE] Cerrado.\r\n"), std::string::npos);
}
