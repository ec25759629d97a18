// Deleting one kill, knock-down or death from the statistics history, with
// what that means for its clip: a clip no other event uses goes with it; a
// shared clip stays and only loses the event's entry in its sidecar.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane {

struct EventDeletionResult {
    std::uint64_t events_removed = 1;
    bool clip_deleted = false;
};

// The result, or the message for the user (nothing was changed then, except
// where a clip was deleted before the history could be written).
struct EventDeletionOutcome {
    std::optional<EventDeletionResult> result;
    std::string error;
};

// Removes the event line with 0-based `index` (counting only lines that,
// trimmed, begin with "{" and end with "}") when its "fecha", "hora" and
// "tipo" equal those of `expected`. Runs under HistoryLock and sets
// HistoryChangedFlag after a rewrite. A history that cannot be read or decoded
// is refused, never rewritten.
EventDeletionOutcome clips_delete_event(const std::filesystem::path& clips_folder,
                                        const std::filesystem::path& history_path, std::uint64_t index,
                                        const nlohmann::ordered_json& expected);

// The deletions of `events` (index, expected) in the given order, each as
// clips_delete_event would make it on the history the previous ones left,
// with one read and one rewrite of the history under HistoryLock. A rewrite
// that fails turns every deletion made into its message.
std::vector<EventDeletionOutcome> clips_delete_events(
    const std::filesystem::path& clips_folder, const std::filesystem::path& history_path,
    const std::vector<std::pair<std::uint64_t, nlohmann::ordered_json>>& events);

// The value's "eventos" member when it is an object that has one.
std::optional<nlohmann::ordered_json> json_get_eventos(const nlohmann::ordered_json& value);

// Position of the first object whose "tipo" is "fin_killcam" at or after `from`.
std::optional<std::size_t> clips_find_killcam_end(const nlohmann::ordered_json& list, std::size_t from = 0);

// A line of the history that holds an event: trimmed, it begins with "{" and ends with "}".
bool history_is_event_line(std::string_view line);

// False only when the event line surely has no string equal to `name`: lines
// are parsed only when they could refer to a clip.
bool history_line_may_name(std::string_view line, std::string_view name);

// "baja", "derribo" or "muerte".
bool history_is_deletable_type(const nlohmann::ordered_json& tipo);

}  // namespace corvane
