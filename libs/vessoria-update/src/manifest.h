// Value rules of the update manifest and the canonical JSON text its
// signature covers. The text must be rebuilt byte for byte, so every rule
// here is fixed; all functions are pure.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "result.h"

namespace vessoria {

using Json = nlohmann::ordered_json;
using VersionTuple = std::vector<__int128>;
using UpdateKey = std::array<std::uint8_t, 32>;

// Null, false, numbers equal to zero (NaN is true) and empty text, arrays and
// objects are false; everything else is true.
bool py_truthy(const Json& value);
// "NoneType", "bool", "int", "float", "str", "list" or "dict".
const char* py_type_name(const Json& value);
// Arrays and objects of any depth are written without recursion (also in
// canonical_json): a manifest is read before its signature is checked.
std::string py_str(const Json& value);
std::string py_json_number(const Json& number);
std::string_view py_strip(std::string_view text);
std::optional<__int128> py_int(std::string_view text);
// Never fails: an unreadable version reads as (0).
VersionTuple version_tuple(std::string_view text);
// Whether version a is newer than version b.
bool version_newer(const VersionTuple& a, const VersionTuple& b);
Result<std::vector<std::uint8_t>> py_fromhex(std::string_view text);
std::optional<UpdateKey> key_from_hex(std::string_view text);
void json_escape(std::string_view text, std::string& out);
void canonical_json(const Json& value, std::string& out);

}  // namespace vessoria
