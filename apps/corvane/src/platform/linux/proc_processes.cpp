#include "platform/processes.h"
#include "platform/linux/posix_spawn_clean.h"
#include "platform/thread.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>
#include <system_error>
#include <thread>

namespace corvane {

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

// The descriptor stays open until the process ends: closing it would free the lock.
int g_instance_fd = -1;

void reap_in_background(pid_t pid) {
    try {
        std::thread([pid] {
            thread_set_name("crvn-recoger");
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // Without a thread the child stays a zombie until we end; harmless.
    }
}

// State letter of /proc/<pid>/stat, or 0 when the process does not exist.
char proc_state(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return 0;
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return 0;
    return stat[close + 2];
}

bool wait_by_polling(pid_t pid, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        char st = proc_state(pid);
        if (st == 0 || st == 'Z' || st == 'X') return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

std::filesystem::path process_own_exe() {
    char buf[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return {};
    std::string_view path(buf, static_cast<size_t>(n));
    // A program file replaced by an update reads as "<path> (deleted)".
    if (path.size() > kDeletedSuffix.size() && path.ends_with(kDeletedSuffix)) {
        path.remove_suffix(kDeletedSuffix.size());
    }
    return std::filesystem::path(std::string(path));
}

std::uint32_t process_own_id() {
    return static_cast<std::uint32_t>(::getpid());
}

namespace {

SpawnResult spawn_reaped(const std::filesystem::path& exe, const std::vector<std::string>& args,
                         const std::filesystem::path& cwd, bool new_session) {
    SpawnResult result;
    pid_t pid = 0;
    const int rc = spawn_clean(exe, args, cwd, -1, pid, new_session);
    if (rc != 0) {
        result.error = std::strerror(rc);
        return result;
    }
    reap_in_background(pid);
    result.ok = true;
    result.pid = static_cast<std::uint32_t>(pid);
    return result;
}

}  // namespace

SpawnResult process_spawn_detached(const std::filesystem::path& exe,
                                   const std::vector<std::string>& args,
                                   const std::filesystem::path& cwd) {
    return spawn_reaped(exe, args, cwd, false);
}

SpawnResult process_spawn_watched(const std::filesystem::path& exe,
                                  const std::vector<std::string>& args,
                                  const std::filesystem::path& cwd,
                                  const std::filesystem::path& output,
                                  std::function<void(ProcessEnd)> on_end) {
    SpawnResult result;
    const int fd = ::open(output.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        result.error = std::strerror(errno);
        return result;
    }
    ::fchmod(fd, 0600);  // a file left by someone else keeps no wider mode
    pid_t pid = 0;
    const int rc = spawn_clean(exe, args, cwd, fd, pid, false, fd);
    ::close(fd);
    if (rc != 0) {
        result.error = std::strerror(rc);
        return result;
    }
    try {
        std::thread([pid, on_end = std::move(on_end)] {
            thread_set_name("crvn-recoger");
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0) {
                if (errno != EINTR) return;
            }
            ProcessEnd end;
            end.signalled = WIFSIGNALED(status);
            end.code = end.signalled ? WTERMSIG(status) : WEXITSTATUS(status);
            if (on_end) on_end(end);
        }).detach();
    } catch (const std::system_error&) {
        // Nobody hears of its end; the child stays a zombie until we end.
    }
    result.ok = true;
    result.pid = static_cast<std::uint32_t>(pid);
    return result;
}

SpawnResult process_spawn_new_session(const std::filesystem::path& exe,
                                      const std::vector<std::string>& args,
                                      const std::filesystem::path& cwd) {
    return spawn_reaped(exe, args, cwd, true);
}

bool process_wait_exit(std::uint32_t id, std::chrono::milliseconds limit) {
    if (id == 0 || id > static_cast<std::uint32_t>(INT_MAX)) return true;
    const auto pid = static_cast<pid_t>(id);
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        if (errno == ENOSYS) return wait_by_polling(pid, limit);
        return true;  // gone already, or not ours to see
    }
    // A pidfd turns readable when the process ends, before anyone reaps it.
    auto deadline = std::chrono::steady_clock::now() + limit;
    bool ended = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) break;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0) {
            ended = true;
            break;
        }
        if (r == 0) break;
        if (errno != EINTR) {
            ended = true;
            break;
        }
    }
    ::close(fd);
    return ended;
}

