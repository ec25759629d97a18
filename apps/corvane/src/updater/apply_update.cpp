#include "updater/apply_update.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "base/clock.h"
#include "base/config_file.h"
#include "base/fd_write.h"
#include "base/file_read.h"
#include "base/settings.h"
#include "base/text.h"
#include "platform/files.h"
#include "updater/updater.h"
#include "zip.h"

namespace corvane {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kAppDisplayName = "Corvane";
constexpr auto kWaitForOldProgram = 60'000ms;
constexpr auto kPauseAfterWait = 1'500ms;
constexpr int kRenameAttempts = 10;

bool access_denied(std::error_code ec) {
    return ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted;
}

// Unix seconds with the fraction, at a resolution of 100 ns; 0 before 1970.
double unix_time_100ns(std::chrono::system_clock::time_point t) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    if (ns < 0) return 0.0;
    return static_cast<double>(ns / 100) / 1e7;
}

bool is_kept_top_level(std::string_view name) {
    const std::string lower = utf8_lower(name);
    return lower == "data" || lower == "tools" || lower == kInstallNotesFileName;
}

// `inner` lies strictly below `outer`, both taken as they are.
bool path_strictly_inside(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != *o) return false;
    }
    for (; i != inner.end(); ++i) {
        if (!i->empty()) return true;
    }
    return false;
}

// The package path with its folders resolved but its own last name kept as
// given: a link there must still be seen as a link.
std::optional<fs::path> resolve_package(const fs::path& package) {
    std::error_code ec;
    fs::path p = fs::absolute(package, ec);
    if (ec) return std::nullopt;
    p = p.lexically_normal();
    if (p.filename().empty()) p = p.parent_path();
    const fs::path name = p.filename();
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    const fs::path parent = fs::weakly_canonical(p.parent_path(), ec);
    if (ec) return std::nullopt;
    return parent / name;
}

void remove_entry(const fs::path& path, std::error_code& ec) {
    ec.clear();
    const auto st = fs::symlink_status(path, ec);
    if (ec) return;
    if (fs::is_directory(st)) {
        fs::remove_all(path, ec);
    } else {
        fs::remove(path, ec);
    }
}

// A package made where files carry no permission bits leaves the program
// without them, and the update would end in a program nobody can start.
void make_program_runnable(const fs::path& exe) {
    std::error_code ec;
    const auto st = fs::symlink_status(exe, ec);
    if (ec || !fs::is_regular_file(st)) return;
    if ((st.permissions() & fs::perms::owner_exec) != fs::perms::none) return;
    fs::permissions(exe, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, ec);
}

void remove_quietly(const fs::path& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

// Where the installation's settings put the clips, when that is inside the
// program folder: the name of the top-level entry holding them, or "." when
// the clips folder is the program folder itself. An update must carry them
// over like "data"; empty when they lie elsewhere. (The running program moved
// a legacy INI into "data" when it started.)
std::string clips_inside_install(const fs::path& install) {
    const IniTable ini = config_parse_ini(file_read_up_to(install / "data" / "corvane.ini", 1 << 20).value_or(""));
    const fs::path clips = settings_clips_folder(config_ini_get(ini, "general", "carpeta_clips"), install);
    std::error_code ec;
    const fs::path root = fs::weakly_canonical(install, ec);
    if (ec) return {};
    const fs::path rel = fs::weakly_canonical(clips, ec).lexically_relative(root);
    if (ec || rel.empty() || *rel.begin() == "..") return {};
    return rel.begin()->string();
}

// The moves of one swap, so that a failure can undo exactly what was done.
struct Swap {
    std::vector<std::string> moved;   // install folder -> backup, in order
    std::vector<std::string> placed;  // new-version folder -> install folder, in order
};

// Moves every entry of `from` to `to` but those `skip` names; stops at the
// first failure with its text.
std::optional<std::string> move_entries(const fs::path& from, const fs::path& to,
                                        const std::function<bool(std::string_view)>& skip,
                                        std::vector<std::string>& done,
                                        const InstallHooks& hooks) {
    DirListing listing = fs_list_dir_sorted(from);
    if (listing.error) return listing.error.message();
    for (const auto& name : listing.names) {
        if (skip(name)) continue;
        if (auto ec = fs_rename_retry(from / name, to / name, hooks)) return ec.message();
        done.push_back(name);
    }
    return std::nullopt;
}

void roll_back(const Swap& swap, const fs::path& install, const fs::path& backup, const fs::path& log,
               const InstallHooks& hooks) {
    for (const auto& name : swap.placed) {
        std::error_code ec;
        remove_entry(install / name, ec);
        if (ec) install_log_append(log, fmt::format("  no se pudo quitar {}: {}", name, ec.message()), hooks.now());
    }
    for (const auto& name : swap.moved) {
        if (auto ec = fs_rename_retry(backup / name, install / name, hooks)) {
            install_log_append(log, fmt::format("  no se pudo restaurar {}: {}", name, ec.message()),
                               hooks.now());
        }
    }
}

void relaunch(const ApplyUpdateArgs& args, const fs::path& install, const fs::path& log,
              const InstallHooks& hooks) {
    const fs::path exe = install / kProgramFileName;
    std::error_code ec;
    if (!fs::exists(exe, ec)) {
        install_log_append(log,
                           fmt::format("No se pudo volver a abrir {}: {}", kAppDisplayName,
                                       fmt::format("no se encontró {}", kProgramFileName)),
                           hooks.now());
        return;
    }
    std::vector<std::string> argv{"--no-elevate"};
    if (args.quiet) argv.emplace_back("--no-window");
    const SpawnResult started = hooks.spawn(exe, argv, install);
    if (!started.ok) {
        install_log_append(log, fmt::format("No se pudo volver a abrir {}: {}", kAppDisplayName, started.error),
                           hooks.now());
    }
}

}  // namespace

