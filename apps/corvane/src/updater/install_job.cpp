#include "updater/install_job.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "base/app.h"
#include "base/fd_write.h"
#include "base/log.h"
#include "base/text.h"
#include "base/tray.h"
#include "base/ui_window.h"
#include "base/version.h"
#include "platform/processes.h"
#include "updater/jobs.h"
#include "updater/updater.h"
#include "web.h"
#include "zip.h"

namespace corvane {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kLimitWithoutSize = 4096 * kMiB;
constexpr std::chrono::milliseconds kExitPause{800};

struct ExitHook {
    std::mutex mutex;
    std::function<void()> before_exit;
};

ExitHook& exit_hook() {
    static ExitHook h;
    return h;
}

std::string system_text(int e) {
    return fmt::format("{} (os error {})", std::strerror(e), e);
}

void fail(const std::string& e) {
    log_line("\n[ACTUALIZACIÓN] No se pudo actualizar: " + e);
    tray_post("No se pudo actualizar", e, 1);
    updater_set_status(updater_state::kError, "No se pudo actualizar: " + e);
}

// "KV_UPDATE_URL" set at all, to a valid Unicode value (the empty one too).
bool plain_http_allowed() {
    const char* env = std::getenv("KV_UPDATE_URL");
    return env != nullptr && utf8_valid(env);
}

void remove_file_quietly(const fs::path& p) {
    std::error_code ec;
    fs::remove(p, ec);
}

void remove_tree_quietly(const fs::path& p) {
    std::error_code ec;
    fs::remove_all(p, ec);
}

// Downloads `url` into `package`; the digest's hex text, or the failure.
struct Downloaded {
    std::string error;
    std::string digest;
};

Downloaded download(const std::string& url, const fs::path& package, std::uint64_t expected) {
    Downloaded out;
    const int fd =
        ::open(package.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        out.error = system_text(errno);
        return out;
    }
    DownloadSinkState state;
    state.fd = fd;
    state.expected = expected;
    state.limit = updater_download_limit(expected);
    const std::string agent = fmt::format("Ostrevan/{} (actualizaciones)", kVersionText);
    auto got = vessoria::web_http_get(
        url, {{"User-Agent", agent}, {"Cache-Control", "no-cache"}}, 30000,
        [&state](const std::uint8_t* data, std::size_t size) {
            return download_sink(state, data, size);
        },
        updater_web_config());
    ::close(fd);
    if (!got) {
        out.error = got.error();
    } else if (state.error) {
        out.error = *state.error;
    } else if (state.over_limit) {
        out.error = "el archivo descargado es más grande que el publicado";
    } else if (got.value().status >= 400) {
        out.error = fmt::format("HTTP Error {}", got.value().status);
    }
    if (!out.error.empty()) {
        remove_file_quietly(package);
        return out;
    }
    out.digest = vessoria::sha256_hex(vessoria::sha256_finish(state.hash));
    return out;
}

}  // namespace

std::uint64_t updater_download_limit(std::uint64_t size) {
    if (size == 0) return kLimitWithoutSize;
    const std::uint64_t max = ~std::uint64_t(0);
    if (size > (max - 64 * kMiB) / 2) return max;
    return 2 * size + 64 * kMiB;
}

void updater_progress_log(std::uint32_t& last_logged, std::uint32_t percent) {
    if (percent < last_logged + 25) return;
    last_logged = percent;
    log_line(fmt::format("[ACTUALIZACIÓN] Descargando… {}%", percent));
}

bool download_sink(DownloadSinkState& state, const std::uint8_t* data, std::size_t size) {
    if (size > state.limit || state.received > state.limit - size) {
        state.over_limit = true;
        return false;
    }
    if (!fd_write_all(state.fd, {reinterpret_cast<const char*>(data), size})) {
        state.error = system_text(errno);
        return false;
    }
    vessoria::sha256_update(state.hash, {data, size});
    state.received += size;
    if (state.expected != 0) {
        const unsigned __int128 p = static_cast<unsigned __int128>(state.received) * 100u /
                                    state.expected;
        updater_progress_log(state.last_logged, p > 99 ? 99u : static_cast<std::uint32_t>(p));
    }
    return true;
}

