// The one way the Linux backends start another program: a clean signal
// state (nothing blocked, the signals we route back to their defaults) and
// no inherited descriptor above standard error, whatever a library opened
// without close-on-exec.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace corvane {

// Starts `exe` with `args` (argv[0] is `exe`), in `cwd` when not empty, with
// `stdout_fd` as its standard output and `stderr_fd` as its standard error
// when they are not negative, and in a session of its own when
// `new_session`. 0 and the pid, or the errno value of the failure.
int spawn_clean(const std::filesystem::path& exe, const std::vector<std::string>& args,
                const std::filesystem::path& cwd, int stdout_fd, pid_t& pid,
                bool new_session = false, int stderr_fd = -1);

}  // namespace corvane
