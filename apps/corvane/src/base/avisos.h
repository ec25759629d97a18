// The notices queue: any thread announces an on-screen card; the notices
// window takes the entries one at a time. Pushing never waits and never fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// One waiting notice. `kind` (0..6) selects the card's colours.
struct AvisoEntry {
    std::string title;
    std::string text;
    std::uint8_t kind = 0;
};

// At most this many entries wait; a push beyond it drops the oldest.
inline constexpr std::size_t kAvisosMax = 4;

// Appends a copy of the texts; from any thread.
void avisos_push(std::uint8_t kind, std::string_view title, std::string_view text);

// The oldest waiting entry, removed from the queue; nothing when empty.
std::optional<AvisoEntry> avisos_pop();

// Whether an entry is waiting.
bool avisos_waiting();

// Tests only: empties the queue.
void avisos_clear_for_tests();

}  // namespace corvane
