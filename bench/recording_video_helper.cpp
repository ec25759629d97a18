// Driven by bench/recording_video.py. Two modes:
//   animate DISPLAY W H FPS SECONDS   paints a moving pattern on the root window
//   record DISPLAY W H FPS SECONDS [QUALITY [BUFFER_S]]
//                                    runs capture → clock → libx264 → replay
//                                    buffer for SECONDS at the profile's
//                                    quality-vs-speed figure (0..100) with a
//                                    buffer of BUFFER_S seconds, and prints its
//                                    figures (resident memory at the end)
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/memory.h"
#include "recording/frame_clock.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace corvane;

namespace {

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int animate(const std::string& display, int w, int h, int fps, double seconds) {
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy) return 1;
    int scr = DefaultScreen(dpy);
    Window root = RootWindow(dpy, scr);
    GC gc = XCreateGC(dpy, root, 0, nullptr);
    char* data = static_cast<char*>(std::malloc(static_cast<size_t>(w) * h * 4));
    XImage* img = XCreateImage(dpy, DefaultVisual(dpy, scr), 24, ZPixmap, 0, data, w, h, 32, 0);
    auto start = std::chrono::steady_clock::now();
    for (int k = 0;; ++k) {
        auto t = start + std::chrono::nanoseconds(static_cast<long long>(k * 1e9 / fps));
        if (std::chrono::duration<double>(t - start).count() > seconds) break;
        std::this_thread::sleep_until(t);
        // A scrolling gradient with a few moving boxes: like a game, every
        // pixel changes a little and some change a lot.
        for (int y = 0; y < h; ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<size_t>(y) * img->bytes_per_line);
            for (int x = 0; x < w; ++x) {
                std::uint32_t r = static_cast<std::uint32_t>((x + 3 * k) & 0xFF);
                std::uint32_t g = static_cast<std::uint32_t>((y + 2 * k) & 0xFF);
                std::uint32_t b = static_cast<std::uint32_t>(((x ^ y) + k) & 0xFF);
                row[x] = (r << 16) | (g << 8) | b;
            }
        }
        for (int i = 0; i < 6; ++i) {
            int bx = static_cast<int>((w - 120) * (0.5 + 0.5 * std::sin(k * 0.05 + i)));
            int by = static_cast<int>((h - 120) * (0.5 + 0.5 * std::cos(k * 0.037 + 2 * i)));
            for (int y = by; y < by + 120; ++y) {
                auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<size_t>(y) * img->bytes_per_line);
                for (int x = bx; x < bx + 120; ++x) row[x] = 0xFFFFFF * (i % 2);
            }
        }
        XPutImage(dpy, root, gc, img, 0, 0, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
        XSync(dpy, False);
    }
    XDestroyImage(img);
    XFreeGC(dpy, gc);
    XCloseDisplay(dpy);
    return 0;
}

// Resident memory now, in KiB.
long resident_kib() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
    std::fclose(f);
    return kib;
}

int record(const std::string& display, std::uint32_t fps, double seconds, std::uint32_t quality,
           std::uint32_t buffer_s) {
    CaptureSizesResult sizes = capture_monitor_size(display, std::nullopt);
    if (!sizes.ok) {
        std::fprintf(stderr, "%s\n", sizes.error.c_str());
        return 1;
    }
    auto device = gpu_device_create(sizes.sizes.capture);
    auto quit = std::make_shared<QuitFlag>();
    auto buffer = std::make_shared<ReplayBuffer>();
    auto sink = replay_buffer_sink_make(buffer, buffer_s, 1024);
    VideoEncoderStartConfig ec;
    ec.width = sizes.sizes.output.width;
    ec.height = sizes.sizes.output.height;
    ec.fps = fps;
    ec.bits_per_pixel = 0.16;
    ec.bitrate_ceiling_mbps = 60;
    ec.quality_vs_speed = quality;
    ec.codec = kCodecH264;
    ec.sink = sink;
    VideoEncoderStarted enc = video_encoder_start(std::move(ec));
    if (!enc.ok) {
        std::fprintf(stderr, "%s\n", enc.error.c_str());
        return 1;
    }
    ConverterResult conv = gpu_converter_create(sizes.sizes.capture, sizes.sizes.output);
    if (!conv.converter) return 1;
    double cpu0 = cpu_seconds();
    auto t0 = std::chrono::steady_clock::now();
    CaptureStartResult cap = capture_start(display, device, fps, quit);
    if (!cap.capture) {
        std::fprintf(stderr, "%s\n", cap.error.c_str());
        return 1;
    }
    auto stats = std::make_shared<ClockStats>();
    ClockParams cp;
    cp.fps = fps;
    cp.video = std::move(enc.frames);
    // Frames recorded = pictures converted and handed to the encoder (the
    // buffer itself keeps only its window).
    auto converted = std::make_shared<std::atomic<std::size_t>>(0);
    cp.convert = [inner = clock_convert_with(std::shared_ptr<Nv12Converter>(std::move(conv.converter)),
                                             device),
                  converted] {
        ConvertResult r = inner();
        if (r.frame) converted->fetch_add(1);
        return r;
    };
    cp.signal = cap.capture->signal();
    cp.backlog = enc.backlog;
    cp.stats = stats;
    cp.quit = quit;
    std::thread clock(clock_thread_main, std::move(cp));
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    quit->set.store(true);
    clock.join();
    std::uint64_t frames_arrived = cap.capture->signal()->frames_arrived.load();
    cap.capture.reset();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long rss = resident_kib();
    double cpu = cpu_seconds() - cpu0;
    const std::size_t frames = converted->load();
    std::printf("cpu_s=%.3f wall_s=%.3f frames=%zu grabbed=%llu ticks=%llu late=%llu bitrate=%u "
                "preset=%s rss_kib=%ld encoder=%s\n",
                cpu, wall, frames, static_cast<unsigned long long>(frames_arrived),
                static_cast<unsigned long long>(stats->ticks.load()),
                static_cast<unsigned long long>(stats->late.load()), enc.mean_bit_rate,
                video_encoder_speed_option("libx264", quality).value.c_str(), rss,
                enc.encoder_name.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7 || argc > 9) {
        std::fprintf(stderr, "uso: %s animate|record PANTALLA ANCHO ALTO FPS SEGUNDOS [CALIDAD [BUFER_S]]\n",
                     argv[0]);
        return 2;
    }
    XInitThreads();
    memory_allocator_setup();  // as the program does
    std::string mode = argv[1], display = argv[2];
    int w = std::atoi(argv[3]), h = std::atoi(argv[4]), fps = std::atoi(argv[5]);
    double secs = std::atof(argv[6]);
    if (mode == "animate") return animate(display, w, h, fps, secs);
    const auto quality = static_cast<std::uint32_t>(argc > 7 ? std::atoi(argv[7]) : 66);
    const auto buffer_s = static_cast<std::uint32_t>(argc > 8 ? std::atoi(argv[8]) : 60);
    if (mode == "record") return record(display, static_cast<std::uint32_t>(fps), secs, quality, buffer_s);
    return 2;
}
