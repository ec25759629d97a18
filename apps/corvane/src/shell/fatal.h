// Fatal start-up errors and the error box.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Logs "[ERROR] {message}", takes the tray icon away when the tray exists,
// shows the error box "{message}\n\nDetalles en el registro:\n{log path}" and
// ends the process with code 1 once the box is closed (or could not be shown).
[[noreturn]] void main_fatal_error(std::string_view message);

// The error box with the title "Corvane": 1 once closed, 0 when no box could
// be shown (the text then went to standard error).
int error_message_box(std::string_view text);

// "{context}: {error}", the error being the system's or a library's own text.
std::string main_error_text(std::string_view context, std::string_view error);

// The tray registers how to take its icon away while its window exists (and
// null when it goes); a fatal error calls it because the tray's own clean-up
// never runs.
void fatal_set_tray_icon_remover(void (*remove_icon)());

}  // namespace corvane
