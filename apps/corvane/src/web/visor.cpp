#include "web/visor.h"

#include <sys/stat.h>

#include <algorithm>
#include <mutex>

#include <fmt/format.h>

#include "base/json.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/text.h"
#include "clips/history.h"
#include "clips/library.h"
#include "web/event_delete.h"
#include "web/http.h"
#include "web/media.h"
#include "web/templates.h"

namespace corvane {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

constexpr std::size_t kMaxSelection = 1000;

struct Context {
    fs::path folder;
    fs::path history;
    std::uint64_t limit_gb = 0;
    std::string_view query;
    std::string field(const char* name) const { return ui_query_param(query, name).value_or(""); }
};

Json visor_failure(std::string message) {
    Json o = Json::object();
    o["ok"] = false;
    o["error"] = std::move(message);
    return o;
}

Json success(Json o) {
    o["ok"] = true;
    return o;
}

bool archive_flag(const Context& c) { return c.field("v") != "0"; }

Json act_disk(const Context& c) { return success(clips_disk_usage_json(c.folder, c.limit_gb)); }

Json act_archive(const Context& c) {
    const std::string name = c.field("clip");
    auto clip = ui_resolve_clip_in(c.folder, name);
    if (!clip) return visor_failure("el clip ya no existe");
    const bool flag = archive_flag(c);
    if (auto err = clips_set_archived(*clip, flag)) return visor_failure(*err);
    log_line(fmt::format("[VISOR] Clip {}: {}", flag ? "archivado" : "desarchivado", name));
    Json o = Json::object();
    o["archivado"] = flag;
    return success(std::move(o));
}

Json act_archive_many(const Context& c) {
    const bool flag = archive_flag(c);
    std::vector<std::string> names;
    const Json selection = json_parse_untrusted(c.field("clips"));
    if (selection.is_array() &&
        std::all_of(selection.begin(), selection.end(), [](const Json& v) { return v.is_string(); }))
        for (const Json& v : selection) names.push_back(v.get<std::string>());
    if (names.size() > kMaxSelection) names.resize(kMaxSelection);
    std::uint64_t changed = 0;
    for (const std::string& name : names) {
        auto clip = ui_resolve_clip_in(c.folder, name);
        if (clip && !clips_set_archived(*clip, flag)) ++changed;
    }
    log_line(fmt::format("[VISOR] {} clip(s) {}", changed, flag ? "archivado(s)" : "desarchivado(s)"));
    if (changed == 0) return visor_failure("no se pudo archivar (¿se borraron los clips?)");
    Json o = Json::object();
    o["clips"] = changed;
    o["archivado"] = flag;
    return success(std::move(o));
}

Json act_delete_clip(const Context& c) {
    auto clean = ui_sanitize_rel_path(c.field("clip"));
    if (!clean) return visor_failure("clip no válido");
    const std::string& name = *clean;
    std::vector<std::string> kept;
    std::size_t read = 0;
    {
        std::lock_guard lock(HistoryLock);
        // The history is read before the clip goes: one that cannot be read
        // is left alone rather than written back from nothing.
        HistoryRead history = history_read_jsonl(c.history);
        if (history.error) return visor_failure(*history.error);
        const auto clip = ui_clip_location(c.folder, name);
        if (!clip) return visor_failure("clip no válido");
        struct stat st {};
        if (::lstat(clip->c_str(), &st) == 0) {
            if (auto err = clips_delete_files(*clip)) return visor_failure(*err);
        }
        read = history.lines.size();
        kept.reserve(read);
        for (std::string& line : history.lines) {
            if (!history_line_may_name(line, name)) {
                kept.push_back(std::move(line));
                continue;
            }
            Json v = json_parse_untrusted(utf8_trim(line));
            auto it = v.is_object() ? v.find("clip") : v.end();
            if (it == v.end() || !it->is_string() || it->get_ref<const std::string&>() != name) {
                kept.push_back(std::move(line));
                continue;
            }
            auto tipo = v.find("tipo");
            if (tipo != v.end() && history_is_deletable_type(*tipo)) continue;
            events_clear_clip_field(v);
            kept.push_back(ui_json_text(v));
        }
        if (auto err = jsonl_write_atomic(c.history, kept)) return visor_failure(*err);
        HistoryChangedFlag.store(true);
    }
    const std::size_t removed = read - kept.size();
    log_line(fmt::format("[VISOR] Clip borrado: {} ({} evento(s))", name, removed));
    Json o = Json::object();
    o["eventos"] = removed;
    o["clip_borrado"] = true;
    return success(std::move(o));
}

Json act_delete_event(const Context& c) {
    Json expected = Json::object();
    expected["fecha"] = c.field("fecha");
    expected["hora"] = c.field("hora");
    expected["tipo"] = c.field("tipo");
    auto index = parse_decimal(c.field("i"));
    if (!index) return visor_failure("evento no válido");
    EventDeletionOutcome out = clips_delete_event(c.folder, c.history, *index, expected);
    if (!out.result) return visor_failure(out.error);
    log_line(fmt::format("[VISOR] Evento borrado ({} {}){}", c.field("tipo"), c.field("hora"),
                         out.result->clip_deleted ? " y su clip" : ""));
    Json o = Json::object();
    o["eventos"] = out.result->events_removed;
    o["clip_borrado"] = out.result->clip_deleted;
    return success(std::move(o));
}

Json act_delete_events(const Context& c) {
    auto pairs = ui_events_to_json(json_parse_untrusted(c.field("ev")));
    if (pairs.empty()) return visor_failure("no hay eventos seleccionados");
    // Largest index first, so each deletion leaves the smaller ones in place.
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    pairs.erase(std::unique(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
                pairs.end());
    std::uint64_t deleted = 0, clips = 0;
    Json errors = Json::array();
    for (const EventDeletionOutcome& out : clips_delete_events(c.folder, c.history, pairs)) {
        if (out.result) {
            deleted += out.result->events_removed;
            if (out.result->clip_deleted) ++clips;
        } else {
            errors.push_back(out.error);
        }
    }
    log_line(fmt::format("[VISOR] {} evento(s) borrado(s) y {} clip(s)", deleted, clips));
    if (deleted == 0) return visor_failure(errors.empty() ? "no se pudo" : errors[0].get<std::string>());
    Json o = Json::object();
    o["eventos"] = deleted;
    o["clips"] = clips;
    o["errores"] = std::move(errors);
    return success(std::move(o));
}

}  // namespace

std::vector<std::pair<std::uint64_t, Json>> ui_events_to_json(const Json& selection) {
    std::vector<std::pair<std::uint64_t, Json>> out;
    if (!selection.is_array()) return out;
    for (const Json& e : selection) {
        if (out.size() == kMaxSelection) break;
        if (!e.is_array() || e.size() < 4) continue;
        const Json& i = e[0];
        if (!i.is_number_unsigned() && !(i.is_number_integer() && i.get<std::int64_t>() >= 0)) continue;
        Json expected = Json::object();
        expected["fecha"] = e[1];
        expected["hora"] = e[2];
        expected["tipo"] = e[3];
        out.emplace_back(i.get<std::uint64_t>(), std::move(expected));
    }
    return out;
}

Json visor_action(std::string_view action, std::string_view query) {
    const Settings settings = config_load();
    Context c;
    c.folder = settings.general.carpeta_clips;
    c.history = c.folder / "estadisticas.jsonl";
    c.limit_gb = settings.clips.limite_disco_gb;
    c.query = query;
    if (action == "disco") return act_disk(c);
    if (action == "archivar") return act_archive(c);
    if (action == "archivar_varios") return act_archive_many(c);
    if (action == "borrar_clip") return act_delete_clip(c);
    if (action == "borrar_evento") return act_delete_event(c);
    if (action == "borrar_eventos") return act_delete_events(c);
    return visor_failure("acción desconocida");
}

std::string visor_script(const Json& result) {
    return "window.__crvnVisor && window.__crvnVisor(" + ui_json_for_script(result) + ");";
}

std::optional<UiDeferredAction> ui_route_visor(const UiExchange& ex) {
    const std::string action = ui_query_param(ex.request.query, "a").value_or("");
    ui_send_response(ex.socket, "200 OK", "application/javascript; charset=utf-8",
                     visor_script(visor_action(action, ex.request.query)));
    return std::nullopt;
}

}  // namespace corvane
