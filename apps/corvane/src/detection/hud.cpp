#include "detection/hud.h"

#include <unicode/uchar.h>

#include <algorithm>

#include "base/text.h"

namespace corvane {

namespace {

bool is_ascii_letter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_ascii_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}
bool is_ascii_alnum(unsigned char c) {
    return is_ascii_letter(c) || is_ascii_digit(c);
}

// Code point at s[i] and its length; a byte that starts no well-formed sequence
// stands for itself (length 1, cp = U+FFFD) so that broken OCR text is kept
// rather than thrown away.
size_t next_cp(std::string_view s, size_t i, char32_t& cp) {
    size_t n = utf8_decode(s, i, cp);
    if (n == 0) {
        cp = 0xFFFD;
        n = 1;
    }
    return n;
}


// U+2018 and U+2019 (curly single quotes) in UTF-8.
constexpr std::string_view kLeftQuote = "\xE2\x80\x98";
constexpr std::string_view kRightQuote = "\xE2\x80\x99";

bool is_edge_mark_byte(char c) {
    return c == '"' || c == '\'' || c == ',' || c == '.' || c == '|';
}

// Length of the edge mark that begins / ends `s`, or 0.
size_t edge_mark_prefix(std::string_view s) {
    if (s.empty()) return 0;
    if (is_edge_mark_byte(s.front())) return 1;
    if (s.starts_with(kLeftQuote) || s.starts_with(kRightQuote)) return 3;
    return 0;
}
size_t edge_mark_suffix(std::string_view s) {
    if (s.empty()) return 0;
    if (is_edge_mark_byte(s.back())) return 1;
    if (s.ends_with(kLeftQuote) || s.ends_with(kRightQuote)) return 3;
    return 0;
}

bool is_trailing_mark(char c) {
    return c == ',' || c == '.' || c == ')' || c == ']' || c == '|';
}


void letters_upper_into(std::string& out, std::string_view text) {
    out.clear();
    for (unsigned char c : text) {
        if (c >= 'a' && c <= 'z')
            out += static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            out += static_cast<char>(c);
    }
}

}  // namespace

std::string hud_letters_upper(std::string_view text) {
    std::string out;
    letters_upper_into(out, text);
    return out;
}

std::string hud_text_fold(std::string_view text) {
    const std::string trimmed = utf8_trim(text);
    std::string_view s = trimmed;
    for (;;) {
        size_t a = edge_mark_prefix(s);
        s.remove_prefix(a);
        size_t b = edge_mark_suffix(s);
        s.remove_suffix(b);
        if (a == 0 && b == 0) break;
    }
    std::string out;
    out.reserve(s.size());
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t n = next_cp(s, i, cp);
        if (!unicode_is_white_space(cp)) out.append(s.substr(i, n));
        i += n;
    }
    while (!out.empty() && is_trailing_mark(out.back())) out.pop_back();
    return out;
}

namespace {

size_t edit_distance_rows(std::string_view a, std::string_view b, uint32_t* prev, uint32_t* cur) {
    const size_t m = b.size();
    for (size_t j = 0; j <= m; ++j) prev[j] = static_cast<uint32_t>(j);
    for (size_t i = 0; i < a.size(); ++i) {
        cur[0] = static_cast<uint32_t>(i + 1);
        const char ai = a[i];
        for (size_t j = 1; j <= m; ++j) {
            uint32_t v = prev[j - 1] + (ai == b[j - 1] ? 0 : 1);
            v = std::min(v, cur[j - 1] + 1);
            v = std::min(v, prev[j] + 1);
            cur[j] = v;
        }
        std::swap(prev, cur);
    }
    return prev[m];
}

}  // namespace

size_t hud_edit_distance(std::string_view a, std::string_view b) {
    // The detector calls this thousands of times per pass: OCR lines and names
    // are short, so the two rows live on the stack.
    constexpr size_t kStackRow = 128;
    if (b.size() < kStackRow) {
        uint32_t prev[kStackRow], cur[kStackRow];
        return edit_distance_rows(a, b, prev, cur);
    }
    std::vector<uint32_t> prev(b.size() + 1), cur(b.size() + 1);
    return edit_distance_rows(a, b, prev.data(), cur.data());
}

