// The browser that shows the interface as an app window: where it is, and
// its top-level windows found, raised and closed by the window manager's list.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

struct BrowserWindow {
    std::uint64_t id = 0;
    std::string title;       // the bytes the page set (UTF-8 by convention, not checked)
    bool minimized = false;  // iconified or hidden; still counts as an open window
};

// The browser program: the first "chromium" or "chromium-browser" on PATH;
// nothing when there is none.
std::optional<std::filesystem::path> browser_program();

// The browser's top-level windows that are not withdrawn, in the order the
// window manager lists its clients (the stacking tree without one). Empty
// when the display cannot be opened.
std::vector<BrowserWindow> browser_windows();

// Restores the window when minimised, raises it and gives it the focus. A
// window manager may refuse the focus; failures are ignored.
void browser_window_raise(std::uint64_t id);

// Asks the window to close, as its close button would. Failures are ignored.
void browser_window_close(std::uint64_t id);

}  // namespace corvane
