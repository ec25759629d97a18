// Shared helpers of the web tests: a real server on 127.0.0.1 with a known
// token, raw loopback clients and a reply parser.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/ui_state.h"
#include "platform/net.h"
#include "web/http.h"
#include "web/server.h"

namespace corvane::webtest {

inline constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

// One server per test process (the session is published once per process).
inline std::uint16_t server_port() {
    static const std::uint16_t port = [] {
        NetListenResult l = net_listen_loopback(0, 128);
        if (!l.error.empty()) return std::uint16_t{0};
        ui_session_publish(kToken, l.port);
        std::thread([s = l.socket] {
            ui_server_run(s, [] { return false; });
        }).detach();
        // One answered request: the server's standing threads are up, so that
        // tests counting threads start from its steady state.
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(l.port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const std::string warm = "GET / HTTP/1.1\r\n\r\n";
            (void)::send(fd, warm.data(), warm.size(), MSG_NOSIGNAL);
            char buf[4096];
            pollfd p{fd, POLLIN, 0};
            while (::poll(&p, 1, 10'000) > 0 && ::recv(fd, buf, sizeof buf, 0) > 0) {
            }
        }
        ::close(fd);
        return l.port;
    }();
    return port;
}

inline std::string host_header() { return "127.0.0.1:" + std::to_string(server_port()); }

inline int connect_to(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool send_bytes(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

struct ReadResult {
    std::string bytes;
    bool closed = false;  // end of stream or reset seen before the time ran out
};

// Reads until the peer closes or timeout_ms pass.
inline ReadResult read_until_closed(int fd, int timeout_ms = 10'000) {
    ReadResult r;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) return r;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            r.closed = true;
            return r;
        }
        r.bytes.append(buf, static_cast<size_t>(n));
    }
}

// Sends the request bytes to the test server and returns everything it answers.
inline ReadResult exchange(std::string_view request, bool half_close = true) {
    int fd = connect_to(server_port());
    EXPECT_GE(fd, 0);
    if (fd < 0) return {};
    send_bytes(fd, request);
    if (half_close) ::shutdown(fd, SHUT_WR);
    ReadResult r = read_until_closed(fd);
    ::close(fd);
    return r;
}

struct Reply {
    std::string status;  // "200 OK"
    HttpHeaders headers;
    std::string body;
    std::string raw;
    std::string header(std::string_view name) const { return http_header_get(headers, name).value_or(""); }
};

inline Reply parse_reply(const std::string& raw) {
    Reply r;
    r.raw = raw;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return r;
    size_t eol = raw.find("\r\n");
    r.status = raw.substr(9, eol - 9);
    size_t pos = eol + 2;
    while (pos < end) {
        size_t e = raw.find("\r\n", pos);
        std::string line = raw.substr(pos, e - pos);
        size_t c = line.find(": ");
        if (c != std::string::npos) r.headers.emplace_back(line.substr(0, c), line.substr(c + 2));
        pos = e + 2;
    }
    r.body = raw.substr(end + 4);
    return r;
}

// A GET with the right Host and optional extra header lines ("Name: value\r\n").
inline Reply get(const std::string& target, const std::string& extra = "") {
    return parse_reply(exchange("GET " + target + " HTTP/1.1\r\nHost: " + host_header() + "\r\n" + extra + "\r\n").bytes);
}

inline std::string key_header() { return std::string("X-CRVN-Clave: ") + kToken + "\r\n"; }

// A number field ("Threads:", "VmRSS:") of /proc/self/status; -1 when missing.
inline long proc_status_number(std::string_view field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with(field)) return std::stol(line.substr(field.size()));
    return -1;
}

// Threads of this process as the kernel counts them.
inline int thread_count() { return static_cast<int>(proc_status_number("Threads:")); }

// Resident memory of this process in KiB.
inline long resident_kib() { return proc_status_number("VmRSS:"); }

// Waits (polling) until pred() holds or timeout_ms pass; returns pred().
template <class Pred>
bool wait_for(Pred pred, int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

}  // namespace corvane::webtest
