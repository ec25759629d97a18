#include "clips/library.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "base/json.h"
#include "base/text.h"
#include "platform/files.h"

namespace corvane {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

std::mutex g_ops_mutex;
ClipsFileOps g_ops;

ClipsFileOps current_ops() {
    std::lock_guard lock(g_ops_mutex);
    return g_ops;
}

// Sidecars are read, changed and written back by the viewer and the clips
// page at the same time; one writer at a time keeps a flag change from
// undoing another.
std::mutex g_sidecar_mutex;

std::string errno_text(int err) {
    return std::strerror(err);
}

std::uint64_t filetime_of(const struct timespec& t) {
    constexpr std::int64_t kUnixToFiletime = 11'644'473'600;
    const std::int64_t secs = static_cast<std::int64_t>(t.tv_sec) + kUnixToFiletime;
    if (secs < 0) return 0;
    return static_cast<std::uint64_t>(secs) * 10'000'000 +
           static_cast<std::uint64_t>(t.tv_nsec) / 100;
}

bool is_mp4_name(const std::string& name) {
    const fs::path ext = fs::path(name).extension();
    return ascii_lower(ext.string()) == ".mp4";
}

// When this process began, wall-clock: a ".mp4.part" last written before it
// was left by an earlier run that ended mid-save.
const std::time_t g_process_start = std::time(nullptr);
constexpr std::time_t kStalePartQuiet = 60;

// A clip or voice track still being written: "x.mp4.part", "x_mic.m4a.part".
bool is_part_name(const std::string& name) {
    if (name.size() <= 9) return false;
    const std::string tail = ascii_lower(name.substr(name.size() - 9));
    return tail == ".mp4.part" || tail == ".m4a.part";
}

// A half-written clip from a run that crashed: written before this run began
// and untouched for a minute (so a clock set back never takes the file a save
// of this run is writing).
bool is_stale_part(const struct stat& st) {
    const std::time_t written = st.st_mtim.tv_sec;
    return S_ISREG(st.st_mode) && written < g_process_start &&
           std::time(nullptr) - written > kStalePartQuiet;
}

void scan_dir(const fs::path& folder, int dir_fd, std::vector<ClipRecord>& out) {
    DIR* dir = ::fdopendir(dir_fd);
    if (!dir) {
        ::close(dir_fd);
        return;
    }
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const fs::path full = folder / name;
        struct stat st {};
        const bool have = ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (have && S_ISDIR(st.st_mode)) {
            const int sub =
                ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) scan_dir(full, sub, out);
            continue;
        }
        if (have && is_part_name(name) && is_stale_part(st)) {
            (void)::unlinkat(::dirfd(dir), e->d_name, 0);
            continue;
        }
        if (!is_mp4_name(name)) continue;
        ClipRecord r;
        r.path = full;
        if (have && S_ISLNK(st.st_mode)) {
            // A clip placed here as a link counts with what it points to; a
            // link to nothing, or to anything but a file, counts as empty.
            struct stat target {};
            if (::fstatat(::dirfd(dir), e->d_name, &target, 0) == 0 && S_ISREG(target.st_mode)) {
                st = target;
            } else {
                st.st_size = 0;
            }
        }
        if (have) {
            r.size = static_cast<std::uint64_t>(st.st_size);
            r.modified = filetime_of(st.st_mtim);
        }
        // Relative to the open folder: no second walk of the whole path.
        struct stat mic {};
        if (::fstatat(::dirfd(dir), clips_mic_path(name).c_str(), &mic, 0) == 0)
            r.size += static_cast<std::uint64_t>(mic.st_size);
        out.push_back(std::move(r));
    }
    ::closedir(dir);
}

// Whole file as bytes; errno in *err when it cannot be read. Only a regular
// file is read: a FIFO or a device put in a sidecar's or the history's place
// would make the reader wait forever or read without end.
std::optional<std::string> read_file(const fs::path& path, int* err) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *err = errno;
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return std::nullopt;
    }
    std::string data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

