#include "base/ui_state.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace corvane {

namespace {

// Leaked on purpose: detached connection threads read it while the process ends.
std::atomic<const UiSession*> g_session{nullptr};

struct PendingTab {
    std::mutex mutex;
    std::optional<std::string> tab;
};
PendingTab& pending() {
    static PendingTab* p = new PendingTab;
    return *p;
}

}  // namespace

bool ui_session_publish(std::string token, std::uint16_t port) {
    auto* fresh = new UiSession{std::move(token), port};
    const UiSession* expected = nullptr;
    if (g_session.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return true;
    delete fresh;
    return false;
}

const UiSession* ui_session() { return g_session.load(std::memory_order_acquire); }

void ui_session_reset_for_tests() {
    static std::mutex m;
    static auto* retired = new std::vector<const UiSession*>;  // kept reachable, like the session
    std::lock_guard lock(m);
    if (const UiSession* old = g_session.exchange(nullptr, std::memory_order_acq_rel)) retired->push_back(old);
}

void ui_pending_tab_set(std::string tab) {
    auto& p = pending();
    std::lock_guard lock(p.mutex);
    p.tab = std::move(tab);
}

std::optional<std::string> ui_pending_tab_take() {
    auto& p = pending();
    std::lock_guard lock(p.mutex);
    std::optional<std::string> out = std::move(p.tab);
    p.tab.reset();
    return out;
}

}  // namespace corvane
