// "/api/guardar": the settings page's changes written into "corvane.ini".
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvane {

inline constexpr std::string_view kSampleNoticeTitle = "RACHA x2";
inline constexpr std::string_view kSampleNoticeText =
    "Enemigo1, Enemigo2 · Clip guardado · 14 s (aviso de prueba)";

// What a change's value becomes before it is written: line breaks and ';'
// turn into spaces, then white space is trimmed at both ends.
std::string ui_clean_setting_value(std::string_view value);

// Writes each change of body {"cambios": [{"s","k","v"}...]} key by key, then
// reloads the configuration and applies the live ones. The reply is
// {"ok","errores","avisos","reiniciar","en_vivo"}, or {"ok": false, "error":
// "sin cambios"} when the body holds no list of changes.
nlohmann::ordered_json ui_save_settings(const nlohmann::ordered_json& body);

}  // namespace corvane
