#include "base/json.h"

namespace corvane {

bool json_nesting_within(std::string_view text, int limit) {
    return !json_nesting_exceeded_at(text, limit).has_value();
}

std::optional<std::size_t> json_nesting_exceeded_at(std::string_view text, int limit) {
    int depth = 0;
    bool in_string = false, escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return std::nullopt;
}

nlohmann::ordered_json json_parse_untrusted(std::string_view text, int depth_limit) {
    if (!json_nesting_within(text, depth_limit))
        return nlohmann::ordered_json(nlohmann::ordered_json::value_t::discarded);
    return nlohmann::ordered_json::parse(text, nullptr, false);
}

}  // namespace corvane
