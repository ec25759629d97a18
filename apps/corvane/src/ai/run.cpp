#include "ai/run.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "ai/gemini.h"
#include "base/clock.h"
#include "base/json.h"
#include "base/text.h"
#include "clips/library.h"

namespace corvane {

using Json = nlohmann::ordered_json;

namespace {

// The fixed closing instructions of the prompt.
constexpr std::string_view kPieceD = R"PROMPT(Analiza con detalle y sé concreto: cita el segundo del video (formato m:ss, contado desde el inicio del archivo
completo, igual que los segundos de los eventos) de cada cosa que señales.
Si algo no se alcanza a ver con claridad, dilo en lugar de inventarlo.
Revisa: cómo y por qué murió o ganó la pelea, desde dónde le dispararon, quién vio primero a quién, su posición y
cobertura, movimiento (deslizarse, saltar, quedarse quieto), placas y recargas, uso del equipo, atención al minimapa
y al sonido, colocación de la mira (altura de la cabeza, pre-apuntado a esquinas), seguimiento del objetivo, control
del retroceso, si disparó sin acertar (sin marcadores de impacto), tiempo de reacción y decisiones (pelear, reposicionar,
pedir ayuda). Si es una baja, di qué hizo bien y qué pudo hacer más rápido o más seguro.

KILLCAM (solo si aparece): evalúa si el enfrentamiento se ve justo. Busca SEÑALES, por ejemplo: la mira que sigue al
jugador a través de paredes, humo o terreno antes de que sea visible; giros instantáneos y exactos a la cabeza;
disparar antes de tener información; cero retroceso anormal. Para cada señal da también la explicación legítima posible
(UAV o radar, pasos o disparos sin silenciador, marca de un compañero, desfase de la killcam y de la red, pre-apuntado
por experiencia). Nunca afirmes que alguien hace trampa: es solo una sospecha para que el jugador sepa si la pelea fue
justa. Si no hay killcam, nivel "sin_killcam".

SÉ COMPACTO Y DIRECTO: frases cortas, sin relleno, sin repetir lo mismo en varias secciones, sin introducciones.
Solo lo que más le sirve al jugador. Respeta los límites de cada clave (son máximos, no metas).

Responde SOLO con un objeto JSON válido, en español de México, con exactamente estas claves:
{
 "resumen": "1 o 2 frases cortas: qué pasó y la lección principal",
 "como_fue": "máximo 3 frases cortas, con los segundos clave",
 "por_que": "1 frase: la causa principal del resultado",
 "punteria": "máximo 2 frases: mira, seguimiento, retroceso, tiros fallados",
 "posicionamiento": "máximo 2 frases: posición, cobertura, movimiento",
 "errores": ["máximo 3; cada uno en menos de 15 palabras, con su segundo"],
 "aciertos": ["máximo 2; cada uno en menos de 12 palabras"],
 "consejos": ["máximo 3; acción concreta en menos de 12 palabras (empieza con un verbo)"],
 "momentos": [{"segundo": 12.5, "texto": "máximo 5 momentos; menos de 10 palabras cada uno"}],
 "justo": {"nivel": "ninguna|baja|media|alta|sin_killcam", "senales": ["máximo 3; señal y su explicación legítima en una frase"], "nota": "1 frase prudente"}
})PROMPT";

std::string compact(const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string whole_seconds(double v) { return fmt::format("{}s", static_cast<long long>(v)); }

}  // namespace

AiVideoWindow ai_video_window(const Json& sidecar, std::uint32_t fps_setting) {
    AiVideoWindow w;
    const std::uint32_t fps = std::clamp<std::uint32_t>(fps_setting, 1, 10);
    w.metadata = Json::object();
    w.metadata["fps"] = fps;
    const Json* events = nullptr;
    if (sidecar.is_object() && sidecar.contains("eventos") && sidecar["eventos"].is_array())
        events = &sidecar["eventos"];
    std::optional<double> duration;
    if (sidecar.is_object() && sidecar.contains("duracion") && sidecar["duracion"].is_number())
        duration = sidecar["duracion"].get<double>();
    std::optional<double> earliest, latest_end;
    if (events) {
        for (const Json& e : *events) {
            if (!e.is_object() || !e.contains("segundo") || !e["segundo"].is_number()) continue;
            const double t = e["segundo"].get<double>();
            // Seconds outside the clip cannot be shown; they would only bend the window.
            if (!std::isfinite(t) || t < 0 || (duration && t > *duration) || t > 1e9) continue;
            const std::string kind = e.contains("tipo") && e["tipo"].is_string() ? e["tipo"].get<std::string>() : "";
            double end;
            if (kind == "resultado") end = t + 3.0;
            else if (kind == "fin_killcam") end = t + 1.5;
            else {
                earliest = earliest ? std::min(*earliest, t) : t;
                end = t + (kind == "killcam" ? 12.0 : 4.0);
            }
            latest_end = latest_end ? std::max(*latest_end, end) : end;
        }
    }
    double start = 0;
    if (earliest) {
        start = std::max(0.0, std::floor(*earliest - 5.0));
        if (start > 0.5) w.metadata["startOffset"] = whole_seconds(start);
        if (latest_end && (!duration || *latest_end < *duration - 0.5) && std::ceil(*latest_end) > start) {
            w.metadata["endOffset"] = whole_seconds(std::ceil(*latest_end));
            w.message = fmt::format("La IA verá solo el evento: del segundo {:.0f} al {:.0f}, a {} cuadros por segundo",
                                    start, std::nearbyint(*latest_end), fps);
            return w;
        }
    }
    w.message = fmt::format("La IA verá el video desde el segundo {:.0f} a {} cuadros por segundo", start, fps);
    return w;
}

