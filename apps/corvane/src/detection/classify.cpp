#include "detection/classify.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "base/flags.h"
#include "base/text.h"
#include "detection/hud.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string_view> kMenuWords = {"OPERATORS", "WEAPONS", "STORE", "BATTLE PASS",
                                                  "CAREER"};
const std::vector<std::string_view> kDeploymentWords = {"DEPLOYMENT WILL BEGIN", "DEPLOYMENT WILL",
                                                        "DEPLOYMENT BEGINS"};
const std::vector<std::string_view> kMatchStartWords = {"ENTERING THE WARZONE"};
const std::vector<std::string_view> kMedals = {
    "HEADSHOT",    "LONGSHOT",    "POINT BLANK", "BACKSTAB",   "REVENGE",
    "PAYBACK",     "BUZZKILL",    "FIRST BLOOD", "AVENGER",    "SAVIOR",
    "COMEBACK",    "DOUBLE KILL", "TRIPLE KILL", "FURY KILL",  "FRENZY KILL",
    "HIP FIRE",    "MID-AIR",     "CLOSE CALL",  "QUICKDRAW",  "ONE SHOT ONE KILL",
    "KILLJOY",     "COLLATERAL"};
const std::vector<std::string_view> kRanks = {"PRIVATE", "CORPORAL", "SERGEANT",  "LIEUTENANT",
                                              "CAPTAIN", "MAJOR",    "COLONEL",   "BRIGADIER",
                                              "GENERAL", "COMMANDER", "PRESTIGE"};
const std::vector<std::string_view> kWeaponClasses = {
    "ASSAULT RIFLE", "SUBMACHINE", "SMG",          "LMG",      "SNIPER", "MARKSMAN",
    "SHOTGUN",       "PISTOL",     "BATTLE RIFLE", "LAUNCHER", "MELEE"};
const std::vector<std::string_view> kAttackerWords = {"ATTACKERS", "ATTACKER"};
const std::vector<std::string_view> kOrdinalSuffixes = {"ST", "ND", "RD", "TH"};
constexpr std::array<std::string_view, 8> kCompass = {"N", "E", "S", "W", "NE", "SE", "SW", "NW"};

constexpr std::size_t kPlaceWindow = 8;
constexpr std::uint32_t kMaxKillNumber = 60;
constexpr std::uint32_t kMaxAttackers = 20;
constexpr auto kPrematchGate = 8s;
constexpr auto kDeathLockout = 25s;
constexpr auto kKillCardJoin = 1500ms;
constexpr auto kMedalMemory = 4s;
constexpr auto kKillfeedLineMemory = 20s;
constexpr auto kKnockerGap = 12s;
constexpr auto kKnockAfterDeath = 10s;
constexpr auto kCreditedMemory = 15s;

bool has_any(std::string_view text, const std::vector<std::string_view>& words) {
    for (std::string_view w : words)
        if (hud_find_keyword(text, w)) return true;
    return false;
}

bool is_compass_word(std::string_view word) {
    return std::find(kCompass.begin(), kCompass.end(), word) != kCompass.end();
}

bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool ascii_upper(char c) { return c >= 'A' && c <= 'Z'; }

// The code points of `text`; an ill-formed byte counts as one non-letter.
std::vector<char32_t> code_points(std::string_view text) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const std::size_t n = utf8_decode(text, i, cp);
        if (n == 0) {
            out.push_back(0xFFFD);
            ++i;
        } else {
            out.push_back(cp);
            i += n;
        }
    }
    return out;
}

bool letter_or_digit(char32_t cp) { return u_isalpha(static_cast<UChar32>(cp)) || u_isdigit(static_cast<UChar32>(cp)); }

// `text` without the characters other than letters and digits at both ends.
std::string trim_to_letters_digits(std::string_view text) {
    std::vector<char32_t> cps = code_points(text);
    std::size_t b = 0, e = cps.size();
    while (b < e && !letter_or_digit(cps[b])) ++b;
    while (e > b && !letter_or_digit(cps[e - 1])) --e;
    std::string out;
    for (std::size_t i = b; i < e; ++i) utf8_append(out, cps[i]);
    return out;
}

