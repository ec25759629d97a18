// The screen-text classifier: from the OCR lines of the fast pass's regions it
// decides what the game shows (menu, warm-up lobby, match start, killcam,
// medals, place name, kill and death cards, attackers) and hands that over to
// the event engine in a fixed order, so that a lobby reading in the same pass
// as a kill card always wins.
//
// Everything here is plain functions over `OcrLine`s and the engine state;
// reading the regions and running the OCR is the detector's business. The
// clock is handed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "detection/detect.h"
#include "detection/events.h"
#include "detection/game_context.h"
#include "detection/ocr.h"

namespace corvane {

// A kill card as read in one pass.
struct KillCardReading {
    std::string victim;
    std::optional<std::uint32_t> kill_number{};
    std::optional<std::uint32_t> level{};
};

// What one pass read on the screen.
struct ScreenReading {
    bool menu = false;
    bool deployment = false;
    bool match_start = false;
    bool killcam = false;
    bool final_killcam = false;
    std::vector<std::string> medals;  // each at most once, in the order first seen
    std::optional<std::string> place;
    std::optional<DeathCardReading> death_card;
    std::optional<KillCardReading> kill_card;
};

// Whether some line contains one of `words` (fuzzy keyword search).
bool classify_any_line_has(const std::vector<OcrLine>& lines,
                           const std::vector<std::string_view>& words);

// At least two different menu words, each in some line.
bool classify_is_menu(const std::vector<OcrLine>& top_centre);

// Some line names the deployment countdown of the warm-up lobby.
bool classify_mentions_deployment(const std::vector<OcrLine>& lines);

// The same over a recognition result; false for a failed one.
bool detect_lines_mention_deployment(OcrLinesResult result);

// Some line reads "ENTERING THE WARZONE".
bool classify_mentions_match_start(const std::vector<OcrLine>& lines);

// Killcam, final-killcam and medals of the top-centre region, into `reading`.
void classify_top_centre(const std::vector<OcrLine>& top_centre, ScreenReading& reading);

// The place name under the compass, if the top-centre region shows one.
std::optional<std::string> classify_place(const std::vector<OcrLine>& top_centre,
                                          std::uint32_t frame_height);

// The bottom band shows the killcam's own buttons or the killer's card.
bool classify_killcam_in_bottom(const std::vector<OcrLine>& bottom_band);

// The top strip shows "KILLCAM" (and not the final killcam).
bool classify_killcam_in_strip(const std::vector<OcrLine>& top_strip);

// The death card and the kill card of the bottom band. A "KILLED BY" line
// means no kill card is looked for; a first "KILLED BY" or "ELIMINATED" line
// without a readable name means neither card this pass.
struct BottomCards {
    std::optional<DeathCardReading> death_card;
    std::optional<KillCardReading> kill_card;
};
BottomCards classify_bottom_cards(const std::vector<OcrLine>& bottom_band,
                                  std::uint32_t frame_height);

// One pass over the two regions read every pass: menu, deployment and match
// start flags, killcam, medals, place and the cards. While a death is open and
// the top-centre region showed no killcam, the bottom band's killcam buttons
// count too.
ScreenReading classify_screen(const std::vector<OcrLine>& top_centre,
                              const std::vector<OcrLine>& bottom_band, std::uint32_t frame_height,
                              bool death_open);

// The centre band is worth reading: every fourth pass (`pass_counter` already
// counts this one), when nothing showed deployment and no death is open.
bool classify_wants_centre_band(const ScreenReading& reading, std::uint32_t pass_counter,
                                bool death_open);

// The top strip is worth reading: a death is open and no killcam was seen.
bool classify_wants_top_strip(const ScreenReading& reading, bool death_open);

// The number of the kill printed on a kill card ("2ND KILL" -> 2); none
// outside 1..60.
std::optional<std::uint32_t> classify_kill_number(std::string_view text);

// The ASCII digits of `text` joined in order as one number; none without
// digits or when it does not fit 32 bits.
std::optional<std::uint32_t> classify_digits_u32(std::string_view text);

// The attacker count of the right column (1..20), if a line shows one.
std::optional<std::uint32_t> classify_attackers(const std::vector<OcrLine>& right_column);

// In place over B, G, R, A pixels: red, yellow and white text becomes black
// on a white field.
void classify_binarise(std::uint8_t* pixels, std::size_t byte_count);

// ---- Hand-over to the engine, in this order ---------------------------------

// No deployment text in the last 8 seconds.
bool classify_after_prematch(const EventEngineState& state, Instant now);

// Place, medals, death and killcam, kill card. Returns whether the right
// column should be read for attackers (a death was open before, or a death
// card was read in this pass).
bool classify_hand_over(EventEngineState& state, const ScreenReading& reading, Instant now);

// The attacker count of the right column, appended when there is one.
void classify_hand_over_attackers(EventEngineState& state,
                                  const std::vector<OcrLine>& right_column);

// The slow pass's menu selection, this pass's deployment and match start, the
// slow pass's objective-screen reading and killfeed pairs, in that order; the
// counters and the slow pass's duration go to `stats`.
void classify_hand_over_context(EventEngineState& state, const ScreenReading& reading,
                                GameContextValue context, DetectorStats& stats, Instant now);

}  // namespace corvane
