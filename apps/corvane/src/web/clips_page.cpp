#include "web/clips_page.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <functional>
#include <iterator>
#include <optional>

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

// What the page is built from is kept between builds and checked against the
// files on every build: the history's lines, each folder's clip entries and
// the day folders' manual clips. A kept part is used only while the file or
// folder it came from is the same (same device, inode and time stamps, or for
// the history the same bytes); clips, voice tracks, analyses and sidecars are
// only ever added, replaced (written aside and renamed) or deleted, and each
// of those changes their folder's time stamps. Entries reached through a link
// are never kept, since their target can change without the folder changing.

struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
};

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_stamp(const Stamp& a, const Stamp& b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && same_time(a.mtime, b.mtime) &&
           same_time(a.ctime, b.ctime);
}

Stamp stamp_of(const struct stat& st, bool with_size) {
    return Stamp{st.st_dev, st.st_ino, with_size ? st.st_size : 0, st.st_mtim, st.st_ctim};
}

// A time stamp this close to now may still be shared by a change that comes
// right after it (the file system's clock is coarse): such a stamp proves
// nothing, and what was read under it is not trusted later.
bool settled(const Stamp& s, const timespec& now) {
    return s.mtime.tv_sec < now.tv_sec - 2 && s.ctime.tv_sec < now.tv_sec - 2;
}

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
template <class V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

// Only names that stay inside the clips folder are looked at.
bool usable_clip_name(std::string_view name) {
    return name.find('\\') == std::string_view::npos && ui_sanitize_rel_path(name).has_value();
}

// DATA elements of history lines, script-escaped and joined by commas, and
// the usable clip names the lines hold.
struct HistoryPart {
    std::string data;
    std::size_t elements = 0;
    std::vector<std::string> names;  // sorted, unique

    void add_lines(std::string_view text) {
        data.reserve(data.size() + text.size() + 1);
        std::vector<std::string> found;
        for_each_line(text, [&](std::string_view raw) {
            if (!history_is_event_line(raw)) return;
            // The engine's own lines need no trimming.
            std::string trimmed;
            std::string_view line = raw;
            if (raw.front() != '{' || raw.back() != '}') line = trimmed = utf8_trim(raw);
            if (elements++) data += ',';
            // A torn or hand-edited line would break the page's whole script.
            ClipFinder finder;
            if (!Json::sax_parse(line, &finder)) {
                data += "null";
                return;
            }
            ui_script_escape_append(data, line);
            if (finder.clip && usable_clip_name(*finder.clip)) found.push_back(std::move(*finder.clip));
        });
        if (found.empty()) return;
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        std::vector<std::string> merged;
        merged.reserve(names.size() + found.size());
        std::merge(std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()),
                   std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()),
                   std::back_inserter(merged));
        merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
        names = std::move(merged);
    }
};

// The history as last read. Its complete lines are kept with their results;
// when the file has grown by appended lines only those are read into the
// page data, and any other change makes it read again from the start.
struct KeptHistory {
    std::string path{};
    std::string lines{};  // the file's bytes through its last line break
    HistoryPart whole{};  // of `lines`
    HistoryPart tail{};   // of the bytes after the last line break
    bool readable = false;  // the file could be read and was UTF-8
    Stamp stamp{};
    bool trusted = false;  // `stamp` was settled when the file was read
};

// A regular file read whole; none when it cannot be opened or read. Never
// waits on a FIFO or a device put in a file's place.
std::optional<std::string> read_regular(int dir, const char* name, int flags, struct stat* st) {
    const int fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> data;
    if (::fstat(fd, st) == 0 && S_ISREG(st->st_mode)) {
        data.emplace();
        data->reserve(static_cast<std::size_t>(st->st_size));
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                data.reset();
                break;
            }
            if (n == 0) break;
            data->append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return data;
}

