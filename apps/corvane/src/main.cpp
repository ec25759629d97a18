// Entry routine: start-up order, main loop and shutdown. The only place that
// wires the subsystems together.
#include <chrono>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "base/app.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/ui_state.h"
#include "base/version.h"
#include "platform/net.h"
#include "platform/processes.h"
#include "shell/command_line.h"
#include "shell/instance.h"
#include "updater/apply_update.h"
#include "updater/updater.h"
#include "web/server.h"

namespace {

using namespace std::chrono_literals;

// SIGTERM, SIGINT and SIGHUP, on the signal thread.
void on_quit_signal(int signal_number) {
    corvane::app_quit();
    if (corvane::quit_flag()) return;  // the main loop takes it from here
    // Before start-up has made the quit flag nothing would act on it: end the
    // way the signal would have ended us.
    corvane::log_flush();
    corvane::process_die_by_signal(signal_number);
}

// The web interface: listener, token, "interfaz.json" for a second start, the
// published session and the accept thread. Without a listener the program
// runs on without interface.
void start_web_interface() {
    using namespace corvane;
    NetListenResult listen = net_listen_loopback(0, 128);
    if (!listen.socket.valid()) {
        log_line(fmt::format("[AVISO] No se pudo iniciar la pantalla de configuración: {}",
                             listen.error));
        return;
    }
    std::string token = ui_session_token_new();
    if (token.empty()) {
        net_close(listen.socket);
        log_line(
            "[AVISO] No se pudo iniciar la pantalla de configuración: no se pudo generar "
            "la clave");
        return;
    }
    interfaz_write(data_dir(), listen.port, token, process_own_id());
    ui_session_publish(std::move(token), listen.port);
    UiHooks hooks;
    hooks.quit = [] { app_quit(); };
    hooks.restart = [](bool open_settings) { app_restart(open_settings); };
    ui_set_hooks(std::move(hooks));
    try {
        std::thread([s = listen.socket] { ui_server_thread_main(s); }).detach();
    } catch (const std::system_error&) {
        // The program runs on without interface, as without a listener.
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace corvane;
    // First, while this is the only thread: every later thread inherits the mask.
    process_route_quit_signals(on_quit_signal);

    const CommandLine cl = parse_command_line(std::vector<std::string>(argv, argv + argc));
    if (cl.install) {
        const InstallRequest& r = *cl.install;
        apply_update_main(r.source, r.target, r.wait_pid, r.version, r.from_version, r.quiet,
                          r.no_relaunch);
        app_exit(0);
    }
    if (cl.console) {
        ConsoleFlag.store(true);
        log_set_console(true);
    }

    // Only the copy that holds the instance lock may rotate the log: a second
    // start would move the file from under the running copy.
    log_open(/*rotate=*/false);

    if (cl.wait_pid) {
        wait_for_pid(*cl.wait_pid);
        std::this_thread::sleep_for(500ms);
    }

    if (!instance_acquire()) {
        instance_hand_off(cl.start_tab);
        app_exit(0);
    }
    log_open(/*rotate=*/true);

    log_line(std::string(62, '='));
    log_line(fmt::format("[CORVANE] Iniciando v{} ({})", kVersionText, kBuildDateText));

    // From here on a quit (a signal, the interface) ends the program in order.
    const auto quit = quit_flag_publish();
    start_web_interface();

    while (!quit->set.load(std::memory_order_relaxed)) std::this_thread::sleep_for(300ms);

    log_line("[CORVANE] Cerrado.");
    app_exit(0);
}
