// The local web server alone on 127.0.0.1, for the browser tests and the HTTP
// benchmark:
//   http_serve TOKEN [SECONDS [PROGRAM_FOLDER [AI_BASE CA_FILE]]]
// prints the port on the first line, serves until its standard input closes
// or SECONDS (default 60) pass, then exits. PROGRAM_FOLDER stands in for the
// executable's folder (its data/corvane.ini names the clips folder). AI_BASE
// and CA_FILE point the analyses at a local stand-in of the AI service.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ai/net.h"
#include "base/paths.h"
#include "base/ui_state.h"
#include "platform/memory.h"
#include "platform/net.h"
#include "web/server.h"

int main(int argc, char** argv) {
    using namespace corvane;
    if (argc < 2) {
        std::fprintf(stderr, "uso: http_serve CLAVE [SEGUNDOS [CARPETA [BASE_IA CA]]]\n");
        return 2;
    }
    memory_allocator_setup();  // as the program does
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    if (argc > 3) paths_set_app_dir_for_tests(argv[3]);
    if (argc > 5) {
        NetConfig ai;
        ai.gemini_base = argv[4];
        ai.ca_file = argv[5];
        net_set_config_for_tests(std::move(ai));
    }
    NetListenResult l = net_listen_loopback(0, 128);
    if (!l.error.empty()) {
        std::fprintf(stderr, "%s\n", l.error.c_str());
        return 1;
    }
    ui_session_publish(argv[1], l.port);
    UiHooks hooks;
    hooks.clips_saved = [] { return std::uint64_t{3}; };
    ui_set_hooks(std::move(hooks));
    std::thread([s = l.socket] { ui_server_thread_main(s); }).detach();
    std::printf("%u\n", static_cast<unsigned>(l.port));
    std::fflush(stdout);
    pollfd p{STDIN_FILENO, POLLIN, 0};
    ::poll(&p, 1, seconds * 1000);
    std::_Exit(0);
}
