#include "updater/updater.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "base/text.h"
#include "platform/processes.h"

namespace corvane {

std::filesystem::path updater_data_dir(const std::filesystem::path& program_folder) {
    const auto data = program_folder / "data";
    const auto folder = data / "actualizacion";
    std::error_code ec;
    // The data folder holds secrets: when we are the ones to make it, keep it ours.
    if (std::filesystem::create_directories(data, ec) && !ec) ::chmod(data.c_str(), 0700);
    std::filesystem::create_directories(folder, ec);
    return folder;
}

std::uint64_t updater_read_last_check(const std::filesystem::path& update_folder) {
    std::ifstream in(update_folder / "ultima_busqueda.txt", std::ios::binary);
    if (!in) return 0;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return 0;
    const std::string raw = ss.str();
    if (!utf8_valid(raw)) return 0;
    const std::string trimmed = utf8_trim(raw);
    return parse_decimal(trimmed).value_or(0);
}

void updater_remove_old_exe(const std::filesystem::path& path, std::chrono::milliseconds pause) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::this_thread::sleep_for(pause);
        // Files only, as the program file is: a folder of that name stays.
        if (::unlink(path.c_str()) == 0) return;
    }
}

void wait_for_pid(std::uint32_t pid, std::chrono::milliseconds limit) {
    if (pid == 0) return;
    process_wait_exit(pid, limit);
}

}  // namespace corvane