bool hud_find_keyword(std::string_view text, std::string_view keyword) {
    thread_local std::string A, K;
    thread_local std::vector<uint32_t> prev, cur;
    letters_upper_into(A, text);
    letters_upper_into(K, keyword);
    const size_t n = A.size(), k = K.size();
    if (k == 0 || n + 1 < k) return false;
    const uint32_t budget = static_cast<uint32_t>(k / 4);
    const uint32_t inf = budget + 1;
    // Window lengths k-1, k, k+1 (never 0). For each start one distance table
    // of the window's prefixes against K gives all three window lengths at
    // once. Only cells within `budget` of the diagonal can stay within budget,
    // and once a whole row exceeds it no longer window can come back under it.
    const size_t wmin = std::max<size_t>(1, k - 1);
    const size_t wmax = k + 1;
    prev.assign(k + 2, inf);
    cur.assign(k + 2, inf);
    for (size_t s = 0; s + wmin <= n; ++s) {
        std::fill(prev.begin(), prev.end(), inf);
        for (size_t j = 0; j <= std::min<size_t>(k, budget); ++j)
            prev[j] = static_cast<uint32_t>(j);
        const size_t rows = std::min(wmax, n - s);
        for (size_t i = 1; i <= rows; ++i) {
            const size_t lo = i > budget ? i - budget : 0;
            const size_t hi = std::min(k, i + budget);
            if (lo > k) break;
            const char a = A[s + i - 1];
            uint32_t row_min = inf;
            if (lo > 0) cur[lo - 1] = inf;
            for (size_t j = lo; j <= hi; ++j) {
                uint32_t v;
                if (j == 0) {
                    v = static_cast<uint32_t>(i);
                } else {
                    v = prev[j - 1] + (a == K[j - 1] ? 0 : 1);
                    v = std::min(v, prev[j] + 1);
                    v = std::min(v, cur[j - 1] + 1);
                }
                v = std::min(v, inf);
                cur[j] = v;
                row_min = std::min(row_min, v);
            }
            cur[hi + 1] = inf;
            if (i >= wmin && hi == k && cur[k] <= budget) return true;
            if (row_min > budget) break;
            std::swap(prev, cur);
        }
    }
    return false;
}

CleanedName hud_clean_name(std::string_view text) {
    CleanedName out;
    std::string_view name = text;
    if (!text.empty() && (text[0] == '(' || text[0] == '[' || text[0] == '{')) {
        size_t close = text.find_first_of("])");
        if (close != std::string_view::npos) {
            size_t end = close + 1;
            while (end < text.size() && (text[end] == ')' || text[end] == ']' || text[end] == '}'))
                ++end;
            out.clan = std::string(text.substr(0, end));
            name = text.substr(end);
        }
    }
    size_t hash = name.rfind('#');
    if (hash != std::string_view::npos) {
        std::string digits;
        for (unsigned char c : name.substr(hash + 1))
            if (is_ascii_digit(c)) digits += static_cast<char>(c);
        if (!digits.empty()) out.id = std::move(digits);
        name = name.substr(0, hash);
    }
    out.name = std::string(name);
    return out;
}

std::string hud_name_key(std::string_view text) {
    const CleanedName cleaned = hud_clean_name(hud_text_fold(text));
    std::string key;
    for (unsigned char c : cleaned.name) {
        if (!is_ascii_alnum(c)) continue;
        key += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return key;
}

bool hud_fuzzy_eq(std::string_view x, std::string_view y) {
    const std::string a = hud_name_key(x), b = hud_name_key(y);
    if (a.size() < 3 || b.size() < 3) return false;
    if (a == b) return true;
    const std::string& shorter = a.size() <= b.size() ? a : b;
    const std::string& longer = a.size() <= b.size() ? b : a;
    if (shorter.size() >= 5 && longer.starts_with(shorter)) return true;
    return 4 * hud_edit_distance(a, b) <= longer.size();
}

std::vector<std::pair<std::string, bool>> hud_match_pairs(
    const std::vector<std::pair<std::string, std::string>>& pairs, std::string_view gamertag) {
    std::vector<std::pair<std::string, bool>> out;
    for (const auto& [left, right] : pairs) {
        const bool l = hud_fuzzy_eq(left, gamertag);
        const bool r = hud_fuzzy_eq(right, gamertag);
        if (l == r) continue;
        std::pair<std::string, bool> cand = l ? std::pair{right, true} : std::pair{left, false};
        if (std::find(out.begin(), out.end(), cand) == out.end()) out.push_back(std::move(cand));
    }
    return out;
}

std::optional<std::string> hud_value_after_colon(std::string_view text, std::string_view label) {
    if (!hud_find_keyword(text, label)) return std::nullopt;
    std::string_view value;
    size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        value = text.substr(colon + 1);
    } else {
        // No colon: the label is taken to open the text, so the value begins
        // after as many letters as the label has.
        size_t want = 0;
        for (unsigned char c : label)
            if (is_ascii_letter(c)) ++want;
        size_t seen = 0, pos = text.size();
        for (size_t i = 0; i < text.size(); ++i) {
            if (is_ascii_letter(static_cast<unsigned char>(text[i])) && ++seen == want) {
                pos = i + 1;
                break;
            }
        }
        value = text.substr(pos);
    }
    std::string v = hud_text_fold(value);
    if (v.size() > 2) return v;
    return std::nullopt;
}

