// The interface window: the browser app window that shows the program's own
// pages, opened or brought forward at a tab, and closed by its title.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/browser.h"

namespace corvane {

inline constexpr std::string_view kUiWindowTitle = "Corvane";
inline constexpr std::string_view kUiTitleSeparator = " · ";
// Key of the launch throttle; also the name of the browser's profile folder.
inline constexpr std::string_view kUiWindowKey = "ventana_config";
inline constexpr std::chrono::seconds kUiLaunchThrottle{5};
inline constexpr int kUiCloseAttempts = 8;
inline constexpr std::chrono::milliseconds kUiClosePause{150};

// Does nothing until the interface's port and token are published. Then
// records `tab` as the one the interface shows next, logs
// "[VENTANA] Abriendo Corvane ({tab}).", and brings an open "Corvane" window
// forward (restoring it when minimised) or starts the browser at most once
// every 5 s. Never fails.
void ui_open_window(std::string_view tab);

// Whether a window titled `window_title` is one the caller asks for by
// `wanted`: the same bytes, or, when `wanted` holds " · ", any title that
// begins with it.
bool ui_window_title_matches(std::string_view wanted, std::string_view window_title);

// The first open browser window that matches `title`.
std::optional<BrowserWindow> visor_find_window(std::string_view title);

// Asks each matching window to close, one at a time, at most 8 times with a
// short pause after each request.
void visor_close_window(std::string_view title);

// `UiLaunchTimes`: the last launch instant under each key.
struct UiLaunchEntry {
    std::string key;
    std::chrono::steady_clock::time_point at;
};

// The throttle rule: true (and the entry set to `now`, appended when new) when
// no launch under `key` happened in the last 5 whole seconds.
bool ui_launch_allowed(std::vector<UiLaunchEntry>& times, std::string_view key,
                       std::chrono::steady_clock::time_point now);

// The page the browser is started at: it holds the session's address, so it
// is written readable by the user only, and the token never appears on the
// browser's command line (which every local user can read).
std::filesystem::path ui_launch_page_path();
std::string ui_launch_page(std::string_view address);
// Removes the launch page: the session key must not outlive the session.
void ui_launch_page_remove();

// The browser's own output (its messages, its launcher's errors) goes to
// this file in the data folder, never to our console.
std::filesystem::path ui_browser_log_path();

// Tests only: the browser program to start instead of the installed one
// (an empty path: as if none were installed); nullopt restores the default.
void ui_window_set_browser_for_tests(std::optional<std::filesystem::path> program);
// Tests only: forgets every launch, as at start.
void ui_window_reset_launch_times_for_tests();

}  // namespace corvane