std::string trim_rank(std::string_view text) {
    std::string t = utf8_trim(text);
    while (!t.empty() && t.back() == '|') {
        t.pop_back();
        t = utf8_trim(t);
    }
    return t;
}

bool at_least(std::optional<Instant> since, Instant now, std::chrono::nanoseconds age) {
    return !since || events_elapsed(*since, now) >= age;
}

void hand_over_place(EventEngineState& state, const std::string& place) {
    auto& window = state.place_readings;
    window.push_back(place);
    if (window.size() > kPlaceWindow) window.erase(window.begin());
    std::size_t best = 0;
    std::size_t best_sum = std::numeric_limits<std::size_t>::max();
    for (std::size_t i = 0; i < window.size(); ++i) {
        std::size_t sum = 0;
        for (const auto& other : window) sum += hud_edit_distance(window[i], other);
        if (sum < best_sum || (sum == best_sum && window[i].size() > window[best].size())) {
            best = i;
            best_sum = sum;
        }
    }
    state.place_text = window[best];
}

void hand_over_medals(EventEngineState& state, const std::vector<std::string>& medals,
                      Instant now) {
    for (const auto& m : medals) state.medal_sightings.push_back(MedalSighting{now, m});
    std::erase_if(state.medal_sightings, [&](const MedalSighting& s) {
        return events_elapsed(s.at, now) >= kMedalMemory;
    });
    events_prune_recent_kills(state, now);
}

void hand_over_death(EventEngineState& state, const ScreenReading& reading, Instant now) {
    if (!(reading.killcam || reading.death_card) || reading.final_killcam) return;
    if (!state.pending_death) {
        if (!at_least(state.last_death_at, now, kDeathLockout)) return;
        state.log("[KILLCAM] Empieza la killcam");
        if (reading.death_card) {
            events_open_death(state, *reading.death_card, now);
            return;
        }
        // Opened by the killcam alone: no card reading yet. Attacker counts
        // seen before belong to no death of this one.
        PendingDeathCard card;
        card.first = card.last = now;
        state.pending_death = std::move(card);
        state.attacker_counts.clear();
        return;
    }
    state.pending_death->last = now;
    if (reading.death_card) state.pending_death->readings.push_back(*reading.death_card);
}

void hand_over_kill(EventEngineState& state, const KillCardReading& card, Instant now) {
    auto& pending = state.pending_kill;
    bool joins = false;
    if (pending && events_elapsed(pending->last, now) < kKillCardJoin) {
        const bool number_ok = !card.kill_number || pending->kill_numbers.empty() ||
                               pending->kill_numbers.back() == *card.kill_number;
        const bool name_ok = std::any_of(pending->names.begin(), pending->names.end(),
                                         [&](const std::string& n) {
                                             return events_names_match(n, card.victim);
                                         });
        joins = number_ok && name_ok;
    }
    if (joins) {
        pending->names.push_back(card.victim);
        if (card.level) pending->levels.push_back(*card.level);
        if (card.kill_number) pending->kill_numbers.push_back(*card.kill_number);
        pending->last = now;
        return;
    }
    events_record_kill(state, now);
    PendingKillCard fresh;
    fresh.names.push_back(card.victim);
    if (card.level) fresh.levels.push_back(*card.level);
    if (card.kill_number) fresh.kill_numbers.push_back(*card.kill_number);
    fresh.first = fresh.last = now;
    fresh.from_killfeed = false;
    state.pending_kill = std::move(fresh);
}

std::size_t ascii_letters_digits(std::string_view s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) {
        return ascii_digit(c) || ascii_upper(c) || (c >= 'a' && c <= 'z');
    }));
}

