#include "web/actions.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "base/avisos.h"
#include "base/config_file.h"
#include "base/hotkey_pause.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/settings.h"
#include "platform/shell_open.h"
#include "updater/updater.h"
#include "web/app_hooks.h"
#include "web/settings_save.h"

namespace corvane {

namespace {

namespace fs = std::filesystem;

// The default handler runs whatever it is given (a program, a launcher
// file): only hand it what really is a file.
bool open_file(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    return shell_open(path.string());
}

}  // namespace

UiActionResult ui_run_action(std::string_view name) {
    const Settings settings = config_load();
    auto hooks = ui_app_hooks();
    if (name == "ini") return {open_file(config_ini_path()), std::nullopt};
    if (name == "registro") return {open_file(data_dir() / "corvane.log"), std::nullopt};
    if (name == "carpeta") {
        const fs::path& folder = settings.general.carpeta_clips;
        std::error_code ec;
        fs::create_directories(folder, ec);
        // The folder setting can be written from the settings page: a value
        // naming a program must not get it run.
        if (fs::is_directory(folder, ec)) shell_open(folder.string());
        return {true, std::nullopt};
    }
    if (name == "salir") return {true, ui_action_quit()};
    if (name == "reiniciar") return {true, ui_action_restart()};
    if (name == "clips" || name == "estadisticas") return {true, ui_action_open_clips()};
    if (name == "actualizar") {
        UpdateCheckRequested.store(true, std::memory_order_relaxed);
        return {true, std::nullopt};
    }
    if (name == "detector_on" || name == "detector_off") {
        if (hooks->detector_set_enabled) hooks->detector_set_enabled(name == "detector_on");
        return {true, std::nullopt};
    }
    if (name == "guardar_clip") return {hooks->save_clip ? hooks->save_clip() : false, std::nullopt};
    if (name == "probar_aviso") {
        if (hooks->notice_settings) hooks->notice_settings(settings.avisos);
        avisos_push(1, kSampleNoticeTitle, kSampleNoticeText);
        const bool running = hooks->notices_running ? hooks->notices_running() : false;
        return {settings.avisos.activo && running, std::nullopt};
    }
    if (name == "pausar_teclas") {
        hotkey_pause_for_typing();
        return {true, std::nullopt};
    }
    if (name == "reanudar_teclas") {
        hotkey_resume();
        return {true, std::nullopt};
    }
    return {false, std::nullopt};
}

std::optional<std::string> ui_pick_folder() {
    // A second click while the dialog is open would stack a second dialog
    // behind the first.
    static std::mutex open;
    std::unique_lock lock(open, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    return shell_pick_folder("Carpeta de clips de Corvane");
}

}  // namespace corvane
