#include "web/update_routes.h"

#include "updater/web_api.h"
#include "web/http.h"

namespace corvane {

std::optional<UiDeferredAction> ui_route_update_status(const UiExchange& ex) {
    ui_send_json(ex.socket, updater_status_json());
    return std::nullopt;
}

std::optional<UiDeferredAction> ui_route_update_action(const UiExchange& ex) {
    // A missing member, or one that is not text, is the empty action.
    std::string action;
    if (ex.body.is_object()) {
        auto it = ex.body.find("a");
        if (it != ex.body.end() && it->is_string()) action = it->get<std::string>();
    }
    nlohmann::ordered_json reply = nlohmann::ordered_json::object();
    if (auto refusal = updater_handle_action(action)) {
        reply["ok"] = false;
        reply["error"] = *refusal;
    } else {
        reply["ok"] = true;
    }
    ui_send_json(ex.socket, reply);
    return std::nullopt;
}

}  // namespace corvane