std::optional<Json> ai_extract_answer(std::string_view raw) {
    std::string text = utf8_trim(raw);
    if (text.rfind("```json", 0) == 0) text.erase(0, 7);
    else if (text.rfind("```", 0) == 0) text.erase(0, 3);
    if (text.size() >= 3 && text.compare(text.size() - 3, 3, "```") == 0) text.erase(text.size() - 3);
    text = utf8_trim(text);
    Json v = json_parse_untrusted(text);
    if (!v.is_discarded()) return v;
    const auto open = text.find('{');
    const auto close = text.rfind('}');
    if (open != std::string::npos && close != std::string::npos && close > open) {
        v = json_parse_untrusted(std::string_view(text).substr(open, close - open + 1));
        if (!v.is_discarded()) return v;
    }
    return std::nullopt;
}

std::string ai_build_prompt(const AiRequestContext& ctx) {
    std::string p =
        "Eres un entrenador experto de Call of Duty: Warzone y analizas el video de un jugador para ayudarle a "
        "mejorar.\nEl video es la vista en primera persona del jugador. ";
    if (ctx.gamertag) p += fmt::format("El jugador se llama «{}» en el juego. ", *ctx.gamertag);
    p += "El clip es ";
    const std::string folder = ctx.clip_path.parent_path().filename().string();
    // Only the file's own name marks a knock-down: a folder may be called anything.
    const std::string file = ctx.clip_path.filename().string();
    if (folder == "Bajas") p += "una o varias BAJAS que hizo el jugador";
    else if (folder == "Muertes" && file.find("_derribo") != std::string::npos)
        p += "un DERRIBO del jugador (lo tumbaron; puede que lo hayan levantado o rematado después). Marca «derribo» "
             "= el momento en que el killfeed dijo quién lo tumbó";
    else if (folder == "Muertes")
        p += "una MUERTE del jugador (con la killcam completa: la killcam es la vista del ENEMIGO que lo mató, de la "
             "marca «killcam» a «fin_killcam»; «derribo» = cuando lo tumbaron)";
    else p += "un momento que el jugador guardó a mano";
    p += ".\nEventos detectados en el clip (segundo dentro del clip, tipo, enemigo, arma, etc.): ";
    p += ctx.sidecar.is_null() ? std::string("(sin datos)") : compact(ctx.sidecar);
    p += "\n\n";
    p += kPieceD;
    return p;
}

std::string ai_build_generate_request(const AiRequestContext& ctx, bool thinking) {
    Json file = Json::object();
    file["mimeType"] = "video/mp4";
    file["fileUri"] = ctx.file_uri;
    Json video = Json::object();
    video["fileData"] = file;
    video["videoMetadata"] = ctx.video_metadata;
    Json text = Json::object();
    text["text"] = ai_build_prompt(ctx);
    Json content = Json::object();
    content["parts"] = Json::array({video, text});
    Json config = Json::object();
    config["responseMimeType"] = "application/json";
    config["temperature"] = 0.4;
    if (thinking) config["thinkingConfig"] = Json::object({{"includeThoughts", true}});
    Json body = Json::object();
    body["contents"] = Json::array({content});
    body["generationConfig"] = config;
    return compact(body);
}

