#include "web/analysis_view.h"

#include <cmath>

#include "ai/jobs.h"
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

Json number_or_null(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

Json job_json(const AiJob& job) {
    Json o = Json::object();
    o["etapa"] = job.step;
    o["pct"] = job.percent;
    o["corriendo"] = job.running;
    o["error"] = job.error ? Json(*job.error) : Json(nullptr);
    o["modelo"] = job.model ? Json(*job.model) : Json(nullptr);
    if (job.started_at) {
        const auto now = ai_clock().now();
        float secs = 0.0f;
        if (now > *job.started_at) {
            const auto d = now - *job.started_at;
            const auto whole = std::chrono::duration_cast<std::chrono::seconds>(d);
            const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - whole);
            secs = static_cast<float>(static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9);
        }
        o["segundos"] = std::isinf(secs) ? Json(nullptr) : Json(static_cast<double>(secs));
    } else {
        o["segundos"] = nullptr;
    }
    Json log = Json::array();
    for (const auto& e : job.progress) {
        Json entry = Json::object();
        entry["t"] = number_or_null(static_cast<double>(e.seconds));
        entry["k"] = e.stage;
        entry["x"] = e.message;
        log.push_back(std::move(entry));
    }
    o["bitacora"] = std::move(log);
    o["pensamientos"] = job.thoughts;
    o["caracteres"] = job.answer_bytes;
    o["uso"] = job.usage ? *job.usage : Json(nullptr);
    if (job.upload) {
        Json up = Json::object();
        up["enviado"] = job.upload->sent_bytes;
        up["total"] = job.upload->total_bytes;
        up["mbps"] = number_or_null(job.upload->mbps);
        o["subida"] = std::move(up);
    } else {
        o["subida"] = nullptr;
    }
    return o;
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
    // The job is copied before the result file is read: the worker writes the
    // file before it marks the job finished, so a reply that shows the job
    // finished always carries the new result and the page can stop polling.
    const auto job = ai_job_get(ui_sanitize_rel_path(clip).value_or(std::string(clip)));
    o["guardado"] = read_document(clips_analysis_path(*path));
    o["tiene_clave"] = !settings.ia.clave_gemini.empty();
    o["trabajo"] = job ? job_json(*job) : Json(nullptr);
    return o;
}

std::optional<UiDeferredAction> ui_route_analysis_state(const UiExchange& ex) {
    ui_send_json(ex.socket, ui_analysis_state(ui_query_param(ex.request.query, "clip").value_or("")));
    return std::nullopt;
}

}  // namespace corvane