std::optional<uint32_t> hud_plus_tokens(std::string_view text) {
    if (text.find('+') != std::string_view::npos) return std::nullopt;
    const std::string trimmed = utf8_trim(text);
    std::string_view s = trimmed;
    size_t first = 0;
    while (first < s.size() && !is_ascii_alnum(static_cast<unsigned char>(s[first]))) ++first;
    if (first == s.size()) return std::nullopt;
    size_t last = s.size() - 1;
    while (!is_ascii_alnum(static_cast<unsigned char>(s[last]))) --last;
    std::string_view core = s.substr(first, last - first + 1);
    if (core.size() > 3) return std::nullopt;
    uint32_t value = 0;
    for (unsigned char c : core) {
        if (!is_ascii_digit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value == 0) return std::nullopt;
    return value;
}

std::string text_capitalize(std::string_view word) {
    if (word.empty()) return {};
    const std::string valid = utf8_lossy(word);
    char32_t cp;
    const size_t n = utf8_decode(valid, 0, cp);
    const std::string_view first = std::string_view(valid).substr(0, n);
    // Lower-case the rest in the context of the whole word, so that a Greek
    // final sigma right after the first letter still becomes 'ς'. In the root
    // locale the first character's lower case has the same length with or
    // without its context, so it can be cut off again.
    const std::string lower_all = utf8_lower(valid);
    const std::string lower_first = utf8_lower(first);
    return utf8_upper(first) + lower_all.substr(std::min(lower_first.size(), lower_all.size()));
}

std::string hud_join_words(std::string_view text) {
    std::string out;
    for (std::string_view w : utf8_split_white_space(text)) {
        if (!out.empty()) out += ' ';
        out += text_capitalize(w);
    }
    return out;
}

std::optional<std::string> detect_clean_ocr_text(std::string_view text) {
    std::string kept;
    char32_t cp;
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8_decode(text, i, cp);
        if (n == 0) {
            ++i;  // a broken byte is neither a letter nor a space
            continue;
        }
        if (cp == ' ' || cp == '\'') {
            kept += static_cast<char>(cp);
        } else if (cp == 0x2019) {
            kept += '\'';
        } else if (u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_ALPHABETIC)) {
            kept.append(text.substr(i, n));
        }
        i += n;
    }
    std::string cleaned = utf8_trim(kept);
    size_t letters = 0;
    for (unsigned char c : cleaned)
        if (is_ascii_letter(c)) ++letters;
    if (letters < 4) return std::nullopt;
    if (utf8_split_white_space(cleaned).size() > 3) return std::nullopt;
    if (hud_mode_name(cleaned)) return std::nullopt;
    return cleaned;
}

std::optional<std::string> hud_mode_name(std::string_view text) {
    const std::string L = hud_letters_upper(text);
    if (L.size() < 19 && hud_find_keyword(std::string_view(L).substr(0, 11), "RESURGENCE")) {
        static constexpr std::pair<std::string_view, std::string_view> kSubtypes[] = {
            {"CASUAL", "Casual"}, {"QUADS", "Quads"}, {"TRIOS", "Tríos"},
            {"DUOS", "Dúos"},     {"SOLO", "Solo"},
        };
        for (const auto& [word, spanish] : kSubtypes)
            if (hud_find_keyword(L, word)) return "Resurgimiento " + std::string(spanish);
        return "Resurgimiento";
    }
    if (L.size() < 21 && hud_find_keyword(std::string_view(L).substr(0, 13), "BATTLEROYALE")) {
        if (hud_find_keyword(L, "CASUAL")) return "Battle Royale Casual";
        return "Battle Royale";
    }
    return std::nullopt;
}

std::optional<GameTitle> game_title_for_exe(std::string_view path) {
    const std::string lower = utf8_lower(path);
    std::string_view name = lower;
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    if (name.size() >= 4 && name.ends_with(".exe")) name.remove_suffix(4);
    if (name.size() < 3 || !name.starts_with("cod")) return std::nullopt;
    const std::string_view rest = name.substr(3);
    size_t nd = 0;
    while (nd < rest.size() && is_ascii_digit(static_cast<unsigned char>(rest[nd]))) ++nd;
    const std::string_view digits = rest.substr(0, nd);
    const std::string_view tail = rest.substr(nd);
    if (!(tail.empty() || (tail == "-cod" && !digits.empty()))) return std::nullopt;
    if (digits.empty() || digits == "26") return GameTitle{"Modern Warfare 4", false};
    if (digits == "25") return GameTitle{"Warzone · Black Ops 7", true};
    return GameTitle{"Call of Duty (cod" + std::string(digits) + ")", false};
}

bool events_names_match(std::string_view a, std::string_view b) {
    const std::string la = utf8_lower(a), lb = utf8_lower(b);
    if (la == lb) return true;
    const std::string& shorter = la.size() <= lb.size() ? la : lb;
    const std::string& longer = la.size() <= lb.size() ? lb : la;
    if (shorter.size() >= 3 && longer.starts_with(shorter)) return true;
    return 2 * hud_edit_distance(la, lb) <= std::max<size_t>(longer.size(), 1);
}

}  // namespace corvane
