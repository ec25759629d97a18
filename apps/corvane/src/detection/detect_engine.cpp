#include "detection/detect_engine.h"

#include <utility>

#include "detection/classify.h"
#include "detection/game_context.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

constexpr auto kMenuMemory = 10s;

// Copies the region out of the frame; the error kept when it cannot.
RegionRead read(DetectorContext& c, StagingRegion& s, PlatformError& error) {
    return detect_read_region(s, c.frame, c.covered, &error);
}

// The region's lines this pass: none under a notice card, which hides the
// game's text without being a failure of the reading; the error when the
// copy or the recognition fails. `prepare` runs on the copied pixels.
template <typename Prepare>
OcrLinesResult read_lines(DetectorContext& c, StagingRegion& s, Prepare prepare) {
    PlatformError error;
    switch (read(c, s, error)) {
        case RegionRead::kCovered:
            return {true, {}, {}};
        case RegionRead::kFailed:
            return {false, {}, std::move(error)};
        case RegionRead::kRead:
            break;
    }
    prepare(s);
    return ocr_recognize_region(c.engine, s.pixels.data(), s.pixels.size(), s.region, false,
                                false);
}

OcrLinesResult recognise(DetectorContext& c, StagingRegion& s, bool upscale) {
    return ocr_recognize_region(c.engine, s.pixels.data(), s.pixels.size(), s.region, upscale,
                                false);
}

// The second try on a region's pixels: the bright text pulled out of its
// background, at twice the size.
OcrLinesResult recognise_prefiltered(DetectorContext& c, StagingRegion& s) {
    ocr_prefilter_region(s.pixels.data(), s.pixels.size(), s.region.width, s.region.height);
    return recognise(c, s, true);
}

// The deployment countdown in the middle of the screen, which the other two
// regions miss while it is the only text showing.
bool centre_band_shows_deployment(DetectorContext& c) {
    StagingRegion& s = c.staging.centre_band;
    PlatformError error;
    if (read(c, s, error) != RegionRead::kRead) return false;
    OcrLinesResult first = recognise(c, s, true);
    if (first.ok && classify_mentions_deployment(first.lines)) return true;
    return detect_lines_mention_deployment(recognise_prefiltered(c, s));
}

// "KILLCAM" at the top of the screen while a death is open.
bool top_strip_shows_killcam(DetectorContext& c) {
    StagingRegion& s = c.staging.top_strip;
    PlatformError error;
    if (read(c, s, error) != RegionRead::kRead) return false;
    OcrLinesResult first = recognise(c, s, false);
    if (first.ok && classify_killcam_in_strip(first.lines)) return true;
    OcrLinesResult second = recognise_prefiltered(c, s);
    return second.ok && classify_killcam_in_strip(second.lines);
}

}  // namespace

DetectorReadResult detector_read_frame(DetectorContext& c, EventEngineState& state) {
    OcrLinesResult top = read_lines(c, c.staging.top_centre, [](StagingRegion&) {});
    if (!top.ok) return {false, std::move(top.error)};

    OcrLinesResult bottom = read_lines(c, c.staging.bottom_band, [](StagingRegion& band) {
        classify_binarise(band.pixels.data(), band.pixels.size());
    });
    if (!bottom.ok) return {false, std::move(bottom.error)};

    const bool death_open = state.pending_death.has_value();
    ScreenReading reading = classify_screen(top.lines, bottom.lines, c.frame_height, death_open);
    ++c.pass_counter;
    if (classify_wants_centre_band(reading, c.pass_counter, death_open) &&
        centre_band_shows_deployment(c))
        reading.deployment = true;
    if (classify_wants_top_strip(reading, death_open) && top_strip_shows_killcam(c))
        reading.killcam = true;

    if (classify_hand_over(state, reading, c.now)) {
        OcrLinesResult attackers = read_lines(c, c.staging.right_column, [](StagingRegion&) {});
        if (attackers.ok) classify_hand_over_attackers(state, attackers.lines);
    }

    GameContextValue slow = game_context_take(c.game_context);
    c.stats.lecturas += 1;
    if (reading.menu) {
        c.last_menu = c.now;
        c.stats.menu += 1;
    }
    classify_hand_over_context(state, reading, std::move(slow), c.stats, c.now);
    menu_state_set(c.menu_state, c.last_menu && events_elapsed(*c.last_menu, c.now) < kMenuMemory);
    return {};
}

namespace {

class ClassifierEngine final : public DetectorEngine {
  public:
    explicit ClassifierEngine(EventEngineState state) : state_(std::move(state)) {}

    DetectorReadResult read_frame(DetectorContext& c) override {
        return detector_read_frame(c, state_);
    }
    void tick(DetectorInstant now) override {
        events_tick(state_, now);
        // The engine counts the cards it commits; the statistics line wants
        // them since its last line.
        stats_.tarjetas_baja += std::exchange(state_.kill_cards_committed, 0);
        stats_.tarjetas_muerte += std::exchange(state_.death_cards_committed, 0);
    }
    std::optional<std::string> gamertag() const override { return state_.gamertag; }
    DetectorStats& stats() override { return stats_; }
    void close() override { events_close_at_quit(state_); }

  private:
    EventEngineState state_;
    DetectorStats stats_;
};

}  // namespace

std::unique_ptr<DetectorEngine> detector_engine_make(EventEngineState state) {
    return std::make_unique<ClassifierEngine>(std::move(state));
}

}  // namespace corvane
