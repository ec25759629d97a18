#include "web/analysis_view.h"

#include "base/settings.h"
#include "clips/library.h"
#include "web/http.h"
#include "web/media.h"

namespace corvane {

using Json = nlohmann::ordered_json;

namespace {

// The whole document, or null when it cannot be read or is not UTF-8 JSON.
Json read_document(const std::filesystem::path& path) {
    JsonRead r = json_read_object(path);
    return r.value ? std::move(*r.value) : Json(nullptr);
}

}  // namespace

Json ui_analysis_state(std::string_view clip) {
    const Settings settings = config_load();
    const auto path = ui_resolve_clip_in(settings.general.carpeta_clips, clip);
    if (!path) {
        Json o = Json::object();
        o["error"] = "clip no encontrado";
        return o;
    }
    Json o = Json::object();
    o["clip"] = std::string(clip);
    o["eventos"] = read_document(clips_sidecar_path(*path));
    o["guardado"] = read_document(clips_analysis_path(*path));
    o["tiene_clave"] = !settings.ia.clave_gemini.empty();
    o["trabajo"] = nullptr;
    return o;
}

std::optional<UiDeferredAction> ui_route_analysis_state(const UiExchange& ex) {
    ui_send_json(ex.socket, ui_analysis_state(ui_query_param(ex.request.query, "clip").value_or("")));
    return std::nullopt;
}

}  // namespace corvane
