// Processes: our own program file and id, starting other programs, waiting
// for one to end, the per-session single-instance lock and the quit signals.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// File names of the program and of the copy an update leaves behind.
inline constexpr const char* kProgramFileName = "corvane";
inline constexpr const char* kOldProgramFileName = "corvane.old";

// Full path of the running program file; empty when it cannot be read. When the
// file was replaced or removed while running, the path it was started from.
std::filesystem::path process_own_exe();

// A path from which the running program's own file can be read, even when
// the file at its original path has been replaced since it started.
std::filesystem::path process_own_image();

// Our process id.
std::uint32_t process_own_id();

struct SpawnResult {
    bool ok = false;
    std::uint32_t pid = 0;
    std::string error;  // the system's text when !ok
};

// Starts `exe` with argv = {exe, args...} and working folder `cwd`, no shell.
// The child gets our environment and standard input/output/error and no other
// descriptor; its signal mask and dispositions start at the defaults. The
// child is reaped in the background: nobody waits for it.
SpawnResult process_spawn_detached(const std::filesystem::path& exe,
                                   const std::vector<std::string>& args,
                                   const std::filesystem::path& cwd);

// As process_spawn_detached, with the child in a session of its own: it
// outlives us, and nothing sent to our process group or terminal reaches it.
SpawnResult process_spawn_new_session(const std::filesystem::path& exe,
                                      const std::vector<std::string>& args,
                                      const std::filesystem::path& cwd);

// How a watched process ended.
struct ProcessEnd {
    bool signalled = false;  // ended by a signal
    int code = 0;            // its exit code, or the signal's number
};

// As process_spawn_detached, with the child's standard output and error
// appended to the file `output` (created readable by the user only) and
// `on_end` called, on a thread of its own, once the child has ended. A
// failure to open `output` fails the start.
SpawnResult process_spawn_watched(const std::filesystem::path& exe,
                                  const std::vector<std::string>& args,
                                  const std::filesystem::path& cwd,
                                  const std::filesystem::path& output,
                                  std::function<void(ProcessEnd)> on_end);

// Waits until process `pid` has ended (a zombie counts as ended) or `limit`
// has passed. True when it ended or never existed, false on time-out. Invalid
// ids (0, above the system's range) return true at once.
bool process_wait_exit(std::uint32_t pid, std::chrono::milliseconds limit);

enum class InstanceLock {
    kOnlyCopy,     // the lock is ours until the process ends
    kOtherCopy,    // another process of this session holds it
    kUnavailable,  // the lock file could not be opened or locked: run alone
};

// Takes the per-session lock "corvane_instancia_unica.lock" in the runtime
// folder ($XDG_RUNTIME_DIR; `fallback_dir` when that is unset). Never blocks.
InstanceLock process_instance_lock(const std::filesystem::path& fallback_dir);

// Routes SIGTERM, SIGINT and SIGHUP to `on_signal`, called on a thread of its
// own. Blocks them in the calling thread, so call it before any other thread
// exists: every later thread inherits the mask. SIGPIPE is ignored.
void process_route_quit_signals(void (*on_signal)(int signal_number));

// Ends the process as the signal's default action would.
[[noreturn]] void process_die_by_signal(int signal_number);

// One running process as the game watcher sees it.
struct ProcessNames {
    std::uint32_t pid = 0;
    std::string exe;      // file name of the program the process runs ("" when unreadable)
    std::string command;  // first word of its command line ("" when empty or unreadable);
                          // for programs run through a loader this names the real program
};

// The running processes in ascending id order; nothing when the list itself
// cannot be read. Processes that end while being read are left out.
std::optional<std::vector<ProcessNames>> process_list();

// Ends the process at once with `code`: no static destructors, no atexit.
[[noreturn]] void process_exit_now(int code);

}  // namespace corvane
