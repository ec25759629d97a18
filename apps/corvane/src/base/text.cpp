#include "base/text.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace corvane {

// Decodes one code point at s[i]; returns its length, or 0 when ill-formed.
// Follows the well-formed byte sequences of the Unicode standard (table 3-7).
size_t utf8_decode(std::string_view s, size_t i, char32_t& cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c0 = b(i);
    const size_t n = s.size();
    if (c0 < 0x80) {
        cp = c0;
        return 1;
    }
    auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
        return k < n && b(k) >= lo && b(k) <= hi;
    };
    if (c0 >= 0xC2 && c0 <= 0xDF) {
        if (!cont(i + 1)) return 0;
        cp = ((c0 & 0x1Fu) << 6) | (b(i + 1) & 0x3Fu);
        return 2;
    }
    if (c0 >= 0xE0 && c0 <= 0xEF) {
        unsigned lo = c0 == 0xE0 ? 0xA0 : 0x80;
        unsigned hi = c0 == 0xED ? 0x9F : 0xBF;
        if (!cont(i + 1, lo, hi) || !cont(i + 2)) return 0;
        cp = ((c0 & 0x0Fu) << 12) | ((b(i + 1) & 0x3Fu) << 6) | (b(i + 2) & 0x3Fu);
        return 3;
    }
    if (c0 >= 0xF0 && c0 <= 0xF4) {
        unsigned lo = c0 == 0xF0 ? 0x90 : 0x80;
        unsigned hi = c0 == 0xF4 ? 0x8F : 0xBF;
        if (!cont(i + 1, lo, hi) || !cont(i + 2) || !cont(i + 3)) return 0;
        cp = ((c0 & 0x07u) << 18) | ((b(i + 1) & 0x3Fu) << 12) | ((b(i + 2) & 0x3Fu) << 6) |
             (b(i + 3) & 0x3Fu);
        return 4;
    }
    return 0;
}

namespace {

// Length of the maximal subpart of an ill-formed sequence starting at i (>= 1).
size_t bad_len(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c0 = b(i);
    size_t need = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c0 >= 0xC2 && c0 <= 0xDF)
        need = 1;
    else if (c0 >= 0xE0 && c0 <= 0xEF) {
        need = 2;
        if (c0 == 0xE0) lo = 0xA0;
        if (c0 == 0xED) hi = 0x9F;
    } else if (c0 >= 0xF0 && c0 <= 0xF4) {
        need = 3;
        if (c0 == 0xF0) lo = 0x90;
        if (c0 == 0xF4) hi = 0x8F;
    } else {
        return 1;
    }
    size_t k = 1;
    while (k <= need && i + k < s.size()) {
        unsigned c = b(i + k);
        if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) break;
        ++k;
    }
    return k;
}

}  // namespace

void utf8_append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

namespace {

bool is_ascii_space(unsigned char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

bool is_ascii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// White_Space of one code point; the ASCII ones (TAB..CR, space) without ICU.
}  // namespace

bool unicode_is_white_space(char32_t cp) {
    if (cp < 0x80) return is_ascii_space(static_cast<unsigned char>(cp));
    return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_WHITE_SPACE);
}

std::string_view utf8_trim_start(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        char32_t cp = 0;
        const size_t n = utf8_decode(s, i, cp);
        if (n == 0 || !unicode_is_white_space(cp)) break;
        i += n;
    }
    return s.substr(i);
}

std::vector<std::string_view> utf8_split_white_space(std::string_view text) {
    std::vector<std::string_view> words;
    size_t start = std::string_view::npos;
    char32_t cp;
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8_decode(text, i, cp);
        if (n == 0) {
            cp = 0xFFFD;
            n = 1;
        }
        if (unicode_is_white_space(cp)) {
            if (start != std::string_view::npos) words.push_back(text.substr(start, i - start));
            start = std::string_view::npos;
        } else if (start == std::string_view::npos) {
            start = i;
        }
        i += n;
    }
    if (start != std::string_view::npos) words.push_back(text.substr(start));
    return words;
}

bool utf8_valid(std::string_view s) {
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_decode(s, i, cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf8_lossy(std::string_view s) {
    if (utf8_valid(s)) return std::string(s);  // the common case: one copy, no re-encoding
    std::string out;
    out.reserve(s.size());
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_decode(s, i, cp);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i += bad_len(s, i);
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string utf8_trim(std::string_view s) {
    if (!utf8_valid(s)) {
        size_t a = 0, e = s.size();
        while (a < e && is_ascii_space(static_cast<unsigned char>(s[a]))) ++a;
        while (e > a && is_ascii_space(static_cast<unsigned char>(s[e - 1]))) --e;
        return std::string(s.substr(a, e - a));
    }
    // Only the ends are decoded: the first code point without White_Space from
    // the front, the last one from the back (the text is well-formed here).
    size_t first = 0;
    char32_t cp;
    while (first < s.size()) {
        size_t n = utf8_decode(s, first, cp);
        if (!unicode_is_white_space(cp)) break;
        first += n;
    }
    size_t end = s.size();
    while (end > first) {
        size_t start = end - 1;
        while (start > first && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        utf8_decode(s, start, cp);
        if (!unicode_is_white_space(cp)) break;
        end = start;
    }
    return std::string(s.substr(first, end - first));
}

std::string utf8_lower(std::string_view s) {
    // Root-locale lower case of ASCII text is ASCII lower case; the settings'
    // names and values nearly always are.
    if (is_ascii(s)) return ascii_lower(s);
    const std::string in = utf8_lossy(s);
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(in);
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

std::string utf8_upper(std::string_view s) {
    const std::string in = utf8_lossy(s);
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(in);
    u.toUpper(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

namespace {

bool is_escaped_char(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029;
}

void append_hex(std::string& out, const char* prefix, char32_t value, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

// The length of the run from `i` that text_escape_controls keeps as it is.
size_t kept_run(std::string_view s, size_t i) {
    const size_t from = i;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F) {
            ++i;
            continue;
        }
        char32_t cp = 0;
        const size_t len = utf8_decode(s, i, cp);
        if (len == 0 || is_escaped_char(cp)) break;
        i += len;
    }
    return i - from;
}

}  // namespace

bool text_has_controls(std::string_view text) {
    return kept_run(text, 0) != text.size();
}

std::string text_escape_controls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const size_t run = kept_run(text, i);
        out.append(text, i, run);
        i += run;
        if (i == text.size()) break;
        char32_t cp = 0;
        const size_t len = utf8_decode(text, i, cp);
        if (len <= 1) {
            // An ASCII control, or one byte of a broken sequence (the rest of
            // it follows as bytes of their own).
            append_hex(out, "\\x", static_cast<unsigned char>(text[i]), 2);
            i += 1;
        } else {
            append_hex(out, "\\u", cp, 4);
            i += len;
        }
    }
    return out;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::optional<std::uint64_t> parse_decimal(std::string_view s, std::uint64_t max) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (n > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::nullopt;
        n = n * 10 + d;
        if (n > max) return std::nullopt;
    }
    return n;
}

}  // namespace corvane

namespace corvane {

std::string utf8_cut_utf16(std::string_view s, size_t max_units) {
    const std::string text = utf8_lossy(s);
    size_t units = 0;
    size_t i = 0;
    while (i < text.size()) {
        char32_t cp = 0;
        const size_t len = utf8_decode(text, i, cp);
        const size_t need = cp > 0xFFFF ? 2 : 1;
        if (len == 0 || units + need > max_units) break;
        units += need;
        i += len;
    }
    return text.substr(0, i);
}

}  // namespace corvane
