#include "ai/gemini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ai/jobs.h"
#include "base/json.h"
#include "base/text.h"

namespace corvane {

using Json = nlohmann::ordered_json;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr std::string_view kBadKey = "la clave de Gemini no es válida (revísala en Configuración → IA)";

std::string key_header(std::string_view key) { return fmt::format("x-goog-api-key: {}", key); }

double seconds_between(SteadyClock::time_point a, SteadyClock::time_point b) {
    return b < a ? 0.0 : std::chrono::duration<double>(b - a).count();
}

Json parse_or_null(std::string_view text) {
    Json v = json_parse_untrusted(text);
    return v.is_discarded() ? Json(nullptr) : v;
}

const Json* pointer(const Json& v, const char* ptr) {
    const Json::json_pointer p(ptr);
    if (!v.contains(p)) return nullptr;
    return &v.at(p);
}

std::string display_name(const std::filesystem::path& clip) {
    std::string text = clip.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    const std::string name = std::filesystem::path(text).filename().string();
    if (name.empty() || name == ".." || name == "." || name == "/") return "clip.mp4";
    return utf8_lossy(name);
}

// How many bytes at the end of `s` start a character that is not complete yet.
std::size_t incomplete_tail(std::string_view s) {
    const std::size_t n = s.size();
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(s[n - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        std::size_t need = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
        if (c >= 0xF5) need = 1;
        return need > back ? back : 0;
    }
    return 0;
}

}  // namespace

NetResult<GeminiFile> ai_upload_clip(const std::string& clip_key, const std::filesystem::path& clip_path,
                                     std::string_view api_key_raw) {
    NetResult<GeminiFile> result;
    const std::string api_key = utf8_trim(api_key_raw);
    std::uint64_t size = 0;
    {
        const int fd = ::open(clip_path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const int err = fd < 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : errno);
            if (fd >= 0) ::close(fd);
            result.error = fmt::format("no se pudo leer el clip ({})", std::strerror(err));
            return result;
        }
        size = static_cast<std::uint64_t>(st.st_size);
        ::close(fd);
    }
    if (!net_key_is_clean(api_key)) {
        result.error = std::string(kBadKey);
        return result;
    }
    const double mb = static_cast<double>(size) / 1048576.0;
    ai_job_set_step(clip_key, fmt::format("Subiendo el clip a Google ({:.0f} MB)", mb), 2);
    const NetConfig cfg = net_config();

    NetCall start;
    start.method = "POST";
    start.url = cfg.gemini_base + "/upload/v1beta/files";
    start.headers = {key_header(api_key), "X-Goog-Upload-Protocol: resumable", "X-Goog-Upload-Command: start",
                     fmt::format("X-Goog-Upload-Header-Content-Length: {}", size),
                     "X-Goog-Upload-Header-Content-Type: video/mp4", "Content-Type: application/json"};
    Json meta = Json::object();
    meta["file"] = Json::object({{"display_name", display_name(clip_path)}});
    start.body = meta.dump(-1, ' ', false, Json::error_handler_t::replace);
    start.timeouts = {15000, 15000, 60000, 60000};
    auto started = net_request(start);
    if (!started.ok()) {
        result.error = started.error;
        return result;
    }
    if (started.value->status != 200) {
        result.error = ai_error_message(started.value->status, started.value->body);
        return result;
    }
    const auto upload_url = net_reply_header(started.value->headers, "x-goog-upload-url");
    if (!upload_url || upload_url->empty()) {
        result.error = "Gemini no dio dónde subir el clip";
        return result;
    }

    const AiClock clock = ai_clock();
    const auto upload_start = clock.now();
    NetCall bytes;
    bytes.method = "POST";
    bytes.url = *upload_url;
    bytes.headers = {"X-Goog-Upload-Offset: 0", "X-Goog-Upload-Command: upload, finalize"};
    bytes.body_file = clip_path;
    bytes.timeouts = {15000, 15000, 300000, 300000};
    bytes.on_sent = [&](std::uint64_t sent) {
        const double secs = std::max(seconds_between(upload_start, clock.now()), 0.05);
        const std::uint64_t done = std::min(sent, size);
        const auto pct = static_cast<std::uint8_t>(2 + (done * 48) / std::max<std::uint64_t>(size, 1));
        ai_job_update(clip_key, [&](AiJob& job) {
            job.percent = pct;
            job.upload = AiUploadProgress{sent, size, (static_cast<double>(sent) * 8 / 1000000) / secs};
        });
    };
    auto sent = net_request(bytes);
    if (!sent.ok()) {
        result.error = sent.error;
        return result;
    }
    if (sent.value->status != 200) {
        result.error = ai_error_message(sent.value->status, sent.value->body);
        return result;
    }
    const Json reply = json_parse_untrusted(sent.value->body);
    if (reply.is_discarded()) {
        result.error = "respuesta rara al subir el clip";
        return result;
    }
    const Json* name = pointer(reply, "/file/name");
    const Json* uri = pointer(reply, "/file/uri");
    if (!name || !name->is_string() || !uri || !uri->is_string() || !net_name_is_clean(name->get<std::string>())) {
        result.error = "Gemini no devolvió el archivo";
        return result;
    }
    GeminiFile file{name->get<std::string>(), uri->get<std::string>()};
    const double secs = std::max(seconds_between(upload_start, clock.now()), 0.1);
    ai_job_log(clip_key, "ok",
               fmt::format("Clip subido: {:.1f} MB en {:.0f} s ({:.1f} Mbps) → {}", mb, secs, mb * 8.388608 / secs,
                           file.name));

