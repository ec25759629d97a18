#include "detection/events.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "base/config_file.h"
#include "base/flags.h"
#include "base/text.h"
#include "detection/hud.h"

namespace corvane {

namespace {

using namespace std::chrono_literals;

constexpr auto kPrematchEventGate = 8s;
constexpr auto kKillfeedDelay = 2500ms;
constexpr auto kKillCardQuiet = 1200ms;
constexpr auto kKillCardMax = 3s;
constexpr auto kMedalDistance = 2500ms;
constexpr auto kKnockDelay = 5s;
constexpr auto kDeathCardQuiet = 6s;
constexpr auto kDeathCardMax = 60s;
constexpr auto kKnockerMemory = 150s;
constexpr auto kDeathSceneTail = 500ms;
constexpr auto kSceneMaxAge = 120s;

std::size_t ascii_alnum_count(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) ++n;
    return n;
}

// "fecha" and "hora" of a history line: the moment the event is committed.
std::pair<std::string, std::string> line_date_time(const EventEngineState& state) {
    LocalDateTime now = state.local_time();
    std::replace(now.time.begin(), now.time.end(), '-', ':');
    return {std::move(now.date), std::move(now.time)};
}

void log_session(const EventEngineState& state) {
    state.log(fmt::format("       Sesión: {} bajas / {} muertes", state.kills_since_start,
                          state.deaths_since_start));
}

// The most frequent value; on equal counts the one read later wins.
std::optional<std::uint32_t> most_frequent(const std::vector<std::uint32_t>& values) {
    std::optional<std::uint32_t> best;
    std::size_t best_count = 0;
    for (std::uint32_t v : values) {
        const auto count = static_cast<std::size_t>(std::count(values.begin(), values.end(), v));
        if (count >= best_count) {
            best = v;
            best_count = count;
        }
    }
    return best;
}

// The INI reader trims values and cuts them at ';' and '"'. A gamertag that
// would come back different at the next start must not be adopted: the
// program would then look for a player that does not exist. A broken byte
// would make the whole file unreadable.
bool survives_ini(const std::string& value) {
    if (!utf8_valid(value)) return false;
    const IniTable table = config_parse_ini("[general]\ngamertag = " + value + "\n");
    const auto back = config_ini_get(table, "general", "gamertag");
    return back && *back == value;
}

void commit_knock(EventEngineState& state, PendingKnock knock, Instant now) {
    state.last_knocker = LastKnocker{knock.at, knock.name};
    auto [date, time] = line_date_time(state);
    const HistoryKnock event{std::move(date), std::move(time), knock.name};
    events_scene_add(state, knock.at, now, history_line_open(event, events_context_json(state)),
                     scene_event_json(event), SceneKind::knock_down);
}

void commit_death(EventEngineState& state, PendingDeathCard card, Instant now) {
    state.last_death_at = now;
    ++state.deaths_since_start;
    ++state.death_cards_committed;

    std::vector<std::string> killers;
    killers.reserve(card.readings.size());
    for (const auto& r : card.readings) killers.push_back(r.killer);
    std::optional<std::string> card_name = events_consensus(killers);
    if (card_name && ascii_alnum_count(*card_name) < 3) card_name.reset();

    const auto rank = events_pick_consensus(card.readings, events_reading_rank);
    const auto weapon = events_pick_consensus(card.readings, events_reading_weapon);
    const auto attachments = events_pick_consensus(card.readings, events_reading_attachments);
    std::optional<std::uint32_t> level;
    if (auto text = events_pick_consensus(card.readings, events_reading_level)) {
        if (auto n = parse_decimal(*text, std::numeric_limits<std::uint32_t>::max()))
            level = static_cast<std::uint32_t>(*n);
    }

    std::optional<std::uint32_t> attackers;
    if (!state.attacker_counts.empty())
        attackers = *std::max_element(state.attacker_counts.begin(), state.attacker_counts.end());
    state.attacker_counts.clear();

    std::optional<PendingKnock> knock = std::exchange(state.pending_knock, std::nullopt);
    std::optional<LastKnocker> last = std::exchange(state.last_knocker, std::nullopt);
    // The most recent knock-down is the one that led to this death: a knock
    // still pending, else the last committed one if it is recent enough.
    std::optional<std::string> knocked_by;
    if (knock)
        knocked_by = knock->name;
    else if (last && events_elapsed(last->at, now) < kKnockerMemory)
        knocked_by = last->name;

    std::optional<std::string> killer;
    std::optional<std::string> source;
    if (card_name) {
        killer = card_name;
        source = "killcam";
    } else if (knocked_by) {
        killer = knocked_by;
        source = "killfeed";
    }

    const float killcam_secs =
        std::chrono::duration<float>(events_elapsed(card.first, card.last)).count();

    HistoryDeath event;
    std::tie(event.date, event.time) = line_date_time(state);
    if (killer) {
        CleanedName cleaned = hud_clean_name(*killer);
        event.times = ++state.death_tallies[utf8_lower(cleaned.name)];
        for (const auto& line : state.killfeed_lines) {
            if (hud_fuzzy_eq(line.killer, cleaned.name)) {
                const std::string victim = line.victim;
                events_learn_gamertag(state, victim);
                break;
            }
        }
        event.enemy = std::move(cleaned.name);
        event.clan = std::move(cleaned.clan);
        event.id = std::move(cleaned.id);
    }
    event.rank = rank;
    event.level = level;
    event.weapon = weapon;
    event.attachments = attachments;
    event.attackers = attackers;
    event.knocked_by = knocked_by;
    event.name_source = source;
    event.killcam_secs = killcam_secs;

    events_scene_add(state, card.first, now, history_line_open(event, events_context_json(state)),
                     scene_event_json(event), SceneKind::death);
    Scene& scene = *state.scene;
    if (knock) {
        scene.events.push_back(
            SceneEvent{scene_event_json(HistoryKnock{{}, {}, knock->name}), knock->at});
        scene.first_event = std::min(scene.first_event, knock->at);
    }
    scene.events.push_back(SceneEvent{scene_event_killcam_end_json(), card.last});
    scene.first_event = std::min(scene.first_event, card.last);

    std::vector<std::string> parts;
    if (rank) parts.push_back("rango " + *rank);
    if (level) parts.push_back(fmt::format("nivel {}", *level));
    if (weapon) parts.push_back("con " + *weapon);
    if (attackers) parts.push_back(fmt::format("te dispararon {}", *attackers));
    const std::string shown = event.enemy.value_or("");
    state.log(fmt::format(
        "\n[MUERTE] Te eliminó {}{}{}{} (killcam de {:.0f} s)",
        event.enemy ? *event.enemy : "alguien (no se pudo leer el nombre)",
        parts.empty() ? "" : " (" + fmt::format("{}", fmt::join(parts, ", ")) + ")",
        event.times >= 2 ? fmt::format(" — te ha matado {} veces", event.times) : "",
        knocked_by && !hud_fuzzy_eq(*knocked_by, shown) ? " — te había tumbado " + *knocked_by : "",
        killcam_secs));
    log_session(state);

    if (state.scene) state.scene->close_deadline = now + kDeathSceneTail;
}

}  // namespace

