// The tray thread "crvn-bandeja": the icon with its tooltip (refreshed every
// 2 s), the menu and its commands, the left click that opens the clip list,
// the balloons of `PendingBalloons`, and the icon's removal at quit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/flags.h"
#include "base/status.h"
#include "base/tray.h"
#include "platform/tray.h"

namespace corvane {

// Menu command ids.
namespace tray_ids {
inline constexpr int kSettings = 1;
inline constexpr int kSaveClip = 2;
inline constexpr int kOpenClips = 4;
inline constexpr int kOpenFolder = 5;
inline constexpr int kShowLog = 6;
inline constexpr int kCheckUpdates = 7;
inline constexpr int kRestart = 9;
inline constexpr int kQuit = 10;
inline constexpr int kDetector = 12;
inline constexpr int kHelp = 13;
}  // namespace tray_ids

// Cuts, in UTF-16 code units (as the notification area counts them).
inline constexpr std::size_t kTooltipUnits = 127;
inline constexpr std::size_t kBalloonTitleUnits = 63;
inline constexpr std::size_t kBalloonBodyUnits = 255;

// The tooltip for a status line and a game, before its cut.
std::string tray_tooltip_text(const std::string& status, const std::optional<GameStatus>& game);
// The same from `StatusText` and `GameStatus`, cut to kTooltipUnits.
std::string tray_tooltip_text();

// The menu rows, in order.
std::vector<TrayMenuItem> tray_menu_rows(const TrayContext& ctx,
                                         const std::optional<GameStatus>& game, bool detector_on);

// What the commands reach outside the shell; main hands them over.
struct TrayActions {
    std::function<void(const std::string& tab)> open_window;   // ui_open_window
    std::function<void(const std::string& action)> updater;    // the updater's actions
    std::function<void()> restart;                             // app_restart without --config
    std::function<void()> quit;                                // app_quit
    std::function<void(const std::string& path)> open_folder;  // the desktop's file manager
};

// Runs menu command `id`; ignored before the tray context is published, and
// for ids that are not in the menu.
void tray_command(int id, const TrayActions& actions);

// Opens a folder with the desktop's handler (xdg-open): only an existing
// folder, never through a shell. "" on success, else why not.
std::string tray_open_folder(const std::string& path);

struct TrayThreadContext {
    TrayActions actions;
    std::string display;  // "" = the session's own
};

// Body of "crvn-bandeja".
void tray_thread_main(TrayThreadContext ctx);

// One pass of the tray's loop around `icon` after a wait gave `event`; false
// when the loop ends (quit seen or the display lost).
bool tray_handle_event(TrayIcon& icon, TrayEvent event, Notifier* notifier,
                       const TrayActions& actions);

// Shows every waiting balloon, in order, through `notifier` (cut to their
// limits). Without a notifier they are dropped.
void tray_show_balloons(Notifier* notifier);

}  // namespace corvane
