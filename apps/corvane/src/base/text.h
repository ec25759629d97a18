// UTF-8 text helpers shared by every module: validation, Unicode white-space
// trimming, lossy decoding and full Unicode case mapping.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// True when `s` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool utf8_valid(std::string_view s);

// Replaces every ill-formed sequence with U+FFFD (one per maximal subpart).
std::string utf8_lossy(std::string_view s);

// Removes leading and trailing characters with the Unicode White_Space property.
// Ill-formed input is trimmed of ASCII white space only.
std::string utf8_trim(std::string_view s);

// Full Unicode lower / upper case (locale-independent). Ill-formed input is
// decoded lossily first.
std::string utf8_lower(std::string_view s);
std::string utf8_upper(std::string_view s);

// Decodes the code point at s[i] into cp; returns its byte length, or 0 when the
// bytes at i are not well-formed UTF-8.
size_t utf8_decode(std::string_view s, size_t i, char32_t& cp);

// Appends the UTF-8 bytes of cp (a Unicode scalar value).
void utf8_append(std::string& out, char32_t cp);

// At most `max_units` UTF-16 code units of `s` (a character beyond U+FFFF
// counts two), cut only between characters. Ill-formed input is decoded
// lossily first, so the result is always well-formed.
std::string utf8_cut_utf16(std::string_view s, size_t max_units);

// True for characters with the Unicode White_Space property.
bool unicode_is_white_space(char32_t cp);

// `s` without its leading Unicode white space; stops at the first byte that is
// not well-formed UTF-8.
std::string_view utf8_trim_start(std::string_view s);

// The words of `text` split at runs of Unicode white space (no empty words).
// A byte that is not well-formed UTF-8 counts as one non-space character.
std::vector<std::string_view> utf8_split_white_space(std::string_view text);

// A decimal number: ASCII digits with one optional leading "+", nothing else.
// None when empty, malformed or above `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view s,
                                           std::uint64_t max = std::numeric_limits<std::uint64_t>::max());

// Text from outside (a request, an INI value, OCR, a file name, a server's
// reply) made safe for one line of a log or a terminal: every C0 control
// character, DEL, every C1 control (NEL U+0085 among them), the line and
// paragraph separators U+2028 and U+2029, and every byte that is not part of
// well-formed UTF-8 are written as escapes ("\x1b", "\u2028", "\xff"), so
// the text can neither end its line, fake another one, nor drive the terminal.
// Everything else, backslashes included, is kept as it is.
std::string text_escape_controls(std::string_view text);

// True when text_escape_controls would change `text`.
bool text_has_controls(std::string_view text);

// ASCII-only lower case (for keys and names that are ASCII by construction).
std::string ascii_lower(std::string_view s);

}  // namespace corvane
