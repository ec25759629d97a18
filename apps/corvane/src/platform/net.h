// TCP sockets on the loopback interface: the web interface's listener and its
// connections. The core sees an opaque handle and Spanish error texts only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
    transient,  // the peer went away, a signal: accept again at once
    exhausted,  // out of descriptors or memory: pause before accepting again
    failed,     // any other failure of the listener
};

struct NetAccepted {
    NetAcceptStatus status = NetAcceptStatus::failed;
    NetSocket socket;      // close-on-exec; valid only with `ok`
    bool ip_peer = false;  // the peer address is IPv4 or IPv6
};

// Blocks until a connection arrives.
NetAccepted net_accept(NetSocket listener);

enum class NetRecvStatus { data, end, timeout, failed };

struct NetRecvResult {
    NetRecvStatus status = NetRecvStatus::failed;
    std::size_t bytes = 0;  // > 0 with `data`
};

// Receives up to `size` bytes, waiting at most timeout_ms (< 0: no limit).
// Interrupted waits are resumed within the same limit.
NetRecvResult net_recv(NetSocket s, char* buffer, std::size_t size, int timeout_ms);

// Sends all bytes (never raises SIGPIPE). `more` tells the system that further
// data follows at once, so a head and its body can leave in one packet.
// False when a send call fails or accepts nothing.
bool net_send_all(NetSocket s, const char* data, std::size_t size, bool more = false);

// A send that cannot make progress for this long fails (a peer that stopped reading).
void net_set_send_timeout(NetSocket s, int timeout_ms);

// Closes the socket (plain close) and resets the handle; no-op when none.
void net_close(NetSocket& s);

}  // namespace corvane
