#include "web/server.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "base/flags.h"
#include "platform/memory.h"
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

std::optional<UiDeferredAction> ui_serve_request(NetSocket s, const UiRequest& request,
                                                 const UiSession* session) {
    SocketCloser closer{s};
    if (!session) return std::nullopt;
    return ui_route_request(s, request, *session);
}

std::optional<UiDeferredAction> ui_handle_connection(NetSocket s, const UiSession* session,
                                                     const UiReadLimits& limits) {
    if (!session) {
        net_close(s);
        return std::nullopt;
    }
    auto request = ui_read_request(s, limits);
    if (!request) {
        net_close(s);
        return std::nullopt;
    }
    return ui_serve_request(s, *request, session);
}

std::optional<UiDeferredAction> ui_handle_connection(NetSocket s) {
    return ui_handle_connection(s, ui_session(), UiReadLimits{});
}

void ui_connection_main(NetSocket s, const UiRequest& request) {
    std::optional<UiDeferredAction> action;
    try {
        action = ui_serve_request(s, request, ui_session());
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

namespace {

// The threads "crvn-config-con". A few always wait for work, so a request
// costs no thread start; more are started while every one is busy (a slow
// media reader must not hold up the pages) and end after a short idle spell.
// There are never more than connections held, so never more than the cap.
class WorkerPool {
public:
    struct Job {
        NetSocket socket;
        UiRequest request;
    };

    static constexpr int kCore = 4;
    static constexpr auto kIdle = std::chrono::seconds(2);

    void start_core() {
        std::unique_lock lock(mutex_);
        while (core_started_ < kCore) {
            ++core_started_;
            ++workers_;
            lock.unlock();
            const bool ok = start(true);
            lock.lock();
            if (!ok) --workers_;
        }
    }

    // False when no thread can take the job; the caller still owns the socket then.
    bool submit(Job job) {
        const NetSocket socket = job.socket;
        std::unique_lock lock(mutex_);
        queue_.push_back(std::move(job));
        if (queue_.size() <= static_cast<std::size_t>(idle_)) {
            lock.unlock();
            cv_.notify_one();
            return true;
        }
        ++workers_;
        lock.unlock();
        const bool ok = start(false);
        lock.lock();
        if (ok) return true;
        --workers_;
        if (workers_ > 0) {
            cv_.notify_one();  // a busy thread takes it when done
            return true;
        }
        // No thread at all: take the job back unless one has just taken it.
        auto mine = std::find_if(queue_.begin(), queue_.end(),
                                 [&](const Job& j) { return j.socket.handle == socket.handle; });
        if (mine == queue_.end()) return true;
        queue_.erase(mine);
        return false;
    }

private:
    bool start(bool core) {
        try {
            return thread_start_detached("crvn-config-con", [this, core] { run(core); }).empty();
        } catch (...) {
            return false;
        }
    }

    void run(bool core) {
        std::unique_lock lock(mutex_);
        for (;;) {
            while (queue_.empty()) {
                ++idle_;
                const bool timed_out = cv_.wait_for(lock, kIdle) == std::cv_status::timeout;
                --idle_;
                if (!timed_out || !queue_.empty()) continue;
                if (!core) {
                    --workers_;
                    served_ = true;  // what this thread kept for itself is free now
                    return;
                }
                // A quiet spell after requests, every other thread waiting
                // too: the memory the requests took goes back to the system.
                if (served_ && idle_ == workers_ - 1) {
                    served_ = false;
                    lock.unlock();
                    memory_release_unused();
                    lock.lock();
                }
            }
            Job job = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            ui_connection_main(job.socket, job.request);
            job = {};
            lock.lock();
            served_ = true;
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> queue_;
    int workers_ = 0;
    int idle_ = 0;
    int core_started_ = 0;
    bool served_ = false;  // requests were served since memory was last given back
};

WorkerPool& worker_pool() {
    static WorkerPool* p = new WorkerPool;  // leaked: its detached threads outlive any owner
    return *p;
}

using Clock = std::chrono::steady_clock;

// The accept-and-read loop of one listener: connections stay here until their
// request is complete, each bound by its time limits, and then go to a worker.
class RequestCollector {
public:
    explicit RequestCollector(NetPoller& poller) : poller_(poller), buffer_(64 * 1024) {}

    ~RequestCollector() {
        while (!pending_.empty()) drop(pending_.begin());
    }

    // Milliseconds until the nearest deadline; -1 with nothing pending.
    int wait_ms(Clock::time_point now) const {
        if (pending_.empty()) return -1;
        Clock::time_point first = Clock::time_point::max();
        for (const auto& [key, p] : pending_) first = std::min(first, deadline(p));
        if (first <= now) return 0;
        // Rounded up, so that the loop does not wake just short of a deadline.
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(first - now).count());
    }

    // A new connection, counted among the live ones. At the cap, the one that
    // has waited longest without a complete head (else without a complete
    // request) makes room; false when none can, the caller then closes it.
    bool admit(NetSocket s) {
        if (g_live.load(std::memory_order_relaxed) >= kUiMaxConnections && !evict_one()) return false;
        g_live.fetch_add(1, std::memory_order_relaxed);
        net_set_send_timeout(s, kUiSendTimeoutMs);
        const auto now = Clock::now();
        const std::uint64_t key = next_key_++;
        auto it = pending_.emplace(key, Pending{s, UiRequestParser(limits_), now, now, false}).first;
        // The request often arrives together with the connection, and then
        // never needs the poller.
        if (read_some(it) != UiRequestParser::Status::more) return true;
        if (!poller_.add(s, key)) {
            drop(it);
            return true;
        }
        it->second.polled = true;
        return true;
    }

    void read(std::uint64_t key) {
        auto it = pending_.find(key);
        if (it != pending_.end()) read_some(it);
    }

    void expire(Clock::time_point now) {
        for (auto it = pending_.begin(); it != pending_.end();) {
            auto next = std::next(it);
            if (deadline(it->second) <= now) drop(it);
            it = next;
        }
    }

private:
    struct Pending {
        NetSocket socket;
        UiRequestParser parser;
        Clock::time_point arrived;
        Clock::time_point last_data;
        bool polled;  // known to the poller
    };
    using Map = std::map<std::uint64_t, Pending>;  // keys grow: oldest first

    // Reads what has arrived and hands the connection on once its request is
    // complete (or drops it); `more` while it stays pending.
    UiRequestParser::Status read_some(Map::iterator it) {
        Pending& p = it->second;
        // A few reads per turn, so one fast sender cannot hold up the others.
        for (int i = 0; i < 4; ++i) {
            NetRecvResult r = net_recv_now(p.socket, buffer_.data(), buffer_.size());
            UiRequestParser::Status st;
            if (r.status == NetRecvStatus::timeout) break;
            if (r.status == NetRecvStatus::data) {
                p.last_data = Clock::now();
                st = p.parser.feed(std::string_view(buffer_.data(), r.bytes));
            } else if (r.status == NetRecvStatus::end) {
                st = p.parser.end_of_stream();
            } else {
                st = UiRequestParser::Status::drop;
            }
            if (st == UiRequestParser::Status::drop) {
                drop(it);
                return st;
            }
            if (st == UiRequestParser::Status::complete) {
                hand_over(it);
                return st;
            }
        }
        return UiRequestParser::Status::more;
    }

    Clock::time_point deadline(const Pending& p) const {
        using std::chrono::milliseconds;
        auto d = std::min(p.arrived + milliseconds(limits_.request_timeout_ms),
                          p.last_data + milliseconds(limits_.read_timeout_ms));
        if (!p.parser.head_complete()) d = std::min(d, p.arrived + milliseconds(limits_.head_timeout_ms));
        return d;
    }

    bool evict_one() {
        // The oldest first; one whose head has come in by now is handed on instead.
        for (auto it = pending_.begin(); it != pending_.end();) {
            auto next = std::next(it);
            if (!it->second.parser.head_complete()) {
                const auto st = read_some(it);
                if (st == UiRequestParser::Status::drop) return true;
                if (st == UiRequestParser::Status::more && !it->second.parser.head_complete()) {
                    drop(it);
                    return true;
                }
            }
            it = next;
        }
        if (pending_.empty()) return false;
        drop(pending_.begin());
        return true;
    }

    void drop(Map::iterator it) {
        if (it->second.polled) poller_.remove(it->second.socket);
        net_close(it->second.socket);
        pending_.erase(it);
        g_live.fetch_sub(1, std::memory_order_relaxed);
    }

    void hand_over(Map::iterator it) {
        NetSocket s = it->second.socket;
        if (it->second.polled) poller_.remove(s);
        WorkerPool::Job job{s, it->second.parser.take()};
        pending_.erase(it);
        if (!worker_pool().submit(std::move(job))) {
            net_close(s);
            g_live.fetch_sub(1, std::memory_order_relaxed);
        }
    }

    NetPoller& poller_;
    const UiReadLimits limits_{};
    std::vector<char> buffer_;
    Map pending_;
    std::uint64_t next_key_ = 1;
};

constexpr std::uint64_t kListenerKey = 0;

}  // namespace

void ui_server_run(NetSocket listener, const std::function<bool()>& stop) {
    thread_set_name("crvn-config");
    worker_pool().start_core();
    // Without a poller nothing can be served; the system may find room later.
    std::unique_ptr<NetPoller> poller;
    for (;;) {
        poller = std::make_unique<NetPoller>();
        if (poller->error().empty() && poller->add(listener, kListenerKey)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    (void)net_listener_set_nonblocking(listener);  // else accept waits for the one connection it was told of

    RequestCollector collector(*poller);
    std::vector<std::uint64_t> ready;
    for (;;) {
        poller->wait(ready, collector.wait_ms(Clock::now()));
        bool accept_ready = false;
        // Requests first: a client that has sent its request is never the one
        // that makes room for a newcomer accepted in the same turn.
        for (std::uint64_t key : ready) {
            if (key == kListenerKey) accept_ready = true;
            else collector.read(key);
        }
        collector.expire(Clock::now());
        if (!accept_ready) continue;
        // A few connections per turn, so that each gets its read before more arrive.
        for (int i = 0; i < 8; ++i) {
            NetAccepted a = net_accept(listener);
            if (a.status == NetAcceptStatus::none) break;
            if (a.status == NetAcceptStatus::transient) continue;
            if (a.status != NetAcceptStatus::ok) {
                // Out of descriptors or memory: give the workers time to finish.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                break;
            }
            if (!a.ip_peer) {
                net_close(a.socket);
                continue;
            }
            if (stop()) {
                net_close(a.socket);
                poller->remove(listener);
                net_close(listener);
                return;  // the collector drops what is still pending
            }
            // Before the session exists nothing could be answered.
            if (!ui_session() || !collector.admit(a.socket)) net_close(a.socket);
        }
    }
}

void ui_server_thread_main(NetSocket listener) {
    // Start-up runs this loop before the quit flag is published, so the flag
    // is looked up at every connection rather than once.
    ui_server_run(listener, [] { return quit_requested(); });
}

}  // namespace corvane
