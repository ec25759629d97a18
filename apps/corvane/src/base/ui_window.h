// The interface window: what the hotkeys, the tray and start-up call to show
// the program's own pages.
#pragma once

#include <string_view>

namespace corvane {

// Does nothing until the interface's port and token are published. Then
// records `tab` as the one the interface shows next and logs
// "[VENTANA] Abriendo Corvane ({tab})."; the browser window itself is not
// started by this build. Never fails.
void ui_open_window(std::string_view tab);

}  // namespace corvane
