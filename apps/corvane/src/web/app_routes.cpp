#include "web/app_routes.h"

#include "web/actions.h"
#include "web/help.h"
#include "web/settings_save.h"
#include "web/status.h"

namespace corvane {

namespace {

using Json = nlohmann::ordered_json;

std::string body_text(const Json& body, const char* name) {
    if (!body.is_object()) return {};
    auto it = body.find(name);
    if (it == body.end() || !it->is_string()) return {};
    return it->get<std::string>();
}

}  // namespace

std::optional<UiDeferredAction> route_state(const UiExchange& ex) {
    ui_send_json(ex.socket, ui_state_json());
    return std::nullopt;
}

std::optional<UiDeferredAction> route_manual(const UiExchange& ex) {
    ui_send_json(ex.socket, ui_help_page(ui_query_param(ex.request.query, "lang").value_or("")));
    return std::nullopt;
}

std::optional<UiDeferredAction> route_action(const UiExchange& ex) {
    UiActionResult result = ui_run_action(body_text(ex.body, "a"));
    Json reply = Json::object();
    reply["ok"] = result.ok;
    ui_send_json(ex.socket, reply);
    return std::move(result.deferred);
}

std::optional<UiDeferredAction> route_save(const UiExchange& ex) {
    ui_send_json(ex.socket, ui_save_settings(ex.body));
    return std::nullopt;
}

std::optional<UiDeferredAction> route_pick_folder(const UiExchange& ex) {
    Json reply = Json::object();
    if (auto path = ui_pick_folder()) reply["ruta"] = *path;
    else reply["ruta"] = nullptr;
    ui_send_json(ex.socket, reply);
    return std::nullopt;
}

}  // namespace corvane
