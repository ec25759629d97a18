// Install mode: the program started with "--apply-update" only installs a
// downloaded update and ends.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// Runs the install step: `source` and `target` are the two texts after
// "--apply-update", `wait_pid` the process to wait for (0: none), then the
// "--version" and "--from-version" texts and the "--quiet" and
// "--no-relaunch" flags. Start-up ends with code 0 when it returns.
void apply_update_main(const std::string& source, const std::string& target, std::uint32_t wait_pid,
                       const std::string& version, const std::string& from_version, bool quiet,
                       bool no_relaunch);

}  // namespace corvane
