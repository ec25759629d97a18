// Driven by bench/detection_pass.py. One detector pass over a 1080p HUD frame
// (the five regions: copy, prefilter, scaling, recognition, row assembly) on
// one core, against the bare Tesseract API on the very bytes our engine hands
// it (cropped, prefiltered, scaled, dark pictures inverted). A libx264 encoder
// runs meanwhile on another core when the script starts one. Prints
// "NAME ours=X reference=Y ratio=Z" lines (milliseconds).
#include <sched.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "../apps/corvane/tests/detection/hud_render.h"
#include "detection/detect.h"
#include "recording/gpu.h"

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const std::size_t i =
        std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

// What the pass hands the recogniser, made once outside the timing.
struct Bitmap {
    std::vector<std::uint8_t> rgb;
    int w = 0, h = 0;
};

Bitmap reference_bitmap(const test::Picture& pic, const Region& r, bool upscale, bool prefilter) {
    auto px = test::crop(pic, r.x, r.y, r.width, r.height);
    if (prefilter) ocr_prefilter_region(px.data(), px.size(), r.width, r.height);
    const PreparedBitmap b = ocr_prepare_bitmap(px.data(), r.width, r.height, upscale);
    Bitmap out;
    out.w = static_cast<int>(b.width);
    out.h = static_cast<int>(b.height);
    out.rgb.resize(std::size_t{b.width} * b.height * 3);
    for (std::size_t i = 0; i < std::size_t{b.width} * b.height; ++i) {
        out.rgb[i * 3] = b.bgra[i * 4 + 2];
        out.rgb[i * 3 + 1] = b.bgra[i * 4 + 1];
        out.rgb[i * 3 + 2] = b.bgra[i * 4];
    }
    // As our engine hands it over: a dark picture inverted.
    std::uint64_t sum = 0;
    for (auto v : out.rgb) sum += v;
    if (sum < std::uint64_t{128} * out.rgb.size()) {
        for (auto& v : out.rgb) v = static_cast<std::uint8_t>(255 - v);
    }
    return out;
}

std::size_t bare_tesseract(tesseract::TessBaseAPI& api, const Bitmap& b) {
    api.SetImage(b.rgb.data(), b.w, b.h, 3, b.w * 3);
    api.SetSourceResolution(70);
    api.Recognize(nullptr);
    std::size_t words = 0;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it && !it->Empty(tesseract::RIL_WORD)) {
        do {
            std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
            int l, t, r, bt;
            if (text && it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &bt)) ++words;
        } while (it->Next(tesseract::RIL_WORD));
    }
    api.Clear();
    return words;
}

}  // namespace

int main(int argc, char** argv) {
    const int passes = argc > 1 ? std::atoi(argv[1]) : 40;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof one, &one);

    const std::uint32_t W = 1920, H = 1080;
    const test::Picture pic = test::render_texts(W, H,
                                                 {{"NW    N    NE", 880, 12, 22},
                                                  {"COPPERTON", 890, 50, 24},
                                                  {"HEADSHOT", 900, 240, 26, 1.0, 0.85, 0.1},
                                                  {"ELIMINATED SHADOWFOX", 760, 800, 30},
                                                  {"2ND KILL", 880, 850, 26, 1.0, 0.85, 0.1},
                                                  {"57", 940, 900, 24},
                                                  {"ATTACKERS 3", 1500, 300, 24},
                                                  {"DEPLOYMENT WILL BEGIN", 760, 160, 26}});
    SharedFrame frame;
    frame.device = gpu_device_create(ScreenSize{W, H});
    frame.width = W;
    frame.height = H;
    {
        std::lock_guard lock(frame.device->context_lock);
        FrameStore& f = frame.device->frame;
        for (std::uint32_t y = 0; y < H; ++y) {
            std::copy_n(pic.bgra.data() + std::size_t{y} * W * 4, std::size_t{W} * 4,
                        f.pixels.data() + y * f.stride);
        }
    }

    DetectorThread t;
    t.frame = frame;
    t.env.log = [](std::string_view) {};
    t.ocr = ocr_create_engine();
    if (!t.ocr) {
        std::fprintf(stderr, "no Tesseract data\n");
        return 1;
    }
    t.engine = detector_engine_regions_only(std::nullopt);
    t.game_context = std::make_shared<GameContext>();
    t.menu_state = std::make_shared<MenuState>();
    if (!detector_prepare(t)) return 1;

    const DetectorRegions regions = detector_regions(W, H);
    const std::vector<Bitmap> bitmaps = {
        reference_bitmap(pic, regions.top_centre, true, false),
        reference_bitmap(pic, regions.bottom_band, true, true),
        reference_bitmap(pic, regions.right_column, false, false),
        reference_bitmap(pic, regions.top_strip, true, false),
        reference_bitmap(pic, regions.centre_band, true, false),
    };
    tesseract::TessBaseAPI api;
    api.SetVariable("debug_file", "/dev/null");
    if (api.Init(nullptr, "eng") != 0) return 1;
    api.SetVariable("debug_file", "/dev/null");
    api.SetPageSegMode(tesseract::PSM_SPARSE_TEXT);

    std::vector<double> ours, reference;
    DetectorRegionLines lines;
    std::size_t words_ours = 0, words_ref = 0;
    for (int i = 0; i < passes + 2; ++i) {
        DetectorContext c{
            t.staging,   t.frame,         t.covered,        *t.ocr,        t.loop.pass_counter,
            H,           *t.game_context, t.loop.last_menu, *t.menu_state, t.engine->stats(),
            Clock::now()};
        auto start = Clock::now();
        detector_read_regions(c, lines);
        const double a = ms_since(start);
        words_ours = lines.top_centre.size() + lines.bottom_band.size() +
                     lines.right_column.size() + lines.top_strip.size() + lines.centre_band.size();
        start = Clock::now();
        words_ref = 0;
        for (const Bitmap& b : bitmaps) words_ref += bare_tesseract(api, b);
        const double b = ms_since(start);
        if (i >= 2) {  // the first passes warm the caches
            ours.push_back(a);
            reference.push_back(b);
        }
    }
    // Where the time goes: the bare recogniser per region, median of five.
    const char* names[] = {"top-centre", "bottom band", "right column", "top strip", "centre band"};
    for (std::size_t k = 0; k < bitmaps.size(); ++k) {
        std::vector<double> t_region;
        for (int i = 0; i < 5; ++i) {
            const auto start = Clock::now();
            bare_tesseract(api, bitmaps[k]);
            t_region.push_back(ms_since(start));
        }
        std::fprintf(stderr, "%s %dx%d: %.1f ms\n", names[k], bitmaps[k].w, bitmaps[k].h,
                     percentile(t_region, 0.5));
    }
    api.End();
    std::fprintf(stderr, "lines ours=%zu, words reference=%zu, passes=%d\n", words_ours, words_ref,
                 passes);
    for (auto [name, p] :
         {std::pair{"detector_pass_ms_p50", 0.5}, std::pair{"detector_pass_ms_p95", 0.95}}) {
        const double o = percentile(ours, p), r = percentile(reference, p);
        std::printf("%s ours=%.1f reference=%.1f ratio=%.3f\n", name, o, r, r > 0 ? o / r : 0.0);
    }
    return 0;
}
