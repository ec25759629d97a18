// TCP sockets on the loopback interface: the web interface's listener and its
// connections. The core sees an opaque handle and Spanish error texts only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

// An open socket, or none (handle < 0). Whoever holds it closes it with net_close.
struct NetSocket {
    int handle = -1;
    bool valid() const { return handle >= 0; }
};

struct NetListenResult {
    NetSocket socket;        // valid on success
    std::uint16_t port = 0;  // the port the system gave (read back from the socket)
    std::string error;       // the system's error text; empty on success
};

// Binds a close-on-exec TCP listener to 127.0.0.1:port (0 = the system picks)
// with the given backlog.
NetListenResult net_listen_loopback(std::uint16_t port, int backlog);

enum class NetAcceptStatus {
    ok,         // `socket` is the new connection
    none,       // a listener made non-blocking has no connection waiting
    transient,  // the peer went away, a signal: accept again at once
    exhausted,  // out of descriptors or memory: pause before accepting again
    failed,     // any other failure of the listener
};

struct NetAccepted {
    NetAcceptStatus status = NetAcceptStatus::failed;
    NetSocket socket;      // close-on-exec; valid only with `ok`
    bool ip_peer = false;  // the peer address is IPv4 or IPv6
};

// Blocks until a connection arrives (on a non-blocking listener: `none` at
// once when none waits). The accepted socket itself is always blocking.
NetAccepted net_accept(NetSocket listener);

// Makes accept on this listener return at once; false when the system refused.
bool net_listener_set_nonblocking(NetSocket listener);

enum class NetRecvStatus { data, end, timeout, failed };

struct NetRecvResult {
    NetRecvStatus status = NetRecvStatus::failed;
    std::size_t bytes = 0;  // > 0 with `data`
};

// Receives up to `size` bytes, waiting at most timeout_ms (< 0: no limit).
// Interrupted waits are resumed within the same limit.
NetRecvResult net_recv(NetSocket s, char* buffer, std::size_t size, int timeout_ms);

// Receives what has already arrived, without waiting: `timeout` when nothing
// has, `end` when the peer finished sending.
NetRecvResult net_recv_now(NetSocket s, char* buffer, std::size_t size);

// Sends all bytes (never raises SIGPIPE). `more` tells the system that further
// data follows at once, so a head and its body can leave in one packet.
// False when a send call fails or accepts nothing.
bool net_send_all(NetSocket s, const char* data, std::size_t size, bool more = false);

// A send that cannot make progress for this long fails (a peer that stopped reading).
void net_set_send_timeout(NetSocket s, int timeout_ms);

// Closes the socket (plain close) and resets the handle; no-op when none.
void net_close(NetSocket& s);

// Waits on many sockets at once (a listener and connections whose requests
// are still arriving) and tells which can be read without waiting.
class NetPoller {
public:
    NetPoller();  // error() tells why the system refused one
    ~NetPoller();
    NetPoller(const NetPoller&) = delete;
    NetPoller& operator=(const NetPoller&) = delete;

    // Empty when the poller works, else the system's text.
    const std::string& error() const { return error_; }

    // Watches `s` for data, end of stream or an error, reported as `key`.
    // False when the system refused.
    bool add(NetSocket s, std::uint64_t key);

    // Stops watching `s`; call it before the socket is closed or handed on.
    void remove(NetSocket s);

    // Replaces `ready` with the keys of sockets that can be read now, waiting
    // at most timeout_ms for one (< 0: no limit). Empty on time-out or when a
    // signal interrupted the wait.
    void wait(std::vector<std::uint64_t>& ready, int timeout_ms);

private:
    int handle_ = -1;
    std::string error_;
};

}  // namespace corvane
