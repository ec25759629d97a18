// The notices queue: any thread announces an on-screen card; the notices
// window takes the entries one at a time. Pushing never waits and never fails.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/screen.h"

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

// `NoticeSettings`: how the notices window shows the next card. Unset until
// start-up sets it; the web interface replaces it when the user saves.
struct NoticeSettings {
    float size = 1.0f;     // size factor, 1.0 = [avisos] tamano 100
    float seconds = 3.0f;  // seconds visible
    // 0 arriba_centro, 1 arriba_derecha, 2 arriba_izquierda, 3 abajo_centro
    std::uint8_t position = 0;
    bool enabled = true;
};
void notice_settings_set(const NoticeSettings& settings);
// The settings, or the defaults above while unset.
NoticeSettings notice_settings();

// `NoticesRunningFlag`: set while the notices window is ready to draw.
inline std::atomic<bool> NoticesRunningFlag{false};

// The screen area a visible card covers (over its whole slide), or none.
// X11 cannot keep the card out of the screen capture, so the detector must
// not read events from our own cards: it skips regions that overlap this.
void notice_card_area_set(std::optional<ScreenRect> area);
std::optional<ScreenRect> notice_card_area();

// Tests only: empties the queue.
void avisos_clear_for_tests();

}  // namespace corvane
