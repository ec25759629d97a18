#include "web/clips_page.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "base/clock.h"
#include "base/json.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/ui_state.h"
#include "base/version.h"
#include "clips/history.h"
#include "clips/library.h"
#include "web/event_delete.h"
#include "web/http.h"
#include "web/media.h"
#include "web/server.h"
#include "web/status.h"
#include "web/templates.h"

namespace corvane {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// The history's lines; none when it cannot be read or is not UTF-8.
std::vector<std::string> read_history(const fs::path& path) {
    std::lock_guard lock(HistoryLock);
    HistoryRead r = history_read_jsonl(path);
    return std::move(r.lines);
}

// Calls f(line) for each line, split as the history reader splits.
template <class F>
void for_each_line(std::string_view text, F&& f) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        const bool last = nl == std::string_view::npos;
        if (last) nl = text.size();
        std::size_t end = nl;
        if (!last && end > start && text[end - 1] == '\r') --end;
        f(text.substr(start, end - start));
        start = nl + 1;
    }
}

// Checks one history line without building it and keeps its top-level
// "clip" text (the last one, as a parsed object would hold it).
struct ClipFinder : nlohmann::json_sax<Json> {
    int depth = 0;
    bool clip_key = false;
    std::optional<std::string> clip;

    bool value() {
        clip_key = false;
        return true;
    }
    bool null() override {
        if (clip_key) clip.reset();
        return value();
    }
    bool boolean(bool) override { return null(); }
    bool number_integer(number_integer_t) override { return null(); }
    bool number_unsigned(number_unsigned_t) override { return null(); }
    bool number_float(number_float_t, const string_t&) override { return null(); }
    bool binary(binary_t&) override { return null(); }
    bool string(string_t& s) override {
        if (clip_key) clip = std::move(s);
        return value();
    }
    bool start_object(std::size_t) override {
        if (clip_key) clip.reset();
        clip_key = false;
        ++depth;
        return true;
    }
    bool key(string_t& k) override {
        clip_key = depth == 1 && k == "clip";
        return true;
    }
    bool end_object() override {
        --depth;
        return true;
    }
    bool start_array(std::size_t n) override { return start_object(n); }
    bool end_array() override { return end_object(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
};

bool is_day_folder(std::string_view name) {
    if (name.size() != 10) return false;
    for (std::size_t i = 0; i < 10; ++i) {
        const char c = name[i];
        if (i == 4 || i == 7) {
            if (c != '-') return false;
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::string time_from_name(std::string_view file) {
    // "CRVN_" + "YYYY-MM-DD" + "_" = 16 bytes, then "HH-MM-SS".
    if (file.size() < 24) return "00:00:00";
    std::string t(file.substr(16, 8));
    for (std::size_t i = 0; i < 8; ++i) {
        const bool dash = i == 2 || i == 5;
        if (dash ? t[i] != '-' : (t[i] < '0' || t[i] > '9')) return "00:00:00";
        if (dash) t[i] = ':';
    }
    return t;
}

// A folder's clip entries, kept while the folder itself is unchanged. Clips,
// voice tracks, analyses and sidecars are only ever added, replaced (written
// aside and renamed) or deleted, and each of those changes the folder's time
// stamps; entries reached through a link are never kept, since their target
// can change without the folder changing.
struct CachedFolder {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{};
    timespec ctime{};
    std::unordered_map<std::string, std::optional<Json>> entries;
};

struct ClipEntryCache {
    std::mutex mutex;
    std::string root;
    std::unordered_map<std::string, CachedFolder> folders;
};

ClipEntryCache& entry_cache() {
    static ClipEntryCache* c = new ClipEntryCache;  // leaked: connection threads may run at exit
    return *c;
}

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The clips of one folder are looked up relative to the open folder, so the
// whole path is walked once per folder rather than four times per clip.
// The caller holds the entry cache's mutex while the cursor lives.
class FolderCursor {
  public:
    FolderCursor(fs::path root, ClipEntryCache& cache) : root_(std::move(root)), cache_(cache) {
        if (cache_.root != root_.string()) {
            cache_.folders.clear();
            cache_.root = root_.string();
        }
    }
    ~FolderCursor() {
        close_dir();
        // Folders no clip named any more are forgotten.
        std::erase_if(cache_.folders, [&](const auto& f) { return !visited_.contains(f.first); });
    }
    FolderCursor(const FolderCursor&) = delete;
    FolderCursor& operator=(const FolderCursor&) = delete;

    // Moves to the folder of `name` ("a/b/c.mp4" -> "a/b"); false when it cannot be opened.
    bool enter(std::string_view folder) {
        if (dir_ >= 0 && folder == folder_) return true;
        close_dir();
        folder_ = folder;
        current_ = nullptr;
        const fs::path path = folder.empty() ? root_ : root_ / std::string(folder);
        dir_ = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_ < 0) return false;
        struct stat st {};
        if (::fstat(dir_, &st) != 0) return true;
        visited_.insert(folder_);
        CachedFolder& f = cache_.folders[folder_];
        if (f.dev != st.st_dev || f.ino != st.st_ino || !same_time(f.mtime, st.st_mtim) ||
            !same_time(f.ctime, st.st_ctim)) {
            f = CachedFolder{st.st_dev, st.st_ino, st.st_mtim, st.st_ctim, {}};
        }
        // A time stamp this close to now may still be shared by a change
        // that comes right after it (the file system's clock is coarse).
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        if (st.st_mtim.tv_sec < now.tv_sec - 2 && st.st_ctim.tv_sec < now.tv_sec - 2) current_ = &f;
        return true;
    }
    const std::optional<Json>* cached(const std::string& file) const {
        if (!current_) return nullptr;
        auto it = current_->entries.find(file);
        return it == current_->entries.end() ? nullptr : &it->second;
    }
    void keep(const std::string& file, const std::optional<Json>& entry) {
        if (current_) current_->entries[file] = entry;
    }
    // Metadata of a file of the folder, links followed; `link` is set when
    // the name is a link.
    bool stat(const std::string& file, struct stat* st, bool& link) const {
        if (::fstatat(dir_, file.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (!S_ISLNK(st->st_mode)) return true;
        link = true;
        return ::fstatat(dir_, file.c_str(), st, 0) == 0;
    }
    // A JSON document of the folder; null when unreadable, not UTF-8 or not JSON.
    Json read_json(const std::string& file, bool& link) const {
        int fd = ::openat(dir_, file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ELOOP) {
            link = true;
            fd = ::openat(dir_, file.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (fd < 0) return nullptr;
        std::string data;
        char buf[16384];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ::close(fd);
                return nullptr;
            }
            if (n == 0) break;
            data.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
        if (!utf8_valid(data)) return nullptr;
        Json v = json_parse_untrusted(data);
        return v.is_discarded() ? Json(nullptr) : v;
    }

  private:
    void close_dir() {
        if (dir_ >= 0) ::close(dir_);
        dir_ = -1;
    }
    fs::path root_;
    ClipEntryCache& cache_;
    std::string folder_;
    int dir_ = -1;
    CachedFolder* current_ = nullptr;
    std::unordered_set<std::string> visited_;
};

std::optional<Json> look_up_entry(FolderCursor& cursor, std::string_view folder,
                                  const std::string& file, bool& link) {
    const std::string base = file.substr(0, file.size() - 4);  // without ".mp4"
    struct stat st {};
    if (!cursor.stat(file, &st, link)) return std::nullopt;

    const Json sidecar = cursor.read_json(base + ".json", link);
    auto copy = [&](const char* key) -> Json {
        if (sidecar.is_object()) {
            auto it = sidecar.find(key);
            if (it != sidecar.end()) return *it;
        }
        return nullptr;
    };
    const std::string_view parent =
        folder.substr(folder.rfind('/') == std::string_view::npos ? 0 : folder.rfind('/') + 1);
    struct stat other {};
    Json o = Json::object();
    o["eventos"] = copy("eventos");
    o["duracion"] = copy("duracion");
    const Json archived = copy("archivado");
    o["archivado"] = archived.is_boolean() && archived.get<bool>();
    o["auto"] = parent == "Muertes" || parent == "Bajas";
    o["bytes"] = static_cast<std::uint64_t>(st.st_size);
    o["analisis"] = cursor.stat(base + ".analisis.json", &other, link);
    o["mic"] = cursor.stat(base + "_mic.m4a", &other, link);
    return o;
}

// The CLIPS member of a clip named `name` (which ends in ".mp4"), or none
// when the clip cannot be found.
std::optional<Json> clip_entry(FolderCursor& cursor, const std::string& name) {
    const std::size_t slash = name.rfind('/');
    const std::string_view folder =
        slash == std::string::npos ? std::string_view{} : std::string_view(name).substr(0, slash);
    const std::string file = name.substr(slash == std::string::npos ? 0 : slash + 1);
    if (!cursor.enter(folder)) return std::nullopt;
    if (const std::optional<Json>* hit = cursor.cached(file)) return *hit;
    bool link = false;
    std::optional<Json> entry = look_up_entry(cursor, folder, file, link);
    if (!link) cursor.keep(file, entry);
    return entry;
}

}  // namespace

std::vector<ManualClipEntry> clips_manual_entries(const fs::path& clips_folder) {
    std::vector<ManualClipEntry> out;
    std::error_code ec;
    fs::directory_iterator days(clips_folder, ec), done;
    for (; !ec && days != done; days.increment(ec)) {
        const std::string day = utf8_lossy(days->path().filename().string());
        if (!is_day_folder(day)) continue;
        std::error_code ec2;
        fs::directory_iterator files(days->path() / "Manual", ec2);
        for (; !ec2 && files != done; files.increment(ec2)) {
            const std::string file = files->path().filename().string();
            if (file.size() < 4 || ascii_lower(file.substr(file.size() - 4)) != ".mp4") continue;
            out.push_back({day + "/Manual/" + file, day, time_from_name(file)});
        }
    }
    return out;
}

std::vector<std::string> clips_collect_entries(std::string_view history_text) {
    std::vector<std::string> out;
    for_each_line(history_text, [&](std::string_view line) {
        Json v = json_parse_untrusted(utf8_trim(line));
        if (!v.is_object()) return;
        auto it = v.find("clip");
        if (it != v.end() && it->is_string()) out.push_back(it->get<std::string>());
    });
    return out;
}

std::vector<std::pair<std::string, std::string>> clips_page_fills(const fs::path& clips_folder,
                                                                  const fs::path& history_path,
                                                                  std::string_view viewer_key) {
    const std::vector<std::string> history = read_history(history_path);

    // DATA: event lines as they stand, in file order; the clip names they use.
    std::string data = "[";
    std::vector<std::string> names;
    bool first = true;
    for (const std::string& raw : history) {
        if (!history_is_event_line(raw)) continue;
        const std::string line = utf8_trim(raw);
        if (!first) data += ',';
        first = false;
        // A torn or hand-edited line would break the page's whole script.
        ClipFinder finder;
        if (!Json::sax_parse(line, &finder)) {
            data += "null";
            continue;
        }
        data += line;
        if (finder.clip) names.push_back(std::move(*finder.clip));
    }
    const std::vector<ManualClipEntry> manual = clips_manual_entries(clips_folder);
    for (const ManualClipEntry& m : manual) {
        Json e = Json::object();
        e["fecha"] = m.date;
        e["hora"] = m.time;
        e["tipo"] = "manual";
        e["clip"] = m.key;
        if (!first) data += ',';
        first = false;
        data += ui_json_text(e);
        names.push_back(m.key);
    }
    data += ']';

    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    // Written member by member: the names are sorted and unique already.
    std::string clips = "{";
    {
        ClipEntryCache& cache = entry_cache();
        std::lock_guard cache_lock(cache.mutex);
        FolderCursor cursor(clips_folder, cache);
        for (const std::string& name : names) {
            // Only names that stay inside the clips folder are looked at.
            if (!ui_sanitize_rel_path(name) || name.find('\\') != std::string::npos) continue;
            const std::optional<Json> entry = clip_entry(cursor, name);
            if (!entry) continue;
            if (clips.size() > 1) clips += ',';
            clips += ui_json_text(Json(name));
            clips += ':';
            clips += ui_json_text(*entry);
        }
    }
    clips += '}';

    const Settings settings = config_load();
    const Json disk = ui_disk_use_cached(clips_folder, settings.clips.limite_disco_gb);

    const LocalDateTime now = clock_local_date_time();
    std::string time = now.time;
    std::replace(time.begin(), time.end(), '-', ':');

    auto hooks = ui_hooks();
    const std::uint64_t saved = hooks->clips_saved ? hooks->clips_saved() : 0;

    std::string api = "null";
    if (const UiSession* s = ui_session()) {
        Json o = Json::object();
        o["base"] = "http://127.0.0.1:" + std::to_string(s->port);
        o["t"] = s->token;
        api = ui_json_text(o);
    }

    // Built by moving: the data and clips texts run to megabytes, and a
    // braced list would copy each of them once more.
    std::vector<std::pair<std::string, std::string>> fills;
    fills.reserve(8);
    fills.emplace_back("/*__DATA__*/[]", ui_script_escape(data));
    fills.emplace_back("/*__CLIPS__*/{}", ui_script_escape(clips));
    fills.emplace_back("/*__DISCO__*/null", ui_json_text(disk));
    fills.emplace_back("__VERSION__", std::string(kVersionText));
    fills.emplace_back("__GENERATED__", now.date + " " + time);
    fills.emplace_back("__VIEWER_KEY__", std::string(viewer_key));
    fills.emplace_back("__GENSTAMP__", std::to_string(saved));
    fills.emplace_back("/*__API__*/null", std::move(api));
    return fills;
}

std::string clips_render_page_from(std::string_view page_template, const fs::path& clips_folder,
                                   const fs::path& history_path, std::string_view viewer_key,
                                   const UiTemplateFills& common) {
    const auto fills = clips_page_fills(clips_folder, history_path, viewer_key);
    UiTemplateFills view;
    for (const auto& [k, v] : fills) view.emplace_back(k, v);
    view.insert(view.end(), common.begin(), common.end());
    return ui_fill_template(page_template, view);
}

std::string clips_render_page(const fs::path& clips_folder, const fs::path& history_path,
                              std::string_view viewer_key) {
    return clips_render_page_from(ui_page_template(kClipsPageAsset), clips_folder, history_path,
                                  viewer_key);
}

std::optional<UiDeferredAction> ui_route_clips_page(const UiExchange& ex) {
    const std::string_view tpl = ui_page_template(kClipsPageAsset);
    if (tpl.empty()) {
        ui_send_response(ex.socket, "404 Not Found", "text/plain", "?");
        return std::nullopt;
    }
    const Settings settings = config_load();
    const fs::path folder = settings.general.carpeta_clips;
    ui_send_response(ex.socket, "200 OK", "text/html; charset=utf-8",
                     clips_render_page_from(
                         tpl, folder, folder / "estadisticas.jsonl", settings.visor.tecla.text,
                         {{"__TOKEN__", ex.session.token},
                          {"__BUILD_DATE__", std::string_view(kBuildDateText)}}));
    return std::nullopt;
}

}  // namespace corvane
