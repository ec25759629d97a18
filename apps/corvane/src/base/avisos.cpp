#include "base/avisos.h"

#include <deque>
#include <mutex>

namespace corvane {

namespace {

struct AvisosQueue {
    std::mutex mutex;
    std::deque<AvisoEntry> entries;
};

AvisosQueue& queue() {
    // Leaked on purpose: detached threads may push while the process ends.
    static AvisosQueue* q = new AvisosQueue;
    return *q;
}

}  // namespace

void avisos_push(std::uint8_t kind, std::string_view title, std::string_view text) {
    // Copies made before locking: the lock covers only the deque operations.
    AvisoEntry e{std::string(title), std::string(text), kind};
    auto& q = queue();
    std::lock_guard lock(q.mutex);
    while (q.entries.size() >= kAvisosMax) q.entries.pop_front();
    q.entries.push_back(std::move(e));
}

std::optional<AvisoEntry> avisos_pop() {
    auto& q = queue();
    std::lock_guard lock(q.mutex);
    if (q.entries.empty()) return std::nullopt;
    AvisoEntry e = std::move(q.entries.front());
    q.entries.pop_front();
    return e;
}

bool avisos_waiting() {
    auto& q = queue();
    std::lock_guard lock(q.mutex);
    return !q.entries.empty();
}

void avisos_clear_for_tests() {
    auto& q = queue();
    std::lock_guard lock(q.mutex);
    q.entries.clear();
}

}  // namespace corvane

namespace corvane {

namespace {

struct NoticeShared {
    std::mutex mutex;
    std::optional<NoticeSettings> settings;
    std::optional<ScreenRect> area;
};

NoticeShared& notice_shared() {
    static NoticeShared* s = new NoticeShared;
    return *s;
}

}  // namespace

void notice_settings_set(const NoticeSettings& settings) {
    auto& s = notice_shared();
    std::lock_guard lock(s.mutex);
    s.settings = settings;
}

NoticeSettings notice_settings() {
    auto& s = notice_shared();
    std::lock_guard lock(s.mutex);
    return s.settings.value_or(NoticeSettings{});
}

void notice_card_area_set(std::optional<ScreenRect> area) {
    auto& s = notice_shared();
    std::lock_guard lock(s.mutex);
    s.area = area;
}

std::optional<ScreenRect> notice_card_area() {
    auto& s = notice_shared();
    std::lock_guard lock(s.mutex);
    return s.area;
}

}  // namespace corvane
