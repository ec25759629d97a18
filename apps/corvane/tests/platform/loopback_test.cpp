#include "platform/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using corvane::loopback_exchange;
using corvane::LoopbackLimits;

namespace {

// A one-connection server on 127.0.0.1 that runs `serve` on the accepted socket.
class Peer {
  public:
    explicit Peer(std::function<void(int)> serve) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, serve] {
            int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            serve(c);
            ::close(c);
        });
    }
    ~Peer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

std::string read_request(int c) {
    std::string got;
    char buf[1024];
    while (got.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

void send_text(int c, std::string_view s) {
    ::send(c, s.data(), s.size(), MSG_NOSIGNAL);
}

}  // namespace

TEST(Loopback, SendsTheRequestAndReadsUntilClose) {
    std::string seen;
    {
        Peer peer([&](int c) {
            seen = read_request(c);
            send_text(c, "HTTP/1.1 200 OK\r\n");
            std::this_thread::sleep_for(50ms);
            send_text(c, "\r\nhola");
        });
        EXPECT_EQ(loopback_exchange(peer.port(), "GET / HTTP/1.1\r\n\r\n"),
                  "HTTP/1.1 200 OK\r\n\r\nhola");
    }
    EXPECT_EQ(seen, "GET / HTTP/1.1\r\n\r\n");
}

TEST(Loopback, ClosedPortGivesNothing) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);  // nothing listens there now
    EXPECT_EQ(loopback_exchange(ntohs(a.sin_port), "GET / HTTP/1.1\r\n\r\n"), "");
}

TEST(Loopback, SilentAndTricklingPeersAreBoundedInTotal) {
    LoopbackLimits limits;
    limits.exchange = 400ms;
    std::atomic<bool> stop{false};
    {
        Peer silent([&](int c) {
            read_request(c);
            while (!stop) std::this_thread::sleep_for(10ms);
        });
        EXPECT_EQ(loopback_exchange(silent.port(), "GET / HTTP/1.1\r\n\r\n", limits), "");
        stop = true;
    }
    stop = false;
    {
        // One byte every 50 ms: a time-out per read would never end; the
        // total budget does. The peer itself gives up after 30 s.
        Peer trickle([&](int c) {
            read_request(c);
            for (int i = 0; i < 600 && !stop; ++i) {
                send_text(c, "x");
                std::this_thread::sleep_for(50ms);
            }
        });
        auto t0 = std::chrono::steady_clock::now();
        std::string got = loopback_exchange(trickle.port(), "GET / HTTP/1.1\r\n\r\n", limits);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s);
        EXPECT_FALSE(got.empty());
        EXPECT_EQ(got.find_first_not_of('x'), std::string::npos);
        stop = true;
    }
}

TEST(Loopback, ReplyIsCutAtTheSizeLimit) {
    Peer big([&](int c) {
        read_request(c);
        std::string chunk(8192, 'a');
        for (int i = 0; i < 32; ++i) send_text(c, chunk);  // 256 KiB
    });
    EXPECT_EQ(loopback_exchange(big.port(), "GET / HTTP/1.1\r\n\r\n").size(), 64u * 1024u);
}
