#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvane {
namespace {

int connect_loopback(std::uint16_t port) {
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

TEST(PlatformNet, PollerAndReadsThatNeverWait) {
    NetListenResult l = net_listen_loopback(0, 8);
    ASSERT_TRUE(l.error.empty()) << l.error;
    ASSERT_TRUE(net_listener_set_nonblocking(l.socket));
    EXPECT_EQ(net_accept(l.socket).status, NetAcceptStatus::none);

    NetPoller poller;
    ASSERT_EQ(poller.error(), "");
    ASSERT_TRUE(poller.add(l.socket, 7));
    std::vector<std::uint64_t> ready{99};
    poller.wait(ready, 50);
    EXPECT_TRUE(ready.empty());  // nothing yet: the wait times out

    int client = connect_loopback(l.port);
    ASSERT_GE(client, 0);
    poller.wait(ready, 5000);
    EXPECT_EQ(ready, std::vector<std::uint64_t>{7});
    NetAccepted a = net_accept(l.socket);
    ASSERT_EQ(a.status, NetAcceptStatus::ok);
    EXPECT_TRUE(a.ip_peer);
    // The accepted socket is blocking and close-on-exec, whatever the listener is.
    EXPECT_EQ(::fcntl(a.socket.handle, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(a.socket.handle, F_GETFD) & FD_CLOEXEC, 0);

    char buf[16];
    EXPECT_EQ(net_recv_now(a.socket, buf, sizeof buf).status, NetRecvStatus::timeout);
    ASSERT_TRUE(poller.add(a.socket, 8));
    ASSERT_EQ(::send(client, "hola", 4, 0), 4);
    poller.wait(ready, 5000);
    EXPECT_EQ(ready, std::vector<std::uint64_t>{8});
    NetRecvResult r = net_recv_now(a.socket, buf, sizeof buf);
    ASSERT_EQ(r.status, NetRecvStatus::data);
    EXPECT_EQ(std::string(buf, r.bytes), "hola");

    ::shutdown(client, SHUT_WR);
    poller.wait(ready, 5000);
    EXPECT_EQ(ready, std::vector<std::uint64_t>{8});  // the end of the stream is reported too
    EXPECT_EQ(net_recv_now(a.socket, buf, sizeof buf).status, NetRecvStatus::end);

    poller.remove(a.socket);
    poller.wait(ready, 50);
    EXPECT_TRUE(ready.empty());  // no longer watched, though still readable
    net_close(a.socket);
    ::close(client);
    net_close(l.socket);
}

}  // namespace
}  // namespace corvane
