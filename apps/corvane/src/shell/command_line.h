// The program's command line: exact, case-sensitive flags, each found at its
// first occurrence, the program path included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// What "--apply-update" hands to the install step.
struct InstallRequest {
    std::string source;          // first argument after "--apply-update"
    std::string target;          // second argument
    std::uint32_t wait_pid = 0;  // third argument; 0 when absent or invalid
    std::string version;         // after "--version"; empty when absent
    std::string from_version;    // after "--from-version"; empty when absent
    bool quiet = false;
    bool no_relaunch = false;
};

struct CommandLine {
    std::optional<InstallRequest> install;  // set: run only the install step
    std::string start_tab = "clips";        // "ajustes" with "--config"
    bool console = false;                   // "--consola"
    bool no_window = false;                 // "--no-window"
    std::optional<std::uint32_t> wait_pid;  // "--esperar-pid" with a valid id
};

// An unsigned 32-bit process id: an optional single "+", then digits only.
std::optional<std::uint32_t> parse_process_id(std::string_view text);

// `args` is the whole argv, the program path first.
CommandLine parse_command_line(const std::vector<std::string>& args);

}  // namespace corvane