// Brings the kept history up to the file's state; readable stays false when
// the file cannot be read or is not UTF-8, so one bad byte gives no events.
// True when what was kept stands as it was.
bool refresh_history(KeptHistory& h, const fs::path& path, const timespec& now) {
    if (h.path != path.string()) {
        h = KeptHistory{};
        h.path = path.string();
    }
    std::optional<std::string> text;
    struct stat st {};
    {
        std::lock_guard lock(HistoryLock);
        // Unchanged since a read under a settled stamp: nothing to read.
        if (h.trusted && ::stat(path.c_str(), &st) == 0 && same_stamp(stamp_of(st, true), h.stamp)) return true;
        text = read_regular(AT_FDCWD, path.c_str(), 0, &st);
    }
    h.trusted = false;
    h.tail = {};
    h.readable = false;
    if (!text) return false;
    const std::size_t cut = text->rfind('\n') + 1;  // 0 without a line break
    const std::string_view complete = std::string_view(*text).substr(0, cut);
    const std::string_view rest = std::string_view(*text).substr(cut);
    // Lines end at "\n", so no UTF-8 sequence spans the kept bytes and the new ones.
    const bool appended = complete.starts_with(h.lines);
    const std::string_view added = appended ? complete.substr(h.lines.size()) : complete;
    if (!utf8_valid(added) || !utf8_valid(rest)) {
        if (!appended) {
            h.whole = {};
            h.lines.clear();
        }
        return false;
    }
    if (!appended) {
        h.whole = {};
        h.lines.clear();
    }
    h.whole.add_lines(added);
    h.lines.append(added);
    h.tail.add_lines(rest);
    h.readable = true;
    h.stamp = stamp_of(st, true);
    h.trusted = settled(h.stamp, now);
    return false;
}

// One folder's CLIPS members by file name (none: the clip is missing).
struct KeptFolder {
    Stamp stamp{};
    std::uint64_t build = 0;  // the last build that used it
    TextMap<std::optional<std::string>> members;
};

// The manual clips of one day folder, each with its DATA element.
struct KeptDay {
    Stamp stamp{};  // of its "Manual" folder
    bool trusted = false;
    std::uint64_t build = 0;
    std::vector<ManualClipEntry> entries;
    std::vector<std::string> events;  // script-escaped synthetic events
};

struct PageCache {
    std::mutex mutex;
    std::uint64_t build = 0;
    KeptHistory history;
    std::string root;  // the clips folder the folders below belong to
    TextMap<KeptFolder> folders;
    Stamp root_stamp{};
    bool days_trusted = false;
    std::vector<std::string> days;  // the day folders' names, in listing order
    TextMap<KeptDay> manual;
    std::string clips_text;  // the last CLIPS text; its room is used again
    // The last CLIPS text is used again whole while it was made only of
    // kept members, the clips named are the same and every folder it looked
    // in is unchanged (the same checks that keep its members).
    std::uint64_t names_version = 0;  // moves on whenever the clips named may differ
    std::uint64_t clips_names_version = 0;
    bool clips_kept = false;
    std::vector<std::pair<std::string, Stamp>> clips_folders;  // looked in, with their stamps
};

PageCache& page_cache() {
    static PageCache* c = new PageCache;  // leaked: connection threads may run at exit
    return *c;
}

// The day folders of the clips folder in listing order.
std::vector<std::string> list_days(const fs::path& clips_folder) {
    std::vector<std::string> days;
    std::error_code ec;
    fs::directory_iterator it(clips_folder, ec), done;
    for (; !ec && it != done; it.increment(ec)) {
        std::string day = utf8_lossy(it->path().filename().string());
        if (is_day_folder(day)) days.push_back(std::move(day));
    }
    return days;
}

// The manual clips of one day folder, in listing order.
std::vector<ManualClipEntry> list_manual(const fs::path& clips_folder, const std::string& day) {
    std::vector<ManualClipEntry> out;
    std::error_code ec;
    fs::directory_iterator files(clips_folder / day / "Manual", ec), done;
    for (; !ec && files != done; files.increment(ec)) {
        const std::string file = files->path().filename().string();
        if (file.size() < 4 || ascii_lower(file.substr(file.size() - 4)) != ".mp4") continue;
        out.push_back({day + "/Manual/" + file, day, time_from_name(file)});
    }
    return out;
}

std::string manual_event_text(const ManualClipEntry& m) {
    Json e = Json::object();
    e["fecha"] = m.date;
    e["hora"] = m.time;
    e["tipo"] = "manual";
    e["clip"] = m.key;
    return ui_script_escape(ui_json_text(e));
}

// A folder below the open clips folder, as fstatat with links followed:
// taken from what this request's disk-use check saw of it where it saw it as
// a folder (the same metadata, looked at moments before), else asked.
int stat_folder(int root_fd, const UiFolderLooks* looks, const std::string& folder, struct stat* st) {
    if (looks && looks->folders) {
        auto it = looks->folders->find(folder);
        if (it != looks->folders->end()) {
            *st = it->second;
            return 0;
        }
    }
    return ::fstatat(root_fd, folder.c_str(), st, 0);
}

