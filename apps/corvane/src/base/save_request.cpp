#include "base/save_request.h"

#include <limits>
#include <utility>

#include "base/published.h"

namespace corvane {

namespace {
// Leaked on purpose: read by detached threads while the process ends.
Published<SaveRequestSlot>& g_slot = *new Published<SaveRequestSlot>;
}  // namespace

std::int64_t save_span_units(const SaveSpan& span) {
    // (seconds × 10^9 + ns) / 100 without the intermediate overflowing.
    constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (span.seconds > kMax / 10'000'000) return std::numeric_limits<std::int64_t>::max();
    const std::uint64_t units = span.seconds * 10'000'000 + span.nanoseconds / 100;
    return units > kMax ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(units);
}

SaveRequest save_request_manual() {
    SaveRequest r;
    r.kind = "manual";
    return r;
}

std::optional<SaveRequest> save_request_store(SaveRequestSlot& slot, SaveRequest request) {
    std::optional<SaveRequest> replaced;
    std::lock_guard lock(slot.mutex);
    replaced.swap(slot.request);
    slot.request = std::move(request);
    return replaced;
}

std::optional<SaveRequest> save_request_take(SaveRequestSlot& slot) {
    std::optional<SaveRequest> taken;
    std::lock_guard lock(slot.mutex);
    taken.swap(slot.request);
    return taken;
}

std::shared_ptr<SaveRequestSlot> save_request_slot_publish() { return g_slot.publish(); }

std::shared_ptr<SaveRequestSlot> save_request_slot() { return g_slot.get(); }

void save_request_slot_reset_for_tests() { g_slot.reset(); }

}  // namespace corvane
