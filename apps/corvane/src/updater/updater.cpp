#include "updater/updater.h"

#include <string>
#include <system_error>
#include <thread>

#include "base/file_read.h"
#include "base/text.h"
#include "platform/files.h"
#include "platform/processes.h"

namespace corvane {

namespace {
constexpr std::size_t kMaxLastCheckFile = 4096;
}  // namespace

std::filesystem::path updater_data_dir(const std::filesystem::path& program_folder) {
    const auto data = program_folder / "data";
    const auto folder = data / "actualizacion";
    // The data folder holds secrets: when we are the ones to make it, keep it ours.
    (void)folder_create_private(data);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return folder;
}

std::uint64_t updater_read_last_check(const std::filesystem::path& update_folder) {
    // A time in seconds and some white space: anything longer is not ours.
    auto raw = file_read_up_to(update_folder / "ultima_busqueda.txt", kMaxLastCheckFile + 1);
    if (!raw || raw->size() > kMaxLastCheckFile || !utf8_valid(*raw)) return 0;
    const std::string trimmed = utf8_trim(*raw);
    return parse_decimal(trimmed).value_or(0);
}

void updater_remove_old_exe(const std::filesystem::path& path, std::chrono::milliseconds pause) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::this_thread::sleep_for(pause);
        // Files only, as the program file is: a folder of that name stays.
        if (file_remove(path) == 0) return;
    }
}

void wait_for_pid(std::uint32_t pid, std::chrono::milliseconds limit) {
    if (pid == 0) return;
    process_wait_exit(pid, limit);
}

}  // namespace corvane
