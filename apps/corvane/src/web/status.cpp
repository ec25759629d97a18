#include "web/status.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "base/config_file.h"
#include "base/file_read.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/version.h"
#include "clips/library.h"
#include "platform/folder_watch.h"
#include "recording/audio_devices.h"
#include "web/app_hooks.h"
#include "web/templates.h"

namespace corvane {

namespace {

using Json = nlohmann::ordered_json;

// Far above any hand-written configuration; a larger file reads as unreadable.
constexpr std::size_t kIniReadLimit = 16u << 20;

constexpr UiMonitorSize kFallbackMonitor{2560, 1440};

// The settings page polls the status every few seconds, and the disk use
// reads every clip's metadata and every automatic clip's sidecar. So the
// answer is kept while nothing in the tree has changed: told by the system's
// watch on every folder of the tree where it can watch them all, else by
// each folder's time stamps (clips, voice tracks and sidecars are only ever
// added, replaced by a rename or deleted, and each of those changes its
// folder's time stamps).
struct FolderStamp {
    std::string path;
    struct stat st {};
};

bool same_folder_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Every folder of the tree (links not entered, as the listing does not enter
// them), each watched before it is looked at: a change made after its look
// then shows in the watch.
void stamp_tree(const std::string& path, std::vector<FolderStamp>& out, FolderWatch* watch, bool& watched) {
    if (watch && watched) watched = watch->add(path);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        watched = false;  // whatever took its place was not watched as a folder
        return;
    }
    out.push_back(FolderStamp{path, st});
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return;
    std::vector<std::pair<std::string, bool>> subs;  // (path, known to be a folder)
    while (dirent* e = ::readdir(dir)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        if (e->d_type == DT_DIR || e->d_type == DT_UNKNOWN)
            subs.emplace_back(path + "/" + std::string(name), e->d_type == DT_DIR);
    }
    ::closedir(dir);
    for (const auto& [sub, folder] : subs) {
        // A file the listing could not tell from a folder is nothing to watch.
        struct stat sub_st {};
        if (!folder && (::lstat(sub.c_str(), &sub_st) != 0 || !S_ISDIR(sub_st.st_mode))) continue;
        stamp_tree(sub, out, watch, watched);
    }
}

bool same_stamp(const struct stat& s, const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_dev == s.st_dev && st.st_ino == s.st_ino &&
           same_folder_time(st.st_mtim, s.st_mtim) && same_folder_time(st.st_ctim, s.st_ctim);
}

void look_root(UiFolderLooks* looks, const struct stat& st) {
    looks->root_dev = st.st_dev;
    looks->root_ino = st.st_ino;
    looks->have_root = true;
}

// The folders below the first (the tree's own) are looked at from the open
// tree: every request of the clips page checks them all, and a walk of the
// whole path for each one costs more than the rest of the check.
bool stamps_hold(const std::vector<FolderStamp>& stamps, UiFolderLooks* looks) {
    if (stamps.empty()) return false;
    const std::string& root = stamps.front().path;
    const int fd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool hold = ::fstat(fd, &st) == 0;
    if (hold && looks) look_root(looks, st);
    hold = hold && same_stamp(stamps.front().st, st);
    auto folders = looks ? std::make_shared<UiFolderLooks::Folders>() : nullptr;
    if (folders) folders->reserve(stamps.size());
    for (std::size_t i = 1; hold && i < stamps.size(); ++i) {
        const std::string& path = stamps[i].path;
        hold = path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/' &&
               ::fstatat(fd, path.c_str() + root.size() + 1, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (hold && folders && S_ISDIR(st.st_mode)) folders->insert_or_assign(path.substr(root.size() + 1), st);
        hold = hold && same_stamp(stamps[i].st, st);
    }
    ::close(fd);
    if (folders) looks->folders = std::move(folders);
    return hold;
}

// The folders as they were stamped, which the watch vouches is how they are now.
std::shared_ptr<const UiFolderLooks::Folders> folders_of(const std::vector<FolderStamp>& stamps) {
    auto folders = std::make_shared<UiFolderLooks::Folders>();
    const std::string& root = stamps.front().path;
    folders->reserve(stamps.size());
    for (std::size_t i = 1; i < stamps.size(); ++i)
        folders->insert_or_assign(stamps[i].path.substr(root.size() + 1), stamps[i].st);
    return folders;
}

// A time stamp this close to now may still be shared by a change that comes
// right after it (the file system's clock ticks coarser than nanoseconds).
bool settled(const std::vector<FolderStamp>& stamps) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    for (const auto& s : stamps)
        if (s.st.st_mtim.tv_sec >= now.tv_sec - 2 || s.st.st_ctim.tv_sec >= now.tv_sec - 2) return false;
    return true;
}

struct DiskUseCache {
    std::mutex mutex;
    std::string folder;
    std::uint64_t limit_gb = 0;
    std::vector<FolderStamp> stamps;
    std::unique_ptr<FolderWatch> watch;  // none: the stamps are checked instead
    std::shared_ptr<const UiFolderLooks::Folders> folders;  // of `stamps`, once asked for
    Json value;
    bool valid = false;
};

DiskUseCache& disk_cache() {
    static DiskUseCache* c = new DiskUseCache;  // leaked: connection threads may run at exit
    return *c;
}

// Whether the kept answer still holds, filling `looks` as a check would.
bool kept_holds(DiskUseCache& c, UiFolderLooks* looks) {
    if (!c.watch) return stamps_hold(c.stamps, looks);
    if (c.watch->changed()) return false;
    // The watch follows the folder it was given, wherever it goes: the path
    // must still lead to it (a link on the way may now lead elsewhere).
    struct stat st {};
    const struct stat& root = c.stamps.front().st;
    if (::lstat(c.stamps.front().path.c_str(), &st) != 0 || st.st_dev != root.st_dev || st.st_ino != root.st_ino)
        return false;
    if (looks) {
        if (!c.folders) c.folders = folders_of(c.stamps);
        look_root(looks, c.stamps.front().st);
        looks->folders = c.folders;
    }
    return true;
}

}  // namespace

Json ui_disk_use_cached(const std::filesystem::path& folder, std::uint64_t limit_gb, UiFolderLooks* looks) {
    auto& c = disk_cache();
    const std::string key = folder.string();
    {
        std::lock_guard lock(c.mutex);
        if (c.valid && c.folder == key && c.limit_gb == limit_gb && kept_holds(c, looks)) return c.value;
    }
    // Watched and stamped before the listing: a change made meanwhile shows
    // at the next call, never as a stale answer.
    std::unique_ptr<FolderWatch> watch = FolderWatch::open();
    bool watched = watch != nullptr;
    std::vector<FolderStamp> stamps;
    stamp_tree(key, stamps, watch.get(), watched);
    if (!watched) watch.reset();
    Json value = clips_disk_usage_json(folder, limit_gb);
    std::lock_guard lock(c.mutex);
    c.valid = !stamps.empty() && (watch || settled(stamps));
    c.folder = key;
    c.limit_gb = limit_gb;
    c.stamps = std::move(stamps);
    c.watch = std::move(watch);
    c.folders.reset();
    c.value = value;
    return value;
}

const UiSettingKey* ui_settings_key_find(std::string_view section, std::string_view key) {
    for (const auto& row : UiSettingsKeys)
        if (row.section == section && row.key == key) return &row;
    return nullptr;
}

Json ui_state_json() {
    std::string text;
    if (auto read = file_read_up_to(config_ini_path(), kIniReadLimit + 1); read && read->size() <= kIniReadLimit)
        text = std::move(*read);
    const IniTable table = config_parse_ini(text);
    Json values = Json::object();
    for (const auto& row : UiSettingsKeys) {
        values[fmt::format("{}.{}", row.section, row.key)] =
            config_ini_get(table, row.section, row.key).value_or("");
    }

    const Settings settings = config_load();
    auto hooks = ui_app_hooks();

    Json reply = Json::object();
    reply["version"] = kVersionText;
    reply["fecha"] = kBuildDateText;
    reply["valores"] = std::move(values);
    reply["avisos"] = settings.warnings;
    reply["salidas"] = audio_list_endpoints_json(1);
    reply["microfonos"] = audio_list_endpoints_json(0);
    reply["reiniciar"] = UiRestartPending.load(std::memory_order_relaxed);
    reply["avisos_corriendo"] = hooks->notices_running ? hooks->notices_running() : false;
    reply["carpeta"] = settings.general.carpeta_clips.string();
    reply["ini"] = config_ini_path().string();
    reply["registro"] = log_file_path().string();
    reply["detector"] = DetectorEnabledFlag.load(std::memory_order_relaxed);
    reply["juego_al_frente"] = GameInFrontFlag.load(std::memory_order_relaxed);
    reply["previa"] = hooks->warmup_lobby ? hooks->warmup_lobby() : false;
    std::optional<UiGameStatus> game = hooks->game_status ? hooks->game_status() : std::nullopt;
    if (game) {
        Json g = Json::object();
        g["titulo"] = game->titulo;
        g["exe"] = game->exe;
        g["warzone"] = game->warzone;
        reply["juego"] = std::move(g);
    } else {
        reply["juego"] = nullptr;
    }
    reply["disco"] = ui_disk_use_cached(settings.general.carpeta_clips, settings.clips.limite_disco_gb);
    reply["primera_vez"] = FirstRunFlag.load(std::memory_order_relaxed);
    std::optional<UiMonitorSize> monitor = hooks->monitor ? hooks->monitor() : std::nullopt;
    if (!monitor || monitor->width == 0 || monitor->height == 0) monitor = kFallbackMonitor;
    reply["monitor"] = Json::array({monitor->width, monitor->height});
    std::optional<UiVideoCodec> codec = hooks->video_codec ? hooks->video_codec() : std::nullopt;
    if (codec) reply["codec"] = Json{{"pedido", codec->pedido}, {"usado", codec->usado}};
    else reply["codec"] = nullptr;
    return reply;
}

}  // namespace corvane
