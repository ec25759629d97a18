// How the program ends itself: an orderly quit, a restart into a fresh copy,
// and the final exit.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace corvane {

// Sets the published QuitFlag, then logs "[CORVANE] Cerrando…"; before
// start-up has published the flag only the line is written. Safe from any
// thread.
void app_quit();

// Starts a new copy of the program (in the program folder, with
// "--esperar-pid <our pid>", when `with_config` "--config", then the flags
// this copy was started in, see app_set_restart_flags) and quits. The new
// copy runs in a session of its own: it outlives a terminal or session that
// ends with this copy. A failure to start it is logged and this copy goes on
// running. Before the QuitFlag is published only a line is logged: the new
// copy would find this one still running when its wait ends.
void app_restart(bool with_config);

// The flags that chose how this copy runs ("--consola", "--no-window"): a
// restart hands them to the new copy, so it keeps writing to the same
// console and opens no window when this one was told not to.
void app_set_restart_flags(std::vector<std::string> flags);

// Ends the process with `code` once the log is on disk. Static destructors do
// not run: detached threads may still be using what they would destroy.
[[noreturn]] void app_exit(int code);

// Tests only: the program file app_restart starts (empty = our own).
void app_set_exe_for_tests(const std::filesystem::path& exe);

}  // namespace corvane
