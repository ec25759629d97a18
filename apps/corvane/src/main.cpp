// Entry routine: start-up order, main loop and shutdown. The only place that
// wires the subsystems together.
#include <csignal>

#include "base/log.h"

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    std::signal(SIGPIPE, SIG_IGN);
    corvane::log_set_console(true);
    corvane::log_open();
    corvane::log_line("[CORVANE] Iniciando");
    return 0;
}
