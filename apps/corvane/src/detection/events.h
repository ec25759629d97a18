// The event engine: turns the screen-text classifier's readings (pending kill
// and death cards, knock-downs, killfeed lines, medals) into the player's
// kills, knock-downs, deaths and killcams; groups them into scenes that are
// appended to "estadisticas.jsonl" when they close and that ask the clip
// saver for one automatic clip each.
//
// A card is read on many frames with OCR errors, so the classifier only
// accumulates readings; the engine decides when a reading is complete (time
// since its first and last reading), takes a consensus and commits it.
//
// Everything here runs on the detector thread, which owns the state; the
// clock is always handed in, so the whole engine runs on scripted readings and
// a fake clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "base/save_request.h"
#include "base/settings.h"
#include "clips/history.h"

namespace corvane {

// Monotonic instants of the detector's clock.
using Instant = std::chrono::steady_clock::time_point;

// Time from `since` to `now`; zero when `since` lies after now.
std::chrono::nanoseconds events_elapsed(Instant since, Instant now);

// A committed kill is remembered this long so that the same enemy read again
// (the card re-read, the killfeed line of the same kill) counts once. The
// classifier prunes `recent_kills` at this age with events_prune_recent_kills.
inline constexpr std::chrono::seconds kRecentKillWindow{12};

struct PendingKillCard {
    std::vector<std::string> names;
    std::vector<std::uint32_t> levels;
    std::vector<std::uint32_t> kill_numbers;  // the kill's number in the match, as printed
    std::vector<std::string> medals;
    Instant first{};
    Instant last{};
    bool from_killfeed = false;
};

struct DeathCardReading {
    std::string killer;
    std::optional<std::string> rank{};
    std::optional<std::string> weapon{};
    std::optional<std::string> attachments{};
    std::optional<std::uint32_t> level{};
};

struct PendingDeathCard {
    std::vector<DeathCardReading> readings;
    Instant first{};
    Instant last{};
};

struct PendingKnock {
    std::string name;
    Instant at{};
};

struct KillfeedKill {
    Instant at{};
    std::string victim;
};

struct KillfeedLine {
    std::string killer;
    Instant at{};
    std::string victim;
};

struct RecentKill {
    Instant at{};
    std::string enemy;
};

struct MedalSighting {
    Instant at{};
    std::string medal;
};

struct GamertagCandidate {
    std::string display;
    std::uint32_t sightings = 0;
};

struct LastKnocker {
    Instant at{};
    std::string name;
};

enum class SceneKind : std::uint8_t { kill, knock_down, death };

// Events that follow each other closely: a streak, or a fight that ends in
// the player's death and its killcam.
struct Scene {
    std::vector<std::string> lines;  // history lines still open for their "clip" member
    std::vector<SceneEvent> events;  // for the clip's sidecar
    Instant first_event{};
    Instant last_activity{};
    std::optional<Instant> close_deadline{};
    std::uint32_t kills = 0;
    bool death = false;
    bool knock_down = false;
};

struct EventEngineState {
    std::optional<std::string> gamertag{};
    std::uint32_t gamertag_confirmations = 0;
    std::map<std::string, GamertagCandidate> gamertag_candidates{};  // by name key
    bool in_lobby = false;
    std::optional<Instant> last_prematch_at{};
    std::optional<Instant> last_death_at{};
    std::uint64_t scene_quiet_secs = 5;
    std::filesystem::path history_path{};
    EnemyTallies kill_tallies{};
    EnemyTallies death_tallies{};
    std::optional<PendingKillCard> pending_kill{};
    std::optional<PendingDeathCard> pending_death{};
    std::optional<PendingKnock> pending_knock{};
    std::optional<LastKnocker> last_knocker{};
    std::vector<std::uint32_t> attacker_counts{};
    std::vector<KillfeedKill> killfeed_kills{};
    std::vector<KillfeedLine> killfeed_lines{};
    std::vector<MedalSighting> medal_sightings{};
    std::vector<RecentKill> recent_kills{};
    std::vector<RecentKill> credited_kills{};
    std::optional<std::string> mode_text{};
    std::optional<std::string> map_text{};
    std::optional<std::string> place_text{};
    std::vector<std::string> place_readings{};  // the last 8 place readings, oldest first
    std::optional<Scene> scene{};
    std::uint32_t kills_since_start = 0;
    std::uint32_t deaths_since_start = 0;
    std::uint32_t kill_cards_committed = 0;
    std::uint32_t death_cards_committed = 0;

