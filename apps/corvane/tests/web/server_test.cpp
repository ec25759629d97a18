#include "web/server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;

TEST(WebServer, DeferredActionRunsOnlyAfterTheClientHasTheWholeReply) {
    // The action waits for the client to have read the reply to its end. Were
    // it run before the socket is closed, neither would ever finish.
    std::promise<void> client_done;
    std::shared_future<void> client_done_f = client_done.get_future().share();
    std::promise<bool> action_saw_client_done;
    auto action_f = action_saw_client_done.get_future();
    UiHooks h;
    h.open_window = [&, client_done_f](const std::string&) {
        action_saw_client_done.set_value(client_done_f.wait_for(std::chrono::seconds(5)) == std::future_status::ready);
    };
    ui_set_hooks(std::move(h));

    ReadResult r = exchange(std::string("GET /api/abrir?t=") + kToken + " HTTP/1.1\r\nHost: " + host_header() + "\r\n\r\n");
    client_done.set_value();
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, ui_response_head("200 OK", "text/plain", 2) + "ok");
    ASSERT_EQ(action_f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(action_f.get());
    ui_set_hooks({});
}

TEST(WebServer, DeferredActionsReachTheirHooks) {
    std::mutex m;
    std::vector<std::string> calls;
    UiHooks h;
    h.open_window = [&](const std::string& tab) { std::lock_guard l(m); calls.push_back("open " + tab); };
    h.quit = [&] { std::lock_guard l(m); calls.push_back("quit"); };
    h.restart = [&](bool settings) { std::lock_guard l(m); calls.push_back(settings ? "restart config" : "restart"); };
    ui_set_hooks(std::move(h));
    ui_run_deferred(ui_action_restart());
    ui_run_deferred(ui_action_quit());
    ui_run_deferred(ui_action_open_clips());
    ui_run_deferred(ui_action_open_path("ayuda:registro"));
    EXPECT_EQ(calls, (std::vector<std::string>{"restart config", "quit", "open clips", "open ayuda:registro"}));
    ui_set_hooks({});
    ui_run_deferred(ui_action_quit());  // no hook: nothing happens
}

TEST(WebServer, AThrowingActionDoesNotEndTheProgram) {
    std::atomic<int> thrown{0};
    UiHooks h;
    h.open_window = [&](const std::string&) {
        ++thrown;
        throw std::runtime_error("falla");
    };
    ui_set_hooks(std::move(h));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(get(std::string("/api/abrir?t=") + kToken).body, "ok");
    EXPECT_TRUE(wait_for([&] { return thrown == 3 && ui_live_connections() == 0; }, 10'000));
    EXPECT_EQ(get("/api/pestana", key_header()).status, "200 OK");
    ui_set_hooks({});
}

TEST(WebServer, NoSessionYetMeansNoReply) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    send_bytes(fds[1], std::string("GET /api/abrir?t=") + kToken + " HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n");
    auto action = ui_handle_connection(NetSocket{fds[0]}, nullptr, UiReadLimits{});
    EXPECT_FALSE(action);
    ReadResult r = read_until_closed(fds[1], 2000);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "");
    ::close(fds[1]);
}

TEST(WebServer, AcceptLoopEndsAtTheFirstConnectionAfterStop) {
    NetListenResult l = net_listen_loopback(0, 128);
    ASSERT_TRUE(l.error.empty()) << l.error;
    std::atomic<bool> stop{false};
    auto loop = std::async(std::launch::async, [&] { ui_server_run(l.socket, [&] { return stop.load(); }); });
    stop = true;
    EXPECT_EQ(loop.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);  // still in accept
    int fd = connect_to(l.port);
    ASSERT_GE(fd, 0);
    ReadResult r = read_until_closed(fd, 10'000);
    ::close(fd);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "");
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(connect_to(l.port), -1);  // the listener is closed
}