std::chrono::nanoseconds events_elapsed(Instant since, Instant now) {
    if (since >= now) return std::chrono::nanoseconds::zero();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now - since);
}

EventEngineState events_state_make(const Settings& settings, std::shared_ptr<SaveRequestSlot> slot,
                                   std::function<std::optional<std::string>()> game_title) {
    EventEngineState state;
    state.gamertag = settings.general.gamertag;
    state.scene_quiet_secs = settings.clips.segundos_despues;
    state.clip_lead_secs = settings.clips.segundos_antes;
    state.auto_clips = settings.clips.automaticos;
    state.history_path = settings.general.carpeta_clips / "estadisticas.jsonl";
    HistoryTallies tallies = events_load_tallies(state.history_path);
    state.death_tallies = std::move(tallies.deaths);
    state.kill_tallies = std::move(tallies.kills);
    state.slot = std::move(slot);
    state.game_title = std::move(game_title);
    return state;
}

void events_tick(EventEngineState& state, Instant now) {
    // 1. The lobby ends when its text has not been seen for a while.
    if (state.in_lobby &&
        (!state.last_prematch_at || events_elapsed(*state.last_prematch_at, now) >= kPrematchEventGate))
        events_match_started(state);

    // 2. Nothing read in the lobby counts.
    if (state.last_prematch_at && events_elapsed(*state.last_prematch_at, now) < kPrematchEventGate) {
        state.pending_kill.reset();
        state.pending_knock.reset();
        if (state.pending_death) {
            state.pending_death.reset();
            // Counts read for a death that never happened must not pass to the next.
            state.attacker_counts.clear();
        }
        state.killfeed_kills.clear();
    }

    // 3. Killfeed kills that no card claimed in time.
    std::vector<KillfeedKill> due;
    {
        std::vector<KillfeedKill> waiting;
        for (auto& k : state.killfeed_kills)
            (events_elapsed(k.at, now) > kKillfeedDelay ? due : waiting).push_back(std::move(k));
        state.killfeed_kills = std::move(waiting);
    }
    for (auto& k : due) {
        const bool counted =
            std::any_of(state.recent_kills.begin(), state.recent_kills.end(),
                        [&](const RecentKill& r) { return hud_fuzzy_eq(k.victim, r.enemy); });
        if (counted) continue;
        events_record_kill(state, now);
        PendingKillCard card;
        card.names = {k.victim, k.victim};
        card.first = card.last = k.at;
        card.from_killfeed = true;
        state.pending_kill = std::move(card);
        events_record_kill(state, now);
    }

    // 4. Kill card.
    if (state.pending_kill && (events_elapsed(state.pending_kill->last, now) > kKillCardQuiet ||
                               events_elapsed(state.pending_kill->first, now) > kKillCardMax))
        events_record_kill(state, now);

    // 5. A knock-down alone; one followed by a death folds into it.
    if (state.pending_knock && events_elapsed(state.pending_knock->at, now) > kKnockDelay &&
        !state.pending_death) {
        PendingKnock knock = std::move(*state.pending_knock);
        state.pending_knock.reset();
        commit_knock(state, std::move(knock), now);
    }

    // 6. Death card.
    if (state.pending_death && (events_elapsed(state.pending_death->last, now) > kDeathCardQuiet ||
                                events_elapsed(state.pending_death->first, now) > kDeathCardMax)) {
        PendingDeathCard card = std::move(*state.pending_death);
        state.pending_death.reset();
        commit_death(state, std::move(card), now);
    }

    // 7. The history was rewritten behind us.
    if (HistoryChangedFlag.exchange(false)) {
        HistoryTallies tallies = events_load_tallies(state.history_path);
        state.death_tallies = std::move(tallies.deaths);
        state.kill_tallies = std::move(tallies.kills);
        state.log("[CLIPS] Se borraron eventos desde el visor: historial recargado.");
    }

    // 8. A scene ends shortly after the death that closes it.
    if (state.scene && state.scene->close_deadline && now >= *state.scene->close_deadline &&
        !state.pending_death)
        events_commit_scene(state, now);

    // 9. ... or after a quiet spell, or when it grew too old.
    if (state.scene && !state.scene->close_deadline && !state.pending_kill &&
        !state.pending_death) {
        const auto quiet = std::chrono::seconds(std::min<std::uint64_t>(
            state.scene_quiet_secs, std::numeric_limits<std::int32_t>::max()));
        if (events_elapsed(state.scene->last_activity, now) > quiet ||
            events_elapsed(state.scene->first_event, now) > kSceneMaxAge)
            events_commit_scene(state, now);
    }
}

