// "/api/accion" and "/api/elegir_carpeta": the actions the pages start by
// name, and the folder chooser for the clips folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "web/server.h"

namespace corvane {

struct UiActionResult {
    bool ok = false;
    std::optional<UiDeferredAction> deferred;  // runs once the reply has gone out
};

// Runs the named action (names compared exactly); an unknown name does
// nothing and answers false.
UiActionResult ui_run_action(std::string_view name);

// The folder the user chose for the clips, or nothing (cancelled, no dialog,
// any failure, or another chooser already open).
std::optional<std::string> ui_pick_folder();

}  // namespace corvane