bool install_version_text_valid(std::string_view version) {
    return std::all_of(version.begin(), version.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
               c == '+' || c == '_' || c == '-';
    });
}

DirListing fs_list_dir_sorted(const fs::path& folder) {
    DirListing out;
    fs::directory_iterator it(folder, out.error);
    if (out.error) return out;
    for (; it != fs::directory_iterator(); it.increment(out.error)) {
        out.names.push_back(it->path().filename().string());
    }
    if (out.error) {
        out.names.clear();
        return out;
    }
    // Raw bytes, unsigned: the order does not depend on the locale or on
    // whether a name is valid UTF-8.
    std::sort(out.names.begin(), out.names.end());
    return out;
}

std::uint64_t fs_count_files(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return 0;
    std::uint64_t count = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code type_ec;
        const auto st = it->symlink_status(type_ec);
        if (!type_ec && fs::is_directory(st)) {
            count += fs_count_files(it->path());
        } else {
            ++count;
        }
    }
    return count;
}

std::error_code fs_rename_retry(const fs::path& from, const fs::path& to, const InstallHooks& hooks) {
    std::error_code ec;
    for (int attempt = 1; attempt <= kRenameAttempts; ++attempt) {
        std::error_code mk;
        fs::create_directories(to.parent_path(), mk);
        if (mk) return mk;
        ec = hooks.rename(from, to);
        if (!ec) return {};
        if (!access_denied(ec) || attempt == kRenameAttempts) break;
        hooks.sleep(1s);
    }
    return ec;
}

void install_log_append(const fs::path& path, std::string_view message,
                        std::chrono::system_clock::time_point when) {
    const LocalDateTime t = clock_local_date_time_at(when);
    // Names of files and folders go in here: cleaned as the program's log is.
    const std::string line = fmt::format("{} {} {}\n", t.date, t.time, text_escape_controls(message));
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    (void)fd_write_all(fd, line);
    ::close(fd);
}

InstallHooks install_hooks_system() {
    InstallHooks h;
    h.rename = [](const fs::path& from, const fs::path& to) {
        std::error_code ec;
        fs::rename(from, to, ec);
        return ec;
    };
    h.sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    h.wait_pid = [](std::uint32_t pid, std::chrono::milliseconds limit) { process_wait_exit(pid, limit); };
    h.spawn = [](const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd) {
        return process_spawn_new_session(exe, args, cwd);
    };
    h.now = [] { return std::chrono::system_clock::now(); };
    return h;
}

