#include "web/ai_routes.h"

#include "ai/gemini.h"
#include "ai/jobs.h"
#include "base/settings.h"
#include "base/text.h"
#include "web/http.h"
#include "web/media.h"

namespace corvane {

using Json = nlohmann::ordered_json;

namespace {

std::string string_member(const Json& body, const char* name) {
    if (body.is_object() && body.contains(name) && body[name].is_string()) return body[name].get<std::string>();
    return {};
}

Json failure(std::string error) {
    Json o = Json::object();
    o["ok"] = false;
    o["error"] = std::move(error);
    return o;
}

}  // namespace

std::optional<UiDeferredAction> ui_route_analyze(const UiExchange& ex) {
    const std::string clip = string_member(ex.body, "clip");
    const Settings settings = config_load();
    const auto path = ui_resolve_clip_in(settings.general.carpeta_clips, clip);
    if (!path) {
        ui_send_json(ex.socket, failure("clip no encontrado"));
        return std::nullopt;
    }
    AiSettings ai;
    ai.api_key = settings.ia.clave_gemini;
    ai.model = settings.ia.modelo;
    ai.fps = settings.ia.fps;
    if (settings.general.gamertag && !utf8_trim(*settings.general.gamertag).empty()) ai.gamertag = settings.general.gamertag;
    // One job per clip however its name was spelt ("\" or "/"): two would
    // upload it twice and race for its result file.
    std::string error = ai_start_analysis(ui_sanitize_rel_path(clip).value_or(clip), *path, std::move(ai));
    if (!error.empty()) {
        ui_send_json(ex.socket, failure(std::move(error)));
        return std::nullopt;
    }
    Json o = Json::object();
    o["ok"] = true;
    ui_send_json(ex.socket, o);
    return std::nullopt;
}

std::optional<UiDeferredAction> ui_route_test_ai(const UiExchange& ex) {
    std::string key;
    if (ex.body.is_object() && ex.body.contains("clave") && ex.body["clave"].is_string())
        key = ex.body["clave"].get<std::string>();
    else
        key = config_load().ia.clave_gemini;
    auto models = ai_list_models(key);
    if (!models.ok()) {
        ui_send_json(ex.socket, failure(models.error));
        return std::nullopt;
    }
    Json o = Json::object();
    o["ok"] = true;
    o["modelos"] = *models.value;
    ui_send_json(ex.socket, o);
    return std::nullopt;
}

}  // namespace corvane
