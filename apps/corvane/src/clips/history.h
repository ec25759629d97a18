// The statistics history "estadisticas.jsonl": one JSON object per line, keys
// in a fixed order, appended one scene at a time. This module owns the line
// format (builders for the three kinds of line and for the scene events of the
// clip's sidecar), the small JSON text routines the lines are written with, the
// lock every reader and writer of the file holds, and the per-enemy tallies
// rebuilt from the file.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Held by every reader and writer of the history file while it opens, reads,
// writes or replaces it (the event engine's append, the web pages' readers,
// the rewrite after deleting events, the tallies reload).
inline std::mutex HistoryLock;

// Set after the web interface rewrote the history; the event engine takes it
// (exchange with false) and reloads its tallies from the file.
inline std::atomic<bool> HistoryReloadFlag{false};

// The JSON string literal of `text`: '"' and '\' are escaped with a backslash,
// characters below U+0020 as \u00XX (lower-case hex), everything else copied.
// Ill-formed UTF-8 is replaced by U+FFFD so that every line stays valid UTF-8.
std::string json_write_string(std::string_view text);

// Decimal digits of a present value, "null" for an absent one.
std::string events_json_opt_number(std::optional<uint32_t> value);

// The raw text between the quotes of the first `"key":"` in a history line;
// none when the key is missing or its value is not a string. Escapes are left
// as they stand.
std::optional<std::string> events_json_field(std::string_view line, std::string_view key);

// Lower-cased enemy name -> count.
using EnemyTallies = std::map<std::string, uint32_t>;

struct HistoryTallies {
    EnemyTallies deaths;  // deaths of the player, per killer
    EnemyTallies kills;   // kills by the player, per victim
};

// Counts the "muerte" and "baja" lines of the history file per lower-cased
// enemy name. A missing or unreadable file gives empty tallies; a line that is
// not valid UTF-8 or not a JSON object (a torn write) is skipped on its own.
// Takes HistoryLock while reading the file (the caller must not hold it).
HistoryTallies events_load_tallies(const std::filesystem::path& path);

// What surrounds an event: the game's title, the mode, the map and the place.
struct HistoryContext {
    std::optional<std::string> game{};
    std::optional<std::string> mode{};
    std::optional<std::string> map{};
    std::optional<std::string> place{};
};

// The context members that continue an open line:
// ,"juego":…,"modo":…,"mapa":…,"lugar":… (each a string or null).
std::string history_context_json(const HistoryContext& context);

// The player was knocked down.
struct HistoryKnock {
    std::string date{};  // YYYY-MM-DD
    std::string time{};  // HH:MM:SS
    std::string enemy{};
};

// The player killed an enemy.
struct HistoryKill {
    std::string date{};
    std::string time{};
    std::string enemy{};
    std::optional<std::string> clan{};
    std::optional<std::string> id{};
    std::optional<uint32_t> level{};
    std::optional<uint32_t> kill_number{};  // kill number in the match
    std::vector<std::string> medals{};
    uint32_t times = 0;  // kills of this enemy so far, this one included
};

// The player was killed.
struct HistoryDeath {
    std::string date{};
    std::string time{};
    std::optional<std::string> enemy{};
    std::optional<std::string> clan{};
    std::optional<std::string> id{};
    std::optional<std::string> rank{};
    std::optional<uint32_t> level{};
    std::optional<std::string> weapon{};
    std::optional<std::string> attachments{};
    std::optional<uint32_t> attackers{};
    std::optional<std::string> knocked_by{};
    std::optional<std::string> name_source{};  // "killcam", "killfeed" or none
    float killcam_secs = 0.0f;
    uint32_t times = 0;  // deaths caused by this enemy so far; 0 without a name
};

// A history line still open for its "clip" member: "{" + the event's keys +
// `context` (the text of history_context_json), without the closing brace.
std::string history_line_open(const HistoryKnock& event, std::string_view context);
std::string history_line_open(const HistoryKill& event, std::string_view context);
std::string history_line_open(const HistoryDeath& event, std::string_view context);

// The finished line (no "\n"): the open line, ,"clip": with the clip's path
// relative to the clips folder (or null) and the closing brace.
std::string history_line_close(std::string_view open_line, const std::optional<std::string>& clip);

// Scene events for the clip's sidecar: JSON members without braces, with the
// same values as the event's history line.
std::string scene_event_json(const HistoryKnock& event);  // "tipo":"derribo",…
std::string scene_event_json(const HistoryKill& event);   // "tipo":"baja",…
std::string scene_event_json(const HistoryDeath& event);  // "tipo":"killcam",…
std::string scene_event_killcam_end_json();               // "tipo":"fin_killcam"

}  // namespace corvane
