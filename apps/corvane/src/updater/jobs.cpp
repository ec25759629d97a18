#include "updater/jobs.h"

#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "base/log.h"
#include "base/text.h"
#include "base/tray.h"
#include "base/version.h"
#include "platform/thread.h"
#include "updater/install_job.h"
#include "updater/updater.h"

namespace corvane {

namespace {

constexpr std::size_t kBannerChanges = 3;
constexpr std::size_t kBannerBullets = 4;
constexpr std::size_t kBannerBulletChars = 110;
constexpr std::uint64_t kCheckInterval = 86400;
constexpr std::chrono::seconds kStartupCheckDelay{8};

struct Status {
    std::mutex mutex;
    const char* state = updater_state::kIdle;
    std::string message;
    std::optional<UpdateInfo> info;
};

Status& status() {
    static Status s;
    return s;
}

struct Shared {
    std::mutex mutex;
    std::shared_ptr<const UpdaterContext> context;
    UpdaterHooks replaced;
    vessoria::WebConfig web;
};

Shared& shared() {
    static Shared s;
    return s;
}

// State, message and info replaced in one hold of the lock.
void set_status_and_info(const char* state, std::string message, std::optional<UpdateInfo> info) {
    auto& s = status();
    std::lock_guard lock(s.mutex);
    s.state = state;
    s.message = std::move(message);
    s.info = std::move(info);
}

std::string up_to_date_text() {
    return fmt::format("Ya tienes la versión más reciente (v{}).", kVersionText);
}

void store_newer(const UpdateInfo& info, const std::string& hotkey_text) {
    updater_print_banner(info, hotkey_text);
    set_status_and_info(updater_state::kAvailable,
                        fmt::format("Hay una versión nueva: v{}", info.version), info);
}

std::string remove_double_stars(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "**") == 0) {
            i += 2;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// The first `limit` characters (code points) of valid UTF-8 text.
std::string cut_chars(const std::string& text, std::size_t limit) {
    std::size_t i = 0, count = 0;
    while (i < text.size() && count < limit) {
        char32_t cp = 0;
        const std::size_t n = utf8_decode(text, i, cp);
        i += n == 0 ? 1 : n;
        ++count;
    }
    return text.substr(0, i);
}

std::vector<std::string> bullet_lines(std::string_view md) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= md.size() && out.size() < kBannerBullets) {
        std::size_t end = md.find('\n', start);
        std::string_view line =
            md.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        line = utf8_trim_start(line);
        if (line.substr(0, 2) == "- ") {
            out.push_back(cut_chars(remove_double_stars(line.substr(2)), kBannerBulletChars));
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return out;
}

}  // namespace

void updater_set_status(const char* state, std::string message) {
    auto& s = status();
    std::lock_guard lock(s.mutex);
    s.state = state;
    s.message = std::move(message);
}

std::optional<UpdateInfo> updater_status_snapshot() {
    auto& s = status();
    std::lock_guard lock(s.mutex);
    return s.info;
}

void updater_status_read(const std::function<void(const char*, const std::string&,
                                                  const std::optional<UpdateInfo>&)>& read) {
    auto& s = status();
    std::lock_guard lock(s.mutex);
    read(s.state, s.message, s.info);
}

bool updater_context_publish(UpdaterContext context) {
    auto& s = shared();
    std::lock_guard lock(s.mutex);
    if (s.context) return false;
    s.context = std::make_shared<const UpdaterContext>(std::move(context));
    return true;
}

std::shared_ptr<const UpdaterContext> updater_context() {
    auto& s = shared();
    std::lock_guard lock(s.mutex);
    return s.context;
}

UpdaterHooks updater_hooks() {
    UpdaterHooks h;
    {
        auto& s = shared();
        std::lock_guard lock(s.mutex);
        h = s.replaced;
    }
    if (!h.check) {
        h.check = [](const std::filesystem::path& folder) {
            return update_check(folder, UpdateCheckConfig{updater_web_config()});
        };
    }
    if (!h.install) {
        h.install = [](const std::filesystem::path& folder, const UpdateInfo& info) {
            updater_download_and_install(folder, info);
        };
    }
    if (!h.sleep) h.sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    if (!h.start_worker) {
        h.start_worker = [](std::function<void()> body) {
            return thread_start_detached("crvn-actualizar", std::move(body));
        };
    }
    return h;
}

void updater_set_hooks_for_tests(UpdaterHooks hooks) {
    auto& s = shared();
    std::lock_guard lock(s.mutex);
    s.replaced = std::move(hooks);
}

void updater_reset_for_tests() {
    set_status_and_info(updater_state::kIdle, "", std::nullopt);
    UpdaterBusy.store(false);
    UpdateCheckRequested.store(false);
    auto& s = shared();
    std::lock_guard lock(s.mutex);
    s.context.reset();
    s.replaced = {};
    s.web = {};
}

void updater_set_web_config_for_tests(vessoria::WebConfig config) {
    auto& s = shared();
    std::lock_guard lock(s.mutex);
    s.web = std::move(config);
}

vessoria::WebConfig updater_web_config() {
    auto& s = shared();
    std::lock_guard lock(s.mutex);
    return s.web;
}

std::vector<std::string> updater_banner_lines(const UpdateInfo& info,
                                              const std::string& hotkey_text) {
    std::vector<std::string> lines;
    const std::string rule(62, '=');
    lines.push_back("\n" + rule);
    lines.push_back(fmt::format("  [ACTUALIZACIÓN] Hay una versión nueva: v{} (tienes la v{})",
                                info.version, kVersionText));
    for (std::size_t i = 0; i < info.changes.size() && i < kBannerChanges; ++i) {
        lines.push_back(fmt::format("  v{}:", info.changes[i].version));
        for (const auto& bullet : bullet_lines(info.changes[i].md))
            lines.push_back(fmt::format("    • {}", bullet));
    }
    lines.push_back(fmt::format(
        "  Para instalarla: {} o el menú del ícono → Buscar actualizaciones (fuera de partida). "
        "Novedades: {}",
        hotkey_text, info.page));
    lines.push_back(rule);
    return lines;
}

void updater_print_banner(const UpdateInfo& info, const std::string& hotkey_text) {
    for (const auto& line : updater_banner_lines(info, hotkey_text)) log_line(line);
    tray_post(fmt::format("Corvane v{} disponible", info.version),
              fmt::format("Para instalarla (fuera de partida): clic derecho en el ícono → Buscar "
                          "actualizaciones, o {}.",
                          hotkey_text),
              0);
}

void updater_run_check(const std::filesystem::path& program_folder, const std::string& hotkey_text,
                       bool balloons) {
    updater_set_status(updater_state::kSearching, "Buscando actualizaciones…");
    log_line("\n[ACTUALIZACIÓN] Buscando actualizaciones…");
    const UpdateCheckOutcome out = updater_hooks().check(program_folder);
    switch (out.kind) {
        case UpdateCheckOutcome::Kind::up_to_date: {
            const std::string text = up_to_date_text();
            log_line("[ACTUALIZACIÓN] " + text);
            if (balloons) tray_post("Corvane", text, 0);
            // What the server no longer offers must not be installed by the
            // next press of the hotkey.
            set_status_and_info(updater_state::kUpToDate, text, std::nullopt);
            return;
        }
        case UpdateCheckOutcome::Kind::error:
            log_line("[ACTUALIZACIÓN] No se pudo buscar: " + out.error);
            if (balloons) tray_post("No se pudo buscar actualizaciones", out.error, 1);
            updater_set_status(updater_state::kError,
                               "No se pudo buscar actualizaciones: " + out.error);
            return;
        case UpdateCheckOutcome::Kind::newer:
            store_newer(out.info, hotkey_text);
            return;
    }
}

void updater_job_thread_main(UpdateJob job) {
    const UpdaterHooks hooks = updater_hooks();
    if (job.kind == UpdateJob::Kind::check) {
        updater_run_check(job.program_folder, job.hotkey_text, false);
    } else {
        hooks.install(job.program_folder, job.info);
    }
    UpdaterBusy.store(false);
}

bool updater_check_due(bool enabled, std::chrono::system_clock::time_point now,
                       std::uint64_t last_check) {
    if (!enabled) return false;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    if (secs < 0) return false;
    const auto now_s = static_cast<std::uint64_t>(secs);
    // A last check in the future (a clock set back) is not "more than a day ago".
    return now_s > last_check && now_s - last_check > kCheckInterval;
}

void updater_startup_check_thread(const std::filesystem::path& program_folder,
                                  const std::string& hotkey_text) {
    const UpdaterHooks hooks = updater_hooks();
    hooks.sleep(kStartupCheckDelay);
    if (UpdaterBusy.exchange(true)) return;  // the flag belongs to the running job
    const UpdateCheckOutcome out = hooks.check(program_folder);
    switch (out.kind) {
        case UpdateCheckOutcome::Kind::up_to_date:
            set_status_and_info(updater_state::kUpToDate, up_to_date_text(), std::nullopt);
            break;
        case UpdateCheckOutcome::Kind::error:
            log_line("\n[ACTUALIZACIÓN] No se pudo buscar actualizaciones: " + out.error);
            break;
        case UpdateCheckOutcome::Kind::newer:
            store_newer(out.info, hotkey_text);
            break;
    }
    UpdaterBusy.store(false);
}

void updater_act(const std::filesystem::path& program_folder, const std::string& hotkey_text) {
    if (GameInFrontFlag.load()) {
        log_line(
            "\n[ACTUALIZACIÓN] Estás jugando (el juego está al frente): termina primero (no se "
            "actualiza mientras juegas).");
        tray_post("Actualización", "Estás en partida: termina primero.", 0);
        return;
    }
    if (UpdaterBusy.exchange(true)) return;
    if (auto info = updater_status_snapshot()) {
        updater_hooks().install(program_folder, *info);
    } else {
        updater_run_check(program_folder, hotkey_text, true);
    }
    UpdaterBusy.store(false);
}

void updater_action_pass(const UpdaterActionContext& context) {
    const bool pressed = context.hotkey_pressed && context.hotkey_pressed();
    const bool requested = UpdateCheckRequested.exchange(false);
    if (pressed || requested) updater_act(context.program_folder, context.hotkey_text);
}

void updater_menu_action_thread(UpdaterActionContext context) {
    for (;;) {
        if (context.quit && context.quit->set.load(std::memory_order_relaxed)) return;
        updater_action_pass(context);
        std::this_thread::sleep_for(kUpdaterActionPeriod);
    }
}

}  // namespace corvane