    // [clips] automaticos and segundos_antes.
    AutoClipMode auto_clips = AutoClipMode::Todo;
    std::uint64_t clip_lead_secs = 5;
    // Where automatic clips are asked for; null: none are.
    std::shared_ptr<SaveRequestSlot> slot{};
    // The last automatic clip path asked for and how often it came up in a
    // row: two scenes closing in the same second with the same word must not
    // write one clip over the other.
    std::string last_clip_base{};
    std::uint32_t last_clip_repeats = 0;

    // The outside world, replaceable for tests.
    std::function<void(std::string_view)> log = [](std::string_view m) { log_line(m); };
    std::function<LocalDateTime()> local_time = [] { return clock_local_date_time(); };
    // The running game's title for the history lines; empty or none: null.
    std::function<std::optional<std::string>()> game_title;
};

// A state for the detector thread: gamertag, [clips] automaticos,
// segundos_antes and segundos_despues from the settings, the history in the
// clips folder with the per-enemy tallies read from it, the real log and
// clock. `game_title` may be empty.
EventEngineState events_state_make(const Settings& settings, std::shared_ptr<SaveRequestSlot> slot,
                                   std::function<std::optional<std::string>()> game_title);

// One engine step, run after every detector pass: lobby end, pre-match
// discard, killfeed kills, kill card, knock-down, death, tallies reload after
// the history was rewritten, scene close.
void events_tick(EventEngineState& state, Instant now);

// Takes and commits the pending kill card, if any.
void events_record_kill(EventEngineState& state, Instant now);

// Ends the warm-up lobby.
void events_match_started(EventEngineState& state);

// Counts one sighting of a candidate gamertag; adopts (and saves to the INI)
// a name seen twice when none is known, or seen three times when the known one
// was never confirmed.
void events_learn_gamertag(EventEngineState& state, std::string_view candidate);

// The consensus of OCR readings of one text: the reading with the least summed
// edit distance to all readings; ties to the longer, then the earlier. None
// for no readings.
std::optional<std::string> events_consensus(const std::vector<std::string>& readings);

using DeathCardAccessor = std::optional<std::string> (*)(const DeathCardReading&);
std::optional<std::string> events_reading_rank(const DeathCardReading& r);
std::optional<std::string> events_reading_weapon(const DeathCardReading& r);
std::optional<std::string> events_reading_attachments(const DeathCardReading& r);
std::optional<std::string> events_reading_level(const DeathCardReading& r);  // decimal text

// The consensus of one field over the readings that have it.
std::optional<std::string> events_pick_consensus(const std::vector<DeathCardReading>& readings,
                                                 DeathCardAccessor accessor);

// Opens a death card with its first reading. Attacker counts read before it
// belong to no death of this card and are forgotten.
void events_open_death(EventEngineState& state, DeathCardReading reading, Instant now);

// Drops recent kills that no longer count for duplicates.
void events_prune_recent_kills(EventEngineState& state, Instant now);

// ---- Scenes -----------------------------------------------------------------

// Adds one committed event to the open scene, opening one when none is.
void events_scene_add(EventEngineState& state, Instant event_instant, Instant now,
                      std::string history_line, std::string scene_event, SceneKind kind);

// Closes the open scene: appends its lines to the history and, as [clips]
// automaticos allows, asks for one automatic clip covering the whole scene.
void events_commit_scene(EventEngineState& state, Instant now);

// At quit: the open scene's committed events go to the history without a
// clip, so nothing already counted is lost. No clip is asked for.
void events_close_at_quit(EventEngineState& state);

// The context members of a history line for the current game, mode, map and
// place: ,"juego":…,"modo":…,"mapa":…,"lugar":…
std::string events_context_json(const EventEngineState& state);

}  // namespace corvane