void hand_over_killfeed(EventEngineState& state, const std::vector<KillfeedPair>& pairs,
                        DetectorStats& stats, Instant now) {
    if (pairs.empty()) return;
    stats.killfeed += static_cast<std::uint32_t>(pairs.size());
    std::erase_if(state.killfeed_lines, [&](const KillfeedLine& l) {
        return events_elapsed(l.at, now) >= kKillfeedLineMemory;
    });
    for (const auto& [killer, victim] : pairs) {
        const bool known = std::any_of(
            state.killfeed_lines.begin(), state.killfeed_lines.end(), [&](const KillfeedLine& l) {
                return hud_fuzzy_eq(l.killer, killer) && hud_fuzzy_eq(l.victim, victim);
            });
        if (!known) state.killfeed_lines.push_back(KillfeedLine{killer, now, victim});
    }
    if (!classify_after_prematch(state, now) || !state.gamertag) return;
    const auto involving = hud_match_pairs(pairs, *state.gamertag);

    for (const auto& [other, player_killed] : involving) {
        if (player_killed) continue;
        if (ascii_letters_digits(other) > 2 && !state.pending_death && !state.pending_knock &&
            (!state.last_knocker || events_elapsed(state.last_knocker->at, now) >= kKnockerGap) &&
            at_least(state.last_death_at, now, kKnockAfterDeath)) {
            std::string name = hud_clean_name(other).name;
            state.log(fmt::format("\n[DERRIBO] Te tumbó {} (killfeed)", name));
            state.pending_knock = PendingKnock{std::move(name), now};
        }
    }

    std::erase_if(state.credited_kills, [&](const RecentKill& r) {
        return events_elapsed(r.at, now) >= kCreditedMemory;
    });
    for (const auto& [other, player_killed] : involving) {
        if (!player_killed) continue;
        const auto same = [&](const RecentKill& r) { return hud_fuzzy_eq(r.enemy, other); };
        if (std::any_of(state.credited_kills.begin(), state.credited_kills.end(), same)) continue;
        state.credited_kills.push_back(RecentKill{now, other});
        const bool recent =
            std::any_of(state.recent_kills.begin(), state.recent_kills.end(), same);
        const bool on_card =
            state.pending_kill &&
            std::any_of(state.pending_kill->names.begin(), state.pending_kill->names.end(),
                        [&](const std::string& n) { return hud_fuzzy_eq(n, other); });
        if (!recent && !on_card) state.killfeed_kills.push_back(KillfeedKill{now, other});
    }
}

// The line from the word where `label` begins: the value after a label is
// counted from the start of the text, so words read before the label (a
// piece of the background, a letter of the line above) would otherwise
// become the start of the name.
std::string from_label(std::string_view text, std::string_view label) {
    const std::vector<std::string_view> words = utf8_split_white_space(text);
    std::string rest(text);
    for (std::size_t k = 1; k < words.size(); ++k) {
        std::string tail;
        for (std::size_t i = k; i < words.size(); ++i) {
            if (i > k) tail += ' ';
            tail += words[i];
        }
        if (!hud_find_keyword(tail, label)) break;
        rest = std::move(tail);
    }
    return rest;
}

std::string mode_map_suffix(const std::optional<std::string>& map) {
    return map ? fmt::format(" — {}", *map) : std::string();
}

}  // namespace

bool classify_any_line_has(const std::vector<OcrLine>& lines,
                           const std::vector<std::string_view>& words) {
    for (const auto& line : lines)
        if (has_any(line.text, words)) return true;
    return false;
}

bool classify_is_menu(const std::vector<OcrLine>& top_centre) {
    int found = 0;
    for (std::string_view w : kMenuWords) {
        const bool seen = std::any_of(top_centre.begin(), top_centre.end(),
                                      [&](const OcrLine& l) { return hud_find_keyword(l.text, w); });
        if (seen) ++found;
    }
    return found >= 2;
}

bool classify_mentions_deployment(const std::vector<OcrLine>& lines) {
    return classify_any_line_has(lines, kDeploymentWords);
}

bool detect_lines_mention_deployment(OcrLinesResult result) {
    if (!result.ok) return false;
    return classify_mentions_deployment(result.lines);
}

