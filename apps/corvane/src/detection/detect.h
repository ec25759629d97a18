// The detector thread "crvn-detector": four times a second, while detection is
// on and the game is the window in front, it copies five regions of the newest
// frame and hands them to the classifier; after every pass it runs the event
// engine. It keeps "detector.log" and the log lines about its own state.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/flags.h"
#include "detection/game_context.h"
#include "detection/ocr.h"
#include "platform/error.h"
#include "platform/foreground.h"
#include "platform/ocr.h"
#include "recording/capture.h"

namespace corvane {

using DetectorClock = std::chrono::steady_clock;
using DetectorInstant = DetectorClock::time_point;

inline constexpr auto kDetectorPeriod = std::chrono::milliseconds(250);
inline constexpr auto kDetectorSlowPass = std::chrono::milliseconds(600);
inline constexpr std::uint32_t kDetectorSlowRunWarn = 20;
inline constexpr std::uint64_t kDetectorLogRotateBytes = 2'000'000;

// The five regions the fast pass reads.
struct DetectorRegions {
    Region top_centre;    // compass, place, medals, killcam, menu words
    Region bottom_band;   // kill and death cards, deployment
    Region right_column;  // attackers
    Region top_strip;     // the place band during a death
    Region centre_band;   // deployment text
};

// The regions for a W × H frame, in single-precision arithmetic, each inside
// the frame (a side may be 0 on a tiny frame).
DetectorRegions detector_regions(std::uint32_t width, std::uint32_t height);

// float → whole pixels: toward zero, negative and NaN give 0, saturating.
std::uint32_t detect_float_to_u32(float v);

// A region with its own pixel buffer, made once and reused every pass.
struct StagingRegion {
    Region region;
    std::vector<std::uint8_t> pixels;  // B, G, R, A, width × height × 4 after a read
};

// The buffer for `region`; the error "región vacía" for a region without
// pixels, or when the memory cannot be had.
struct StagingResult {
    std::optional<StagingRegion> staging;
    PlatformError error;
};
StagingResult detect_create_staging_texture(const Region& region);

// Copies the region out of the shared frame under its lock (tightly packed,
// top row first) into the staging buffer. `covered` gives the notice cards'
// rectangles in frame pixels: a region under one is not copied, and its
// caller reads it as showing no text this pass (the card's own words are not
// the game's). An error (kFailed) when the frame does not hold the region.
using CoveredRects = std::function<std::vector<Region>()>;
enum class RegionRead { kRead, kCovered, kFailed };
RegionRead detect_read_region(StagingRegion& staging, const SharedFrame& frame,
                              const CoveredRects& covered, PlatformError* error);

// Whether two rectangles share a pixel.
bool detect_regions_overlap(const Region& a, const Region& b);

// The reading statistics, written by the classifier and the event engine and
// cleared after each "detector.log" line.
struct DetectorStats {
    std::uint64_t ms_lento = 0;
    std::uint32_t lecturas = 0;
    std::uint32_t menu = 0;
    std::uint32_t killfeed = 0;
    std::uint32_t tarjetas_baja = 0;
    std::uint32_t tarjetas_muerte = 0;
    std::uint32_t previa = 0;
};

// The five staging regions in the order they are made.
struct DetectorStaging {
    StagingRegion top_strip;
    StagingRegion centre_band;
    StagingRegion top_centre;
    StagingRegion bottom_band;
    StagingRegion right_column;
};

// What the thread hands the classifier for one reading.
struct DetectorContext {
    DetectorStaging& staging;
    const SharedFrame& frame;
    const CoveredRects& covered;
    OcrEngine& engine;
    std::uint32_t& pass_counter;
    std::uint32_t frame_height;
    GameContext& game_context;
    std::optional<DetectorInstant>& last_menu;
    MenuState& menu_state;
    DetectorStats& stats;
    DetectorInstant now;
};

struct DetectorReadResult {
    bool ok = true;
    PlatformError error;  // when !ok: the first failed read or recognition
};

// The classifier and the event engine as the thread drives them.
class DetectorEngine {
  public:
    virtual ~DetectorEngine() = default;
    // One reading of the screen (the classifier); may throw on an internal
    // failure, which the thread catches and counts.
    virtual DetectorReadResult read_frame(DetectorContext& context) = 0;
    // After every pass, reading or not.
    virtual void tick(DetectorInstant now) = 0;
    // The player's gamertag as the engine knows it.
    virtual std::optional<std::string> gamertag() const = 0;
    // The counters the classifier and the engine keep.
    virtual DetectorStats& stats() = 0;
    // Once, after the last pass: what the engine holds must not be lost.
    virtual void close() {}
};

// The world the thread sees: the clock, sleeping, the log, the local time and
// the process-wide flags. Tests give their own.
struct DetectorEnv {
    std::function<DetectorInstant()> now = [] { return DetectorClock::now(); };
    std::function<void(DetectorInstant)> sleep_until = [](DetectorInstant t) {
        std::this_thread::sleep_until(t);
    };
    std::function<void(std::string_view)> log;
    std::function<std::string()> local_time;  // "HH:MM:SS"
    std::atomic<bool>* enabled = &DetectorEnabledFlag;
    std::atomic<bool>* in_front = &GameInFrontFlag;
    std::filesystem::path stats_path;  // "detector.log"
};

// The thread's own values between passes.
struct DetectorLoop {
    DetectorInstant deadline{};
    bool was_in_front = false;
    std::uint32_t error_run = 0;
    std::uint32_t failure_count = 0;
    std::uint32_t slow_run = 0;
    std::uint64_t reading_ms_total = 0;
    std::uint32_t pass_counter = 0;
    DetectorInstant last_stats{};
    std::optional<DetectorInstant> last_menu;
};

// Everything one detector thread holds.
struct DetectorThread {
    DetectorEnv env;
    std::unique_ptr<ForegroundProbe> probe;
    std::unique_ptr<DetectorEngine> engine;
    std::unique_ptr<OcrEngine> ocr;
    DetectorStaging staging;
    SharedFrame frame;
    CoveredRects covered;
    std::shared_ptr<GameContext> game_context;
    std::shared_ptr<MenuState> menu_state;
    DetectorLoop loop;
};

// What the game-in-front test found.
struct FrontCheck {
    bool in_front = false;
    std::string window_name;  // the program file's name, "" when unknown
    std::string title;        // the game's title for it, "" when none
};
FrontCheck detector_front_check(ForegroundProbe& probe);

// One pass: pacing to the next 250 ms deadline (a late pass does not catch
// up), the game-in-front test, a reading while in front, the event tick, the
// statistics line and the warnings.
void detector_pass(DetectorThread& t);

// The "detector.log" line for the current counters; appended to `path` after
// rotating a file above 2,000,000 bytes to "detector.log.1". Failures are
// silent.
std::string detector_stats_line(const std::string& time, const DetectorStats& stats,
                                std::uint64_t reading_ms_total,
                                const std::optional<std::string>& gamertag);
void detector_stats_append(const std::filesystem::path& path, const std::string& line);

// Start of the thread after its pieces exist: the staging buffers for the
// frame's size and the start line. False (after logging why) when a buffer
// cannot be made.
bool detector_prepare(DetectorThread& t);

// The thread body: the background priority, the engine (or the warning and
// "Detector apagado" balloon through `balloon`), the buffers, the start line,
// then passes until `quit` is set.
struct DetectorStart {
    DetectorEnv env;
    std::function<std::unique_ptr<OcrEngine>()> make_ocr = [] { return ocr_create_engine(); };
    std::function<std::unique_ptr<ForegroundProbe>()> make_probe;
    std::unique_ptr<DetectorEngine> engine;
    SharedFrame frame;
    CoveredRects covered;
    std::shared_ptr<GameContext> game_context;
    std::shared_ptr<MenuState> menu_state;
    std::shared_ptr<QuitFlag> quit;
    std::function<void(const std::string& title, const std::string& text)> balloon;
};
void detector_run(DetectorStart start);

// Waits up to `limit` until every detector thread that got as far as its
// passes has closed its engine after the quit; true when none is left open.
bool detector_wait_closed(std::chrono::milliseconds limit);

// Ends every detector thread as a quit would, without the quit (an update's
// exit), and waits up to `limit` for their engines to close; true when none is
// left open.
bool detector_close_for_exit(std::chrono::milliseconds limit);
// Tests only: forget an exit asked for by detector_close_for_exit, which would
// end every detector started later in the process at once.
void detector_exit_reset_for_tests();

}  // namespace corvane
