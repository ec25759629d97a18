// The window in front: whether there is one, whether it is minimised, and the
// program file of the process that owns it.
#pragma once

#include <memory>
#include <string>

#include "platform/error.h"

namespace corvane {

struct ForegroundWindow {
    bool exists = false;     // false: no window has the focus
    bool minimised = false;  // iconified or hidden
    // Full path of the owner's program file; empty when the owner is unknown,
    // gone, not readable or not valid UTF-8.
    std::string exe_path;
};

class ForegroundProbe {
  public:
    virtual ~ForegroundProbe() = default;
    // The window in front now. Never fails: what cannot be read stays empty.
    virtual ForegroundWindow query() = 0;
};

struct ForegroundProbeResult {
    std::unique_ptr<ForegroundProbe> probe;  // null on failure
    PlatformError error;
};

// A probe with its own connection to `display` ("" = the session's own).
// Used from one thread at a time.
ForegroundProbeResult foreground_probe_open(const std::string& display);

}  // namespace corvane
