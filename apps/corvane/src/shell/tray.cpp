#include "shell/tray.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "base/log.h"
#include "base/text.h"
#include "base/version.h"
#include "platform/processes.h"

namespace corvane {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string tray_tooltip_text(const std::string& status, const std::optional<GameStatus>& game) {
    const std::string game_line = game ? fmt::format("Juego: {} ({})", game->title, game->exe)
                                       : std::string("Juego: ningún Call of Duty abierto");
    if (status.empty()) return fmt::format("{} v{}\n{}", kDisplayName, kVersionText, game_line);
    return fmt::format("{} v{}\n{}\n{}", kDisplayName, kVersionText, game_line, status);
}

std::string tray_tooltip_text() {
    // Each record is copied under its own lock, never both at once.
    const std::string status = status_text();
    return utf8_cut_utf16(tray_tooltip_text(status, game_status_snapshot()), kTooltipUnits);
}

std::vector<TrayMenuItem> tray_menu_rows(const TrayContext& ctx,
                                         const std::optional<GameStatus>& game, bool detector_on) {
    auto row = [](int id, std::string text, std::string key = {}) {
        TrayMenuItem item;
        item.id = id;
        item.text = std::move(text);
        item.key = std::move(key);
        return item;
    };
    auto greyed = [&](std::string text) {
        TrayMenuItem item = row(0, std::move(text));
        item.enabled = false;
        return item;
    };
    TrayMenuItem separator;
    separator.separator = true;
    separator.enabled = false;

    std::vector<TrayMenuItem> rows;
    rows.push_back(greyed(fmt::format("{} v{}", kDisplayName, kVersionText)));
    rows.push_back(greyed(game ? fmt::format("🎮 {}", game->title)
                               : std::string("🎮 Ningún Call of Duty abierto")));
    rows.push_back(separator);
    TrayMenuItem open = row(tray_ids::kOpenClips, "Abrir Corvane (Clips)", ctx.viewer_key);
    open.bold = true;
    rows.push_back(open);
    rows.push_back(row(tray_ids::kSettings, "Ajustes…"));
    rows.push_back(row(tray_ids::kSaveClip, "Guardar clip ahora", ctx.save_key));
    TrayMenuItem detector = row(tray_ids::kDetector, "Detector de bajas y muertes");
    detector.checked = detector_on;
    rows.push_back(detector);
    rows.push_back(separator);
    rows.push_back(row(tray_ids::kOpenFolder, "Abrir carpeta de clips"));
    rows.push_back(row(tray_ids::kHelp, "Ayuda (manual)"));
    rows.push_back(row(tray_ids::kShowLog, "Ver registro"));
    rows.push_back(row(tray_ids::kCheckUpdates, "Buscar actualizaciones", ctx.update_key));
    rows.push_back(separator);
    rows.push_back(row(tray_ids::kRestart, "Reiniciar Corvane"));
    rows.push_back(row(tray_ids::kQuit, "Salir"));
    return rows;
}

namespace {

void call(const std::function<void(const std::string&)>& f, const std::string& arg) {
    if (f) f(arg);
}

void call(const std::function<void()>& f) {
    if (f) f();
}

}  // namespace

void tray_command(int id, const TrayActions& actions) {
    const TrayContext* ctx = tray_context();
    if (!ctx) return;
    switch (id) {
        case tray_ids::kSettings:
            call(actions.open_window, "ajustes");
            return;
        case tray_ids::kSaveClip:
            tray_save_clip();
            return;
        case tray_ids::kOpenClips:
            call(actions.open_window, "clips");
            return;
        case tray_ids::kOpenFolder: {
            std::error_code ec;
            fs::create_directories(ctx->clips_folder, ec);  // a failure shows when opening
            call(actions.open_folder, ctx->clips_folder.string());
            return;
        }
        case tray_ids::kShowLog:
            call(actions.open_window, "ayuda:registro");
            return;
        case tray_ids::kCheckUpdates:
            call(actions.open_window, "ayuda:actualizaciones");
            call(actions.updater, "buscar");
            return;
        case tray_ids::kHelp:
            call(actions.open_window, "ayuda");
            return;
        case tray_ids::kRestart:
            call(actions.restart);
            return;
        case tray_ids::kQuit:
            call(actions.quit);
            return;
        case tray_ids::kDetector: {
            // The balloon tells of the change this toggle made, even when the
            // web interface switches it at the same moment.
            const bool was = DetectorEnabledFlag.load();
            const bool before = detector_set_enabled(!was);
            if (before == !was) return;  // someone else made the same change first
            if (before) {
                tray_post("Detector apagado",
                          fmt::format("No lee la pantalla ni guarda clips automáticos. La "
                                      "grabación y {} siguen funcionando.",
                                      tray_save_key_name()),
                          0);
            } else {
                tray_post("Detector encendido",
                          "Vuelve a leer bajas, derribos y muertes cuando el juego está al "
                          "frente.",
                          0);
            }
            return;
        }
        default:
            return;
    }
}

std::string tray_open_folder(const std::string& path) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        return fmt::format("no es una carpeta: {}", path);
    }
    const char* env_path = std::getenv("PATH");
    std::string_view dirs = env_path && *env_path ? env_path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const auto colon = dirs.find(':');
        const fs::path dir(std::string(dirs.substr(0, colon)));
        const fs::path candidate = dir / "xdg-open";
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            const SpawnResult r = process_spawn_detached(candidate, {path}, fs::path(path));
            return r.ok ? std::string() : r.error;
        }
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    return "no se encontró xdg-open";
}