InstanceLock process_instance_lock(const std::filesystem::path& fallback_dir) {
    std::filesystem::path dir = fallback_dir;
    // Never /tmp: another user could create the file first and hold it.
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && run[0] == '/') dir = run;
    auto path = dir / "corvane_instancia_unica.lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return InstanceLock::kUnavailable;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            g_instance_fd = fd;
            return InstanceLock::kOnlyCopy;
        }
        if (errno == EINTR) continue;
        int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? InstanceLock::kOtherCopy : InstanceLock::kUnavailable;
    }
}

void process_route_quit_signals(void (*on_signal)(int)) {
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    try {
        std::thread([set, on_signal] {
            thread_set_name("crvn-senales");
            for (;;) {
                int sig = 0;
                if (::sigwait(&set, &sig) == 0) on_signal(sig);
            }
        }).detach();
    } catch (const std::system_error&) {
        // Without the thread the signals would stay blocked for good: undo.
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
}

void process_die_by_signal(int signal_number) {
    ::signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal_number);
    ::_exit(128 + signal_number);
}

void process_exit_now(int code) {
    ::_exit(code);
}

}  // namespace corvane

namespace corvane {

namespace {

// Up to `limit` bytes of a /proc file; /proc belongs to other processes, so
// nothing is trusted to be small.
std::string read_small(const std::string& path, std::size_t limit) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    out.resize(limit);
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, out.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    return out;
}

std::string_view base_name(std::string_view path) {
    const auto cut = path.find_last_of("/\\");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

}  // namespace

std::optional<std::vector<ProcessNames>> process_list() {
    DIR* dir = ::opendir("/proc");
    if (!dir) return std::nullopt;
    std::vector<ProcessNames> list;
    while (const dirent* e = ::readdir(dir)) {
        std::uint32_t pid = 0;
        const char* p = e->d_name;
        if (*p == 0) continue;
        for (; *p >= '0' && *p <= '9'; ++p) pid = pid * 10 + static_cast<std::uint32_t>(*p - '0');
        if (*p != 0 || pid == 0) continue;
        const std::string base = "/proc/" + std::string(e->d_name);
        ProcessNames names;
        names.pid = pid;
        char target[PATH_MAX];
        const ssize_t n = ::readlink((base + "/exe").c_str(), target, sizeof target);
        if (n > 0) {
            std::string_view link(target, static_cast<std::size_t>(n));
            if (link.ends_with(kDeletedSuffix)) link.remove_suffix(kDeletedSuffix.size());
            names.exe = std::string(base_name(link));
        }
        const std::string cmdline = read_small(base + "/cmdline", 4096);
        std::string_view first(cmdline.data(), ::strnlen(cmdline.data(), cmdline.size()));
        names.command = std::string(base_name(first));
        if (names.exe.empty() && names.command.empty()) {
            // Kernel threads and processes gone meanwhile: only the short name is left.
            std::string comm = read_small(base + "/comm", 64);
            while (!comm.empty() && comm.back() == '\n') comm.pop_back();
            if (comm.empty()) continue;
            names.exe = std::move(comm);
        }
        list.push_back(std::move(names));
    }
    ::closedir(dir);
    std::sort(list.begin(), list.end(),
              [](const ProcessNames& a, const ProcessNames& b) { return a.pid < b.pid; });
    return list;
}

std::filesystem::path process_own_image() { return "/proc/self/exe"; }

}  // namespace corvane
