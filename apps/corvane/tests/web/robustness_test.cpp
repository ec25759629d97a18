// The real server under hostile clients on 127.0.0.1: every run is bounded in
// count and time, and the server must keep serving with bounded threads.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "base/log.h"
#include "../support/temp_dir.h"
#include "base/paths.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;

bool server_answers() { return get("/api/pestana", key_header()).status == "200 OK"; }

// Connection threads end a little after their sockets close.
bool threads_back_to(int baseline) {
    return wait_for([&] { return ui_live_connections() == 0 && thread_count() <= baseline; }, 15'000);
}

TEST(WebRobustness, SlowHeaderClientIsCutAtTheHeadDeadline) {
    server_port();
    const int baseline = thread_count();
    int fd = connect_to(server_port());
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> closed{false};
    std::thread trickle([&] {
        // A byte every half second: every read is well inside its 5 s time-out.
        const std::string bytes = "GET / HTTP/1.1\r\nX-Slow: " + std::string(100, 'z');
        for (char c : bytes) {
            if (closed || !send_bytes(fd, std::string(1, c))) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(server_answers());  // others are served meanwhile
    ReadResult r = read_until_closed(fd, 30'000);
    const auto took = std::chrono::steady_clock::now() - start;
    closed = true;
    trickle.join();
    ::close(fd);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "");
    EXPECT_GE(took, std::chrono::milliseconds(4500));
    EXPECT_LT(took, std::chrono::milliseconds(12'000));
    EXPECT_TRUE(threads_back_to(baseline));
}

TEST(WebRobustness, BodyThatStallsOrTricklesIsCut) {
    server_port();
    const std::string head = "POST /api/pestana HTTP/1.1\r\nHost: " + host_header() + "\r\n" + key_header() +
                             "Content-Length: 100\r\n\r\n";
    int stalled = connect_to(server_port());
    int trickling = connect_to(server_port());
    ASSERT_GE(stalled, 0);
    ASSERT_GE(trickling, 0);
    const auto start = std::chrono::steady_clock::now();
    send_bytes(stalled, head + "ab");
    send_bytes(trickling, head);
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        // A byte a second: each well inside the 5 s between reads, the whole far past 15 s.
        for (int i = 0; i < 60 && !stop; ++i) {
            if (!send_bytes(trickling, "x")) return;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    auto cut_after = [&](int fd) {
        ReadResult r = read_until_closed(fd, 40'000);
        EXPECT_TRUE(r.closed);
        EXPECT_EQ(r.bytes, "");
        return std::chrono::steady_clock::now() - start;
    };
    const auto stalled_took = cut_after(stalled);
    const auto trickling_took = cut_after(trickling);
    stop = true;
    trickle.join();
    ::close(stalled);
    ::close(trickling);
    EXPECT_GE(stalled_took, std::chrono::milliseconds(4500));
    EXPECT_LT(stalled_took, std::chrono::milliseconds(12'000));
    EXPECT_GE(trickling_took, std::chrono::milliseconds(14'000));
    EXPECT_LT(trickling_took, std::chrono::milliseconds(25'000));
    EXPECT_TRUE(server_answers());
}

TEST(WebRobustness, KeyedRequestsAnsweredWhileSlowClientsKeepReconnecting) {
    server_port();
    const int baseline = thread_count();
    // Eighty clients trickle a request head a byte a second and come back 50 ms
    // after the server drops them, for as long as the keyed requests run (and
    // 90 s at most).
    constexpr int kSlow = 80;
    std::atomic<bool> done{false};
    std::atomic<int> dropped{0};
    std::thread slow([&] {
        struct Slot {
            int fd = -1;
            size_t sent = 0;
            std::chrono::steady_clock::time_point last{};  // connected, sent a byte, or dropped
        };
        const std::string head = "GET / HTTP/1.1\r\nHost: " + host_header() + "\r\nX-Slow: " + std::string(200, 'z');
        std::vector<Slot> slots(kSlow);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (!done && std::chrono::steady_clock::now() < until) {
            const auto now = std::chrono::steady_clock::now();
            std::vector<pollfd> fds;
            for (auto& sl : slots) {
                if (sl.fd < 0 && now - sl.last >= std::chrono::milliseconds(50)) {
                    sl.fd = connect_to(server_port());
                    sl.sent = 0;
                    sl.last = now;
                }
                if (sl.fd >= 0 && now - sl.last >= std::chrono::seconds(1) && sl.sent < head.size()) {
                    (void)::send(sl.fd, head.data() + sl.sent, 1, MSG_NOSIGNAL);
                    ++sl.sent;
                    sl.last = now;
                }
                fds.push_back({sl.fd, POLLIN, 0});  // poll skips a negative fd
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            for (size_t i = 0; i < slots.size(); ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char c;
                if (::recv(slots[i].fd, &c, 1, MSG_DONTWAIT) <= 0) {  // dropped: come back soon
                    ::close(slots[i].fd);
                    slots[i].fd = -1;
                    slots[i].last = std::chrono::steady_clock::now();
                    ++dropped;
                }
            }
        }
        for (auto& sl : slots)
            if (sl.fd >= 0) ::close(sl.fd);
    });
    // The slow clients fill the server first.
    const bool filled = wait_for([] { return ui_live_connections() >= kUiMaxConnections; }, 20'000);
    EXPECT_TRUE(filled);
    int answered = 0;
    for (int i = 0; i < 10; ++i) answered += server_answers() ? 1 : 0;
    done = true;
    slow.join();
    EXPECT_EQ(answered, 10);
    EXPECT_GE(dropped.load(), kSlow - kUiMaxConnections);  // the slow clients pressed on the cap
    EXPECT_TRUE(threads_back_to(baseline));
}

TEST(WebRobustness, TwoHundredIdleConnections) {
    server_port();
    const int baseline = thread_count();
    std::vector<int> fds;
    for (int i = 0; i < 200; ++i) {
        int fd = connect_to(server_port());
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(thread_count(), baseline + kUiMaxConnections + 2);
    // Every one is closed without a reply: at once past the cap, after the time-out otherwise.
    for (int fd : fds) {
        ReadResult r = read_until_closed(fd, 15'000);
        EXPECT_TRUE(r.closed);
        EXPECT_EQ(r.bytes, "");
        ::close(fd);
    }
    EXPECT_TRUE(threads_back_to(baseline));
    EXPECT_TRUE(server_answers());
}

TEST(WebRobustness, ResetInTheMiddleOfALargeReply) {
    test::TempDir scratch;
    const auto& dir = scratch.path();
    std::filesystem::create_directories(dir / "data");
    paths_set_app_dir_for_tests(dir);
    {
        std::ofstream log(dir / "data" / "corvane.log", std::ios::binary);
        const std::string line = std::string(40'000, 'x') + "\r\n";
        for (int i = 0; i < 400; ++i) log << line;  // a reply of about 16 MB
    }
    server_port();
    const int baseline = thread_count();
    const long rss_before = resident_kib();
    std::vector<std::thread> clients;
    std::atomic<int> reset_mid_reply{0};
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&] {
            for (int k = 0; k < 5; ++k) {
                int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                int small = 4096;
                ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(server_port());
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                    ::close(fd);
                    continue;
                }
                send_bytes(fd, "GET /api/registro HTTP/1.1\r\nHost: " + host_header() + "\r\n" + key_header() + "\r\n");
                std::string got;
                char buf[4096];
                while (got.size() < 65'536) {
                    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                    if (n <= 0) break;
                    got.append(buf, static_cast<size_t>(n));
                }
                if (got.size() >= 65'536 && got.rfind("HTTP/1.1 200 OK", 0) == 0) ++reset_mid_reply;
                linger lg{1, 0};  // close with RST
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
                ::close(fd);
            }
        });
    for (auto& c : clients) c.join();
    EXPECT_EQ(reset_mid_reply.load(), 20);
    EXPECT_TRUE(threads_back_to(baseline));
    EXPECT_TRUE(server_answers());
    EXPECT_LT(resident_kib() - rss_before, 400 * 1024);
    paths_set_app_dir_for_tests({});
}

TEST(WebRobustness, RandomBytes) {
    server_port();
    const int baseline = thread_count();
    std::mt19937 rng(20261210);
    const std::vector<std::string> prefixes = {
        "", "GET ", "GET / HTTP/1.1\r\n", "POST /api/pestana HTTP/1.1\r\nContent-Length: 100\r\n",
        "GET /?t=" + std::string(kToken) + " HTTP/1.1\r\nHost: " + host_header() + "\r\n",
    };
    std::atomic<int> bad{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&, seed = rng()] {
            std::mt19937 r(seed);
            for (int k = 0; k < 60; ++k) {
                std::string bytes = prefixes[r() % prefixes.size()];
                const size_t n = r() % 3 == 0 ? r() % 40'000 : r() % 300;
                for (size_t i = 0; i < n; ++i) {
                    unsigned v = r() % 256;
                    bytes += static_cast<char>(r() % 4 == 0 ? "\r\n: %?"[v % 6] : v);
                }
                int fd = connect_to(server_port());
                if (fd < 0) continue;
                send_bytes(fd, bytes);
                ::shutdown(fd, SHUT_WR);
                ReadResult got = read_until_closed(fd, 15'000);
                ::close(fd);
                // Either no reply at all, or one complete reply of ours.
                if (!got.closed) ++bad;
                if (!got.bytes.empty()) {
                    Reply rep = parse_reply(got.bytes);
                    if (rep.status.empty() || rep.header("Content-Length") != std::to_string(rep.body.size())) ++bad;
                }
            }
        });
    for (auto& c : clients) c.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_TRUE(threads_back_to(baseline));
    EXPECT_TRUE(server_answers());
}

}  // namespace
}  // namespace corvane