namespace {
// Whether the missing notification service has been logged since it last
// worked (tray thread only): once, not at every balloon.
bool g_notify_warned = false;
}  // namespace

void tray_show_balloons(Notifier* notifier) {
    bool& warned = g_notify_warned;
    for (const Balloon& b : tray_balloons_take()) {
        if (!notifier) continue;
        const std::string error =
            notifier->notify(utf8_cut_utf16(b.title, kBalloonTitleUnits),
                             utf8_cut_utf16(b.body, kBalloonBodyUnits), b.warning != 0);
        if (!error.empty() && !warned) {
            warned = true;
            log_line(fmt::format("[AVISO] Los avisos del escritorio no se muestran: {}", error));
        } else if (error.empty()) {
            warned = false;
        }
    }
}

bool tray_handle_event(TrayIcon& icon, TrayEvent event, Notifier* notifier,
                       const TrayActions& actions) {
    switch (event) {
        case TrayEvent::lost:
            return false;
        case TrayEvent::timeout:
            if (quit_requested()) {
                icon.remove();
                return false;
            }
            icon.set_tooltip(tray_tooltip_text());
            return true;
        case TrayEvent::woken:
            tray_show_balloons(notifier);
            return true;
        case TrayEvent::left_click:
            if (tray_context()) call(actions.open_window, "clips");
            return true;
        case TrayEvent::right_click: {
            const TrayContext* ctx = tray_context();
            if (!ctx) return true;
            const int id = icon.run_menu(
                tray_menu_rows(*ctx, game_status_snapshot(), DetectorEnabledFlag.load()));
            if (id != 0) tray_command(id, actions);
            return true;
        }
    }
    return true;
}

void tray_thread_main(TrayThreadContext ctx) {
    TrayIconResult opened = tray_icon_open(ctx.display, tray_tooltip_text());
    if (!opened.icon) {
        log_line("[AVISO] No se pudo crear el ícono de la bandeja.");
        log_line(fmt::format("[AVISO] Bandeja: {}", opened.error));
        return;
    }
    // Shared with the waker and the remover, which other threads may be
    // running when this thread ends.
    std::shared_ptr<TrayIcon> owner(std::move(opened.icon));
    TrayIcon& icon = *owner;
    NotifierResult notifier = notifier_open();
    if (!notifier.error.empty()) {
        g_notify_warned = true;
        log_line(
            fmt::format("[AVISO] Los avisos del escritorio no se muestran: {}", notifier.error));
    }
    tray_set_remover([owner] { owner->request_remove(); });
    tray_set_waker([owner] { owner->wake(); });
    tray_show_balloons(notifier.notifier.get());

    // The 2-s timer: a tick is due every 2 s whatever else arrives meanwhile.
    auto next_tick = std::chrono::steady_clock::now() + 2s;
    bool host_checked = false;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - now);
        TrayEvent event = icon.wait(std::max(left, std::chrono::milliseconds(0)));
        if (event == TrayEvent::timeout) {
            if (std::chrono::steady_clock::now() < next_tick) continue;
            next_tick += 2s;
            if (next_tick < std::chrono::steady_clock::now()) {
                next_tick = std::chrono::steady_clock::now() + 2s;
            }
            // Asked once, at the first tick: later the icon may have been
            // removed on purpose.
            if (!host_checked && !icon.has_host() && !quit_requested()) {
                log_line("[AVISO] No hay bandeja del sistema: el ícono aparecerá cuando haya una.");
            }
            host_checked = true;
        }
        if (!tray_handle_event(icon, event, notifier.notifier.get(), ctx.actions)) break;
    }
    tray_set_waker({});
    tray_set_remover({});
    icon.remove();
}

}  // namespace corvane
