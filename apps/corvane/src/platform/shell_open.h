// The desktop's own handlers: opening a file or folder with the program the
// user chose for it, and the folder chooser.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// Opens `target` (a path or an address) with the desktop's default handler.
// True when the handler started.
bool shell_open(std::string_view target);

// A folder chosen by the user in the desktop's folder dialog titled `title`;
// nothing when cancelled, when no dialog program exists or on any failure.
// Blocks until the dialog closes.
std::optional<std::string> shell_pick_folder(std::string_view title);

// The first executable `name` on PATH; nothing when none is found.
std::optional<std::filesystem::path> shell_find_program(std::string_view name);

}  // namespace corvane
