// "/api/manual": the user manual in Markdown, read from beside the program.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvane {

// Placeholders under a reserved domain until the project publishes real ones.
inline constexpr std::string_view kUiContact = "soporte@corvane.example";
inline constexpr std::string_view kUiDonate = "https://corvane.example/apoyar";

// Walks the lines of a text (split at "\n", a "\r" before it dropped, no empty
// line after a final "\n"), skipping those whose first characters after
// leading white space are "<!--".
class ui_help_line_scan {
public:
    explicit ui_help_line_scan(std::string_view text) : rest_(text) {}
    std::optional<std::string_view> next();

private:
    std::string_view rest_;
    bool done_ = false;
};

// {"ok": true, "md", "lang"} with the manual of `lang` ("en" exactly, else
// "es"), comment lines dropped and the placeholders filled; {"ok": false,
// "error": "no se encontró {path} ({reason})"} when it cannot be read.
nlohmann::ordered_json ui_help_page(std::string_view lang);

}  // namespace corvane
