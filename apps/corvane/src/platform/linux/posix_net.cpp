#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/net.h"

namespace corvane {

namespace {

std::string error_text(int err) { return std::strerror(err); }

}  // namespace

NetListenResult net_listen_loopback(std::uint16_t port, int backlog) {
    NetListenResult r;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        r.error = error_text(errno);
        return r;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        r.error = error_text(errno);
        ::close(fd);
        return r;
    }
    r.socket.handle = fd;
    r.port = ntohs(addr.sin_port);
    return r;
}

NetAccepted net_accept(NetSocket listener) {
    NetAccepted a;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(listener.handle, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case EAGAIN:
                a.status = NetAcceptStatus::none;
                break;
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
                a.status = NetAcceptStatus::transient;
                break;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                a.status = NetAcceptStatus::exhausted;
                break;
            default:
                a.status = NetAcceptStatus::failed;
        }
        return a;
    }
    a.status = NetAcceptStatus::ok;
    a.socket.handle = fd;
    a.ip_peer = peer.ss_family == AF_INET || peer.ss_family == AF_INET6;
    return a;
}

bool net_listener_set_nonblocking(NetSocket listener) {
    const int flags = ::fcntl(listener.handle, F_GETFL);
    return flags >= 0 && ::fcntl(listener.handle, F_SETFL, flags | O_NONBLOCK) == 0;
}

NetRecvResult net_recv_now(NetSocket s, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::recv(s.handle, buffer, size, MSG_DONTWAIT);
        if (n > 0) return {NetRecvStatus::data, static_cast<std::size_t>(n)};
        if (n == 0) return {NetRecvStatus::end, 0};
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return {NetRecvStatus::timeout, 0};
        return {NetRecvStatus::failed, 0};
    }
}

NetRecvResult net_recv(NetSocket s, char* buffer, std::size_t size, int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto until = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        int wait = -1;
        if (timeout_ms >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now()).count();
            if (left < 0) left = 0;
            wait = static_cast<int>(left);
        }
        pollfd p{s.handle, POLLIN, 0};
        int ready = ::poll(&p, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return {NetRecvStatus::failed, 0};
        }
        if (ready == 0) return {NetRecvStatus::timeout, 0};
        ssize_t n = ::recv(s.handle, buffer, size, 0);
        if (n > 0) return {NetRecvStatus::data, static_cast<std::size_t>(n)};
        if (n == 0) return {NetRecvStatus::end, 0};
        if (errno == EINTR || errno == EAGAIN) continue;
        return {NetRecvStatus::failed, 0};
    }
}

bool net_send_all(NetSocket s, const char* data, std::size_t size, bool more) {
    while (size > 0) {
        const std::size_t chunk = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : size;
        ssize_t n = ::send(s.handle, data, chunk, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void net_set_send_timeout(NetSocket s, int timeout_ms) {
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    ::setsockopt(s.handle, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void net_close(NetSocket& s) {
    if (s.handle >= 0) ::close(s.handle);
    s.handle = -1;
}

NetPoller::NetPoller() {
    handle_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (handle_ < 0) error_ = error_text(errno);
}

NetPoller::~NetPoller() {
    if (handle_ >= 0) ::close(handle_);
}

bool NetPoller::add(NetSocket s, std::uint64_t key) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = key;
    return ::epoll_ctl(handle_, EPOLL_CTL_ADD, s.handle, &ev) == 0;
}

void NetPoller::remove(NetSocket s) {
    epoll_event ev{};
    ::epoll_ctl(handle_, EPOLL_CTL_DEL, s.handle, &ev);
}

void NetPoller::wait(std::vector<std::uint64_t>& ready, int timeout_ms) {
    ready.clear();
    epoll_event events[64];
    const int n = ::epoll_wait(handle_, events, 64, timeout_ms < 0 ? -1 : timeout_ms);
    for (int i = 0; i < n; ++i) ready.push_back(events[i].data.u64);
}

}  // namespace corvane
