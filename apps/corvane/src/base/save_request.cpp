#include "base/save_request.h"

#include <limits>
#include <utility>

#include <fmt/format.h>

#include "base/log.h"
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

std::string save_request_replaced_text(const SaveRequest& replaced, const SaveRequest& newer) {
    // A manual clip spans the whole buffer, so the earlier moment is in the
    // newer clip; a scene's own file, already named in the history, is not.
    if (replaced.clip_path) {
        return fmt::format(
            "\n[AVISO] La petición de clip anterior ({}) aún esperaba turno: la reemplaza esta ({}); "
            "{} no se guardará.",
            replaced.kind, newer.kind, *replaced.clip_path);
    }
    return fmt::format(
        "\n[AVISO] La petición de clip anterior ({}) aún esperaba turno: se une a esta ({}) y se "
        "guarda un solo clip.",
        replaced.kind, newer.kind);
}

void save_request_submit(SaveRequestSlot& slot, SaveRequest request) {
    const SaveRequest newer_head{request.kind, {}, request.clip_path, {}, request.automatic};
    if (std::optional<SaveRequest> replaced = save_request_store(slot, std::move(request)))
        log_line(save_request_replaced_text(*replaced, newer_head));
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
