#include "base/paths.h"

#include <mutex>

#include "platform/files.h"

namespace corvane {

namespace {
std::mutex g_override_mutex;
std::filesystem::path g_override;
}  // namespace

void paths_set_app_dir_for_tests(const std::filesystem::path& dir) {
    std::lock_guard lock(g_override_mutex);
    g_override = dir;
}

std::filesystem::path app_dir() {
    {
        std::lock_guard lock(g_override_mutex);
        if (!g_override.empty()) return g_override;
    }
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty() || !exe.has_parent_path()) return ".";
    return exe.parent_path();
}

std::filesystem::path data_dir() {
    auto dir = app_dir() / "data";
    // The folder holds the log, the INI and the session token.
    (void)folder_create_private(dir);
    return dir;
}

}  // namespace corvane
