#include "base/app.h"

#include <mutex>
#include <string>
#include <vector>

#include "base/flags.h"
#include "base/log.h"
#include "base/paths.h"
#include "platform/processes.h"

namespace corvane {

namespace {

std::mutex& exe_override_mutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::filesystem::path& exe_override() {
    static auto* p = new std::filesystem::path;
    return *p;
}

std::filesystem::path program_file() {
    {
        std::lock_guard lock(exe_override_mutex());
        if (!exe_override().empty()) return exe_override();
    }
    return process_own_exe();
}

}  // namespace

void app_set_exe_for_tests(const std::filesystem::path& exe) {
    std::lock_guard lock(exe_override_mutex());
    exe_override() = exe;
}

void app_quit() {
    // The flag first: should the line block (a disk or console that hangs),
    // the program still ends.
    if (auto flag = quit_flag()) flag->set.store(true, std::memory_order_relaxed);
    log_line("[CORVANE] Cerrando…");
}

void app_restart(bool with_config) {
    const std::filesystem::path exe = program_file();
    if (exe.empty()) return;
    if (!quit_flag()) {
        // The new copy would wait 30 s for us, find us still running and only
        // show "ya está abierto": better not start it at all.
        log_line("[AVISO] No se pudo reiniciar: cierra y abre Corvane tú.");
        return;
    }
    log_line("[CORVANE] Reiniciando para aplicar los cambios…");
    std::vector<std::string> args{"--esperar-pid", std::to_string(process_own_id())};
    if (with_config) args.emplace_back("--config");
    auto started = process_spawn_detached(exe, args, app_dir());
    if (!started.ok) {
        log_line("[AVISO] No se pudo reiniciar: cierra y abre Corvane tú.");
        return;
    }
    app_quit();
}

void app_exit(int code) {
    log_flush();
    process_exit_now(code);
}

}  // namespace corvane
