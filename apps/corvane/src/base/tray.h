// What the tray shares with the rest of the program: balloons posted from any
// thread, the context start-up publishes for the menu, and the two commands the
// menu and the web interface both use (save a clip now, switch the detector).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// One waiting balloon of `PendingBalloons`.
struct Balloon {
    std::string title;
    std::string body;
    std::uint8_t warning = 0;  // 0 information, 1 warning
};

// At most this many balloons wait; a post beyond it drops the oldest, so a
// tray that never starts cannot make the list grow without end.
inline constexpr std::size_t kPendingBalloonsMax = 16;

// Appends a copy to `PendingBalloons` and wakes the tray when it runs. From any
// thread; a balloon posted before the tray exists waits for it.
void tray_post(std::string_view title, std::string_view body, std::uint8_t warning);

// Takes the whole list out, oldest first (tray thread).
std::vector<Balloon> tray_balloons_take();

// The tray thread's wake-up; empty to unset. Called outside any lock.
void tray_set_waker(std::function<void()> wake);

// Asks the tray to remove its icon now (before an update installs, at a fatal
// error). Does nothing while no tray runs.
void tray_remove_icon();
// The tray thread's remover; empty to unset.
void tray_set_remover(std::function<void()> remove);

// `TrayContext`: published once by start-up before the tray starts.
struct TrayContext {
    std::string save_key;  // key texts as written in the settings
    std::string viewer_key;
    std::string update_key;
    std::filesystem::path clips_folder;
};
void tray_context_publish(TrayContext ctx);
// The published context, or null before start-up has published it.
const TrayContext* tray_context();

// The save combination as the settings write it ("Ctrl+W" by default), for
// texts that tell the user which key saves; a neutral phrase before start-up
// has published the context or when no key is set.
std::string tray_save_key_name();

// Stores a manual save request; false (nothing logged, nothing stored) before
// the save-request slot is published.
bool tray_save_clip();

// Switches the detector: the flag and the INI key change together, under one
// lock, so that two concurrent toggles cannot leave the file disagreeing with
// the flag. Returns the previous value; with the current value it does nothing.
bool detector_set_enabled(bool on);

// Tests only: empties the balloon list.
void tray_balloons_clear_for_tests();
// Tests only: back to "no context published". The old context stays
// allocated, as a pointer to it may still be held.
void tray_context_reset_for_tests();

}  // namespace corvane
