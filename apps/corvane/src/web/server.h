// The local web server: one thread that accepts connections and collects
// their requests, a small pool of threads that answer them, and the one-shot
// actions that run after a reply has gone out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/ui_state.h"
#include "platform/net.h"
#include "web/http.h"

namespace corvane {

// What the server asks of the rest of the program; main hands these over at
// start-up. A hook left empty does nothing (a counter reads 0).
struct UiHooks {
    std::function<void(const std::string& tab)> open_window;  // ui_open_window
    std::function<void()> quit;                               // app_quit
    std::function<void(bool open_settings)> restart;          // app_restart
    std::function<std::uint64_t()> clips_saved;               // ClipsSavedCounter
};

void ui_set_hooks(UiHooks hooks);
std::shared_ptr<const UiHooks> ui_hooks();

// `UiDeferredAction`: run once by the connection's worker after its socket is closed.
struct UiDeferredAction {
    enum class Kind { restart, quit, open_clips, open_path };
    Kind kind = Kind::open_clips;
    std::string tab;  // open_path only
};

UiDeferredAction ui_action_restart();    // restart, opening the settings afterwards
UiDeferredAction ui_action_quit();
UiDeferredAction ui_action_open_clips();  // the window at "clips"
UiDeferredAction ui_action_open_path(std::string tab);

void ui_run_deferred(const UiDeferredAction& action);

// At most this many connections are held at once, whether their requests are
// still arriving or being answered. At the cap a new connection takes the
// place of the one that has waited longest for its request; when every one is
// being answered, the new one is closed at once.
inline constexpr int kUiMaxConnections = 64;
// A peer that stops reading a reply for this long loses its connection.
inline constexpr int kUiSendTimeoutMs = 60'000;

// Body of thread "crvn-config": owns the listener; ends (closing it) at the
// first connection accepted after the published quit flag was set.
void ui_server_thread_main(NetSocket listener);

// The same loop ending when `stop` answers true (asked at each connection).
// Requests are read here, each within its time limits, and handed complete to
// the threads "crvn-config-con".
void ui_server_run(NetSocket listener, const std::function<bool()>& stop);

// Work of a thread "crvn-config-con" for one connection whose request has
// been read: answers it, closes the socket, then runs its deferred action.
// Nothing thrown leaves it.
void ui_connection_main(NetSocket s, const UiRequest& request);

// Guards and routes a request already read, writes at most one reply and
// closes the socket in every case; returns the action to run afterwards.
// Without a published session the connection is closed without a reply.
std::optional<UiDeferredAction> ui_serve_request(NetSocket s, const UiRequest& request,
                                                 const UiSession* session);

// Reads one request (blocking), then as ui_serve_request.
std::optional<UiDeferredAction> ui_handle_connection(NetSocket s);
std::optional<UiDeferredAction> ui_handle_connection(NetSocket s, const UiSession* session,
                                                     const UiReadLimits& limits);

// Connections held right now, being read or answered (for the cap, and for tests).
int ui_live_connections();

}  // namespace corvane
