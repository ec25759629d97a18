// What the analysis page polls for one clip: its sidecar, the stored result
// of an earlier analysis, whether a key is set, and the clip's analysis job.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "web/routes.h"

namespace corvane {

// {"clip","eventos","guardado","tiene_clave","trabajo"}, or {"error": "clip
// no encontrado"} when the name does not resolve to a clip. "trabajo" is the
// clip's analysis job under the name as given, or null without one.
nlohmann::ordered_json ui_analysis_state(std::string_view clip);

// GET "/api/analisis": query "clip".
std::optional<UiDeferredAction> ui_route_analysis_state(const UiExchange& ex);

}  // namespace corvane