// The day folders' manual clips, from what was kept where their folders are unchanged.
// `same` stays true when every day and its clips are as kept.
std::vector<const KeptDay*> manual_days(PageCache& c, const fs::path& clips_folder, int root_fd,
                                        const UiFolderLooks* looks, const timespec& now, bool& same) {
    struct stat st {};
    const bool root_ok = root_fd >= 0 && ::fstat(root_fd, &st) == 0;
    const Stamp root = root_ok ? stamp_of(st, false) : Stamp{};
    if (!root_ok || !c.days_trusted || !same_stamp(root, c.root_stamp)) {
        same = false;
        // Stamped before the listing: a change made meanwhile shows next time.
        c.root_stamp = root;
        c.days_trusted = root_ok && settled(root, now);
        c.days = root_ok ? list_days(clips_folder) : std::vector<std::string>{};
    }
    std::vector<const KeptDay*> out;
    for (const std::string& day : c.days) {
        const std::string manual = day + "/Manual";
        if (stat_folder(root_fd, looks, manual, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        KeptDay& d = c.manual[day];
        d.build = c.build;
        const Stamp now_stamp = stamp_of(st, false);
        if (!d.trusted || !same_stamp(now_stamp, d.stamp)) {
            same = false;
            d.stamp = now_stamp;
            d.trusted = settled(now_stamp, now);
            d.entries = list_manual(clips_folder, day);
            d.events.clear();
            for (const ManualClipEntry& m : d.entries) d.events.push_back(manual_event_text(m));
        }
        out.push_back(&d);
    }
    if (std::erase_if(c.manual, [&](const auto& d) { return d.second.build != c.build; })) same = false;
    return out;
}

// A day's "Manual" folder was looked at moments ago by this build
// (manual_days): its stamp from then, rather than a second look.
const Stamp* manual_stamp(const PageCache& c, std::string_view folder) {
    constexpr std::string_view kManual = "/Manual";
    if (folder.size() != 10 + kManual.size() || !folder.ends_with(kManual)) return nullptr;
    auto it = c.manual.find(folder.substr(0, 10));
    return it != c.manual.end() && it->second.build == c.build ? &it->second.stamp : nullptr;
}

// The stamp of a folder below the open clips folder ("" for itself), links
// followed; false when it is no folder.
bool look_folder(const PageCache& c, int root_fd, const UiFolderLooks* looks, const std::string& folder,
                 Stamp& stamp) {
    if (root_fd < 0) return false;
    if (const Stamp* manual = manual_stamp(c, folder)) {
        stamp = *manual;
        return true;
    }
    struct stat st {};
    const int r = folder.empty() ? ::fstat(root_fd, &st) : stat_folder(root_fd, looks, folder, &st);
    if (r != 0 || !S_ISDIR(st.st_mode)) return false;
    stamp = stamp_of(st, false);
    return true;
}

// Every folder the last CLIPS text looked in is as it was then (a missing
// one still missing), under a settled stamp.
bool clips_folders_hold(const PageCache& c, int root_fd, const UiFolderLooks* looks, const timespec& now) {
    for (const auto& [folder, kept] : c.clips_folders) {
        Stamp stamp{};
        if (!look_folder(c, root_fd, looks, folder, stamp)) stamp = Stamp{};
        if (!same_stamp(stamp, kept) || (stamp.ino != 0 && !settled(stamp, now))) return false;
    }
    return true;
}

// The clips of one folder are looked up relative to the open folder, so the
// whole path is walked once per folder rather than four times per clip.
class FolderCursor {
  public:
    FolderCursor(PageCache& cache, int root_fd, const UiFolderLooks* looks, const timespec& now)
        : cache_(cache), root_fd_(root_fd), looks_(looks), now_(now) {}
    ~FolderCursor() {
        close_dir();
        // Folders no clip named any more are forgotten.
        std::erase_if(cache_.folders, [&](const auto& f) { return f.second.build != cache_.build; });
    }
    FolderCursor(const FolderCursor&) = delete;
    FolderCursor& operator=(const FolderCursor&) = delete;

    // Every member appended so far was kept, from folders kept whole.
    bool all_kept() const { return all_kept_; }
    // The folders looked in so far, with their stamps (none: no folder).
    std::vector<std::pair<std::string, Stamp>> take_looked() { return std::move(looked_); }

    // Appends the CLIPS member of the usable clip name `name` (script-escaped)
    // to `out`, after a comma when `out` holds more than its "{"; false when
    // the clip cannot be found.
    bool append_member(std::string& out, std::string_view name) {
        const std::size_t slash = name.rfind('/');
        const std::string_view folder = slash == std::string_view::npos ? std::string_view{} : name.substr(0, slash);
        const std::string_view file = name.substr(slash == std::string_view::npos ? 0 : slash + 1);
        if (!enter(folder)) return false;
        auto put = [&](const std::optional<std::string>& m) {
            if (!m) return false;
            if (out.size() > 1) out += ',';
            out += *m;
            return true;
        };
        if (current_) {
            auto hit = current_->members.find(file);
            if (hit != current_->members.end()) return put(hit->second);
        }
        all_kept_ = false;
        if (!open_dir()) return false;
        bool link = false;
        std::optional<std::string> m;
        if (std::optional<Json> entry = look_up_entry(folder, std::string(file), link)) {
            m.emplace(ui_script_escape(ui_json_text(Json(name))));
            m->push_back(':');
            ui_script_escape_append(*m, ui_json_text(*entry));
        }
        const bool found = put(m);
        if (current_ && !link) current_->members.emplace(std::string(file), std::move(m));
        return found;
    }

  private:
    bool enter(std::string_view folder) {
        if (entered_ && folder == folder_) return folder_ok_;
        close_dir();
        entered_ = true;
        folder_ = folder;
        current_ = nullptr;
        Stamp now_stamp;
        folder_ok_ = look_folder(cache_, root_fd_, looks_, folder_, now_stamp);
        looked_.emplace_back(folder_, folder_ok_ ? now_stamp : Stamp{});
        if (root_fd_ < 0) all_kept_ = false;
        if (!folder_ok_) return false;
        auto it = cache_.folders.find(folder);
        if (it == cache_.folders.end()) it = cache_.folders.emplace(folder_, KeptFolder{}).first;
        KeptFolder& f = it->second;
        f.build = cache_.build;
        if (!same_stamp(f.stamp, now_stamp)) f = KeptFolder{now_stamp, cache_.build, {}};
        if (settled(now_stamp, now_)) current_ = &f;
        else all_kept_ = false;
        return true;
    }
    bool open_dir() {
        if (dir_ < 0) dir_ = ::openat(root_fd_, folder_.empty() ? "." : folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        return dir_ >= 0;
    }
    void close_dir() {
        if (dir_ >= 0) ::close(dir_);
        dir_ = -1;
    }
    // Metadata of a file of the folder, links followed; `link` is set when
    // the name is a link.
    bool stat(const std::string& file, struct stat* st, bool& link) const {
        if (::fstatat(dir_, file.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (!S_ISLNK(st->st_mode)) return true;
        link = true;
        return ::fstatat(dir_, file.c_str(), st, 0) == 0;
    }
    // A JSON document of the folder; null when unreadable, not a regular
    // file, not UTF-8 or not JSON.
    Json read_json(const std::string& file, bool& link) const {
        struct stat st {};
        std::optional<std::string> data;
        if (::fstatat(dir_, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            link = true;
            data = read_regular(dir_, file.c_str(), 0, &st);
        } else {
            data = read_regular(dir_, file.c_str(), O_NOFOLLOW, &st);
        }
        if (!data || !utf8_valid(*data)) return nullptr;
        Json v = json_parse_untrusted(*data);
        return v.is_discarded() ? Json(nullptr) : v;
    }
    std::optional<Json> look_up_entry(std::string_view folder, const std::string& file, bool& link) const {
        const std::string base = file.substr(0, file.size() - 4);  // without ".mp4"
        struct stat st {};
        if (!stat(file, &st, link)) return std::nullopt;

        const Json sidecar = read_json(base + ".json", link);
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
        o["analisis"] = stat(base + ".analisis.json", &other, link);
        o["mic"] = stat(base + "_mic.m4a", &other, link);
        return o;
    }

    PageCache& cache_;
    int root_fd_;
    const UiFolderLooks* looks_;
    timespec now_;
    bool entered_ = false;
    bool folder_ok_ = false;
    std::string folder_;
    int dir_ = -1;
    KeptFolder* current_ = nullptr;
    bool all_kept_ = true;
    std::vector<std::pair<std::string, Stamp>> looked_;
};

// Calls f on each name of the sorted, unique lists, in ascending byte order, once.
template <class F>
void for_each_name(const std::vector<std::string>& a, const std::vector<std::string>& b,
                   const std::vector<std::string_view>& c, F&& f) {
    std::vector<std::string_view> all;
    all.reserve(a.size() + b.size() + c.size());
    std::merge(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(all),
               [](std::string_view x, std::string_view y) { return x < y; });
    const auto middle = static_cast<std::ptrdiff_t>(all.size());
    all.insert(all.end(), c.begin(), c.end());
    std::inplace_merge(all.begin(), all.begin() + middle, all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    for (std::string_view name : all) f(name);
}

}  // namespace

std::vector<ManualClipEntry> clips_manual_entries(const fs::path& clips_folder) {
    std::vector<ManualClipEntry> out;
    for (const std::string& day : list_days(clips_folder)) {
        std::vector<ManualClipEntry> m = list_manual(clips_folder, day);
        std::move(m.begin(), m.end(), std::back_inserter(out));
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

namespace {

// The page's texts other than DATA and CLIPS.
struct SmallFills {
    std::string disk, generated, viewer_key, saved, api;
    UiFolderLooks looks;  // the clips folders as the disk-use check saw them
};

SmallFills small_fills(const fs::path& clips_folder, const Settings& settings, std::string_view viewer_key) {
    SmallFills f;
    f.disk = ui_json_text(ui_disk_use_cached(clips_folder, settings.clips.limite_disco_gb, &f.looks));
    const LocalDateTime now = clock_local_date_time();
    std::string time = now.time;
    std::replace(time.begin(), time.end(), '-', ':');
    f.generated = now.date + " " + time;
    f.viewer_key = viewer_key;
    auto hooks = ui_hooks();
    f.saved = std::to_string(hooks->clips_saved ? hooks->clips_saved() : 0);
    f.api = "null";
    if (const UiSession* s = ui_session()) {
        Json o = Json::object();
        o["base"] = "http://127.0.0.1:" + std::to_string(s->port);
        o["t"] = s->token;
        f.api = ui_json_text(o);
    }
    return f;
}

// Calls use(fills) with the page's fills, in replacement order, followed by
// `common`. DATA and CLIPS point into what the page keeps, so `use` runs
// while it is held: the page text is written once, straight from the kept
// parts, with no copy of them in between.
template <class F>
void with_page_fills(const fs::path& clips_folder, const fs::path& history_path, const SmallFills& small,
                     const UiTemplateFills& common, F&& use) {
    PageCache& c = page_cache();
    std::lock_guard cache_lock(c.mutex);
    ++c.build;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (c.root != clips_folder.string()) {
        ++c.names_version;
        c.folders.clear();
        c.manual.clear();
        c.days.clear();
        c.days_trusted = false;
        c.root = clips_folder.string();
    }
    const int root_fd = ::open(clips_folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    // The disk-use check's looks count only for the very folder opened here.
    const UiFolderLooks* looks = nullptr;
    if (struct stat st {}; small.looks.have_root && root_fd >= 0 && ::fstat(root_fd, &st) == 0 &&
                           st.st_dev == small.looks.root_dev && st.st_ino == small.looks.root_ino)
        looks = &small.looks;

    // DATA: the event lines as they stand, in file order, then the manual clips.
    bool names_same = refresh_history(c.history, history_path, now);
    static const HistoryPart kNone;
    const HistoryPart& whole = c.history.readable ? c.history.whole : kNone;
    const HistoryPart& tail = c.history.readable ? c.history.tail : kNone;
    const std::vector<const KeptDay*> days = manual_days(c, clips_folder, root_fd, looks, now, names_same);
    if (!names_same) ++c.names_version;
    std::vector<std::string_view> data{"["};
    std::size_t elements = 0;
    for (const HistoryPart* part : {&whole, &tail}) {
        if (part->elements == 0) continue;
        if (elements) data.emplace_back(",");
        data.emplace_back(part->data);
        elements += part->elements;
    }
    for (const KeptDay* d : days) {
        for (const std::string& e : d->events) {
            if (elements++) data.emplace_back(",");
            data.emplace_back(e);
        }
    }
    data.emplace_back("]");

    // CLIPS: one member per clip named, in byte order of the names.
    std::string& clips = c.clips_text;
    if (!c.clips_kept || c.clips_names_version != c.names_version || !clips_folders_hold(c, root_fd, looks, now)) {
        std::vector<std::string_view> manual_names;
        for (const KeptDay* d : days)
            for (const ManualClipEntry& m : d->entries)
                if (usable_clip_name(m.key)) manual_names.push_back(m.key);
        std::sort(manual_names.begin(), manual_names.end());
        clips.assign("{");
        FolderCursor cursor(c, root_fd, looks, now);
        for_each_name(whole.names, tail.names, manual_names,
                      [&](std::string_view name) { cursor.append_member(clips, name); });
        clips += '}';
        c.clips_kept = cursor.all_kept();
        c.clips_names_version = c.names_version;
        c.clips_folders = cursor.take_looked();
    }
    if (root_fd >= 0) ::close(root_fd);

    UiTemplatePieces fills;
    fills.reserve(8 + common.size());
    fills.push_back({"/*__DATA__*/[]", std::move(data)});
    fills.push_back({"/*__CLIPS__*/{}", {clips}});
    fills.push_back({"/*__DISCO__*/null", {small.disk}});
    fills.push_back({"__VERSION__", {kVersionText}});
    fills.push_back({"__GENERATED__", {small.generated}});
    fills.push_back({"__VIEWER_KEY__", {small.viewer_key}});
    fills.push_back({"__GENSTAMP__", {small.saved}});
    fills.push_back({"/*__API__*/null", {small.api}});
    for (const auto& [k, v] : common) fills.push_back({k, {v}});
    use(static_cast<const UiTemplatePieces&>(fills));
}

// Buffers the page's replies are written into, kept for the next request: a
// page of megabytes written into fresh memory pays a page fault for every
// 4 KiB. One is kept; those taken at once by a burst of requests are freed.
class ReplyBuffers {
  public:
    std::string take() {
        std::lock_guard lock(mutex_);
        std::string b = std::move(spare_);
        spare_ = {};
        return b;
    }
    void give(std::string b) {
        std::lock_guard lock(mutex_);
        if (spare_.capacity() < b.capacity()) spare_ = std::move(b);
    }

  private:
    std::mutex mutex_;
    std::string spare_;
};

ReplyBuffers& reply_buffers() {
    static ReplyBuffers* b = new ReplyBuffers;  // leaked: connection threads may run at exit
    return *b;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> clips_page_fills(const fs::path& clips_folder,
                                                                  const fs::path& history_path,
                                                                  std::string_view viewer_key) {
    const SmallFills small = small_fills(clips_folder, config_load(), viewer_key);
    std::vector<std::pair<std::string, std::string>> out;
    with_page_fills(clips_folder, history_path, small, {}, [&](const UiTemplatePieces& fills) {
        out.reserve(fills.size());
        for (const auto& [k, pieces] : fills) {
            std::string text;
            for (std::string_view p : pieces) text += p;
            out.emplace_back(std::string(k), std::move(text));
        }
    });
    return out;
}

std::string clips_render_page_from(std::string_view page_template, const fs::path& clips_folder,
                                   const fs::path& history_path, std::string_view viewer_key,
                                   const UiTemplateFills& common) {
    const SmallFills small = small_fills(clips_folder, config_load(), viewer_key);
    std::string out;
    with_page_fills(clips_folder, history_path, small, common,
                    [&](const UiTemplatePieces& fills) { ui_fill_template_append(out, page_template, fills); });
    return out;
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
    const SmallFills small = small_fills(folder, settings, settings.visor.tecla.text);
    // The page is written after room for the reply's head, which then goes
    // right in front of it: the whole reply leaves in one send from the
    // buffer it was built in.
    constexpr std::size_t kHeadRoom = 512;
    std::string reply = reply_buffers().take();
    reply.assign(kHeadRoom, ' ');
    with_page_fills(folder, folder / "estadisticas.jsonl", small,
                    {{"__TOKEN__", ex.session.token}, {"__BUILD_DATE__", std::string_view(kBuildDateText)}},
                    [&](const UiTemplatePieces& fills) { ui_fill_template_append(reply, tpl, fills); });
    const std::size_t body = reply.size() - kHeadRoom;
    const std::string head = ui_response_head("200 OK", "text/html; charset=utf-8", body);
    if (head.size() <= kHeadRoom) {
        const std::size_t at = kHeadRoom - head.size();
        reply.replace(at, head.size(), head);
        (void)net_send_all(ex.socket, reply.data() + at, head.size() + body);
    } else {
        ui_send_response(ex.socket, "200 OK", "text/html; charset=utf-8",
                         std::string_view(reply).substr(kHeadRoom));
    }
    reply_buffers().give(std::move(reply));
    return std::nullopt;
}

}  // namespace corvane