std::string pretty(const Json& value) {
    return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::mutex& clips_sidecar_mutex() { return g_sidecar_mutex; }

void clips_set_file_ops_for_tests(ClipsFileOps ops) {
    std::lock_guard lock(g_ops_mutex);
    g_ops = std::move(ops);
}

void clips_scan_folder(const fs::path& folder, std::vector<ClipRecord>& out) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    scan_dir(folder, fd, out);
}

bool clips_is_automatic(const fs::path& clip) {
    const fs::path parent = clip.parent_path().filename();
    return parent == "Muertes" || parent == "Bajas";
}

Json clips_disk_usage_json(const fs::path& clips_folder, std::uint64_t limit_gb) {
    std::vector<ClipRecord> records;
    clips_scan_folder(clips_folder, records);
    std::uint64_t auto_bytes = 0, archived_bytes = 0, manual_bytes = 0;
    std::uint32_t auto_n = 0, archived_n = 0, manual_n = 0;
    for (const ClipRecord& r : records) {
        if (!clips_is_automatic(r.path)) {
            manual_bytes += r.size;
            ++manual_n;
        } else if (clips_is_archived(r.path)) {
            archived_bytes += r.size;
            ++archived_n;
        } else {
            auto_bytes += r.size;
            ++auto_n;
        }
    }
    constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
    const std::uint64_t limit = limit_gb > std::numeric_limits<std::uint64_t>::max() / kGiB
                                    ? std::numeric_limits<std::uint64_t>::max()
                                    : limit_gb * kGiB;
    Json o = Json::object();
    o["auto"] = auto_bytes;
    o["auto_n"] = auto_n;
    o["archivados"] = archived_bytes;
    o["archivados_n"] = archived_n;
    o["manuales"] = manual_bytes;
    o["manuales_n"] = manual_n;
    o["limite"] = limit;
    return o;
}

fs::path clips_sidecar_path(const fs::path& clip) {
    fs::path p = clip;
    return p.replace_extension("json");
}

fs::path clips_analysis_path(const fs::path& clip) {
    fs::path p = clip;
    return p.replace_extension("analisis.json");
}

fs::path clips_mic_path(const fs::path& clip) {
    return clip.parent_path() / (clip.stem().string() + "_mic.m4a");
}

JsonRead json_read_object(const fs::path& path) {
    JsonRead r;
    int err = 0;
    std::optional<std::string> data = read_file(path, &err);
    if (!data) {
        r.missing = err == ENOENT || err == ENOTDIR;
        r.error = fmt::format("no se pudo leer ({})", errno_text(err));
        return r;
    }
    if (!utf8_valid(*data)) {
        r.error = "el archivo no es UTF-8 válido";
        return r;
    }
    Json value = json_parse_untrusted(*data);
    if (value.is_discarded()) {
        r.error = "el archivo no es JSON válido";
    } else {
        r.value = std::move(value);
    }
    return r;
}

bool clips_is_archived(const fs::path& clip) {
    JsonRead r = json_read_object(clips_sidecar_path(clip));
    if (!r.value || !r.value->is_object()) return false;
    auto it = r.value->find("archivado");
    return it != r.value->end() && it->is_boolean() && it->get<bool>();
}

std::optional<std::string> clips_set_archived(const fs::path& clip, bool flag) {
    struct stat st {};
    if (::stat(clip.c_str(), &st) != 0) return std::string("el clip ya no existe");
    const fs::path sidecar = clips_sidecar_path(clip);
    std::lock_guard lock(clips_sidecar_mutex());
    JsonRead r = json_read_object(sidecar);
    Json value;
    if (r.value) {
        value = std::move(*r.value);
        if (value.is_null()) value = Json::object();
        if (!value.is_object())
            return std::string("no se pudo guardar (los datos del clip no son un objeto JSON)");
    } else if (r.missing) {
        value = Json::object();
        const fs::path name = clip.filename();
        if (name.empty()) {
            value["clip"] = nullptr;
        } else {
            value["clip"] = utf8_lossy(name.string());
        }
        value["eventos"] = Json::array();
    } else {
        // A sidecar that exists but cannot be read holds the clip's events
        // and duration: replacing it would lose them.
        return fmt::format("no se pudo guardar ({})", r.error);
    }
    value["archivado"] = flag;
    std::string error;
    if (file_write_atomic(sidecar, pretty(value), &error) != FileWriteStep::none)
        return fmt::format("no se pudo guardar ({})", error);
    return std::nullopt;
}

