#include "web/event_delete.h"

#include <sys/stat.h>

#include <mutex>
#include <unordered_map>

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

namespace {

// The history's lines while deletions are made on them under HistoryLock.
// Lines are only marked as removed, and event lines are found through a list
// of their positions, so a selection of many events costs one read, one pass
// and one rewrite instead of one of each per event.
class HistoryEdit {
  public:
    explicit HistoryEdit(std::vector<std::string> lines) : lines_(std::move(lines)), removed_(lines_.size(), 0) {
        for (std::size_t i = 0; i < lines_.size(); ++i)
            if (history_is_event_line(lines_[i])) events_.push_back(i);
    }

    EventDeletionOutcome delete_event(const fs::path& clips_folder, std::uint64_t index, const Json& expected) {
        if (index >= events_.size()) return {std::nullopt, "ese evento ya no existe (vuelve a abrir los Clips)"};
        const std::size_t at = events_[static_cast<std::size_t>(index)];

        const Json event = parse_line(lines_[at]);
        for (const char* key : {"fecha", "hora", "tipo"})
            if (!same_member(event, expected, key))
                return {std::nullopt, "las estadísticas cambiaron: vuelve a abrir los Clips"};
        const Json* tipo = member(event, "tipo");
        if (!tipo || !history_is_deletable_type(*tipo))
            return {std::nullopt, "solo se pueden borrar bajas, derribos y muertes"};

        EventDeletionResult result;
        const Json* clip_member = member(event, "clip");
        // A name that would point outside the clips folder is treated like no clip.
        const std::optional<std::string> clip_name =
            clip_member && clip_member->is_string()
                ? ui_sanitize_rel_path(clip_member->get_ref<const std::string&>())
                : std::nullopt;
        // So is one whose folder lies elsewhere through a link.
        const std::optional<fs::path> clip =
            clip_name ? ui_clip_location(clips_folder, *clip_name) : std::nullopt;
        if (clip && *clip_name == clip_member->get_ref<const std::string&>()) {
            const std::string& name = *clip_name;
            if (shared_after_removing(name, at)) {
                drop_sidecar_entry(*clip, event);
            } else {
                struct stat st {};
                if (::lstat(clip->c_str(), &st) == 0) {
                    if (auto err = clips_delete_files(*clip)) return {std::nullopt, *err};
                }
                result.clip_deleted = true;
                clear_clip(name, at);
            }
        }
        remove(at, static_cast<std::size_t>(index));
        return {result, {}};
    }

    std::vector<std::string> remaining() && {
        std::vector<std::string> out;
        out.reserve(lines_.size());
        for (std::size_t i = 0; i < lines_.size(); ++i)
            if (!removed_[i]) out.push_back(std::move(lines_[i]));
        return out;
    }

  private:
    // Every event line that parses to an object with a "clip" text, by that
    // text; built on first need, with one parse per line.
    void index_clips() {
        if (indexed_) return;
        indexed_ = true;
        deletable_.assign(lines_.size(), 0);
        for (const std::size_t i : events_) {
            const Json v = parse_line(lines_[i]);
            const Json* clip = member(v, "clip");
            if (!clip || !clip->is_string()) continue;
            const Json* t = member(v, "tipo");
            deletable_[i] = t && history_is_deletable_type(*t);
            by_clip_[clip->get_ref<const std::string&>()].push_back(i);
        }
    }

    // Whether another kill, knock-down or death still names the clip.
    bool shared_after_removing(const std::string& name, std::size_t at) {
        index_clips();
        auto it = by_clip_.find(name);
        if (it == by_clip_.end()) return false;
        for (const std::size_t i : it->second)
            if (i != at && !removed_[i] && deletable_[i]) return true;
        return false;
    }

    // The remaining events that pointed to a deleted clip lose it.
    void clear_clip(const std::string& name, std::size_t at) {
        index_clips();
        auto it = by_clip_.find(name);
        if (it == by_clip_.end()) return;
        for (const std::size_t i : it->second) {
            if (i == at || removed_[i]) continue;
            Json other = parse_line(lines_[i]);
            if (!other.is_object() || !clip_is(other, name)) continue;
            events_clear_clip_field(other);
            lines_[i] = ui_json_text(other);
        }
        // None of them names the clip any more.
        by_clip_.erase(it);
    }

    void remove(std::size_t at, std::size_t index) {
        removed_[at] = 1;
        events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(index));
    }

    std::vector<std::string> lines_;
    std::vector<char> removed_;
    std::vector<std::size_t> events_;
    bool indexed_ = false;
    std::vector<char> deletable_;
    std::unordered_map<std::string, std::vector<std::size_t>> by_clip_;
};

}  // namespace

std::vector<EventDeletionOutcome> clips_delete_events(const fs::path& clips_folder, const fs::path& history_path,
                                                      const std::vector<std::pair<std::uint64_t, Json>>& events) {
    std::vector<EventDeletionOutcome> outcomes;
    std::lock_guard lock(HistoryLock);
    HistoryRead history = history_read_jsonl(history_path);
    if (history.error) {
        outcomes.assign(events.size(), EventDeletionOutcome{std::nullopt, *history.error});
        return outcomes;
    }
    HistoryEdit edit(std::move(history.lines));
    bool changed = false;
    for (const auto& [index, expected] : events) {
        outcomes.push_back(edit.delete_event(clips_folder, index, expected));
        changed = changed || outcomes.back().result.has_value();
    }
    if (!changed) return outcomes;
    if (auto err = jsonl_write_atomic(history_path, std::move(edit).remaining())) {
        for (auto& out : outcomes)
            if (out.result) out = {std::nullopt, *err};
        return outcomes;
    }
    HistoryChangedFlag.store(true);
    return outcomes;
}

EventDeletionOutcome clips_delete_event(const fs::path& clips_folder, const fs::path& history_path,
                                        std::uint64_t index, const Json& expected) {
    return std::move(clips_delete_events(clips_folder, history_path, {{index, expected}}).front());
}

}  // namespace corvane
