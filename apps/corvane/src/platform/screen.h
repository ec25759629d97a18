// The screen: the primary monitor's size and a grabber for its newest picture.
// Pictures are 8-bit B, G, R, A bytes in memory order, top row first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/error.h"

namespace corvane {

// A screen rectangle, right and bottom exclusive.
struct ScreenRect {
    std::int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const ScreenRect&) const = default;
};

struct ScreenSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// One grabbed picture; valid until the next grab on the same grabber.
struct ScreenImage {
    const std::uint8_t* bgra = nullptr;
    std::int32_t width = 0;   // the content size; may differ from the asked size
    std::int32_t height = 0;  // when the monitor's resolution changed
    std::size_t stride = 0;   // bytes per row
};

struct ScreenSizeResult {
    bool ok = false;
    ScreenSize size;
    PlatformError error;  // when !ok
};

// The monitor that contains the point (0, 0) on `display` ("" = the session's
// own). On failure the error says why (no display, no monitor).
ScreenSizeResult screen_primary_size(const std::string& display);

class ScreenGrabber {
public:
    virtual ~ScreenGrabber() = default;
    // Grabs the top-left width × height of the primary monitor (fewer when the
    // monitor is now smaller). Null when this grab failed; error() says why.
    // The mouse pointer is never part of the picture.
    virtual const ScreenImage* grab() = 0;
    virtual PlatformError error() const = 0;
    // True when the grabber fell back to the slow path (no shared memory).
    virtual bool slow_path() const = 0;
    // True once the connection to the display is gone for good.
    virtual bool display_lost() const = 0;
};

struct ScreenGrabberResult {
    std::unique_ptr<ScreenGrabber> grabber;  // null on failure
    PlatformError error;
};

// A grabber of the top-left width × height of `display`. Owns its own
// connection, so it must be used from one thread at a time.
ScreenGrabberResult screen_grabber_open(const std::string& display, std::uint32_t width,
                                        std::uint32_t height);

}  // namespace corvane
