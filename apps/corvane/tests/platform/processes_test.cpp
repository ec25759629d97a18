#include "platform/processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corvane::InstanceLock;

namespace {

using corvane::test::TempDir;
using corvane::test::read_file;

bool process_gone(std::uint32_t pid) {
    return !fs::exists("/proc/" + std::to_string(pid));
}

// Waits (bounded) until `pred` holds.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 20s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return pred();
}

std::string status_field(std::uint32_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            auto v = line.substr(key.size() + 1);
            return v.substr(v.find_first_not_of(" \t"));
        }
    }
    return {};
}

}  // namespace

TEST(Spawn, ChildStateIsClean) {
    TempDir dir;
    int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    auto old_pipe = ::signal(SIGPIPE, SIG_IGN);

    auto r = corvane::process_spawn_detached("/bin/sleep", {"30"}, dir.path());
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::signal(SIGPIPE, old_pipe);
    ::close(leaky);
    ASSERT_TRUE(r.ok) << r.error;
    const std::string proc = "/proc/" + std::to_string(r.pid);
    auto fds = [&] {
        std::set<int> out;
        std::error_code ec;
        for (auto& e : fs::directory_iterator(proc + "/fd", ec)) {
            out.insert(std::stoi(e.path().filename()));
        }
        return out;
    };
    // Right after exec the arguments may not be readable yet and the loader
    // holds a library open for a moment; a leaked descriptor stays for good.
    using namespace std::string_literals;
    const std::string want_cmdline =
        "/bin/sleep\0"s
        "30\0"s;
    EXPECT_TRUE(eventually(
        [&] {
            return read_file(proc + "/cmdline") == want_cmdline && fds() == std::set<int>{0, 1, 2};
        },
        5s))
        << "descriptors: " << fds().size();
    EXPECT_EQ(read_file(proc + "/cmdline"), want_cmdline);
    EXPECT_EQ(fs::read_symlink(proc + "/cwd"), dir.path());
    // Our blocked and ignored signals must not reach the child (the C library
    // may keep its own internal real-time signals as it likes).
    const std::uint64_t ours = (1ull << (SIGPIPE - 1)) | (1ull << (SIGTERM - 1)) |
                               (1ull << (SIGHUP - 1)) | (1ull << (SIGINT - 1));
    EXPECT_EQ(std::stoull(status_field(r.pid, "SigBlk"), nullptr, 16) & ours, 0u);
    EXPECT_EQ(std::stoull(status_field(r.pid, "SigIgn"), nullptr, 16) & ours, 0u);

    ::kill(static_cast<pid_t>(r.pid), SIGKILL);
    EXPECT_TRUE(eventually([&] { return process_gone(r.pid); })) << "child not reaped";
}

TEST(Spawn, MissingProgramOrFolderIsAnError) {
    TempDir dir;
    auto missing = corvane::process_spawn_detached(dir.path() / "nope", {}, dir.path());
    EXPECT_FALSE(missing.ok);
    EXPECT_FALSE(missing.error.empty());
    auto bad_cwd = corvane::process_spawn_detached("/bin/true", {}, dir.path() / "nope");
    EXPECT_FALSE(bad_cwd.ok);
}

TEST(OwnExe, IsThisTestProgram) {
    auto exe = corvane::process_own_exe();
    EXPECT_TRUE(exe.is_absolute());
    EXPECT_EQ(exe.filename(), "corvane_platform_tests");
    EXPECT_EQ(corvane::process_own_id(), static_cast<std::uint32_t>(::getpid()));
}

TEST(InstanceLockTest, RuntimeFolderFallbackAndUnavailable) {
    TempDir run, data;
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    std::string saved_value = saved ? saved : "";

    ::setenv("XDG_RUNTIME_DIR", run.path().c_str(), 1);
    EXPECT_EQ(corvane::process_instance_lock(data.path()), InstanceLock::kOnlyCopy);
    auto lock = run.path() / "corvane_instancia_unica.lock";
    ASSERT_TRUE(fs::exists(lock));
    struct stat st {};
    ASSERT_EQ(::stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A flock belongs to one open file: a second opening conflicts even here.
    EXPECT_EQ(corvane::process_instance_lock(data.path()), InstanceLock::kOtherCopy);

    // Without a runtime folder the data folder holds the lock.
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(corvane::process_instance_lock(data.path()), InstanceLock::kOnlyCopy);
    EXPECT_TRUE(fs::exists(data.path() / "corvane_instancia_unica.lock"));

    // A lock file that cannot be opened: run as the only copy.
    ::setenv("XDG_RUNTIME_DIR", (run.path() / "missing").c_str(), 1);
    EXPECT_EQ(corvane::process_instance_lock(data.path()), InstanceLock::kUnavailable);

    if (saved) {
        ::setenv("XDG_RUNTIME_DIR", saved_value.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
}

namespace {

char proc_state(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

// A child that sleeps `ms` and exits; the caller reaps it.
pid_t child_sleeping(int ms) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        ::_exit(0);
    }
    return pid;
}

}  // namespace

TEST(WaitExit, EndsWhenTheProcessEndsEvenUnreaped) {
    using corvane::process_wait_exit;
    // A child that ends while we wait: we return once it is a zombie, not before.
    pid_t late = child_sleeping(300);
    ASSERT_GT(late, 0);
    EXPECT_TRUE(process_wait_exit(static_cast<std::uint32_t>(late), 20s));
    EXPECT_EQ(proc_state(late), 'Z');
    // A zombie waited for again has ended already.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(process_wait_exit(static_cast<std::uint32_t>(late), 20s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    ::waitpid(late, nullptr, 0);
    // Now it is gone altogether.
    EXPECT_TRUE(process_wait_exit(static_cast<std::uint32_t>(late), 20s));
}

TEST(WaitExit, TimesOutOnALiveProcessAndIgnoresInvalidIds) {
    using corvane::process_wait_exit;
    pid_t live = child_sleeping(60'000);
    ASSERT_GT(live, 0);
    EXPECT_FALSE(process_wait_exit(static_cast<std::uint32_t>(live), 200ms));
    ::kill(live, SIGKILL);
    ::waitpid(live, nullptr, 0);

    // 0 and ids beyond pid_t (4294967295 would be kill(-1)) never wait.
    EXPECT_TRUE(process_wait_exit(0, 20s));
    EXPECT_TRUE(process_wait_exit(4294967295u, 20s));
    EXPECT_TRUE(process_wait_exit(2147483648u, 20s));
}
