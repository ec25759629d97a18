#include "recording/capture.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include <fmt/format.h>

#include "base/log.h"
#include "platform/thread.h"
#include "recording/frame_clock.h"

namespace corvane {

CaptureSizes capture_sizes(ScreenSize monitor, std::optional<std::uint32_t> target_height) {
    CaptureSizes s;
    s.capture = ScreenSize{monitor.width & ~1u, monitor.height & ~1u};
    s.output = s.capture;
    if (target_height && *target_height < s.capture.height && s.capture.height > 0) {
        std::uint64_t w = static_cast<std::uint64_t>(s.capture.width) * *target_height / s.capture.height;
        s.output = ScreenSize{static_cast<std::uint32_t>(w) & ~1u, *target_height & ~1u};
    }
    return s;
}

CaptureSizesResult capture_monitor_size(const std::string& display,
                                        std::optional<std::uint32_t> target_height) {
    CaptureSizesResult r;
    ScreenSizeResult m = screen_primary_size(display);
    if (!m.ok) {
        r.error = fmt::format("No se encontró el monitor: {}", platform_error_text(m.error));
        return r;
    }
    r.sizes = capture_sizes(m.size, target_height);
    if (r.sizes.capture.width == 0 || r.sizes.capture.height == 0 || r.sizes.output.width == 0 ||
        r.sizes.output.height == 0) {
        r.error = fmt::format("No se encontró el monitor: {}x{}", m.size.width, m.size.height);
        return r;
    }
    r.ok = true;
    return r;
}

std::shared_ptr<DeviceContextLock> gpu_device_create(ScreenSize capture) {
    auto d = std::make_shared<DeviceContextLock>();
    d->frame.width = capture.width;
    d->frame.height = capture.height;
    d->frame.stride = static_cast<std::size_t>(capture.width) * 4;
    d->frame.pixels.assign(d->frame.stride * capture.height, 0);
    for (std::size_t i = 3; i < d->frame.pixels.size(); i += 4) d->frame.pixels[i] = 255;
    return d;
}

namespace {

// The OCR must never see transparency: alpha is forced opaque. Blocks of
// eight pixels let the compiler copy and mark them with vector instructions.
void copy_row_opaque(std::uint8_t* __restrict dst, const std::uint8_t* __restrict src, std::uint32_t w) {
    std::uint32_t x = 0;
    for (; x + 8 <= w; x += 8) {
        std::uint32_t px[8];
        std::memcpy(px, src + 4 * x, sizeof px);
        for (std::uint32_t& p : px) p |= 0xFF000000u;
        std::memcpy(dst + 4 * x, px, sizeof px);
    }
    for (; x < w; ++x) {
        std::uint32_t p;
        std::memcpy(&p, src + 4 * x, 4);
        p |= 0xFF000000u;
        std::memcpy(dst + 4 * x, &p, 4);
    }
}

}  // namespace

void capture_on_frame_arrived(SharedFrame& shared, const ScreenImage& image) {
    if (!image.bgra || image.width <= 0 || image.height <= 0) return;
    std::uint32_t w = std::min<std::uint32_t>(static_cast<std::uint32_t>(image.width), shared.width);
    std::uint32_t h = std::min<std::uint32_t>(static_cast<std::uint32_t>(image.height), shared.height);
    if (w == 0 || h == 0) return;
    {
        std::lock_guard lock(shared.device->context_lock);
        FrameStore& f = shared.device->frame;
        w = std::min(w, f.width);
        h = std::min(h, f.height);
        for (std::uint32_t y = 0; y < h; ++y)
            copy_row_opaque(f.pixels.data() + y * f.stride, image.bgra + y * image.stride, w);
    }
    shared.signal->frame_available.store(1, std::memory_order_release);
    shared.signal->frames_arrived.fetch_add(1, std::memory_order_acq_rel);
}

RunningCapture::RunningCapture(std::shared_ptr<FrameSignal> signal, std::shared_ptr<std::atomic<bool>> stop,
                               std::thread thread)
    : signal_(std::move(signal)), stop_(std::move(stop)), thread_(std::move(thread)) {}

RunningCapture::~RunningCapture() {
    stop_->store(true);
    if (thread_.joinable()) thread_.join();
}

namespace {

void capture_loop(std::unique_ptr<ScreenGrabber> grabber, SharedFrame shared, std::uint32_t fps,
                  std::shared_ptr<QuitFlag> quit, std::shared_ptr<std::atomic<bool>> stop) {
    thread_set_name("crvn-captura");
    TickSource& time = tick_source_monotonic();
    const std::int64_t period = 1'000'000'000 / fps;
    const std::int64_t start = time.now_ns();
    std::string last_error;
    for (std::uint64_t k = 0;; ++k) {
        if (stop->load() || (quit && quit->set.load())) break;
        std::int64_t deadline = start + static_cast<std::int64_t>(k) * period;
        std::int64_t now = time.now_ns();
        if (deadline > now) {
            time.sleep_until_ns(deadline);
        } else if (now - deadline >= 2 * period) {
            // A stall is skipped, never caught up with a burst of grabs.
            k = static_cast<std::uint64_t>((now - start) / period);
        }
        // The grab runs outside the lock; only the copy holds it.
        const ScreenImage* img = grabber->grab();
        if (!img && grabber->display_lost()) {
            // Nothing can be recorded any more: the program ends itself.
            log_line("\n[ERROR] Se perdió la conexión con la pantalla; Corvane se cerrará.");
            if (quit) quit->set.store(true);
            break;
        }
        if (!img) {
            std::string e = platform_error_text(grabber->error());
            if (e != last_error) {
                log_line(fmt::format("[AVISO] Captura de pantalla: se omite un cuadro ({})", e));
                last_error = e;
            }
            continue;
        }
        last_error.clear();
        capture_on_frame_arrived(shared, *img);
    }
}

}  // namespace

CaptureStartResult capture_start(const std::string& display, std::shared_ptr<DeviceContextLock> device,
                                 std::uint32_t fps, std::shared_ptr<QuitFlag> quit) {
    CaptureStartResult r;
    std::uint32_t w, h;
    {
        std::lock_guard lock(device->context_lock);
        w = device->frame.width;
        h = device->frame.height;
    }
    ScreenGrabberResult g = screen_grabber_open(display, w, h);
    if (!g.grabber) {
        r.error = fmt::format("No se pudo iniciar la captura de pantalla: {}", platform_error_text(g.error));
        return r;
    }
    if (g.grabber->slow_path())
        log_line("[AVISO] La pantalla no ofrece memoria compartida (MIT-SHM): la captura será más lenta.");
    auto signal = std::make_shared<FrameSignal>();
    SharedFrame shared{device, signal, w, h};
    auto stop = std::make_shared<std::atomic<bool>>(false);
    std::thread t;
    try {
        t = std::thread(capture_loop, std::move(g.grabber), shared, fps == 0 ? 1 : fps, quit, stop);
    } catch (const std::system_error& e) {
        r.error = fmt::format("No se pudo iniciar la captura de pantalla: {}", e.what());
        return r;
    }
    r.capture = std::make_unique<RunningCapture>(signal, stop, std::move(t));
    return r;
}

}  // namespace corvane
