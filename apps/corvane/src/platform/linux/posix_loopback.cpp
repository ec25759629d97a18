#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/loopback.h"

namespace corvane {

namespace {

using Clock = std::chrono::steady_clock;

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
};

// Milliseconds left until `deadline`, or -1 once it has passed.
int left_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? -1 : static_cast<int>(left.count());
}

// Waits for `events` on fd until the deadline; interruptions are retried.
bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        int ms = left_ms(deadline);
        if (ms < 0) return false;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, ms);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace

std::string loopback_exchange(std::uint16_t port, std::string_view request,
                              const LoopbackLimits& limits) {
    Socket s;
    s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s.fd < 0) return {};
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return {};
        if (!wait_for(s.fd, POLLOUT, Clock::now() + limits.connect)) return {};
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return {};
    }

    // One budget for sending and reading: a peer that trickles bytes must not
    // hold us beyond it.
    const auto deadline = Clock::now() + limits.exchange;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(s.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN || !wait_for(s.fd, POLLOUT, deadline)) return {};
    }

    std::string reply;
    char buf[4096];
    while (reply.size() < limits.max_reply) {
        ssize_t n = ::recv(s.fd, buf, std::min(sizeof buf, limits.max_reply - reply.size()), 0);
        if (n > 0) {
            reply.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN || !wait_for(s.fd, POLLIN, deadline)) break;
    }
    return reply;
}

}  // namespace corvane
