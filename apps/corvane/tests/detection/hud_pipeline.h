// The detector's reading road on a simulated clock, for drawn HUD frames: a
// PNG goes into the shared frame, and each pass makes the calls the detector
// thread makes every 250 ms (the reading with the real recogniser, then the
// event engine's tick), with the slow pass's cycle before every other pass
// when asked. Shared by the HUD frame tests and the accuracy tool.
#pragma once

#include <cairo.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/flags.h"
#include "detection/detect_engine.h"
#include "detection/detect_slow.h"
#include "recording/gpu.h"

namespace corvane::test {

struct PngFrame {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> bgra;  // B, G, R, 255
};

// An RGB PNG as B, G, R, A bytes; empty when it cannot be read.
inline PngFrame load_png(const std::filesystem::path& path) {
    PngFrame f;
    cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        cairo_surface_flush(s);
        f.width = static_cast<std::uint32_t>(cairo_image_surface_get_width(s));
        f.height = static_cast<std::uint32_t>(cairo_image_surface_get_height(s));
        const int stride = cairo_image_surface_get_stride(s);
        const unsigned char* data = cairo_image_surface_get_data(s);
        f.bgra.resize(std::size_t{f.width} * f.height * 4);
        for (std::uint32_t y = 0; y < f.height; ++y) {
            for (std::uint32_t x = 0; x < f.width; ++x) {
                const unsigned char* p = data + std::size_t{y} * stride + std::size_t{x} * 4;
                std::uint8_t* q = f.bgra.data() + (std::size_t{y} * f.width + x) * 4;
                q[0] = p[0];
                q[1] = p[1];
                q[2] = p[2];
                q[3] = 255;
            }
        }
    }
    cairo_surface_destroy(s);
    return f;
}

// A frame of one colour, for quiet passes that only let time run.
inline PngFrame flat_frame(std::uint32_t width, std::uint32_t height, std::uint8_t grey) {
    PngFrame f;
    f.width = width;
    f.height = height;
    f.bgra.assign(std::size_t{width} * height * 4, grey);
    for (std::size_t i = 3; i < f.bgra.size(); i += 4) f.bgra[i] = 255;
    return f;
}

class HudPipeline {
  public:
    // `fast` and `slow_ocr` are the recognisers of the two threads; the
    // pipeline keeps references to `fast` and takes `slow_ocr`.
    HudPipeline(std::uint32_t width, std::uint32_t height, OcrEngine& fast,
                std::unique_ptr<OcrEngine> slow_ocr, std::filesystem::path history)
        : width_(width), height_(height), fast_(fast) {
        frame.device = gpu_device_create(ScreenSize{width, height});
        frame.width = width;
        frame.height = height;
        const DetectorRegions r = detector_regions(width, height);
        staging = std::make_unique<DetectorStaging>(
            DetectorStaging{*detect_create_staging_texture(r.top_strip).staging,
                            *detect_create_staging_texture(r.centre_band).staging,
                            *detect_create_staging_texture(r.top_centre).staging,
                            *detect_create_staging_texture(r.bottom_band).staging,
                            *detect_create_staging_texture(r.right_column).staging});
        slot = std::make_shared<SaveRequestSlot>();
        state.history_path = std::move(history);
        state.log = [this](std::string_view m) {
            std::string s(m);
            s.erase(0, s.find_first_not_of('\n'));
            logs.push_back(std::move(s));
        };
        state.local_time = [] { return LocalDateTime{"2026-12-10", "14-33-58"}; };
        state.game_title = [] { return std::optional<std::string>("Warzone · Black Ops 7"); };
        state.scene_quiet_secs = 1;
        state.clip_lead_secs = 2;
        state.slot = slot;

        slow.env.log = [this](std::string_view m) { logs.emplace_back(m); };
        slow.env.enabled = &on_;
        slow.env.in_front = &on_;
        slow.env.now = [this] { return now; };
        slow.ocr = std::move(slow_ocr);
        slow.frame = frame;
        slow.game_context = game_context;
        slow.menu_state = menu_state;
        slow_ready = slow.ocr && slow_prepare(slow);
    }

    // Puts a picture of the frame's size on screen; false for another size.
    bool show(const PngFrame& f) {
        if (f.width != width_ || f.height != height_) return false;
        std::lock_guard lock(frame.device->context_lock);
        FrameStore& store = frame.device->frame;
        for (std::uint32_t y = 0; y < height_; ++y)
            std::copy_n(f.bgra.data() + std::size_t{y} * width_ * 4, std::size_t{width_} * 4,
                        store.pixels.data() + y * store.stride);
        return true;
    }

    // `n` passes 250 ms apart; with `with_slow` the slow pass's cycle runs
    // before every other pass. The first failed reading stops and is returned.
    DetectorReadResult passes(int n, bool with_slow = false) {
        using namespace std::chrono_literals;
        for (int i = 0; i < n; ++i) {
            now += 250ms;
            if (with_slow && slow_ready && (++pass_no_ % 2 == 0)) slow_cycle(slow);
            DetectorContext c{*staging,      frame,     covered_,    fast_, pass_counter, height_,
                              *game_context, last_menu, *menu_state, stats, now};
            const DetectorReadResult r = detector_read_frame(c, state);
            if (!r.ok) return r;
            events_tick(state, now);
        }
        return {};
    }

    // Log lines (leading line breaks removed) that begin with `prefix`.
    std::vector<std::string> logged(std::string_view prefix) const {
        std::vector<std::string> out;
        for (const auto& l : logs)
            if (l.rfind(prefix, 0) == 0) out.push_back(l);
        return out;
    }

    std::string all_logs() const {
        std::string s;
        for (const auto& l : logs) s += l + "\n";
        return s;
    }

    // The history lines written so far, parsed.
    std::vector<nlohmann::json> history() const {
        std::vector<nlohmann::json> out;
        std::ifstream in(state.history_path);
        std::string line;
        while (std::getline(in, line)) out.push_back(nlohmann::json::parse(line, nullptr, false));
        return out;
    }

    SharedFrame frame;
    std::unique_ptr<DetectorStaging> staging;
    std::uint32_t pass_counter = 0;
    std::shared_ptr<GameContext> game_context = std::make_shared<GameContext>();
    std::shared_ptr<MenuState> menu_state = std::make_shared<MenuState>();
    std::optional<DetectorInstant> last_menu;
    DetectorStats stats;
    EventEngineState state;
    std::shared_ptr<SaveRequestSlot> slot;
    SlowPass slow;
    bool slow_ready = false;
    DetectorInstant now{std::chrono::hours(2)};
    std::vector<std::string> logs;

  private:
    std::uint32_t width_, height_;
    OcrEngine& fast_;
    CoveredRects covered_;
    std::atomic<bool> on_{true};
    int pass_no_ = 0;
};

}  // namespace corvane::test
