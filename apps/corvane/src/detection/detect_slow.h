// The slow detector pass "crvn-detector-lento": every 500 ms, while detection
// is on and the game is in front, it reads the larger regions of the left half
// of the screen that the fast pass cannot afford: the killfeed (killer and
// victim pairs), the mode and map chosen in the menu, and the mode on the
// objectives screen. It decides nothing: it leaves its readings in the shared
// GameContext for the classifier.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/flags.h"
#include "detection/detect.h"
#include "detection/game_context.h"
#include "detection/ocr.h"

namespace corvane {

inline constexpr auto kSlowPeriod = std::chrono::milliseconds(500);

struct SlowRegions {
    Region killfeed;    // A
    Region menu;        // B
    Region objectives;  // C
};

// The three regions for a W × H frame, in single-precision arithmetic, inside
// the frame.
SlowRegions slow_regions(std::uint32_t width, std::uint32_t height);

// Killer/victim pairs from the killfeed's gap-split segments: segments grouped
// into rows (y within 0.008 H of the row's first), each row's word-like texts
// left to right, first and last as the pair. Rows with one text, with the same
// name on both sides, or repeating a pair already found, give none.
std::vector<KillfeedPair> slow_killfeed_pairs(const std::vector<OcrLine>& segments,
                                              std::uint32_t frame_height);

// The mode chosen in the menu and the map shown just under it.
std::optional<MenuSelection> slow_menu_selection(const std::vector<OcrLine>& lines,
                                                 std::uint32_t frame_height);

// The mode on the objectives screen and the longest text just above it.
std::optional<ObjectivesReading> slow_objectives(const std::vector<OcrLine>& lines,
                                                 std::uint32_t frame_height);

struct SlowEnv {
    std::function<DetectorInstant()> now = [] { return DetectorClock::now(); };
    std::function<void(std::chrono::milliseconds)> sleep = [](std::chrono::milliseconds d) {
        std::this_thread::sleep_for(d);
    };
    std::function<void(std::string_view)> log;
    std::atomic<bool>* enabled = &DetectorEnabledFlag;
    std::atomic<bool>* in_front = &GameInFrontFlag;
};

struct SlowStaging {
    StagingRegion killfeed;
    StagingRegion menu;
    StagingRegion objectives;
};

// Everything the slow thread holds.
struct SlowPass {
    SlowEnv env;
    std::unique_ptr<OcrEngine> ocr;
    SlowStaging staging;
    SharedFrame frame;
    CoveredRects covered;
    std::shared_ptr<GameContext> game_context;
    std::shared_ptr<MenuState> menu_state;
    std::uint32_t cycle = 0;
    bool failure_reported = false;
};

// One cycle after its sleep: nothing unless detection is on and the game is in
// front; else the regions due, then one publication. A cycle that fails
// inside publishes nothing (the first such failure is logged).
void slow_cycle(SlowPass& pass);

// The staging buffers for the frame's size; false when one cannot be made.
bool slow_prepare(SlowPass& pass);

struct SlowStart {
    SlowEnv env;
    std::function<std::unique_ptr<OcrEngine>()> make_ocr = [] { return ocr_create_engine(); };
    SharedFrame frame;
    CoveredRects covered;
    std::shared_ptr<GameContext> game_context;
    std::shared_ptr<MenuState> menu_state;
    std::shared_ptr<QuitFlag> quit;
};

// The thread body; returns when `quit` is set, or at once when it has no OCR
// engine or buffers (the detector thread reports a missing engine).
void detector_slow_run(SlowStart start);

}  // namespace corvane