TEST(WebServer, IdleClientIsDroppedAfterFiveSeconds) {
    int fd = connect_to(server_port());
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    ReadResult r = read_until_closed(fd, 30'000);
    const auto took = std::chrono::steady_clock::now() - start;
    ::close(fd);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "");
    EXPECT_GE(took, std::chrono::milliseconds(4500));
    EXPECT_LT(took, std::chrono::milliseconds(15'000));
}

// True once the server has closed `fd` (nothing more will come).
bool ended(int fd) {
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
}

TEST(WebServer, AtTheCapTheLongestWaitingConnectionMakesRoom) {
    server_port();
    const int baseline = thread_count();
    // The oldest connection has sent its head and part of its body: it is
    // passed over for the oldest one that has sent nothing.
    int with_head = connect_to(server_port());
    ASSERT_GE(with_head, 0);
    send_bytes(with_head, "GET /api/pestana HTTP/1.1\r\nHost: " + host_header() + "\r\n" + key_header() +
                              "Content-Length: 4\r\n\r\n{}");
    ASSERT_TRUE(wait_for([] { return ui_live_connections() == 1; }, 5000));
    std::vector<int> idle;
    for (int i = 0; i < kUiMaxConnections + 15; ++i) idle.push_back(connect_to(server_port()));
    auto ended_count = [&] { return static_cast<int>(std::count_if(idle.begin(), idle.end(), ended)); };
    EXPECT_TRUE(wait_for([&] { return ended_count() >= 16; }, 5000));
    EXPECT_EQ(ended_count(), 16);
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(ended(idle[i])) << i;  // the oldest ones made room
    EXPECT_FALSE(ended(with_head));
    EXPECT_LE(ui_live_connections(), kUiMaxConnections);
    // The newest connection was admitted and is answered; so is the body's end.
    send_bytes(idle.back(), "GET /api/pestana HTTP/1.1\r\nHost: " + host_header() + "\r\n" + key_header() + "\r\n");
    EXPECT_EQ(parse_reply(read_until_closed(idle.back()).bytes).status, "200 OK");
    send_bytes(with_head, "  ");
    EXPECT_EQ(parse_reply(read_until_closed(with_head).bytes).status, "200 OK");
    ::close(with_head);
    for (int fd : idle) ::close(fd);
    EXPECT_TRUE(wait_for([&] { return ui_live_connections() == 0 && thread_count() <= baseline; }, 15'000));
    EXPECT_EQ(get("/api/pestana", key_header()).status, "200 OK");
}

TEST(WebServer, WhenEveryConnectionIsBeingAnsweredANewOneIsClosedAtOnce) {
    server_port();
    const int baseline = thread_count();
    // Each window hook holds its connection (counted until its action ends).
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> holding{0};
    UiHooks h;
    h.open_window = [&, released](const std::string&) {
        ++holding;
        released.wait_for(std::chrono::seconds(60));
    };
    ui_set_hooks(std::move(h));
    std::vector<int> fds;
    for (int i = 0; i < kUiMaxConnections; ++i) {
        int fd = connect_to(server_port());
        send_bytes(fd, std::string("GET /api/abrir?t=") + kToken + " HTTP/1.1\r\nHost: " + host_header() + "\r\n\r\n");
        fds.push_back(fd);
    }
    EXPECT_TRUE(wait_for([&] { return holding == kUiMaxConnections; }, 20'000));
    int late = connect_to(server_port());
    ReadResult r = read_until_closed(late, 5000);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "");
    ::close(late);
    EXPECT_LE(thread_count(), baseline + kUiMaxConnections + 2);
    release.set_value();
    for (int fd : fds) {
        EXPECT_EQ(parse_reply(read_until_closed(fd).bytes).body, "ok");
        ::close(fd);
    }
    EXPECT_TRUE(wait_for([&] { return ui_live_connections() == 0 && thread_count() <= baseline; }, 15'000));
    EXPECT_EQ(get("/api/pestana", key_header()).status, "200 OK");
    ui_set_hooks({});
}

// Names of this process's threads as the system shows them.
std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "comm");
        std::string name;
        std::getline(in, name);
        names.push_back(name);
    }
    return names;
}

TEST(WebServer, ThreadsCarryTheirNames) {
    server_port();
    int fd = connect_to(server_port());
    ASSERT_GE(fd, 0);
    auto has = [](const std::string& n) {
        auto names = thread_names();
        return std::find(names.begin(), names.end(), n) != names.end();
    };
    EXPECT_TRUE(wait_for([&] { return has("crvn-config-con"); }, 5000));
    EXPECT_TRUE(has("crvn-config"));
    ::close(fd);
}

TEST(WebServer, ParallelRequestsAllAnswered) {
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i)
        clients.emplace_back([&] {
            for (int k = 0; k < 20; ++k)
                if (get("/api/pestana", key_header()).status == "200 OK") ++ok;
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(ok.load(), 160);
}

}  // namespace
}  // namespace corvane