std::vector<std::string> updater_installer_args(const fs::path& package_folder,
                                                const fs::path& program_folder, std::uint32_t pid,
                                                const std::string& version) {
    return {"--apply-update", package_folder.string(), program_folder.string(),
            std::to_string(pid),  "--version",         version,
            "--from-version", kVersionText};
}

std::string updater_launch_installer(const fs::path& program_folder, const fs::path& package_folder,
                                     const std::string& version) {
    const fs::path folder = program_folder / "data" / "actualizacion";
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return system_text(ec.value());
    const fs::path copy = folder / kProgramFileName;
    // A copy still running from an earlier attempt cannot be written over
    // (ETXTBSY), but a new file can be renamed over it.
    const fs::path temp = folder / (std::string(kProgramFileName) + ".nuevo");
    fs::copy_file(process_own_image(), temp, fs::copy_options::overwrite_existing, ec);
    if (!ec)
        fs::permissions(temp, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec,
                        ec);
    if (!ec) fs::rename(temp, copy, ec);
    if (ec) {
        remove_file_quietly(temp);
        return system_text(ec.value());
    }
    const SpawnResult started = process_spawn_new_session(
        copy, updater_installer_args(package_folder, program_folder, process_own_id(), version),
        folder);
    if (!started.ok) return started.error;
    return {};
}

void updater_download_and_install(const fs::path& program_folder, const UpdateInfo& info) {
    updater_set_status(updater_state::kDownloading,
                       fmt::format("Descargando e instalando v{}…", info.version));
    // The version names a file and reaches the install step's command line.
    if (!update_version_text_safe(info.version)) return fail(kUnsafeVersionText);
    if (info.url.compare(0, 8, "https://") != 0 && !plain_http_allowed())
        return fail("solo se aceptan descargas por https");

    const fs::path folder = updater_data_dir(program_folder);
    log_line(fmt::format("\n[ACTUALIZACIÓN] Descargando v{}…", info.version));
    const fs::path package = folder / fmt::format("Corvane_v{}.zip", info.version);
    const Downloaded got = download(info.url, package, info.size);
    if (!got.error.empty()) return fail(got.error);
    log_line("[ACTUALIZACIÓN] Descarga completa.");
    if (got.digest != info.sha256) {
        remove_file_quietly(package);
        return fail("el archivo descargado no coincide con el publicado (SHA-256 distinto)");
    }

    const fs::path unpacked = folder / "nuevo";
    auto extracted = vessoria::zip_extract(package, unpacked);
    remove_file_quietly(package);
    if (!extracted) return fail(extracted.error());
    std::error_code ec;
    if (!fs::is_regular_file(unpacked / kProgramFileName, ec)) {
        remove_tree_quietly(unpacked);
        return fail(fmt::format("el paquete no trae Corvane/{}", kProgramFileName));
    }
    log_line(fmt::format("[ACTUALIZACIÓN] Paquete verificado ({} archivos).", extracted.value()));

    if (std::string e = updater_launch_installer(program_folder, unpacked, info.version);
        !e.empty()) {
        remove_tree_quietly(unpacked);
        return fail(fmt::format("no se pudo iniciar la instalación ({})", e));
    }
    log_line(fmt::format(
        "\n[ACTUALIZACIÓN] Listo: instalando v{}. Corvane se cierra y se vuelve a abrir…",
        info.version));
    tray_remove_icon();
    visor_close_window(kUiWindowTitle);
    visor_close_window(fmt::format("{}{}", kUiWindowTitle, kUiTitleSeparator));
    std::function<void()> before_exit;
    {
        auto& h = exit_hook();
        std::lock_guard lock(h.mutex);
        before_exit = h.before_exit;
    }
    if (before_exit) before_exit();
    std::this_thread::sleep_for(kExitPause);
    // The install step waits for this process; the other threads are still
    // running, so nothing may be destroyed on the way out.
    app_exit(0);
}

void updater_set_before_exit(std::function<void()> wait) {
    auto& h = exit_hook();
    std::lock_guard lock(h.mutex);
    h.before_exit = std::move(wait);
}

}  // namespace corvane
