// Latency of "/api/estado" over loopback against a clips folder of a given
// size, for bench/http_estado.py:
//   http_state_helper FOLDER CLIPS REQUESTS
// fills FOLDER (a fresh program folder) with CLIPS clips, half of them
// automatic with a sidecar, serves the interface from it and prints the 95th
// percentile in milliseconds of REQUESTS sequential requests twice: while the
// clips stay as they are (the settings page polling), then with a change to
// the clips folder before each request.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/config_file.h"
#include "base/paths.h"
#include "base/ui_state.h"
#include "platform/net.h"
#include "web/server.h"

namespace {

constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

void write(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

bool request(std::uint16_t port, const std::string& head, std::string& reply) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return false;
    }
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    reply.clear();
    char buf[65536];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return reply.starts_with("HTTP/1.1 200");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace corvane;
    if (argc < 4) {
        std::fprintf(stderr, "uso: http_state_helper CARPETA CLIPS PETICIONES\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const int clips = std::atoi(argv[2]);
    const int requests = std::atoi(argv[3]);
    paths_set_app_dir_for_tests(root);
    const auto folder = root / "clips";
    config_write_key("general", "carpeta_clips", folder.string());
    for (int i = 0; i < clips; ++i) {
        const auto day = folder / ("2026-01-" + std::to_string(10 + i % 20));
        const char* kind = i % 2 ? "Manual" : (i % 4 ? "Bajas" : "Muertes");
        std::filesystem::create_directories(day / kind);
        const std::string name = "CRVN_" + std::to_string(i);
        write(day / kind / (name + ".mp4"), std::string(1024, 'x'));
        if (i % 2 == 0) {
            write(day / kind / (name + ".json"),
                  "{\n  \"clip\": \"" + name + ".mp4\",\n  \"duracion\": 14.0,\n  \"audio\": {},\n  \"eventos\": [\n"
                  "    {\"segundo\": 5.0, \"tipo\": \"baja\", \"enemigo\": \"Enemigo1\"}\n  ],\n"
                  "  \"archivado\": " + std::string(i % 8 ? "false" : "true") + "\n}\n");
        }
    }

    NetListenResult l = net_listen_loopback(0, 128);
    if (!l.error.empty()) {
        std::fprintf(stderr, "%s\n", l.error.c_str());
        return 1;
    }
    ui_session_publish(kToken, l.port);
    std::thread([s = l.socket] { ui_server_run(s, [] { return false; }); }).detach();

    const std::string head = "GET /api/estado HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(l.port) +
                             "\r\nX-CRVN-Clave: " + kToken + "\r\n\r\n";
    std::string reply;
    auto p95 = [&](bool touch) {
        std::vector<double> ms;
        for (int i = 0; i < requests; ++i) {
            if (touch) ::utimensat(AT_FDCWD, folder.c_str(), nullptr, 0);
            const auto t0 = std::chrono::steady_clock::now();
            if (!request(l.port, head, reply)) {
                std::fprintf(stderr, "respuesta inesperada: %.200s\n", reply.c_str());
                std::_Exit(1);
            }
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        std::sort(ms.begin(), ms.end());
        return ms[static_cast<std::size_t>(0.95 * (ms.size() - 1))];
    };
    // A library nobody has touched for a few seconds, as between two polls.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    request(l.port, head, reply);
    const double polled = p95(false);
    const double changed = p95(true);
    std::printf("%.3f %.3f\n", polled, changed);
    std::fflush(stdout);
    std::_Exit(0);
}
