// The detector thread, the slow pass and a frame writer running at once over
// the shared frame, the game context and the menu state (also run under
// ThreadSanitizer).
#include <gtest/gtest.h>

#include <thread>

#include "../support/temp_dir.h"
#include "detection/detect.h"
#include "detection/detect_engine.h"
#include "detection/detect_slow.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

struct GameProbe : ForegroundProbe {
    ForegroundWindow query() override { return {true, false, "/juegos/cod25"}; }
};

// Two names far apart on one row wherever it looks.
struct KillfeedOcr : OcrEngine {
    OcrWordsResult recognize(const std::uint8_t*, std::uint32_t, std::uint32_t) override {
        return {true, {{"PLAYERONE", 10, 10, 90, 12}, {"SHADOWFOX", 200, 10, 90, 12}}, {}};
    }
    const std::string& language() const override { return l; }
    std::string l = "eng";
};

TEST(DetectorConcurrency, BothPassesAndTheCaptureShareTheirRecords) {
    SharedFrame frame;
    frame.device = gpu_device_create(ScreenSize{640, 360});
    frame.signal = std::make_shared<FrameSignal>();
    frame.width = 640;
    frame.height = 360;
    auto context = std::make_shared<GameContext>();
    auto menu = std::make_shared<MenuState>();
    auto quit = std::make_shared<QuitFlag>();
    std::atomic<bool> enabled{true}, in_front{true};
    std::atomic<int> log_lines{0};

    SlowStart slow;
    slow.env.sleep = [](std::chrono::milliseconds) { std::this_thread::sleep_for(1ms); };
    slow.env.log = [&](std::string_view) { ++log_lines; };
    slow.env.enabled = &enabled;
    slow.env.in_front = &in_front;
    slow.make_ocr = [] { return std::unique_ptr<OcrEngine>(std::make_unique<KillfeedOcr>()); };
    slow.frame = frame;
    slow.game_context = context;
    slow.menu_state = menu;
    slow.quit = quit;

    DetectorStart fast;
    fast.env.sleep_until = [](DetectorInstant) { std::this_thread::sleep_for(1ms); };
    fast.env.log = [&](std::string_view) { ++log_lines; };
    fast.env.local_time = [] { return std::string("00:00:00"); };
    fast.env.enabled = &enabled;
    fast.env.in_front = &in_front;
    fast.env.stats_path = "/dev/null";
    fast.make_ocr = [] { return std::unique_ptr<OcrEngine>(std::make_unique<KillfeedOcr>()); };
    fast.make_probe = [] {
        return std::unique_ptr<ForegroundProbe>(std::make_unique<GameProbe>());
    };
    test::TempDir dir;
    EventEngineState state;
    state.history_path = dir.path() / "estadisticas.jsonl";
    state.log = [&](std::string_view) { ++log_lines; };
    fast.engine = detector_engine_make(std::move(state));
    fast.frame = frame;
    fast.game_context = context;
    fast.menu_state = menu;
    fast.quit = quit;

    std::thread slow_thread([s = std::move(slow)]() mutable { detector_slow_run(std::move(s)); });
    std::thread fast_thread([f = std::move(fast)]() mutable { detector_run(std::move(f)); });
    std::thread capture([&] {
        std::vector<std::uint8_t> px(640 * 360 * 4);
        std::uint8_t v = 0;
        while (!quit->set.load()) {
            std::fill(px.begin(), px.end(), ++v);
            ScreenImage image{px.data(), 640, 360, 640 * 4};
            capture_on_frame_arrived(frame, image);
            std::this_thread::sleep_for(1ms);
        }
    });

    std::size_t taken = 0;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (taken < 20 && std::chrono::steady_clock::now() < end) {
        taken += game_context_take(*context).killfeed_pairs.size();
        menu_state_set(*menu, false);
        std::this_thread::sleep_for(2ms);
    }
    quit->set.store(true);
    slow_thread.join();
    fast_thread.join();
    capture.join();
    EXPECT_GE(taken, 20u);
    EXPECT_GE(log_lines.load(), 2);  // the start line and the in-front line
}

}  // namespace
}  // namespace corvane