void events_record_kill(EventEngineState& state, Instant now) {
    if (!state.pending_kill) return;
    PendingKillCard card = std::move(*state.pending_kill);
    state.pending_kill.reset();
    if (card.names.size() < 2) return;

    const std::string name = *events_consensus(card.names);
    for (const auto& r : state.recent_kills)
        if (events_elapsed(r.at, now) < kRecentKillWindow && hud_fuzzy_eq(r.enemy, name)) return;

    for (const auto& m : state.medal_sightings) {
        const auto distance = m.at >= card.first ? m.at - card.first : card.first - m.at;
        if (distance < kMedalDistance &&
            std::find(card.medals.begin(), card.medals.end(), m.medal) == card.medals.end())
            card.medals.push_back(m.medal);
    }

    const std::optional<std::uint32_t> level = most_frequent(card.levels);
    std::optional<std::uint32_t> kill_number;
    if (!card.kill_numbers.empty())
        kill_number = *std::max_element(card.kill_numbers.begin(), card.kill_numbers.end());

    if (!card.from_killfeed) {
        for (const auto& line : state.killfeed_lines) {
            if (hud_fuzzy_eq(line.victim, name)) {
                const std::string killer = line.killer;
                events_learn_gamertag(state, killer);
                break;
            }
        }
        ++state.kill_cards_committed;
    }

    state.recent_kills.push_back(RecentKill{now, name});
    state.credited_kills.push_back(RecentKill{now, name});
    std::erase_if(state.killfeed_kills,
                  [&](const KillfeedKill& k) { return hud_fuzzy_eq(k.victim, name); });
    ++state.kills_since_start;

    CleanedName cleaned = hud_clean_name(name);
    const std::uint32_t times = ++state.kill_tallies[utf8_lower(cleaned.name)];

    HistoryKill event;
    std::tie(event.date, event.time) = line_date_time(state);
    event.enemy = cleaned.name;
    event.clan = std::move(cleaned.clan);
    event.id = std::move(cleaned.id);
    event.level = level;
    event.kill_number = kill_number;
    event.medals = card.medals;
    event.times = times;
    events_scene_add(state, card.first, now, history_line_open(event, events_context_json(state)),
                     scene_event_json(event), SceneKind::kill);

    state.log(
        fmt::format("\n[BAJA] Eliminaste a {}{}{}{}{}{}", event.enemy,
                    level ? fmt::format(" (nivel {})", *level) : "",
                    event.medals.empty() ? "" : fmt::format(" [{}]", fmt::join(event.medals, ", ")),
                    state.place_text ? " en " + *state.place_text : "",
                    kill_number ? fmt::format(" — tu baja #{} de la partida", *kill_number) : "",
                    times >= 2 ? fmt::format(" — ya lo has eliminado {} veces", times) : ""));
    log_session(state);
}

