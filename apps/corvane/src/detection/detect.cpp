#include "detection/detect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <new>

#include <fmt/format.h>

#include "base/clock.h"
#include "base/fd_write.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "detection/hud.h"
#include "platform/files.h"
#include "platform/priority.h"

namespace corvane {

std::uint32_t detect_float_to_u32(float v) {
    if (!(v > 0.0f)) return 0;
    if (v > 4294967040.0f) return 4294967295u;
    return static_cast<std::uint32_t>(v);
}

namespace {

// Keeps a rectangle inside a W × H frame: a region computed for a tiny frame
// must never reach past its edge.
Region clamp_to_frame(Region r, std::uint32_t width, std::uint32_t height) {
    r.x = std::min(r.x, width);
    r.y = std::min(r.y, height);
    r.width = std::min(r.width, width - r.x);
    r.height = std::min(r.height, height - r.y);
    return r;
}

// A region spanning cx ± half × H horizontally.
void centred(Region& r, float cx, float fw, float left_off, float right_off) {
    r.x = detect_float_to_u32(std::max(0.0f, cx - left_off));
    const std::uint32_t right = detect_float_to_u32(std::min(fw, cx + right_off));
    r.width = right > r.x ? right - r.x : 0;
}

}  // namespace

DetectorRegions detector_regions(std::uint32_t width, std::uint32_t height) {
    const float fw = static_cast<float>(width);
    const float h = static_cast<float>(height);
    const float cx = fw * 0.5f;
    DetectorRegions r;

    centred(r.top_centre, cx, fw, 0.35f * h, 0.35f * h);
    r.top_centre.y = 0;
    r.top_centre.height = detect_float_to_u32(std::min(h, 0.3f * h));

    centred(r.bottom_band, cx, fw, 0.65f * h, 0.65f * h);
    r.bottom_band.y = detect_float_to_u32(0.7f * h);
    r.bottom_band.height = height - std::min(height, r.bottom_band.y);

    // Measured from cx + 0.3H, not from the clamped left edge: near the right
    // edge the column is the frame's last 16 pixels.
    const float col_left = cx + 0.3f * h;
    const float last16 = width > 16 ? static_cast<float>(width - 16) : 0.0f;
    r.right_column.x = detect_float_to_u32(std::min(last16, col_left));
    r.right_column.y = detect_float_to_u32(0.1f * h);
    const std::uint32_t col_from = detect_float_to_u32(col_left);
    const std::uint32_t col_to = detect_float_to_u32(std::min(fw, cx + 1.1f * h));
    r.right_column.width = std::max<std::uint32_t>(16, col_to > col_from ? col_to - col_from : 0);
    r.right_column.height = detect_float_to_u32(0.45f * h);

    centred(r.top_strip, cx, fw, 0.32f * h, 0.32f * h);
    r.top_strip.y = detect_float_to_u32(0.03f * h);
    const std::uint32_t strip_bottom = detect_float_to_u32(std::min(h, 0.16f * h));
    r.top_strip.height = strip_bottom > r.top_strip.y ? strip_bottom - r.top_strip.y : 0;

    centred(r.centre_band, cx, fw, 0.25f * h, 0.25f * h);
    r.centre_band.y = detect_float_to_u32(0.1f * h);
    const std::uint32_t band_bottom = detect_float_to_u32(std::min(h, 0.21f * h));
    r.centre_band.height = band_bottom > r.centre_band.y ? band_bottom - r.centre_band.y : 0;

    for (Region* region :
         {&r.top_centre, &r.bottom_band, &r.right_column, &r.top_strip, &r.centre_band}) {
        *region = clamp_to_frame(*region, width, height);
    }
    return r;
}

StagingResult detect_create_staging_texture(const Region& region) {
    StagingResult out;
    if (region.width == 0 || region.height == 0) {
        out.error = PlatformError{-1, "región vacía"};
        return out;
    }
    try {
        StagingRegion s;
        s.region = region;
        s.pixels.reserve(std::size_t{region.width} * region.height * 4);
        out.staging = std::move(s);
    } catch (const std::bad_alloc&) {
        out.error = PlatformError{-1, "sin memoria para la región"};
    }
    return out;
}

bool detect_regions_overlap(const Region& a, const Region& b) {
    if (a.width == 0 || a.height == 0 || b.width == 0 || b.height == 0) return false;
    return std::uint64_t{a.x} < std::uint64_t{b.x} + b.width &&
           std::uint64_t{b.x} < std::uint64_t{a.x} + a.width &&
           std::uint64_t{a.y} < std::uint64_t{b.y} + b.height &&
           std::uint64_t{b.y} < std::uint64_t{a.y} + a.height;
}

RegionRead detect_read_region(StagingRegion& staging, const SharedFrame& frame,
                              const CoveredRects& covered, PlatformError* error) {
    const Region& r = staging.region;
    // X11 cannot keep the notice card out of the picture: text under it is
    // the card's, not the game's.
    if (covered) {
        for (const Region& card : covered()) {
            if (detect_regions_overlap(r, card)) return RegionRead::kCovered;
        }
    }
    if (!frame.device) {
        if (error) *error = PlatformError{-1, "no hay imagen capturada"};
        return RegionRead::kFailed;
    }
    std::lock_guard lock(frame.device->context_lock);
    const FrameStore& f = frame.device->frame;
    const bool inside = r.width > 0 && r.height > 0 && std::uint64_t{r.x} + r.width <= f.width &&
                        std::uint64_t{r.y} + r.height <= f.height &&
                        f.stride >= std::size_t{f.width} * 4 &&
                        f.pixels.size() >= f.stride * f.height;
    if (!inside) {
        if (error) *error = PlatformError{-1, "región vacía o fuera de la imagen"};
        return RegionRead::kFailed;
    }
    const std::size_t row = std::size_t{r.width} * 4;
    staging.pixels.resize(row * r.height);
    for (std::uint32_t y = 0; y < r.height; ++y) {
        const std::uint8_t* src =
            f.pixels.data() + (std::size_t{r.y} + y) * f.stride + std::size_t{r.x} * 4;
        std::copy_n(src, row, staging.pixels.data() + std::size_t{y} * row);
    }
    return RegionRead::kRead;
}

namespace {

std::uint64_t whole_ms(DetectorClock::duration d) {
    if (d.count() < 0) return 0;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

std::string file_name_of(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

FrontCheck detector_front_check(ForegroundProbe& probe) {
    FrontCheck out;
    const ForegroundWindow w = probe.query();
    if (!w.exists || w.minimised) return out;
    out.window_name = file_name_of(w.exe_path);
    out.in_front = game_title_for_exe(w.exe_path).has_value();
    if (auto t = game_title_for_exe(out.window_name)) out.title = t->title;
    return out;
}

std::string detector_stats_line(const std::string& time, const DetectorStats& s,
                                std::uint64_t reading_ms_total,
                                const std::optional<std::string>& gamertag) {
    const std::uint64_t avg = s.lecturas == 0 ? 0 : reading_ms_total / s.lecturas;
    return fmt::format(
        "{} lecturas={} ms_prom={} ms_lento={} menu={} previa={} killfeed={} tarjetas_baja={} "
        "tarjetas_muerte={} gamertag={}\n",
        time, s.lecturas, avg, s.ms_lento, s.menu, s.previa, s.killfeed, s.tarjetas_baja,
        s.tarjetas_muerte, gamertag ? *gamertag : std::string("-"));
}

void detector_stats_append(const std::filesystem::path& path, const std::string& line) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 &&
        static_cast<std::uint64_t>(st.st_size) > kDetectorLogRotateBytes) {
        std::filesystem::path old = path;
        old.replace_extension("log.1");
        (void)file_rename(path, old);
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    // The gamertag comes from the INI or the screen: cleaned as the program's
    // log is, so it cannot add lines of its own.
    std::string_view body = line;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
    fd_write_all(fd, text_escape_controls(body) + "\n");
    ::close(fd);
}

void detector_pass(DetectorThread& t) {
    DetectorLoop& loop = t.loop;
    DetectorEnv& env = t.env;
    loop.deadline += kDetectorPeriod;
    if (const DetectorInstant now = env.now(); now < loop.deadline) {
        env.sleep_until(loop.deadline);
    } else {
        loop.deadline = now;  // late: start now, never catch up
    }
    const DetectorInstant pass_start = env.now();

    bool reading = false;
    if (!env.enabled->load()) {
        env.in_front->store(false);
    } else {
        const FrontCheck front = t.probe ? detector_front_check(*t.probe) : FrontCheck{};
        env.in_front->store(front.in_front);
        if (front.in_front != loop.was_in_front) {
            if (front.in_front) {
                env.log(fmt::format("[DETECTOR] Juego al frente: {} ({}). Leyendo.", front.title,
                                    front.window_name));
            } else {
                env.log(fmt::format("[DETECTOR] En pausa: el juego no está al frente{}.",
                                    front.window_name.empty()
                                        ? std::string()
                                        : fmt::format(" (ventana: {})", front.window_name)));
            }
        }
        reading = front.in_front;
    }
    if (!reading) {
        t.engine->tick(env.now());
        loop.was_in_front = false;
        return;
    }

    DetectorStats& stats = t.engine->stats();
    DetectorContext context{t.staging,         t.frame,        t.covered,       *t.ocr,
                            loop.pass_counter, t.frame.height, *t.game_context, loop.last_menu,
                            *t.menu_state,     stats,          pass_start};
    try {
        DetectorReadResult r = t.engine->read_frame(context);
        if (r.ok) {
            loop.error_run = 0;
        } else {
            if (loop.error_run == 0) {
                env.log(fmt::format("\n[AVISO] Detector: {}", platform_error_text(r.error)));
            }
            ++loop.error_run;
        }
    } catch (...) {
        if (loop.failure_count == 0) {
            env.log(
                "\n[AVISO] Detector: una lectura falló y se omitió (el detector sigue "
                "funcionando).");
        }
        ++loop.failure_count;
    }
    t.engine->tick(env.now());
    loop.reading_ms_total += whole_ms(env.now() - pass_start);

    const DetectorInstant after = env.now();
    if (after - loop.last_stats >= std::chrono::seconds(10)) {
        std::string time = env.local_time ? env.local_time() : std::string();
        detector_stats_append(
            env.stats_path,
            detector_stats_line(time, stats, loop.reading_ms_total, t.engine->gamertag()));
        stats = DetectorStats{};
        loop.last_stats = after;
        loop.reading_ms_total = 0;
    }

    const auto duration = env.now() - pass_start;
    if (duration <= kDetectorSlowPass) {
        if (loop.slow_run > 0) --loop.slow_run;
    } else if (++loop.slow_run == kDetectorSlowRunWarn) {
        env.log(fmt::format(
            "\n[AVISO] Detector lento ({} ms por lectura): puede perder alguna tarjeta. Cierra "
            "programas pesados o usa el perfil ligero.",
            whole_ms(duration)));
    }
    loop.was_in_front = true;
}

bool detector_prepare(DetectorThread& t) {
    const DetectorRegions regions = detector_regions(t.frame.width, t.frame.height);
    // All five are needed: a failure of any of them is reported the same way.
    StagingResult made[] = {
        detect_create_staging_texture(regions.top_strip),
        detect_create_staging_texture(regions.centre_band),
        detect_create_staging_texture(regions.top_centre),
        detect_create_staging_texture(regions.bottom_band),
        detect_create_staging_texture(regions.right_column),
    };
    for (const auto& m : made) {
        if (!m.staging) {
            t.env.log("\n[AVISO] No se pudo preparar el detector (memoria de video).");
            return false;
        }
    }
    t.staging = DetectorStaging{std::move(*made[0].staging), std::move(*made[1].staging),
                                std::move(*made[2].staging), std::move(*made[3].staging),
                                std::move(*made[4].staging)};
    if (auto tag = t.engine->gamertag()) {
        t.env.log(
            fmt::format("\n[DETECTOR] Activo: bajas, derribos, muertes y killcams de {}, "
                        "con modo, mapa y lugar ({}).",
                        *tag, kOcrNameText));
    } else {
        t.env.log(fmt::format(
            "\n[DETECTOR] Activo ({}). Tu gamertag se aprende solo con tus primeras bajas (o "
            "escríbelo en [general] gamertag de la Configuración).",
            kOcrNameText));
    }
    const DetectorInstant now = t.env.now();
    t.loop.deadline = now;
    t.loop.last_stats = now;
    return true;
}

namespace {

// Detector threads whose engine is open: the program's exit waits for them to
// write what they hold.
struct OpenEngines {
    std::mutex lock;
    std::condition_variable closed;
    int engines = 0;
    // An exit that does not go through the quit (the update's) asks for the
    // same ending.
    std::atomic<bool> exit_requested{false};
};
OpenEngines g_open;

}  // namespace

void detector_run(DetectorStart start) {
    thread_set_background_priority();
    DetectorThread t;
    t.env = std::move(start.env);
    if (!t.env.log) t.env.log = [](std::string_view m) { log_line(m); };
    if (!t.env.local_time) {
        t.env.local_time = [] {
            std::string time = clock_local_date_time().time;
            std::replace(time.begin(), time.end(), '-', ':');
            return time;
        };
    }
    if (t.env.stats_path.empty()) t.env.stats_path = data_dir() / "detector.log";
    t.ocr = start.make_ocr ? start.make_ocr() : nullptr;
    if (!t.ocr) {
        t.env.log(kOcrMissingLogText);
        if (start.balloon) start.balloon("Detector apagado", kOcrMissingBalloonText);
        return;
    }
    if (start.make_probe) t.probe = start.make_probe();
    t.engine = std::move(start.engine);
    t.frame = std::move(start.frame);
    t.covered = std::move(start.covered);
    t.game_context = start.game_context ? start.game_context : std::make_shared<GameContext>();
    t.menu_state = start.menu_state ? start.menu_state : std::make_shared<MenuState>();
    if (!t.engine || !detector_prepare(t)) return;
    {
        std::lock_guard lock(g_open.lock);
        ++g_open.engines;
    }
    const auto quit = [&] { return (start.quit && start.quit->set.load()) || g_open.exit_requested.load(); };
    while (!quit()) detector_pass(t);
    t.engine->close();
    {
        std::lock_guard lock(g_open.lock);
        --g_open.engines;
    }
    g_open.closed.notify_all();
}

bool detector_close_for_exit(std::chrono::milliseconds limit) {
    g_open.exit_requested.store(true);
    return detector_wait_closed(limit);
}

void detector_exit_reset_for_tests() { g_open.exit_requested.store(false); }

bool detector_wait_closed(std::chrono::milliseconds limit) {
    std::unique_lock lock(g_open.lock);
    return g_open.closed.wait_for(lock, limit, [] { return g_open.engines == 0; });
}

}  // namespace corvane
