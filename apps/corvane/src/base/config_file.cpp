#include "base/config_file.h"

#include <fmt/format.h>

#include "base/text.h"

namespace corvane {

namespace {

// Lines at "\n", a CR right before it dropped; a last line without an end counts.
std::vector<std::string_view> ini_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t lf = text.find('\n', start);
        std::string_view line =
            lf == std::string_view::npos ? text.substr(start) : text.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (lf == std::string_view::npos) {
            if (!line.empty()) lines.push_back(line);
            break;
        }
        lines.push_back(line);
        start = lf + 1;
    }
    return lines;
}

}  // namespace

IniTable config_parse_ini(std::string_view text) {
    IniTable table;
    std::string section;
    for (std::string_view raw : ini_lines(text)) {
        std::string line = utf8_trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            section = utf8_lower(utf8_trim(std::string_view(line).substr(1, line.size() - 2)));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = utf8_lower(utf8_trim(std::string_view(line).substr(0, eq)));
        std::string_view value = std::string_view(line).substr(eq + 1);
        size_t semi = value.find(';');
        if (semi != std::string_view::npos) value = value.substr(0, semi);
        std::string v = utf8_trim(value);
        size_t a = 0, e = v.size();
        while (a < e && v[a] == '"') ++a;
        while (e > a && v[e - 1] == '"') --e;
        table[IniKey{section, std::move(key)}] = v.substr(a, e - a);
    }
    return table;
}

std::optional<std::string> config_ini_get(const IniTable& table, std::string_view section,
                                          std::string_view key) {
    auto it = table.find(IniKey{std::string(section), std::string(key)});
    if (it == table.end()) return std::nullopt;
    return it->second;
}

std::uint64_t config_ini_get_uint(const IniTable& table, std::string_view key,
                                  std::uint64_t current, std::uint64_t bound,
                                  std::vector<std::string>& warnings) {
    auto v = config_ini_get(table, "clips", key);
    if (!v || v->empty()) return current;
    std::string_view s = *v;
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    bool ok = !s.empty();
    std::uint64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            ok = false;
            break;
        }
        std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (n > (UINT64_MAX - d) / 10) {
            ok = false;
            break;
        }
        n = n * 10 + d;
    }
    if (ok && n <= bound) return n;
    warnings.push_back(fmt::format("{} '{}' no válido (0 a {})", key, *v, bound));
    return current;
}

}  // namespace corvane
