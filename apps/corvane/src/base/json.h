// Reading JSON that comes from outside (files, requests, OCR'd history lines).
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string_view>

namespace corvane {

// True when arrays and objects nest at most `limit` deep (strings are skipped).
// Checked before parsing: the recursive parser would otherwise overflow the
// stack on hostile input.
bool json_nesting_within(std::string_view text, int limit);
// The byte offset of the first bracket that nests deeper than `limit`, if any.
std::optional<std::size_t> json_nesting_exceeded_at(std::string_view text, int limit);

// Parses without exceptions; a syntax error or deeper nesting than `depth_limit`
// gives a discarded value (`is_discarded()`).
nlohmann::ordered_json json_parse_untrusted(std::string_view text, int depth_limit = 256);

}  // namespace corvane
