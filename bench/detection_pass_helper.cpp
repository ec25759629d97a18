// Driven by bench/detection_pass.py. One detector pass over a 1080p HUD frame
// (copy, binarisation, prefilter, scaling, recognition, row assembly and the
// classifier's hand-over) on one core, against the bare Tesseract API on the
// very bytes our engine hands it (recorded from our own pass: cropped,
// binarised or prefiltered, scaled, as RGB, grey or bits, dark pictures
// inverted). A libx264 encoder runs meanwhile on another core when the script
// starts one. Prints "NAME ours=X reference=Y ratio=Z" lines (milliseconds,
// wall clock and this thread's processor time).
//
// Two kinds of pass: in a match (three passes of the two regions read every
// pass, then one that adds the centre band, which without deployment text is
// recognised twice), and during a death (the top strip twice and the
// attackers' column on top of the two).
#include <sched.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "../apps/corvane/tests/detection/hud_render.h"
#include "detection/detect.h"
#include "detection/detect_engine.h"
#include "recording/gpu.h"

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Processor time of this thread: what the pass costs its core, whatever else
// the machine runs meanwhile.
double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const std::size_t i =
        std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

// A picture as the recogniser gets it.
struct Bitmap {
    std::vector<std::uint8_t> bytes;
    int w = 0, h = 0;
    int channels = 3;  // 0: one bit per pixel
    int row = 0;       // bytes per row
};

// As our engine hands a picture over: RGB; one grey byte per pixel when its
// channels are equal; one bit when it is black and white; a dark picture
// inverted.
Bitmap as_handed_over(const std::uint8_t* bgra, std::uint32_t w, std::uint32_t h) {
    const std::size_t pixels = std::size_t{w} * h;
    bool grey = true, black_white = true;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t* p = bgra + i * 4;
        grey = grey && p[0] == p[1] && p[1] == p[2];
        black_white = black_white && (p[0] == 0 || p[0] == 255);
        sum += std::uint64_t{p[0]} + p[1] + p[2];
    }
    black_white = black_white && grey;
    const std::uint8_t flip = sum < std::uint64_t{128} * 3 * pixels ? 255 : 0;
    Bitmap out;
    out.w = static_cast<int>(w);
    out.h = static_cast<int>(h);
    out.channels = black_white ? 0 : grey ? 1 : 3;
    out.row = black_white ? static_cast<int>((w + 7) / 8) : static_cast<int>(w) * out.channels;
    out.bytes.assign(std::size_t(out.row) * h, 0);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint8_t* p = bgra + (std::size_t{y} * w + x) * 4;
            std::uint8_t* row = out.bytes.data() + std::size_t(y) * out.row;
            if (black_white) {
                if ((p[0] ^ flip) != 0) row[x / 8] |= 0x80 >> (x % 8);
            } else if (grey) {
                row[x] = p[0] ^ flip;
            } else {
                row[x * 3] = p[2] ^ flip;
                row[x * 3 + 1] = p[1] ^ flip;
                row[x * 3 + 2] = p[0] ^ flip;
            }
        }
    }
    return out;
}

// Our engine, keeping a copy of every picture it is given while `recording`.
struct RecordingOcr : OcrEngine {
    explicit RecordingOcr(std::unique_ptr<OcrEngine> e) : inner(std::move(e)) {}
    OcrWordsResult recognize(const std::uint8_t* bgra, std::uint32_t w, std::uint32_t h) override {
        if (recording) seen.push_back(as_handed_over(bgra, w, h));
        return inner->recognize(bgra, w, h);
    }
    const std::string& language() const override { return inner->language(); }
    std::unique_ptr<OcrEngine> inner;
    bool recording = false;
    std::vector<Bitmap> seen;
};