namespace {

std::uint64_t token_count(const Json& usage, const char* name) {
    if (!usage.is_object() || !usage.contains(name)) return 0;
    const Json& v = usage[name];
    if (v.is_number_unsigned()) return v.get<std::uint64_t>();
    if (v.is_number_integer() && v.get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(v.get<std::int64_t>());
    return 0;
}

// The passes over the models; the outcome of the run before the deletion.
AiRunOutcome model_passes(const std::string& key, const AiSettings& settings, const AiRequestContext& ctx) {
    AiRunOutcome out;
    std::vector<std::string> models;
    const std::string configured = utf8_trim(settings.model);
    if (!configured.empty()) models.push_back(configured);
    else
        for (const char* m : kAiDefaultModels) models.emplace_back(m);
    const AiClock clock = ai_clock();
    std::string last_error;
    for (int pass = 1; pass <= 3; ++pass) {
        if (pass > 1) {
            const int wait = pass == 2 ? 20 : 45;
            ai_job_set_step(key, fmt::format("Todos los modelos están ocupados; reintento en {} s", wait), 0);
            clock.sleep(std::chrono::seconds(wait));
        }
        bool busy = false;
        for (const std::string& m : models) {
            ai_job_update(key, [&](AiJob& job) {
                job.model = m;
                job.thoughts.clear();
                job.answer_bytes = 0;
                job.usage.reset();
            });
            ai_job_set_step(key, fmt::format("Analizando con {}", m), 70);
            auto reply = ai_stream_generate(key, m, settings.api_key, ai_build_generate_request(ctx, true));
            if (!reply.ok()) {
                out.error = reply.error;
                return out;
            }
            GeminiStreamResult r = std::move(*reply.value);
            if (r.status == 400 && utf8_lower(r.text).find("think") != std::string::npos) {
                auto again = ai_stream_generate(key, m, settings.api_key, ai_build_generate_request(ctx, false));
                if (!again.ok()) {
                    out.error = again.error;
                    return out;
                }
                r = std::move(*again.value);
                if (r.status == 200) ai_job_log(key, "aviso", fmt::format("{} no muestra lo que va pensando", m));
            }
            if (r.status == 200) {
                auto answer = ai_extract_answer(r.text);
                if (!answer || !(answer->is_object() || answer->is_null())) {
                    out.error = "Gemini no devolvió el análisis en el formato esperado";
                    return out;
                }
                Json result = answer->is_null() ? Json::object() : std::move(*answer);
                const auto job = ai_job_get(key);
                const bool has_usage = job && job->usage;
                if (has_usage) {
                    const Json& u = *job->usage;
                    ai_job_log(key, "ok",
                               fmt::format("Tokens: {} de entrada (video y texto), {} pensando, {} de respuesta",
                                           token_count(u, "promptTokenCount"), token_count(u, "thoughtsTokenCount"),
                                           token_count(u, "candidatesTokenCount")));
                }
                result["_modelo"] = m;
                result["_uso"] = has_usage ? *job->usage : Json(nullptr);
                const LocalDateTime now = clock_local_date_time();
                std::string time = now.time;
                std::replace(time.begin(), time.end(), '-', ':');
                result["_fecha"] = now.date + " " + time;
                out.result = std::move(result);
                return out;
            }
            last_error = ai_error_message(r.status, r.text);
            const bool model_refused = r.status == 400 && utf8_lower(last_error).find("model") != std::string::npos;
            const bool is_busy = r.status == 429 || r.status == 500 || r.status == 502 || r.status == 503 || r.status == 504;
            if (r.status == 404 || model_refused || is_busy) {
                if (is_busy) busy = true;
                ai_job_log(key, "aviso", fmt::format("{}: {}", m, last_error));
                continue;
            }
            out.error = last_error;
            return out;
        }
        if (!busy) break;
    }
    out.error = last_error;
    return out;
}

}  // namespace

AiRunOutcome ai_run_analysis(const std::string& clip_key, const std::filesystem::path& clip_path,
                             const AiSettings& settings) {
    JsonRead side = json_read_object(clips_sidecar_path(clip_path));
    const Json sidecar = side.value ? std::move(*side.value) : Json(nullptr);
    auto uploaded = ai_upload_clip(clip_key, clip_path, settings.api_key);
    if (!uploaded.ok()) return AiRunOutcome{std::nullopt, uploaded.error};
    AiVideoWindow window = ai_video_window(sidecar, settings.fps);
    ai_job_log(clip_key, "paso", window.message);
    AiRequestContext ctx{uploaded.value->uri, window.metadata, clip_path, sidecar, settings.gamertag};
    AiRunOutcome out = model_passes(clip_key, settings, ctx);
    if (ai_delete_file(uploaded.value->name, settings.api_key)) ai_job_log(clip_key, "ok", "Clip borrado de Google");
    return out;
}

}  // namespace corvane
