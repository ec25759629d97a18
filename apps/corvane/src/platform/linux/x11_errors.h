// Xlib's error handlers are process-wide: every X11 backend (capture, keys,
// foreground probe, tray, notices, interface window, message box) shares the
// one set installed here, so that none of them replaces another's.
#pragma once

#include <X11/Xlib.h>

namespace corvane {

// Once per process: Xlib in thread mode; a protocol error is recorded for the
// calling thread instead of ending the process (windows vanish between two
// requests, a grab fails after a resolution change); a lost connection is left
// to each display's exit handler instead of ending the process.
void x11_prepare();

// The last protocol error code seen on the calling thread since
// `x11_clear_error` (0: none).
int x11_last_error();
void x11_clear_error();

// A per-display exit handler (XSetIOErrorExitHandler) that sets the
// std::atomic<bool> it is given.
void x11_mark_lost(Display*, void* flag);

}  // namespace corvane
