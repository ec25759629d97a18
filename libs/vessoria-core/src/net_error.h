// What a failed transfer tells the user: a few Spanish words for what went
// wrong, with libcurl's number kept for a report. The updater's GET helper and
// the AI transport both word their network failures here.
#pragma once

#include <string>
#include <string_view>

namespace vessoria {

// The words alone, e.g. "no se encontró el servidor"; "falló la conexión"
// for a number without words of its own.
std::string_view net_error_words(int curl_code);

// "{words} (error de red {number})", e.g. "no se encontró el servidor (error de red 6)".
std::string net_error_text(int curl_code);

}  // namespace vessoria
