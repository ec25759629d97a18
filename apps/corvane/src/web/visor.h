// The viewer's actions, asked for by the clips page as a script
// ("/api/visor"): disk use, archiving, deleting clips and statistics events.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "web/routes.h"

namespace corvane {

// Runs the action named `action` with its fields read from `query`. Success:
// the action's members followed by "ok": true; failure: {"ok": false, "error"}.
nlohmann::ordered_json visor_action(std::string_view action, std::string_view query);

// The usable (index, {"fecha","hora","tipo"}) pairs of an "ev" selection, at
// most 1000, in the order given.
std::vector<std::pair<std::uint64_t, nlohmann::ordered_json>> ui_events_to_json(
    const nlohmann::ordered_json& selection);

// The reply body: the result handed to the page's callback as a script.
std::string visor_script(const nlohmann::ordered_json& result);

// GET "/api/visor": query "a" and the action's fields.
std::optional<UiDeferredAction> ui_route_visor(const UiExchange& ex);

}  // namespace corvane
