// The install job: downloads the package of a newer version while hashing
// it, checks the digest against the signed one, unpacks it into "nuevo",
// starts a copy of the running program as the install step and ends the
// program. Any failure stops the job, removes what it made and is reported
// in the log, a balloon and the updater status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sha.h"
#include "updater/check.h"

namespace corvane {

// What the download sink keeps while the package arrives.
struct DownloadSinkState {
    int fd = -1;                       // the package file, open for writing
    std::optional<std::string> error;  // the write failure that stopped the download
    vessoria::Sha256State hash = vessoria::sha256_new();
    std::uint64_t received = 0;
    std::uint64_t expected = 0;  // the manifest's size; 0 = not given
    // Stop once more than this has arrived: the digest is only checked at the
    // end, and a hostile server must not fill the disk before that.
    std::uint64_t limit = 0;
    bool over_limit = false;
    std::uint32_t last_logged = 0;  // the last percentage logged
};

// The most bytes a package of `size` may take: twice its size plus 64 MiB,
// or 4 GiB when the manifest gave no size.
std::uint64_t updater_download_limit(std::uint64_t size);

// Logs "[ACTUALIZACIÓN] Descargando… {p}%" when `percent` is at least 25
// above the last logged one, which it then becomes.
void updater_progress_log(std::uint32_t& last_logged, std::uint32_t percent);

// Writes, hashes and counts one piece; false stops the download (a write
// failure, or more than the limit).
bool download_sink(DownloadSinkState& state, const std::uint8_t* data, std::size_t size);

// The install step's arguments after the program name.
std::vector<std::string> updater_installer_args(const std::filesystem::path& package_folder,
                                                const std::filesystem::path& program_folder,
                                                std::uint32_t pid, const std::string& version);

// Copies the running program into the update folder and starts that copy,
// in a session of its own, as the install step. "" on success, else the
// system's text.
std::string updater_launch_installer(const std::filesystem::path& program_folder,
                                     const std::filesystem::path& package_folder,
                                     const std::string& version);

// The job. Returns only after a failure; on success the program ends with
// code 0 once the install step runs.
void updater_download_and_install(const std::filesystem::path& program_folder,
                                  const UpdateInfo& info);

// Start-up hands over what must finish before the job ends the program (a
// clip being written).
void updater_set_before_exit(std::function<void()> wait);

}  // namespace corvane
