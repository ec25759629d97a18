#include "base/app.h"

#include <mutex>
#include <utility>
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

std::mutex& restart_flags_mutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<std::string>& restart_flags() {
    static auto* f = new std::vector<std::string>;
    return *f;
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

void app_set_restart_flags(std::vector<std::string> flags) {
    std::lock_guard lock(restart_flags_mutex());
    restart_flags() = std::move(flags);
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
    {
        std::lock_guard lock(restart_flags_mutex());
        args.insert(args.end(), restart_flags().begin(), restart_flags().end());
    }
    // A session of its own: a terminal that closes when this copy ends (a
    // "script" run, a terminal window started with the program) hangs up on
    // its whole session, and the new copy must not go with it.
    auto started = process_spawn_new_session(exe, args, app_dir());
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
