// The updater's services that start-up uses: the update folder, the time of
// the last check, the clean-up of the installer copy and the wait for a
// previous process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>

namespace corvane {

// Set by the interface's "actualizar" action; the update action thread takes
// it and checks for an update.
inline std::atomic<bool> UpdateCheckRequested{false};

// `program_folder`/"data"/"actualizacion", created with its parents on every
// call (a failure is ignored).
std::filesystem::path updater_data_dir(const std::filesystem::path& program_folder);

// Unix seconds of the last update check, from "ultima_busqueda.txt" in
// `update_folder`: white space around it is ignored, an optional "+" and
// digits only. 0 when missing, unreadable, not UTF-8, empty, not a number, or
// beyond 64 bits.
std::uint64_t updater_read_last_check(const std::filesystem::path& update_folder);

// The clean-up thread's body: up to 10 attempts, each after `pause`, to delete
// the file at `path`; stops after the first success. Failures are silent.
void updater_remove_old_exe(const std::filesystem::path& path,
                            std::chrono::milliseconds pause = std::chrono::seconds(3));

// Waits for process `pid` to end, at most `limit`; 0 returns at once, as does
// a process that is already gone. Failures are silent.
void wait_for_pid(std::uint32_t pid, std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace corvane
