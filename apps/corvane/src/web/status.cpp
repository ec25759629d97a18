#include "web/status.h"

#include <fmt/format.h>

#include "base/config_file.h"
#include "base/file_read.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/settings.h"
#include "clips/library.h"
#include "recording/audio_devices.h"
#include "web/app_hooks.h"
#include "web/templates.h"

namespace corvane {

namespace {

using Json = nlohmann::ordered_json;

// Far above any hand-written configuration; a larger file reads as unreadable.
constexpr std::size_t kIniReadLimit = 16u << 20;

constexpr UiMonitorSize kFallbackMonitor{2560, 1440};

}  // namespace

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
    reply["version"] = kUiVersion;
    reply["fecha"] = kUiBuildDate;
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
    reply["disco"] = clips_disk_usage_json(settings.general.carpeta_clips, settings.clips.limite_disco_gb);
    reply["primera_vez"] = FirstRunFlag.load(std::memory_order_relaxed);
    std::optional<UiMonitorSize> monitor = hooks->monitor ? hooks->monitor() : std::nullopt;
    if (!monitor || monitor->width == 0 || monitor->height == 0) monitor = kFallbackMonitor;
    reply["monitor"] = Json::array({monitor->width, monitor->height});
    return reply;
}

}  // namespace corvane
