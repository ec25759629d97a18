#include "base/status.h"

#include <mutex>

namespace corvane {

namespace {

struct Shared {
    std::mutex game_mutex;
    std::optional<GameStatus> game;
    std::mutex text_mutex;
    std::string text;
};

Shared& shared() {
    // Leaked on purpose: detached threads may read it while the process ends.
    static Shared* s = new Shared;
    return *s;
}

}  // namespace

std::optional<GameStatus> game_status_snapshot() {
    auto& s = shared();
    std::lock_guard lock(s.game_mutex);
    return s.game;
}

bool game_status_store(const std::optional<GameStatus>& status) {
    auto& s = shared();
    std::lock_guard lock(s.game_mutex);
    if (s.game == status) return false;
    s.game = status;
    return true;
}

std::string status_text() {
    auto& s = shared();
    std::lock_guard lock(s.text_mutex);
    return s.text;
}

void status_text_set(std::string text) {
    auto& s = shared();
    std::lock_guard lock(s.text_mutex);
    s.text = std::move(text);
}

}  // namespace corvane
