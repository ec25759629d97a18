// The one pause every hotkey honours while the settings page is taking a new
// key combination, and the process clock it is measured on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace corvane {

// `ProcessEpoch`: taken at its first use by any reader.
std::chrono::steady_clock::time_point process_epoch();

// Milliseconds from `epoch` to `now`; 0 when `now` is earlier.
std::uint64_t ms_since(std::chrono::steady_clock::time_point epoch,
                       std::chrono::steady_clock::time_point now);

// Now in milliseconds since the process epoch.
std::uint64_t process_now_ms();

// `HotkeyPause`: the hotkeys count as up while process_now_ms() is below it.
inline std::atomic<std::uint64_t> HotkeyPause{0};

inline constexpr std::uint64_t kHotkeyPauseMs = 20'000;

// "pausar_teclas": no hotkey fires for the next 20 s.
void hotkey_pause_for_typing();
// "reanudar_teclas": the hotkeys are live again at once.
void hotkey_resume();

}  // namespace corvane
