#include "shell/notices.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include <fmt/format.h>

#include "base/log.h"
#include "platform/texts.h"

namespace corvane {

namespace {

double round_half_away(double v) {
    return std::round(v);
}

}  // namespace

NoticeGeometry notice_geometry(const ScreenRect& m, float size_factor, std::uint8_t position) {
    const double mw = static_cast<double>(m.right) - m.left;
    const double mh = static_cast<double>(m.bottom) - m.top;
    const double monitor_scale = std::clamp(mh / 1440.0, 0.6, 2.0);
    const double margin = 0.025 * mh;
    NoticeGeometry g;
    // A size from outside (the web settings) is kept within reason: the
    // card's image is allocated from it.
    double factor = std::isfinite(size_factor) ? size_factor : 1.0;
    g.s = std::clamp(factor * monitor_scale, 0.25, 8.0);
    g.width = notice_to_int32(round_half_away(380.0 * g.s));
    g.height = notice_to_int32(round_half_away(76.0 * g.s));
    const double w = g.width, h = g.height;
    switch (position) {
        case 1:  // arriba_derecha
            g.x0 = m.right - w - margin;
            g.y0 = m.top + margin;
            g.dx = 24.0 * g.s;
            break;
        case 2:  // arriba_izquierda
            g.x0 = m.left + margin;
            g.y0 = m.top + margin;
            g.dx = -24.0 * g.s;
            break;
        case 3:  // abajo_centro
            g.x0 = m.left + (mw - w) / 2.0;
            g.y0 = m.bottom - h - 0.12 * mh;
            g.dy = 24.0 * g.s;
            break;
        default:  // arriba_centro
            g.x0 = m.left + (mw - w) / 2.0;
            g.y0 = m.top + 0.105 * mh;
            g.dy = -24.0 * g.s;
            break;
    }
    return g;
}

std::int32_t notice_to_int32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (v <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(v);
}

std::uint8_t notice_alpha_byte(double alpha) {
    if (std::isnan(alpha)) return 0;
    return static_cast<std::uint8_t>(std::clamp(alpha, 0.0, 1.0) * 255.0);
}

NoticePlace notice_place(const NoticeGeometry& g, double slide) {
    return {notice_to_int32(g.x0 + g.dx * slide), notice_to_int32(g.y0 + g.dy * slide)};
}

ScreenRect notice_card_area_of(const NoticeGeometry& g) {
    const NoticePlace a = notice_place(g, 0), b = notice_place(g, 1);
    const std::int32_t left = std::min(a.x, b.x), top = std::min(a.y, b.y);
    return {left, top, std::max(a.x, b.x) + g.width, std::max(a.y, b.y) + g.height};
}

std::uint32_t notice_accent(std::uint8_t kind) {
    switch (kind) {
        case 0:
            return 0x6BF59A;  // (107, 245, 154)
        case 1:
            return 0xF2C230;  // (242, 194, 48)
        case 2:
            return 0xFFB15F;  // (255, 177, 95)
        case 3:
            return 0xFF6B5F;  // (255, 107, 95)
        case 4:
            return 0x7FB8FF;  // (127, 184, 255)
        case 6:
            return 0xFF6B5F;
        default:
            return 0xF2C230;
    }
}

std::uint32_t notice_second_colour(std::uint8_t kind) {
    return kind == 6 ? 0xE9EFEA : 0x9FB2A7;
}

void notice_animate(const NoticeAnimation& a, double seconds) {
    auto cube = [](double v) { return v * v * v; };
    double start = a.now();
    for (;;) {
        const double t = a.now() - start;
        if (t >= 0.28 || a.quit()) break;
        const double e = cube(1.0 - std::min(1.0, t / 0.28));
        a.update(e, 1.0 - e);
        a.sleep(15);
    }
    a.update(0.0, 1.0);

    start = a.now();
    for (;;) {
        const double t = a.now() - start;
        if (t >= seconds || a.quit() || (t > 1.2 && a.waiting())) break;
        a.sleep(40);
    }

    start = a.now();
    for (;;) {
        const double t = a.now() - start;
        if (t >= 0.45 || a.quit()) break;
        const double e = cube(1.0 - std::min(1.0, t / 0.45));
        a.update(0.5 * (1.0 - e), e);
        a.sleep(15);
    }
}

void notices_show_entry(NoticeWindow& window, const AvisoEntry& entry,
                        const NoticeAnimation& animation) {
    const NoticeSettings settings = notice_settings();
    if (!settings.enabled) return;
    const NoticeGeometry g = notice_geometry(window.monitor(), settings.size, settings.position);
    NoticeCard card;
    card.width = g.width;
    card.height = g.height;
    card.scale = g.s;
    card.accent = notice_accent(entry.kind);
    card.second_colour = notice_second_colour(entry.kind);
    card.title = entry.title;
    card.text = entry.text;
    if (const std::string error = window.draw(card); !error.empty()) {
        log_line(fmt::format("\n[AVISO] Avisos en pantalla: {}", error));
        return;
    }
    notice_card_area_set(notice_card_area_of(g));
    NoticeAnimation a = animation;
    a.update = [&](double slide, double alpha) {
        const NoticePlace p = notice_place(g, slide);
        window.show_at(p.x, p.y, notice_alpha_byte(alpha));
        if (animation.update) animation.update(slide, alpha);
    };
    window.show_at(notice_place(g, 1.0).x, notice_place(g, 1.0).y, 0);
    notice_animate(a, settings.seconds);
    window.hide();
    notice_card_area_set(std::nullopt);
}

void notices_thread_main(NoticesContext ctx) {
    NoticeWindowResult opened = notice_window_open(ctx.display);
    if (!opened.window) {
        log_line(fmt::format("\n[AVISO] Avisos en pantalla: {}", opened.error));
        return;
    }
    log_line(kNoticesInCaptureWarning);
    NoticeWindow& window = *opened.window;
    NoticesRunningFlag.store(true);
    const auto epoch = std::chrono::steady_clock::now();
    NoticeAnimation animation;
    animation.now = [epoch] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - epoch).count();
    };
    animation.sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    animation.quit = [&ctx] { return ctx.quit->set.load(); };
    animation.waiting = [] { return avisos_waiting(); };
    while (!ctx.quit->set.load() && window.alive()) {
        std::optional<AvisoEntry> entry = avisos_pop();
        if (!entry) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            continue;
        }
        notices_show_entry(window, *entry, animation);
    }
    NoticesRunningFlag.store(false);
}

}  // namespace corvane
