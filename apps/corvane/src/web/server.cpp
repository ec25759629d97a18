#include "web/server.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "base/flags.h"
#include "platform/thread.h"
#include "web/routes.h"

namespace corvane {

namespace {

struct HookCell {
    std::mutex mutex;
    std::shared_ptr<const UiHooks> hooks = std::make_shared<const UiHooks>();
};
HookCell& hook_cell() {
    static HookCell* c = new HookCell;  // leaked: detached threads read it at exit
    return *c;
}

std::atomic<int> g_live{0};

// Closes the connection however the handling ends.
struct SocketCloser {
    NetSocket& s;
    ~SocketCloser() { net_close(s); }
};

}  // namespace

void ui_set_hooks(UiHooks hooks) {
    auto fresh = std::make_shared<const UiHooks>(std::move(hooks));
    auto& c = hook_cell();
    std::lock_guard lock(c.mutex);
    c.hooks = std::move(fresh);
}

std::shared_ptr<const UiHooks> ui_hooks() {
    auto& c = hook_cell();
    std::lock_guard lock(c.mutex);
    return c.hooks;
}

UiDeferredAction ui_action_restart() { return {UiDeferredAction::Kind::restart, {}}; }
UiDeferredAction ui_action_quit() { return {UiDeferredAction::Kind::quit, {}}; }
UiDeferredAction ui_action_open_clips() { return {UiDeferredAction::Kind::open_clips, {}}; }
UiDeferredAction ui_action_open_path(std::string tab) {
    return {UiDeferredAction::Kind::open_path, std::move(tab)};
}

void ui_run_deferred(const UiDeferredAction& action) {
    auto hooks = ui_hooks();
    switch (action.kind) {
        case UiDeferredAction::Kind::restart:
            if (hooks->restart) hooks->restart(true);
            break;
        case UiDeferredAction::Kind::quit:
            if (hooks->quit) hooks->quit();
            break;
        case UiDeferredAction::Kind::open_clips:
            if (hooks->open_window) hooks->open_window("clips");
            break;
        case UiDeferredAction::Kind::open_path:
            if (hooks->open_window) hooks->open_window(action.tab);
            break;
    }
}

int ui_live_connections() { return g_live.load(std::memory_order_relaxed); }

std::optional<UiDeferredAction> ui_handle_connection(NetSocket s, const UiSession* session,
                                                     const UiReadLimits& limits) {
    SocketCloser closer{s};
    if (!session) return std::nullopt;
    auto request = ui_read_request(s, limits);
    if (!request) return std::nullopt;
    return ui_route_request(s, *request, *session);
}

std::optional<UiDeferredAction> ui_handle_connection(NetSocket s) {
    return ui_handle_connection(s, ui_session(), UiReadLimits{});
}

void ui_connection_main(NetSocket s) {
    std::optional<UiDeferredAction> action;
    try {
        action = ui_handle_connection(s);
    } catch (...) {
        // A failing route must not end the program; its connection is already closed.
    }
    if (action) {
        try {
            ui_run_deferred(*action);
        } catch (...) {
        }
    }
    g_live.fetch_sub(1, std::memory_order_relaxed);
}

void ui_server_run(NetSocket listener, const std::function<bool()>& stop) {
    thread_set_name("crvn-config");
    for (;;) {
        NetAccepted a = net_accept(listener);
        if (a.status == NetAcceptStatus::transient) continue;
        if (a.status != NetAcceptStatus::ok) {
            // Out of descriptors or memory: give the connection threads time to finish.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (!a.ip_peer) {
            net_close(a.socket);
            continue;
        }
        if (stop()) {
            net_close(a.socket);
            net_close(listener);
            return;
        }
        if (g_live.fetch_add(1, std::memory_order_relaxed) >= kUiMaxConnections) {
            g_live.fetch_sub(1, std::memory_order_relaxed);
            net_close(a.socket);
            continue;
        }
        net_set_send_timeout(a.socket, kUiSendTimeoutMs);
        bool started = false;
        try {
            started = thread_start_detached("crvn-config-con", [s = a.socket] { ui_connection_main(s); }).empty();
        } catch (...) {
        }
        if (!started) {
            g_live.fetch_sub(1, std::memory_order_relaxed);
            net_close(a.socket);
        }
    }
}

void ui_server_thread_main(NetSocket listener) {
    // Start-up runs this loop before the quit flag is published, so the flag
    // is looked up at every connection rather than once.
    ui_server_run(listener, [] { return quit_requested(); });
}

}  // namespace corvane
