// The notices window thread "crvn-avisos": takes `AvisoEntry` values out of
// the notices queue and shows each as an animated card (slide and fade in,
// hold, drift and fade out), one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/avisos.h"
#include "base/flags.h"
#include "platform/notices.h"

namespace corvane {

// Where and how big a card is on a monitor.
struct NoticeGeometry {
    double s = 1.0;  // drawing unit: size factor × monitor scale
    std::int32_t width = 0;
    std::int32_t height = 0;
    double x0 = 0, y0 = 0;  // resting place
    double dx = 0, dy = 0;  // slide vector
};

NoticeGeometry notice_geometry(const ScreenRect& monitor, float size_factor, std::uint8_t position);

// A pixel coordinate: truncated; not-a-number gives 0, values beyond the
// signed 32-bit range its nearest end.
std::int32_t notice_to_int32(double v);
// Opacity 0..1 (clamped) as a byte, truncated.
std::uint8_t notice_alpha_byte(double alpha);

// The place for a slide fraction.
struct NoticePlace {
    std::int32_t x = 0, y = 0;
    bool operator==(const NoticePlace&) const = default;
};
NoticePlace notice_place(const NoticeGeometry& g, double slide);

// The screen area a card covers over its whole slide.
ScreenRect notice_card_area_of(const NoticeGeometry& g);

// Accent and second-line colours by kind (0xRRGGBB).
std::uint32_t notice_accent(std::uint8_t kind);
std::uint32_t notice_second_colour(std::uint8_t kind);

// What the animation needs from outside; tests inject a clock.
struct NoticeAnimation {
    std::function<double()> now;  // seconds, monotonic
    std::function<void(int ms)> sleep;
    std::function<void(double slide, double alpha)> update;
    std::function<bool()> quit;
    std::function<bool()> waiting;  // another entry is queued
};

// Fade in (0.28 s), hold (`seconds`, cut to just over 1.2 s while another
// entry waits), drift back and fade out (0.45 s). Every phase ends at once
// when quit() answers true.
void notice_animate(const NoticeAnimation& a, double seconds);

struct NoticesContext {
    std::shared_ptr<QuitFlag> quit;
    std::string display;  // "" = the session's own
};

// Body of "crvn-avisos".
void notices_thread_main(NoticesContext ctx);

// One entry taken from the queue, shown on `window` (tests drive it with a
// fake window and clock).
void notices_show_entry(NoticeWindow& window, const AvisoEntry& entry,
                        const NoticeAnimation& animation);

}  // namespace corvane
