#include "web/event_delete.h"

#include <sys/stat.h>

#include <mutex>

#include "base/json.h"
#include "base/text.h"
#include "clips/history.h"
#include "clips/library.h"
#include "web/http.h"
#include "web/media.h"

namespace corvane {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

Json parse_line(std::string_view line) {
    Json v = json_parse_untrusted(utf8_trim(line));
    if (v.is_discarded()) return nullptr;
    return v;
}

const Json* member(const Json& v, const char* key) {
    if (!v.is_object()) return nullptr;
    auto it = v.find(key);
    return it == v.end() ? nullptr : &*it;
}

bool same_member(const Json& a, const Json& b, const char* key) {
    const Json* x = member(a, key);
    const Json* y = member(b, key);
    if (!x && !y) return true;
    return x && y && *x == *y;
}

bool clip_is(const Json& event, const std::string& name) {
    const Json* clip = member(event, "clip");
    return clip && clip->is_string() && clip->get_ref<const std::string&>() == name;
}

// Takes the deleted event's entry out of a clip that other events still use.
void drop_sidecar_entry(const fs::path& clip, const Json& event) {
    const fs::path sidecar = clips_sidecar_path(clip);
    std::lock_guard lock(clips_sidecar_mutex());
    JsonRead read = json_read_object(sidecar);
    if (!read.value || !read.value->is_object()) return;
    Json& doc = *read.value;
    auto it = doc.find("eventos");
    if (it == doc.end() || !it->is_array() || it->empty()) return;
    Json& list = *it;

    const std::string type = member(event, "tipo")->get<std::string>();
    const std::string wanted = type == "muerte" ? "killcam" : type;
    const Json* enemy = member(event, "enemigo");
    const bool by_enemy = enemy && enemy->is_string();

    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Json* t = member(list[i], "tipo");
        if (!t || !t->is_string() || t->get_ref<const std::string&>() != wanted) continue;
        if (by_enemy) {
            const Json* e = member(list[i], "enemigo");
            if (!e || !e->is_string() || *e != *enemy) continue;
        }
        found = i;
        break;
    }
    if (!found) return;
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(*found));
    if (wanted == "killcam") {
        // The end mark of this killcam follows it; an earlier one belongs to
        // another death of the same clip.
        if (auto end = clips_find_killcam_end(list, *found))
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(*end));
    }
    std::string error;
    (void)file_write_atomic(sidecar, doc.dump(2, ' ', false, Json::error_handler_t::replace), &error);
}

}  // namespace

bool history_line_may_name(std::string_view line, std::string_view name) {
    // Without escapes a string value appears in the line as it is; a line
    // with any escape is parsed to be sure.
    return history_is_event_line(line) &&
           (line.find('\\') != std::string_view::npos || line.find(name) != std::string_view::npos);
}

bool history_is_event_line(std::string_view line) {
    // Cheap test first: most lines are the engine's own, without padding.
    if (!line.empty() && line.front() == '{' && line.back() == '}') return true;
    const std::string t = utf8_trim(line);
    return !t.empty() && t.front() == '{' && t.back() == '}';
}

bool history_is_deletable_type(const Json& tipo) {
    if (!tipo.is_string()) return false;
    const auto& t = tipo.get_ref<const std::string&>();
    return t == "baja" || t == "derribo" || t == "muerte";
}

std::optional<Json> json_get_eventos(const Json& value) {
    if (const Json* e = member(value, "eventos")) return *e;
    return std::nullopt;
}

std::optional<std::size_t> clips_find_killcam_end(const Json& list, std::size_t from) {
    if (!list.is_array()) return std::nullopt;
    for (std::size_t i = from; i < list.size(); ++i) {
        const Json* t = member(list[i], "tipo");
        if (t && t->is_string() && t->get_ref<const std::string&>() == "fin_killcam") return i;
    }
    return std::nullopt;
}

EventDeletionOutcome clips_delete_event(const fs::path& clips_folder, const fs::path& history_path,
                                        std::uint64_t index, const Json& expected) {
    std::lock_guard lock(HistoryLock);
    HistoryRead history = history_read_jsonl(history_path);
    if (history.error) return {std::nullopt, *history.error};
    std::vector<std::string>& lines = history.lines;

    std::size_t at = lines.size();
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!history_is_event_line(lines[i])) continue;
        if (seen++ == index) {
            at = i;
            break;
        }
    }
    if (at == lines.size()) return {std::nullopt, "ese evento ya no existe (vuelve a abrir los Clips)"};

    const Json event = parse_line(lines[at]);
    for (const char* key : {"fecha", "hora", "tipo"})
        if (!same_member(event, expected, key))
            return {std::nullopt, "las estadísticas cambiaron: vuelve a abrir los Clips"};
    const Json* tipo = member(event, "tipo");
    if (!tipo || !history_is_deletable_type(*tipo))
        return {std::nullopt, "solo se pueden borrar bajas, derribos y muertes"};

    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
    EventDeletionResult result;

    const Json* clip_member = member(event, "clip");
    // A name that would point outside the clips folder is treated like no clip.
    const std::optional<std::string> clip_name =
        clip_member && clip_member->is_string() ? ui_sanitize_rel_path(clip_member->get_ref<const std::string&>())
                                                : std::nullopt;
    if (clip_name && *clip_name == clip_member->get_ref<const std::string&>()) {
        const std::string& name = *clip_name;
        const fs::path clip = clips_folder / name;
        bool shared = false;
        for (const std::string& line : lines) {
            if (!history_line_may_name(line, name)) continue;
            const Json other = parse_line(line);
            const Json* t = member(other, "tipo");
            if (t && history_is_deletable_type(*t) && clip_is(other, name)) {
                shared = true;
                break;
            }
        }
        if (shared) {
            drop_sidecar_entry(clip, event);
        } else {
            struct stat st {};
            if (::stat(clip.c_str(), &st) == 0) {
                if (auto err = clips_delete_files(clip)) return {std::nullopt, *err};
            }
            result.clip_deleted = true;
            for (std::string& line : lines) {
                if (!history_line_may_name(line, name)) continue;
                Json other = parse_line(line);
                if (!other.is_object() || !clip_is(other, name)) continue;
                events_clear_clip_field(other);
                line = ui_json_text(other);
            }
        }
    }

    if (auto err = jsonl_write_atomic(history_path, lines)) return {std::nullopt, *err};
    HistoryChangedFlag.store(true);
    return {result, {}};
}

}  // namespace corvane
