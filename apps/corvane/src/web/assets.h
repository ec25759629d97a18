// Files under assets/ (pages, styles, scripts, fonts, icons), compiled into
// the program at build time. The definitions are generated from the folder.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace corvane {

struct EmbeddedAsset {
    std::string_view name;   // path relative to assets/, "/"-separated ("pages/ajustes.html")
    std::string_view bytes;  // the file's exact content
};

// Every embedded file, sorted by name.
std::span<const EmbeddedAsset> embedded_assets();

// The content of the file with exactly that name.
std::optional<std::string_view> embedded_asset(std::string_view name);

}  // namespace corvane