    ai_job_set_step(clip_key, "Google está procesando el video", 52);
    const auto poll_start = clock.now();
    std::string previous;
    for (;;) {
        NetCall poll;
        poll.method = "GET";
        poll.url = cfg.gemini_base + "/v1beta/" + file.name;
        poll.headers = {key_header(api_key)};
        poll.timeouts = {15000, 15000, 30000, 30000};
        auto state_reply = net_request(poll);
        if (!state_reply.ok()) {
            result.error = state_reply.error;
            return result;
        }
        const Json v = parse_or_null(state_reply.value->body);
        const std::string state =
            v.is_object() && v.contains("state") && v["state"].is_string() ? v["state"].get<std::string>() : "?";
        if (state != previous) {
            const Json* dur = pointer(v, "/videoMetadata/videoDuration");
            ai_job_log(clip_key, "paso",
                       fmt::format("Archivo en Google: {}{}", state,
                                   dur && dur->is_string() ? ", duración " + dur->get<std::string>() : ""));
            previous = state;
        }
        if (state == "ACTIVE") {
            result.value = file;
            return result;
        }
        if (state == "FAILED") {
            result.error =
                "Gemini no pudo procesar el video (prueba con el codec h264 en Configuración → Grabación)";
            return result;
        }
        const double polled = seconds_between(poll_start, clock.now());
        if (polled > 300.0) {
            result.error = "Gemini tardó demasiado en procesar el video";
            return result;
        }
        const auto whole = static_cast<std::uint64_t>(polled);
        ai_job_update(clip_key, [&](AiJob& job) {
            job.percent = static_cast<std::uint8_t>(52 + std::min<std::uint64_t>(whole, 30) / 3);
        });
        clock.sleep(std::chrono::milliseconds(2000));
    }
}

void SseAccumulator::feed(std::string_view piece) {
    carry_.append(piece);
    const std::size_t tail = incomplete_tail(carry_);
    pending_ += utf8_lossy(std::string_view(carry_).substr(0, carry_.size() - tail));
    carry_.erase(0, carry_.size() - tail);
    std::size_t lf;
    while ((lf = pending_.find('\n')) != std::string::npos) {
        const std::string line = pending_.substr(0, lf + 1);
        pending_.erase(0, lf + 1);
        handle_line(line);
    }
}

void SseAccumulator::handle_line(std::string_view raw) {
    const std::string line = utf8_trim(raw);
    if (line.size() < 5 || line.compare(0, 5, "data:") != 0) return;
    const Json event = json_parse_untrusted(utf8_trim(std::string_view(line).substr(5)));
    if (event.is_discarded()) return;
    const Json* parts = pointer(event, "/candidates/0/content/parts");
    if (parts && parts->is_array()) {
        for (const Json& part : *parts) {
            if (!part.is_object()) continue;
            auto text = part.find("text");
            if (text == part.end() || !text->is_string()) continue;
            auto thought = part.find("thought");
            if (thought != part.end() && thought->is_boolean() && thought->get<bool>()) {
                std::string t = utf8_trim(text->get<std::string>());
                if (t.empty()) continue;
                ai_job_update(key_, [&](AiJob& job) {
                    job.thoughts.push_back(std::move(t));
                    if (job.thoughts.size() > kAiThoughtsMax) job.thoughts.erase(job.thoughts.begin());
                    job.percent = static_cast<std::uint8_t>(std::min(job.percent + 2, 92));
                });
            } else {
                answer_ += text->get<std::string>();
                const std::uint64_t len = answer_.size();
                ai_job_update(key_, [&](AiJob& job) {
                    job.answer_bytes = len;
                    job.percent = static_cast<std::uint8_t>(
                        std::max<std::uint64_t>(job.percent, 85 + std::min<std::uint64_t>(len / 400, 12)));
                });
            }
        }
    }
    if (event.is_object() && event.contains("usageMetadata")) {
        Json usage = event["usageMetadata"];
        ai_job_update(key_, [&](AiJob& job) { job.usage = std::move(usage); });
    }
}

