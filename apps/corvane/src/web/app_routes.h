// The handlers of the status, settings, action, folder and manual routes.
#pragma once

#include <optional>

#include "web/routes.h"

namespace corvane {

std::optional<UiDeferredAction> route_state(const UiExchange& ex);         // GET /api/estado
std::optional<UiDeferredAction> route_manual(const UiExchange& ex);        // GET /api/manual
std::optional<UiDeferredAction> route_action(const UiExchange& ex);        // POST /api/accion
std::optional<UiDeferredAction> route_save(const UiExchange& ex);          // POST /api/guardar
std::optional<UiDeferredAction> route_pick_folder(const UiExchange& ex);   // POST /api/elegir_carpeta

}  // namespace corvane