std::optional<std::string> clips_remove_retry(const fs::path& path) {
    const ClipsFileOps ops = current_ops();
    std::string last;
    for (int attempt = 0; attempt < 12; ++attempt) {
        int err = 0;
        if (ops.unlink) {
            err = ops.unlink(path);
        } else {
            err = file_remove(path);
        }
        if (err == 0 || err == ENOENT || err == ENOTDIR) return std::nullopt;
        last = errno_text(err);
        if (ops.sleep) {
            ops.sleep(std::chrono::milliseconds(200));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    return last;
}

std::optional<std::string> clips_delete_files(const fs::path& clip) {
    if (auto err = clips_remove_retry(clip))
        return fmt::format("no se pudo borrar el video ({}); ciérralo si está abierto", *err);
    (void)clips_remove_retry(clips_sidecar_path(clip));
    (void)clips_remove_retry(clips_analysis_path(clip));
    (void)clips_remove_retry(clips_mic_path(clip));
    return std::nullopt;
}

HistoryRead history_read_jsonl(const fs::path& path) {
    HistoryRead r;
    int err = 0;
    std::optional<std::string> data = read_file(path, &err);
    if (!data) {
        if (err != ENOENT)
            r.error = fmt::format("no se pudo leer el historial ({})", errno_text(err));
        return r;
    }
    if (!utf8_valid(*data)) {
        r.error = "el historial no es UTF-8 válido";
        return r;
    }
    std::size_t start = 0;
    while (start < data->size()) {
        std::size_t nl = data->find('\n', start);
        const bool last = nl == std::string::npos;
        if (last) nl = data->size();
        std::size_t end = nl;
        if (!last && end > start && (*data)[end - 1] == '\r') --end;
        r.lines.emplace_back(*data, start, end - start);
        start = nl + 1;
    }
    return r;
}

FileWriteStep file_write_atomic(const fs::path& target, std::string_view data, std::string* error,
                                const fs::path& temp_in) {
    FileReplaceOptions how;
    how.temp = temp_in.empty() ? fs::path(target.string() + ".tmp") : temp_in;
    // A failed write (a full disk, most often) is removed: nothing reads a
    // half-written temporary file, and the target still holds the old text.
    how.keep_temp_on_failure = false;
    const FileReplaceResult r = file_replace(target, data, how);
    *error = r.error;
    switch (r.failed) {
        case FileReplaceStep::none: return FileWriteStep::none;
        case FileReplaceStep::write: return FileWriteStep::write;
        case FileReplaceStep::rename: return FileWriteStep::rename;
    }
    return FileWriteStep::write;
}

std::optional<std::string> jsonl_write_atomic(const fs::path& path,
                                              const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) text += '\n';
        text += lines[i];
    }
    if (!text.empty()) text += '\n';
    fs::path temp = path;
    temp.replace_extension("jsonl.tmp");
    std::string error;
    switch (file_write_atomic(path, text, &error, temp)) {
        case FileWriteStep::none:
            return std::nullopt;
        case FileWriteStep::write:
            return fmt::format("no se pudo escribir ({})", error);
        case FileWriteStep::rename:
            return fmt::format("no se pudo reemplazar ({})", error);
    }
    return std::nullopt;
}

void events_clear_clip_field(Json& value) {
    if (value.is_object()) value["clip"] = nullptr;
}

}  // namespace corvane
