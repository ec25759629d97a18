// The updater as the help page sees it: one status object for GET
// "/api/actualizacion", and the "buscar" / "instalar" actions behind POST
// (also the tray's "Buscar actualizaciones").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvane {

// The status, one consistent view: "version", "fecha", "fase", "mensaje",
// "ocupado", "nueva" (null or the newer version with all its changes),
// "ultima_busqueda", "tecla", "juego_al_frente".
nlohmann::ordered_json updater_status_json();

// Starts a check ("buscar") or the install of the known newer version
// ("instalar") on a worker. Nothing when the job was started, else the
// refusal text.
std::optional<std::string> updater_handle_action(std::string_view action);

}  // namespace corvane