bool classify_mentions_match_start(const std::vector<OcrLine>& lines) {
    return classify_any_line_has(lines, kMatchStartWords);
}

void classify_top_centre(const std::vector<OcrLine>& top_centre, ScreenReading& reading) {
    for (const auto& line : top_centre) {
        if (hud_find_keyword(line.text, "KILLCAM")) {
            reading.killcam = true;
            if (hud_find_keyword(line.text, "FINAL")) reading.final_killcam = true;
            continue;
        }
        if (hud_find_keyword(line.text, "FINAL KILL")) reading.final_killcam = true;
        for (std::string_view medal : kMedals) {
            if (!hud_find_keyword(line.text, medal)) continue;
            if (std::find(reading.medals.begin(), reading.medals.end(), medal) ==
                reading.medals.end())
                reading.medals.emplace_back(medal);
        }
    }
}

std::optional<std::string> classify_place(const std::vector<OcrLine>& top_centre,
                                          std::uint32_t frame_height) {
    const float h = static_cast<float>(frame_height);
    std::optional<float> t;
    for (const auto& line : top_centre) {
        for (std::string_view word : utf8_split_white_space(line.text)) {
            if (is_compass_word(word)) {  // compass words are upper-case letters only
                t = t ? std::max(*t, line.y) : line.y;
                break;
            }
        }
    }
    const float low = t ? *t + 1.0f : 0.03f * h;
    const float high = t ? *t + 0.05f * h : 0.16f * h;
    for (const auto& line : top_centre) {
        if (!(line.y > low && line.y <= high)) continue;
        const std::string text = trim_to_letters_digits(line.text);
        const std::vector<char32_t> cps = code_points(text);
        std::size_t ascii_letters = 0, letters = 0;
        bool lower = false;
        for (char32_t cp : cps) {
            if ((cp >= U'A' && cp <= U'Z') || (cp >= U'a' && cp <= U'z')) ++ascii_letters;
            if (u_isalpha(static_cast<UChar32>(cp))) ++letters;
            if (u_islower(static_cast<UChar32>(cp))) lower = true;
        }
        if (ascii_letters <= 3 || lower || 8 * cps.size() > 10 * letters) continue;
        if (is_compass_word(hud_letters_upper(text))) continue;
        if (has_any(text, kMedals) || hud_find_keyword(text, "KILLCAM")) continue;
        return text;
    }
    return std::nullopt;
}

bool classify_killcam_in_bottom(const std::vector<OcrLine>& bottom_band) {
    return classify_any_line_has(bottom_band, {"REPORT PLAYER", "KILLED BY"});
}

bool classify_killcam_in_strip(const std::vector<OcrLine>& top_strip) {
    return std::any_of(top_strip.begin(), top_strip.end(), [](const OcrLine& l) {
        return hud_find_keyword(l.text, "KILLCAM") && !hud_find_keyword(l.text, "FINAL");
    });
}

std::optional<std::uint32_t> classify_kill_number(std::string_view text) {
    const auto first = std::find_if(text.begin(), text.end(), ascii_digit);
    if (first == text.end()) return std::nullopt;
    const auto end = std::find_if_not(first, text.end(), ascii_digit);
    const auto n = parse_decimal(std::string_view(&*first, static_cast<std::size_t>(end - first)),
                                 kMaxKillNumber);
    if (!n || *n < 1) return std::nullopt;
    return static_cast<std::uint32_t>(*n);
}

