// The notices window: one click-through, always-on-top card window on the
// primary monitor, drawn once per card and then only moved and blended.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/screen.h"

namespace corvane {

// What one card shows; sizes in pixels, colours 0xRRGGBB.
struct NoticeCard {
    std::int32_t width = 0;
    std::int32_t height = 0;
    double scale = 1.0;  // s: the card's drawing unit
    std::uint32_t accent = 0;
    std::uint32_t second_colour = 0;
    std::string title;
    std::string text;
};

class NoticeWindow {
  public:
    virtual ~NoticeWindow() = default;
    // The primary monitor's rectangle, as it was when the window was made.
    virtual ScreenRect monitor() const = 0;
    // Draws the card into the window's image; "" on success, else why not.
    virtual std::string draw(const NoticeCard& card) = 0;
    // Shows the drawn card at (x, y) with a constant opacity (0..255), on top.
    virtual void show_at(std::int32_t x, std::int32_t y, std::uint8_t alpha) = 0;
    virtual void hide() = 0;
    // False once the display connection is gone.
    virtual bool alive() const = 0;
};

struct NoticeWindowResult {
    std::unique_ptr<NoticeWindow> window;  // null on failure
    std::string error;
};

// The window on `display` ("" = the session's own), hidden.
NoticeWindowResult notice_window_open(const std::string& display);

}  // namespace corvane
