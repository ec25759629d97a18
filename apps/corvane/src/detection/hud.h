// Pure text helpers for OCR readings of the game's HUD: folding, edit distance,
// fuzzy keyword search, player-name cleaning and comparison, small numbers,
// title case, place and mode names, and the executable -> game title table.
//
// OCR of a game HUD misreads letters, drops or adds spaces and glues frame
// marks to words, so every comparison here is deliberately loose. All lengths
// are in bytes. No function keeps state; all may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// The ASCII letters of `text` in order, upper-cased; everything else dropped.
std::string hud_letters_upper(std::string_view text);

// Trimmed, quote/bar marks stripped from both ends, all white space removed,
// trailing ',', '.', ')', ']', '|' stripped: '"John Doe",' -> 'JohnDoe'.
std::string hud_text_fold(std::string_view text);

// Levenshtein distance over bytes (insert, delete, substitute: cost 1 each).
size_t hud_edit_distance(std::string_view a, std::string_view b);

// Fuzzy search of a keyword or phrase anywhere in `text`, comparing ASCII
// letters only, with |K|/4 errors allowed in a window of |K|-1..|K|+1 letters.
bool hud_find_keyword(std::string_view text, std::string_view keyword);

// A player name split into its parts: "[ABC] Player#1234" -> " Player",
// "[ABC]", "1234".
struct CleanedName {
    std::string name;
    std::optional<std::string> clan;  // leading bracketed tag, brackets included
    std::optional<std::string> id;    // ASCII digits after the last '#'
};
CleanedName hud_clean_name(std::string_view text);

// Lower-case key of the cleaned name's ASCII letters and digits:
// "[CLAN]Player#1234" and "player" both give "player".
std::string hud_name_key(std::string_view text);

// Whether two OCR readings are the same player name (keys of at least 3
// characters; equal, a cut-short prefix of at least 5, or one error per four
// characters of the longer key).
bool hud_fuzzy_eq(std::string_view x, std::string_view y);

// From killfeed (left, right) name pairs, the player's opponents in first-seen
// order: (right, true) when the player is left, (left, false) when right.
std::vector<std::pair<std::string, bool>> hud_match_pairs(
    const std::vector<std::pair<std::string, std::string>>& pairs, std::string_view gamertag);

// The folded value printed after `label` ("KILLED BY: Ann" -> "Ann"); none
// when the label is not there or the value has fewer than 3 bytes.
std::optional<std::string> hud_value_after_colon(std::string_view text, std::string_view label);

// A number 1..999 standing on its own ("(7)" -> 7); none for anything with a
// '+' (score pop-ups), letters, 0, or more than three digits.
std::optional<uint32_t> hud_plus_tokens(std::string_view text);

// First character to its full upper case, the rest to lower case.
std::string text_capitalize(std::string_view word);

// Words split at white space, each capitalised, joined by single spaces.
std::string hud_join_words(std::string_view text);

// OCR text accepted as a map or place name: letters, spaces and apostrophes
// kept; none when it has fewer than 4 ASCII letters, more than 3 words, or is a
// game mode.
std::optional<std::string> detect_clean_ocr_text(std::string_view text);

// Spanish mode name for HUD mode words ("RESURGENCE QUADS" ->
// "Resurgimiento Quads"); none when the text names no known mode.
std::optional<std::string> hud_mode_name(std::string_view text);

struct GameTitle {
    std::string title;
    bool warzone = false;
};
// The game title for an executable path or file name ("C:\Games\cod25.exe" ->
// "Warzone · Black Ops 7", warzone); none for anything that is not the game.
std::optional<GameTitle> game_title_for_exe(std::string_view path);

// Loose comparison of two killfeed names: equal after Unicode lower-casing, a
// prefix of at least 3 bytes, or at most one byte error per two bytes of the
// longer name.
bool events_names_match(std::string_view a, std::string_view b);

}  // namespace corvane