BottomCards classify_bottom_cards(const std::vector<OcrLine>& bottom_band,
                                  std::uint32_t frame_height) {
    BottomCards cards;
    const auto killed_by = std::find_if(bottom_band.begin(), bottom_band.end(), [](const OcrLine& l) {
        return hud_find_keyword(l.text, "KILLED BY");
    });
    if (killed_by != bottom_band.end()) {
        auto killer = hud_value_after_colon(from_label(killed_by->text, "KILLED BY"), "KILLED BY");
        if (!killer) return cards;
        DeathCardReading d;
        d.killer = std::move(*killer);
        std::optional<std::size_t> first_plus;
        for (std::size_t i = 0; i < bottom_band.size(); ++i) {
            if (bottom_band.begin() + static_cast<std::ptrdiff_t>(i) == killed_by) continue;
            const std::string& text = bottom_band[i].text;
            const std::string upper = utf8_upper(text);
            const bool plus = upper.find(" + ") != std::string::npos;
            if (plus && !first_plus) first_plus = i;
            if (!d.rank && has_any(upper, kRanks)) {
                d.rank = trim_rank(text);
            } else if (!d.level && hud_plus_tokens(text)) {
                d.level = hud_plus_tokens(text);
            } else if (plus) {
                if (!d.attachments) d.attachments = utf8_trim(text);
            } else if (!d.weapon && has_any(upper, kWeaponClasses)) {
                d.weapon = utf8_trim(text);
            }
        }
        if (!d.weapon && first_plus && *first_plus > 0) {
            const std::string& above = bottom_band[*first_plus - 1].text;
            const auto digit = std::find_if(above.begin(), above.end(), ascii_digit);
            if (digit != above.end() && std::find_if(digit, above.end(), ascii_upper) != above.end())
                d.weapon = utf8_trim(above);
        }
        cards.death_card = std::move(d);
        return cards;
    }

    const auto eliminated = std::find_if(bottom_band.begin(), bottom_band.end(), [](const OcrLine& l) {
        return hud_find_keyword(l.text, "ELIMINATED");
    });
    if (eliminated == bottom_band.end()) return cards;
    auto victim =
        hud_value_after_colon(from_label(eliminated->text, "ELIMINATED"), "ELIMINATED");
    if (!victim) return cards;
    KillCardReading k;
    k.victim = std::move(*victim);
    auto number_line = bottom_band.end();
    for (auto it = bottom_band.begin(); it != bottom_band.end(); ++it) {
        if (it == eliminated || !hud_find_keyword(it->text, "KILL")) continue;
        const auto n = classify_kill_number(it->text);
        if (!n || !has_any(it->text, kOrdinalSuffixes)) continue;
        k.kill_number = n;
        number_line = it;
        break;
    }
    // The level sits a fixed distance under the card at 1080p; the distance
    // grows with the screen.
    const float reach = 170.0f * static_cast<float>(frame_height) / 1080.0f;
    std::optional<float> best_distance;
    for (auto it = bottom_band.begin(); it != bottom_band.end(); ++it) {
        if (it == eliminated || it == number_line) continue;
        const float dy = it->y - eliminated->y;
        if (dy < 0.0f || dy > reach) continue;
        const auto level = hud_plus_tokens(it->text);
        if (!level) continue;
        if (!best_distance || dy < *best_distance) {
            best_distance = dy;
            k.level = level;
        }
    }
    cards.kill_card = std::move(k);
    return cards;
}

ScreenReading classify_screen(const std::vector<OcrLine>& top_centre,
                              const std::vector<OcrLine>& bottom_band, std::uint32_t frame_height,
                              bool death_open) {
    ScreenReading r;
    r.menu = classify_is_menu(top_centre);
    r.deployment =
        classify_mentions_deployment(top_centre) || classify_mentions_deployment(bottom_band);
    r.match_start =
        classify_mentions_match_start(top_centre) || classify_mentions_match_start(bottom_band);
    classify_top_centre(top_centre, r);
    r.place = classify_place(top_centre, frame_height);
    if (death_open && !r.killcam && classify_killcam_in_bottom(bottom_band)) r.killcam = true;
    BottomCards cards = classify_bottom_cards(bottom_band, frame_height);
    r.death_card = std::move(cards.death_card);
    r.kill_card = std::move(cards.kill_card);
    return r;
}

bool classify_wants_centre_band(const ScreenReading& reading, std::uint32_t pass_counter,
                                bool death_open) {
    return !reading.deployment && pass_counter % 4 == 0 && !death_open;
}