std::size_t bare_tesseract(tesseract::TessBaseAPI& api, const Bitmap& b) {
    // Black and white: no inverted second reading, as our engine sets it.
    api.SetVariable("tessedit_do_invert", b.channels == 0 ? "0" : "1");
    api.SetImage(b.bytes.data(), b.w, b.h, b.channels, b.row);
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
    // The first CPU this process may use (detection_pass.py puts the encoder
    // on the next one), never a fixed number that may be another job's.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (!CPU_ISSET(cpu, &allowed)) continue;
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            sched_setaffinity(0, sizeof one, &one);
            break;
        }
    }

    const std::uint32_t W = 1920, H = 1080;
    const test::Picture pic = test::render_texts(W, H,
                                                 {{"NW    N    NE", 880, 12, 22},
                                                  {"COPPERTON", 890, 50, 24},
                                                  {"HEADSHOT", 900, 240, 26, 1.0, 0.85, 0.1},
                                                  {"ELIMINATED SHADOWFOX", 760, 800, 30},
                                                  {"2ND KILL", 880, 850, 26, 1.0, 0.85, 0.1},
                                                  {"57", 940, 900, 24},
                                                  {"ATTACKERS 3", 1500, 300, 24}});
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
    auto real = ocr_create_engine();
    if (!real) {
        std::fprintf(stderr, "no Tesseract data\n");
        return 1;
    }
    auto recording = std::make_unique<RecordingOcr>(std::move(real));
    RecordingOcr& rec = *recording;
    t.ocr = std::move(recording);
    t.engine = detector_engine_make(EventEngineState{});
    t.game_context = std::make_shared<GameContext>();
    t.menu_state = std::make_shared<MenuState>();
    if (!detector_prepare(t)) return 1;

    tesseract::TessBaseAPI api;
    api.SetVariable("debug_file", "/dev/null");
    if (api.Init(nullptr, "eng") != 0) return 1;
    api.SetVariable("debug_file", "/dev/null");
    api.SetPageSegMode(tesseract::PSM_SPARSE_TEXT);

    // A fresh state per pass, so that every pass of a kind reads the same
    // regions: the cards it reads are never committed here.
    const auto one_pass = [&](bool death) {
        EventEngineState state;
        state.log = [](std::string_view) {};
        if (death) state.pending_death = PendingDeathCard{{}, Clock::now(), Clock::now()};
        DetectorContext c{
            t.staging,   t.frame,         t.covered,        *t.ocr,        t.loop.pass_counter,
            H,           *t.game_context, t.loop.last_menu, *t.menu_state, t.engine->stats(),
            Clock::now()};
        detector_read_frame(c, state);
    };

    for (bool death : {false, true}) {
        // The pictures of each of the four passes of a cycle, recorded while
        // the caches warm up: the recording is not timed.
        std::vector<std::vector<Bitmap>> pictures(4);
        for (int i = 0; i < 4; ++i) {
            t.loop.pass_counter = static_cast<std::uint32_t>(i);  // the 4th: centre band
            rec.recording = true;
            rec.seen.clear();
            one_pass(death);
            rec.recording = false;
            pictures[i] = std::move(rec.seen);
        }
        std::vector<double> ours, reference, ours_cpu, reference_cpu;
        for (int i = 0; i < passes; ++i) {
            t.loop.pass_counter = static_cast<std::uint32_t>(i % 4);
            auto start = Clock::now();
            double cpu = cpu_ms();
            one_pass(death);
            ours.push_back(ms_since(start));
            ours_cpu.push_back(cpu_ms() - cpu);
            start = Clock::now();
            cpu = cpu_ms();
            for (const Bitmap& b : pictures[i % 4]) bare_tesseract(api, b);
            reference.push_back(ms_since(start));
            reference_cpu.push_back(cpu_ms() - cpu);
        }
        const char* kind = death ? "death" : "match";
        std::fprintf(stderr, "%s: %zu recognitions in the 4th pass, passes=%d\n", kind,
                     pictures[3].size(), passes);
        for (auto [name, p] : {std::pair{"p50", 0.5}, std::pair{"p95", 0.95}}) {
            const double o = percentile(ours, p), r = percentile(reference, p);
            std::printf("detector_pass_%s_ms_%s ours=%.1f reference=%.1f ratio=%.3f\n", kind, name,
                        o, r, r > 0 ? o / r : 0.0);
        }
        for (auto [name, p] : {std::pair{"p50", 0.5}, std::pair{"p95", 0.95}}) {
            const double o = percentile(ours_cpu, p), r = percentile(reference_cpu, p);
            std::printf("detector_pass_%s_cpu_ms_%s ours=%.1f reference=%.1f ratio=%.3f\n", kind,
                        name, o, r, r > 0 ? o / r : 0.0);
        }
    }
    // Where the time goes: the bare recogniser per picture of a centre-band
    // pass and a death pass, median of five.
    for (bool death : {false, true}) {
        t.loop.pass_counter = 3;
        rec.recording = true;
        rec.seen.clear();
        one_pass(death);
        rec.recording = false;
        for (const Bitmap& b : rec.seen) {
            std::vector<double> times;
            for (int i = 0; i < 5; ++i) {
                const auto start = Clock::now();
                bare_tesseract(api, b);
                times.push_back(ms_since(start));
            }
            std::fprintf(stderr, "%s %dx%d: %.1f ms\n", death ? "death" : "match", b.w, b.h,
                         percentile(times, 0.5));
        }
    }
    api.End();
    return 0;
}