void events_match_started(EventEngineState& state) {
    state.last_prematch_at.reset();
    LobbyFlag.store(false);
    if (state.in_lobby) {
        state.in_lobby = false;
        state.log("[PARTIDA] Empieza la partida: el detector vuelve a guardar clips.");
    }
}

void events_learn_gamertag(EventEngineState& state, std::string_view candidate) {
    if (ascii_alnum_count(candidate) < 3) return;
    const std::string cleaned = hud_clean_name(candidate).name;
    auto [it, inserted] =
        state.gamertag_candidates.try_emplace(hud_name_key(cleaned), GamertagCandidate{cleaned, 0});
    const std::uint32_t n = ++it->second.sightings;

    std::string message;
    if (!state.gamertag) {
        if (n < 2) return;
        message = fmt::format(
            "\n[JUGADOR] Te reconocí como {}: tus bajas también se leen del killfeed.", cleaned);
    } else if (hud_fuzzy_eq(*state.gamertag, cleaned)) {
        ++state.gamertag_confirmations;
        return;
    } else {
        if (state.gamertag_confirmations != 0 || n < 3) return;
        message = fmt::format("\n[JUGADOR] Tu gamertag no era «{}»: ahora es {}.", *state.gamertag,
                              cleaned);
    }
    if (!survives_ini(cleaned)) return;
    state.log(message);
    // The name still counts for this run when the INI cannot be written.
    (void)config_write_key("general", "gamertag", cleaned);
    state.gamertag = cleaned;
    state.gamertag_confirmations = n;
}

std::optional<std::string> events_consensus(const std::vector<std::string>& readings) {
    std::optional<std::size_t> best;
    std::size_t best_sum = 0;
    for (std::size_t i = 0; i < readings.size(); ++i) {
        std::size_t sum = 0;
        for (const auto& other : readings) sum += hud_edit_distance(readings[i], other);
        if (!best || sum < best_sum ||
            (sum == best_sum && readings[i].size() > readings[*best].size())) {
            best = i;
            best_sum = sum;
        }
    }
    if (!best) return std::nullopt;
    return readings[*best];
}

std::optional<std::string> events_reading_rank(const DeathCardReading& r) {
    return r.rank;
}
std::optional<std::string> events_reading_weapon(const DeathCardReading& r) {
    return r.weapon;
}
std::optional<std::string> events_reading_attachments(const DeathCardReading& r) {
    return r.attachments;
}
std::optional<std::string> events_reading_level(const DeathCardReading& r) {
    if (!r.level) return std::nullopt;
    return std::to_string(*r.level);
}

std::optional<std::string> events_pick_consensus(const std::vector<DeathCardReading>& readings,
                                                 DeathCardAccessor accessor) {
    std::vector<std::string> values;
    for (const auto& r : readings)
        if (auto v = accessor(r)) values.push_back(std::move(*v));
    return events_consensus(values);
}

void events_open_death(EventEngineState& state, DeathCardReading reading, Instant now) {
    PendingDeathCard card;
    card.readings.push_back(std::move(reading));
    card.first = card.last = now;
    state.pending_death = std::move(card);
    state.attacker_counts.clear();
}

void events_prune_recent_kills(EventEngineState& state, Instant now) {
    std::erase_if(state.recent_kills, [&](const RecentKill& r) {
        return events_elapsed(r.at, now) >= kRecentKillWindow;
    });
}

}  // namespace corvane
