// The updater's route: its status (GET) and its actions (POST).
#pragma once

#include <optional>

#include "web/routes.h"

namespace corvane {

std::optional<UiDeferredAction> ui_route_update_status(const UiExchange& ex);  // GET /api/actualizacion
std::optional<UiDeferredAction> ui_route_update_action(const UiExchange& ex);  // POST /api/actualizacion

}  // namespace corvane
