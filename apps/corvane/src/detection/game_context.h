// What the slow detector pass leaves for the classifier, and the one flag the
// classifier leaves for the slow pass. Each behind its own lock; never nested.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

struct MenuSelection {
    std::string mode;                // Spanish display name of the mode
    std::optional<std::string> map;  // the map shown under it
    bool operator==(const MenuSelection&) const = default;
};

struct ObjectivesReading {
    std::string mode;
    std::optional<std::string> above;  // the text above the mode line
    bool operator==(const ObjectivesReading&) const = default;
};

using KillfeedPair = std::pair<std::string, std::string>;  // (killer, victim)

// Pairs wait here only until the detector's next pass; a stalled detector must
// not make them pile up without end.
inline constexpr std::size_t kKillfeedPairsCap = 64;

struct GameContextValue {
    std::optional<MenuSelection> menu_selection;
    std::optional<ObjectivesReading> objectives;
    std::uint64_t slow_ms = 0;  // duration of the slow pass's last active cycle
    std::vector<KillfeedPair> killfeed_pairs;
};

struct GameContext {
    std::mutex lock;
    GameContextValue value;  // guarded by lock
};

// One slow cycle's readings, published at once: the readings replace unread
// ones, the pairs are appended (the oldest dropped beyond the cap).
struct SlowReading {
    std::optional<MenuSelection> menu_selection;
    std::optional<ObjectivesReading> objectives;
    std::uint64_t duration_ms = 0;
    std::vector<KillfeedPair> killfeed_pairs;
};
void game_context_publish(GameContext& context, SlowReading reading);

// Everything waiting, leaving the readings and the pairs empty (the slow
// duration stays, it is a measurement, not a message).
GameContextValue game_context_take(GameContext& context);

// Written by the classifier; read by the slow pass.
struct MenuState {
    std::mutex lock;
    bool menu_seen = false;  // the game's menu was seen less than 10 s ago
};

bool menu_state_seen(MenuState& state);
void menu_state_set(MenuState& state, bool seen);

}  // namespace corvane
