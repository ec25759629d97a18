// Install mode: the program started with "--apply-update" only installs a
// downloaded update over the installation and ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/processes.h"

namespace corvane {

// What "--apply-update" hands to the install step.
struct ApplyUpdateArgs {
    std::filesystem::path package;         // the new-version folder, or a zip package file
    std::filesystem::path install_folder;  // the program's folder (the one holding "data")
    std::string version;                   // after "--version"; empty when absent
    std::string from_version;              // after "--from-version"; empty when absent
    std::uint32_t pid = 0;                 // process to wait for; 0: none
    bool quiet = false;                    // the new program starts without its window
    bool no_relaunch = false;              // nothing is started at the end
};

// The user's own notes beside the program: never moved, never replaced.
inline constexpr std::string_view kInstallNotesFileName = "notas_personales.txt";

// What the install step asks of the system, so that tests can stand in for
// the waits, refuse a rename, or see what would be started.
struct InstallHooks {
    // Renames `from` to `to`, replacing a file there.
    std::function<std::error_code(const std::filesystem::path& from, const std::filesystem::path& to)>
        rename;
    std::function<void(std::chrono::milliseconds)> sleep;
    // Waits for process `pid` to end, at most the given time.
    std::function<void(std::uint32_t pid, std::chrono::milliseconds limit)> wait_pid;
    // Starts the program detached, in a session of its own.
    std::function<SpawnResult(const std::filesystem::path& exe, const std::vector<std::string>& args,
                              const std::filesystem::path& cwd)>
        spawn;
    std::function<std::chrono::system_clock::time_point()> now;
};

// The real system: rename(2), sleeping, pidfd waits, a detached start.
InstallHooks install_hooks_system();

// Runs the install step and returns its result object (also written to
// "resultado.json" in the update folder). It never fails as a whole: every
// failure ends in the rollback, the log and the result file. An install
// folder that does not hold the program is refused before anything is
// touched or started; the result then says so, and no file is written.
nlohmann::ordered_json apply_update_run(const ApplyUpdateArgs& args, const InstallHooks& hooks);

// The install step on the real system.
nlohmann::ordered_json apply_update_main(const ApplyUpdateArgs& args);

// Entry names of `folder` sorted by their bytes, or the system's error.
struct DirListing {
    std::vector<std::string> names;
    std::error_code error;
};
DirListing fs_list_dir_sorted(const std::filesystem::path& folder);

// Entries below `folder` that are not folders, counted recursively (links
// are not followed); an unreadable folder counts 0, an entry whose type
// cannot be read counts 1.
std::uint64_t fs_count_files(const std::filesystem::path& folder);

// Up to 10 attempts to rename `from` to `to`, each making `to`'s parent
// folders first (a failure there ends it at once); only a refused access is
// tried again, after 1 s. The last error, or none.
std::error_code fs_rename_retry(const std::filesystem::path& from, const std::filesystem::path& to,
                                const InstallHooks& hooks);

// Appends "YYYY-MM-DD HH-MM-SS message" (local time) and a line feed to the
// log at `path`; failures are ignored.
void install_log_append(const std::filesystem::path& path, std::string_view message,
                        std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

// True when `version` is empty or made only of [0-9A-Za-z.+_-].
bool install_version_text_valid(std::string_view version);

}  // namespace corvane
