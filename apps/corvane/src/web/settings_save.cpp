#include "web/settings_save.h"

#include <fmt/format.h>

#include "base/avisos.h"
#include "base/config_file.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/text.h"
#include "web/app_hooks.h"
#include "web/status.h"

namespace corvane {

namespace {

using Json = nlohmann::ordered_json;

std::string member_text(const Json& change, const char* name) {
    if (!change.is_object()) return {};
    auto it = change.find(name);
    if (it == change.end() || !it->is_string()) return {};
    return it->get<std::string>();
}

std::size_t code_points(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// The log is shown on the help page and sent along with reports: the AI
// service key must never appear in it.
std::string value_for_log(std::string_view section, std::string_view key, const std::string& value) {
    if (section == "ia" && key == "clave_gemini")
        return fmt::format("(oculta, {} caracteres)", code_points(value));
    return value;
}

}  // namespace

std::string ui_clean_setting_value(std::string_view value) {
    std::string out(value);
    for (char& c : out)
        if (c == '\n' || c == '\r' || c == ';') c = ' ';
    return utf8_trim(out);
}

Json ui_save_settings(const Json& body) {
    if (!body.is_object() || !body.contains("cambios") || !body["cambios"].is_array()) {
        Json refused = Json::object();
        refused["ok"] = false;
        refused["error"] = "sin cambios";
        return refused;
    }
    const Json& changes = body["cambios"];
    Json errors = Json::array();
    bool live_written = false;
    bool restart_needed = false;
    bool touches_detector = false;
    bool touches_notices = false;
    bool shows_sample = false;
    for (const Json& change : changes) {
        const std::string section = member_text(change, "s");
        const std::string key = member_text(change, "k");
        const std::string value = ui_clean_setting_value(member_text(change, "v"));
        if (section == "detector" && key == "activo") touches_detector = true;
        if (section == "avisos") {
            touches_notices = true;
            if (key == "posicion" || key == "activo") shows_sample = true;
        }
        const UiSettingKey* row = ui_settings_key_find(section, key);
        if (!row) {
            errors.push_back(fmt::format("opción desconocida {}.{}", section, key));
            continue;
        }
        const ConfigStatus written = config_write_key(section, key, value);
        if (!written.ok()) {
            errors.push_back(fmt::format("no se pudo guardar {}: {}", key, written.error));
            continue;
        }
        log_line(fmt::format("[CONFIGURACIÓN] [{}] {} = {}", section, key, value_for_log(section, key, value)));
        if (row->live) live_written = true;
        else restart_needed = true;
    }

    const Settings settings = config_load();
    auto hooks = ui_app_hooks();
    if (touches_detector && hooks->detector_set_enabled) hooks->detector_set_enabled(settings.detector.activo);
    if (touches_notices) {
        if (hooks->notice_settings) hooks->notice_settings(settings.avisos);
        if (settings.avisos.activo && shows_sample) avisos_push(1, kSampleNoticeTitle, kSampleNoticeText);
    }
    if (restart_needed) UiRestartPending.store(true, std::memory_order_relaxed);

    Json reply = Json::object();
    reply["ok"] = errors.empty();
    reply["errores"] = std::move(errors);
    reply["avisos"] = settings.warnings;
    reply["reiniciar"] = UiRestartPending.load(std::memory_order_relaxed);
    reply["en_vivo"] = live_written;
    return reply;
}

}  // namespace corvane