nlohmann::ordered_json apply_update_run(const ApplyUpdateArgs& args, const InstallHooks& hooks) {
    const auto started = hooks.now();

    // A version outside this set never reaches a file or a log line.
    const bool versions_valid =
        install_version_text_valid(args.version) && install_version_text_valid(args.from_version);
    const std::string version = versions_valid ? args.version : std::string();
    const std::string from_version = versions_valid ? args.from_version : std::string();

    nlohmann::ordered_json result;
    result["ok"] = false;
    result["version"] = version;
    result["from"] = from_version;
    result["time"] = unix_time_100ns(started);

    std::error_code ec;
    fs::path install = fs::absolute(args.install_folder, ec);
    if (ec) install = args.install_folder;

    // Whatever is not an installation of this program is left alone: no
    // folder is made there, nothing is moved out of it and nothing started.
    if (install.empty() || !fs::is_regular_file(install / kProgramFileName, ec)) {
        result["error"] = fmt::format("la carpeta {} no tiene una instalación de {}", install.string(),
                                      kAppDisplayName);
        return result;
    }

    const fs::path update = updater_data_dir(install);
    const fs::path log = update / "actualizacion.log";
    const fs::path backup = update / "respaldo";
    const fs::path own_new_folder = update / "nuevo";

    install_log_append(log, fmt::format("Instalando v{} sobre v{} en {}", version, from_version, install.string()),
                       hooks.now());

    if (args.pid != 0) {
        hooks.wait_pid(args.pid, kWaitForOldProgram);
        hooks.sleep(kPauseAfterWait);
    }

    Swap swap;
    std::optional<std::string> failure;
    std::optional<fs::path> new_folder;
    std::uint64_t files = 0;

    const auto package = resolve_package(args.package);
    std::error_code canon_ec;
    const fs::path update_real = fs::weakly_canonical(update, canon_ec);
    if (!versions_valid) {
        failure = "la versión no es válida";
    } else if (!package || canon_ec || !path_strictly_inside(*package, update_real)) {
        // Only what the download left in the update folder is installed, and
        // only that is ever deleted afterwards.
        failure = fmt::format("el paquete no está en la carpeta de actualización: {}", args.package.string());
    } else {
        std::error_code st_ec;
        const auto st = fs::symlink_status(*package, st_ec);
        const bool zip_package = !st_ec && fs::is_regular_file(st);
        new_folder = zip_package ? own_new_folder : *package;

        remove_quietly(backup);

        if (zip_package) {
            auto extracted = vessoria::zip_extract(*package, own_new_folder);
            if (extracted) {
                files = extracted.value();
            } else {
                failure = extracted.error();
            }
        } else if (st_ec || !fs::is_directory(st)) {
            failure = fmt::format("no existe la carpeta de la versión nueva: {}", new_folder->string());
        } else {
            files = fs_count_files(*new_folder);
        }

        const std::string clips = clips_inside_install(install);
        std::vector<std::string> incoming;
        if (clips == "." && !failure) {
            // Clips kept in the program folder itself: only what the new
            // version brings is exchanged, everything else stays.
            DirListing listing = fs_list_dir_sorted(*new_folder);
            if (listing.error) failure = listing.error.message();
            incoming = std::move(listing.names);
        }
        // The user's own entries: never moved out, never replaced by the package's.
        const auto users = [&](std::string_view name) { return is_kept_top_level(name) || name == clips; };
        const auto kept = [&](std::string_view name) {
            return users(name) ||
                   (clips == "." && std::find(incoming.begin(), incoming.end(), name) == incoming.end());
        };
        if (!failure) {
            failure = move_entries(install, backup, kept, swap.moved, hooks);
        }
        if (!failure) {
            failure = move_entries(*new_folder, install, users, swap.placed, hooks);
        }
    }

    if (!failure) {
        make_program_runnable(install / kProgramFileName);
        result["ok"] = true;
        result["files"] = files;
        result["clean"] = true;
        install_log_append(log,
                           fmt::format("Listo: instalación limpia, {} archivo(s); se quitaron {} elemento(s) "
                                       "de la versión anterior.",
                                       files, swap.moved.size()),
                           hooks.now());
        remove_quietly(backup);
    } else {
        result["error"] = *failure;
        install_log_append(log, fmt::format("ERROR: {}. Restaurando la versión anterior…", *failure), hooks.now());
        roll_back(swap, install, backup, log, hooks);
    }

    if (new_folder && (*new_folder == own_new_folder || *new_folder == update_real / "nuevo")) {
        remove_quietly(*new_folder);
    }
    (void)file_replace(update / "resultado.json",
                       result.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));

    if (!args.no_relaunch) relaunch(args, install, log, hooks);
    return result;
}

nlohmann::ordered_json apply_update_main(const ApplyUpdateArgs& args) {
    auto result = apply_update_run(args, install_hooks_system());
    if (!result["ok"].get<bool>()) {
        // Install mode has no log of its own when the folder is refused: this
        // is the only place the reason shows.
        const std::string line = fmt::format("No se pudo instalar la actualización: {}\n",
                                             result["error"].get<std::string>());
        std::fputs(line.c_str(), stderr);
    }
    return result;
}

}  // namespace corvane
