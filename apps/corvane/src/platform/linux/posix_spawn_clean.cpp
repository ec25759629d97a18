#include "platform/linux/posix_spawn_clean.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace corvane {

int spawn_clean(const std::filesystem::path& exe, const std::vector<std::string>& args,
                const std::filesystem::path& cwd, int stdout_fd, pid_t& pid, bool new_session,
                int stderr_fd) {
    std::vector<std::string> owned;
    owned.reserve(args.size() + 1);
    owned.push_back(exe.string());
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : owned) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attr);
    if (!cwd.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (stdout_fd >= 0) ::posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
    if (stderr_fd >= 0) ::posix_spawn_file_actions_adddup2(&actions, stderr_fd, STDERR_FILENO);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
    ::posix_spawnattr_setsigdefault(&attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (new_session) flags |= POSIX_SPAWN_SETSID;
    ::posix_spawnattr_setflags(&attr, flags);
    const int rc = ::posix_spawn(&pid, exe.c_str(), &actions, &attr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    return rc;
}

}  // namespace corvane