NetResult<GeminiStreamResult> ai_stream_generate(const std::string& clip_key, std::string_view model,
                                                 std::string_view api_key_raw, const std::string& body) {
    NetResult<GeminiStreamResult> result;
    const std::string api_key = utf8_trim(api_key_raw);
    if (!net_key_is_clean(api_key)) {
        result.error = std::string(kBadKey);
        return result;
    }
    if (!net_name_is_clean(model)) {
        result.error = fmt::format("nombre de modelo no válido: {}", utf8_lossy(model));
        return result;
    }
    SseAccumulator sse(clip_key);
    std::string whole;
    NetCall call;
    call.method = "POST";
    call.url = fmt::format("{}/v1beta/models/{}:streamGenerateContent?alt=sse", net_config().gemini_base, model);
    call.headers = {key_header(api_key), "Content-Type: application/json"};
    call.body = body;
    call.timeouts = {15000, 15000, 300000, 300000};
    call.cap = kNetStreamBodyCap;
    call.on_data = [&](std::string_view piece) {
        whole.append(piece);
        sse.feed(piece);
        return true;
    };
    auto reply = net_request(call);
    if (!reply.ok()) {
        result.error = reply.error;
        return result;
    }
    const std::uint32_t status = reply.value->status;
    result.value = GeminiStreamResult{status, status == 200 ? sse.answer() : utf8_lossy(whole)};
    return result;
}

std::optional<std::string> ai_pick_generate_models(const Json& entries, std::size_t& pos) {
    while (entries.is_array() && pos < entries.size()) {
        const Json& e = entries[pos++];
        if (!e.is_object()) continue;
        auto methods = e.find("supportedGenerationMethods");
        if (methods == e.end() || !methods->is_array()) continue;
        const bool generates = std::any_of(methods->begin(), methods->end(), [](const Json& m) {
            return m.is_string() && m.get<std::string>() == "generateContent";
        });
        if (!generates) continue;
        auto name = e.find("name");
        if (name == e.end() || !name->is_string()) continue;
        std::string n = name->get<std::string>();
        while (n.rfind("models/", 0) == 0) n.erase(0, 7);
        if (n.find("gemini") == std::string::npos) continue;
        return n;
    }
    return std::nullopt;
}

NetResult<std::vector<std::string>> ai_list_models(std::string_view api_key_raw) {
    NetResult<std::vector<std::string>> result;
    const std::string api_key = utf8_trim(api_key_raw);
    if (api_key.empty()) {
        result.error = "escribe tu clave primero";
        return result;
    }
    if (!net_key_is_clean(api_key)) {
        result.error = std::string(kBadKey);
        return result;
    }
    NetCall call;
    call.method = "GET";
    call.url = net_config().gemini_base + "/v1beta/models?pageSize=200";
    call.headers = {key_header(api_key)};
    call.timeouts = {15000, 15000, 30000, 30000};
    auto reply = net_request(call);
    if (!reply.ok()) {
        result.error = reply.error;
        return result;
    }
    if (reply.value->status != 200) {
        result.error = ai_error_message(reply.value->status, reply.value->body);
        return result;
    }
    const Json v = parse_or_null(reply.value->body);
    std::vector<std::string> names;
    if (v.is_object() && v.contains("models") && v["models"].is_array()) {
        std::size_t pos = 0;
        while (auto n = ai_pick_generate_models(v["models"], pos)) names.push_back(std::move(*n));
    }
    result.value = std::move(names);
    return result;
}

std::string ai_error_message(std::uint32_t status, std::string_view body) {
    const Json v = parse_or_null(body);
    const Json* m = pointer(v, "/error/message");
    const std::string message = m && m->is_string() ? m->get<std::string>() : std::string();
    if (status == 400 && utf8_lower(message).find("api key") != std::string::npos) return std::string(kBadKey);
    if (status == 401 || status == 403)
        return "la clave de Gemini no es válida o no tiene permiso (Configuración → IA)";
    if (status == 429) return "se acabó el límite gratis de Gemini por ahora (espera un minuto o intenta mañana)";
    if (status == 500 || status == 502 || status == 503 || status == 504)
        return "Gemini está saturado en este momento (pasa con la versión gratis); intenta en unos minutos";
    // The first 300 characters, never splitting one.
    const std::string clean = utf8_lossy(message);
    std::size_t i = 0, count = 0;
    while (i < clean.size() && count < 300) {
        char32_t cp;
        const std::size_t len = utf8_decode(clean, i, cp);
        if (len == 0) break;
        i += len;
        ++count;
    }
    return fmt::format("Gemini respondió {}: {}", status, clean.substr(0, i));
}

bool ai_delete_file(std::string_view file_name, std::string_view api_key_raw) {
    const std::string api_key = utf8_trim(api_key_raw);
    if (!net_key_is_clean(api_key) || !net_name_is_clean(file_name)) return false;
    NetCall call;
    call.method = "DELETE";
    call.url = fmt::format("{}/v1beta/{}", net_config().gemini_base, file_name);
    call.headers = {key_header(api_key)};
    call.timeouts = {15000, 15000, 20000, 20000};
    call.on_data = [](std::string_view) { return true; };
    auto reply = net_request(call);
    return reply.ok() && reply.value->status == 200;
}

}  // namespace corvane
