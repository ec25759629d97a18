// The web side of the AI analysis: starting one and testing a key.
#pragma once

#include "web/routes.h"

namespace corvane {

// POST "/api/analizar" {"clip"}: {"ok"[, "error"]}.
std::optional<UiDeferredAction> ui_route_analyze(const UiExchange& ex);

// POST "/api/probar_ia" {"clave"}: {"ok", "modelos"} or {"ok", "error"}.
std::optional<UiDeferredAction> ui_route_test_ai(const UiExchange& ex);

}  // namespace corvane