bool classify_wants_top_strip(const ScreenReading& reading, bool death_open) {
    return death_open && !reading.killcam;
}

std::optional<std::uint32_t> classify_digits_u32(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (ascii_digit(c)) digits.push_back(c);
    if (digits.empty()) return std::nullopt;
    const auto n = parse_decimal(digits, std::numeric_limits<std::uint32_t>::max());
    if (!n) return std::nullopt;
    return static_cast<std::uint32_t>(*n);
}

std::optional<std::uint32_t> classify_attackers(const std::vector<OcrLine>& right_column) {
    for (const auto& line : right_column) {
        if (!has_any(line.text, kAttackerWords)) continue;
        const auto n = classify_digits_u32(line.text);
        if (n && *n >= 1 && *n <= kMaxAttackers) return n;
    }
    return std::nullopt;
}

void classify_binarise(std::uint8_t* pixels, std::size_t byte_count) {
    for (std::size_t i = 0; i + 4 <= byte_count; i += 4) {
        const std::uint8_t b = pixels[i], g = pixels[i + 1], r = pixels[i + 2];
        const std::uint8_t m = std::min({b, g, r});
        std::uint8_t v = 255;
        if (g < 110 && r >= 171)
            v = b < 110 ? 0 : 255;
        else if (g >= 171 && r >= 201)
            v = (b < 120 || m >= 201) ? 0 : 255;
        pixels[i] = pixels[i + 1] = pixels[i + 2] = v;
        pixels[i + 3] = 255;
    }
}

bool classify_after_prematch(const EventEngineState& state, Instant now) {
    return at_least(state.last_prematch_at, now, kPrematchGate);
}

bool classify_hand_over(EventEngineState& state, const ScreenReading& reading, Instant now) {
    const bool death_open_before = state.pending_death.has_value();
    if (reading.place) hand_over_place(state, *reading.place);
    hand_over_medals(state, reading.medals, now);
    const bool open = classify_after_prematch(state, now);
    if (open) hand_over_death(state, reading, now);
    if (open && reading.kill_card) hand_over_kill(state, *reading.kill_card, now);
    return death_open_before || reading.death_card.has_value();
}

void classify_hand_over_attackers(EventEngineState& state,
                                  const std::vector<OcrLine>& right_column) {
    if (const auto n = classify_attackers(right_column)) state.attacker_counts.push_back(*n);
}

void classify_hand_over_context(EventEngineState& state, const ScreenReading& reading,
                                GameContextValue context, DetectorStats& stats, Instant now) {
    stats.ms_lento = context.slow_ms;
    if (context.menu_selection) {
        const auto& sel = *context.menu_selection;
        if (state.mode_text != sel.mode || state.map_text != sel.map)
            state.log(fmt::format("\n[MENÚ] Modo seleccionado: {}{}", sel.mode,
                                  mode_map_suffix(sel.map)));
        state.mode_text = sel.mode;
        state.map_text = sel.map;
    }
    if (reading.deployment) {
        stats.previa += 1;
        state.last_prematch_at = now;
        state.pending_kill.reset();
        state.pending_knock.reset();
        state.pending_death.reset();
        state.killfeed_kills.clear();
        state.scene.reset();
        LobbyFlag = true;
        if (!state.in_lobby) {
            state.in_lobby = true;
            state.log(
                "[PARTIDA] Lobby previo (calentamiento): no se guardan clips ni se cuentan bajas "
                "hasta que empiece la partida.");
        }
    }
    if (reading.match_start) events_match_started(state);
    if (context.objectives) {
        std::string mode = context.objectives->mode;
        std::optional<std::string> map = context.objectives->above;
        if (!map && state.mode_text == mode) map = state.map_text;
        if (state.mode_text != mode || state.map_text != map)
            state.log(fmt::format("[MODO] Pantalla de objetivos: {}{}", mode, mode_map_suffix(map)));
        state.mode_text = std::move(mode);
        state.map_text = std::move(map);
    }
    hand_over_killfeed(state, context.killfeed_pairs, stats, now);
}

}  // namespace corvane
