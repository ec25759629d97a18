// Requests to save a clip and the one-place mailbox that carries them from
// the hotkey, the tray and the scene commit to the clip saver.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// One event of a scene: its JSON members without the enclosing braces
// (e.g. "\"tipo\":\"baja\",\"enemigo\":\"X\"") and when it happened.
struct SceneEvent {
    std::string fragment;
    std::chrono::steady_clock::time_point instant{};
};

// How far back from the end of the newest buffered video a clip starts.
struct SaveSpan {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
};

// The span in 100-ns units, truncated; saturates at INT64_MAX.
std::int64_t save_span_units(const SaveSpan& span);

struct SaveRequest {
    std::string kind;                      // "manual", "baja", "bajas-x{n}", "derribo", "muerte"
    std::vector<SceneEvent> events;        // in order; empty for manual requests
    std::optional<std::string> clip_path;  // relative to the clips folder; absent: the saver names it
    std::optional<SaveSpan> span;          // absent: from the oldest buffered keyframe
    std::uint8_t automatic = 0;            // 1: the disk limit runs after the save
};

// What the hotkey and the tray store: kind "manual", nothing else.
SaveRequest save_request_manual();

// Holds at most one request. A newer request replaces one still waiting.
struct SaveRequestSlot {
    std::mutex mutex;
    std::optional<SaveRequest> request;
};

// Stores the request, replacing any still waiting; returns the replaced one
// (already out of the slot and its lock) so the caller can tell.
std::optional<SaveRequest> save_request_store(SaveRequestSlot& slot, SaveRequest request);

// What every writer of the slot does: stores the request and, when it
// replaced one still waiting (the saver was busy or had not polled yet),
// logs that the earlier request will get no clip of its own.
void save_request_submit(SaveRequestSlot& slot, SaveRequest request);

// The log line for a waiting request replaced by a newer one.
std::string save_request_replaced_text(const SaveRequest& replaced, const SaveRequest& newer);

// Takes the waiting request out, leaving the slot empty; nothing when empty.
std::optional<SaveRequest> save_request_take(SaveRequestSlot& slot);

// The process's slot: created once at start-up and published, so that lower
// pieces (hotkeys, tray, detector) can reach it. Later calls return the same.
std::shared_ptr<SaveRequestSlot> save_request_slot_publish();
// The published slot, or null before start-up has made it.
std::shared_ptr<SaveRequestSlot> save_request_slot();
// Tests only: back to "no slot published".
void save_request_slot_reset_for_tests();

}  // namespace corvane
