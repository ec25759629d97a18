// "corvane.ini": the INI syntax the reader accepts, the single-key writer, the
// default template and the loading procedure that creates or completes the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvane {

struct IniKey {
    std::string section;  // lower-cased
    std::string key;      // lower-cased
    bool operator==(const IniKey&) const = default;
};
struct IniKeyHash {
    size_t operator()(const IniKey& k) const noexcept {
        return std::hash<std::string>{}(k.section) * 31u ^ std::hash<std::string>{}(k.key);
    }
};
// (section, key) -> value; the last occurrence in the text wins.
using IniTable = std::unordered_map<IniKey, std::string, IniKeyHash>;

IniTable config_parse_ini(std::string_view text);

// Section and key are given in lower case.
std::optional<std::string> config_ini_get(const IniTable& table, std::string_view section,
                                          std::string_view key);

// An unsigned integer of [clips]; a bad value keeps `current` and appends
// "{} '{}' no válido (0 a {})".
std::uint64_t config_ini_get_uint(const IniTable& table, std::string_view key,
                                  std::uint64_t current, std::uint64_t bound,
                                  std::vector<std::string>& warnings);

// The header lines of `text` in order, each as the reader sees it: "[" + the
// inner text trimmed and lower-cased + "]" (so "[ Audio ]" gives "[audio]").
std::vector<std::string> config_find_section_lines(std::string_view text);

// The built-in default template (UTF-8, LF line ends, ends with a line end).
std::string_view config_default_template();

// Result of a file operation: `error` holds the Spanish text of the failure.
struct ConfigStatus {
    std::string error;
    bool ok() const { return error.empty(); }
};

// Rewrites one key of "corvane.ini" (replacing its first line in the section,
// else adding it at the section's end, else appending the section), under the
// process-wide INI lock. The file is written to a temporary file, synced and
// renamed, with CRLF line ends. Refuses a section, key or value holding a
// line break or another control character, a line separator or broken UTF-8
// (whatever text_has_controls finds). Fails without touching the file when it
// exists but cannot be read or is not UTF-8.
ConfigStatus config_write_key(std::string_view section, std::string_view key,
                              std::string_view value);

// The whole loading procedure under the process-wide INI lock: finds the file
// (moving a legacy one into place), creates it from the template when missing
// (then `parse` is not called and the defaults stand), otherwise calls `parse`
// with the table of the text as read and appends the template's blocks of
// missing sections. Appends "No se pudo crear {}: {}" when creation fails, and
// "No se pudo leer {}: {}" when the file exists but cannot be used (then the
// defaults stand and the file is left alone). `parse` runs under the lock and
// must not call back into the INI functions.
void config_load_file(const std::function<void(const IniTable&)>& parse,
                      std::vector<std::string>& warnings);

}  // namespace corvane
