#include "detection/game_context.h"

namespace corvane {

void game_context_publish(GameContext& context, SlowReading reading) {
    std::lock_guard lock(context.lock);
    GameContextValue& v = context.value;
    v.slow_ms = reading.duration_ms;
    if (reading.menu_selection) v.menu_selection = std::move(reading.menu_selection);
    if (reading.objectives) v.objectives = std::move(reading.objectives);
    for (auto& pair : reading.killfeed_pairs) v.killfeed_pairs.push_back(std::move(pair));
    if (v.killfeed_pairs.size() > kKillfeedPairsCap) {
        v.killfeed_pairs.erase(
            v.killfeed_pairs.begin(),
            v.killfeed_pairs.end() - static_cast<std::ptrdiff_t>(kKillfeedPairsCap));
    }
}

GameContextValue game_context_take(GameContext& context) {
    std::lock_guard lock(context.lock);
    GameContextValue out;
    out.menu_selection = std::exchange(context.value.menu_selection, std::nullopt);
    out.objectives = std::exchange(context.value.objectives, std::nullopt);
    out.killfeed_pairs = std::exchange(context.value.killfeed_pairs, {});
    out.slow_ms = context.value.slow_ms;
    return out;
}

bool menu_state_seen(MenuState& state) {
    std::lock_guard lock(state.lock);
    return state.menu_seen;
}

void menu_state_set(MenuState& state, bool seen) {
    std::lock_guard lock(state.lock);
    state.menu_seen = seen;
}

}  // namespace corvane
