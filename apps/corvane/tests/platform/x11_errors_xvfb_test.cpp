// Every X11 backend shares one set of Xlib error handlers: after the keyboard
// reader and the foreground probe have started (each used to install its own),
// a protocol error is still recorded for the thread that caused it, and only
// for that thread, and never ends the process.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include <thread>

#include "../recording/recording_test_util.h"
#include "platform/foreground.h"
#include "platform/keys.h"
#include "platform/linux/x11_errors.h"

namespace corvane {
namespace {

TEST(X11Errors, AProtocolErrorIsRecordedForItsThreadWhateverBackendStartedFirst) {
    test::XvfbServer xvfb(320, 240);
    auto keys = keys_open(xvfb.display());
    ASSERT_TRUE(keys.keys) << keys.error;
    auto probe = foreground_probe_open(xvfb.display());
    ASSERT_TRUE(probe.probe);

    x11_prepare();
    Display* d = XOpenDisplay(xvfb.display().c_str());
    ASSERT_NE(d, nullptr);
    x11_clear_error();
    Window root = 0;
    int x = 0, y = 0;
    unsigned w = 0, h = 0, border = 0, depth = 0;
    // An id no client made: the server answers BadDrawable.
    EXPECT_FALSE(XGetGeometry(d, 0x7ffffff, &root, &x, &y, &w, &h, &border, &depth));
    XSync(d, False);
    EXPECT_EQ(x11_last_error(), BadDrawable);

    int other = -1;
    std::thread([&] { other = x11_last_error(); }).join();
    EXPECT_EQ(other, 0);

    x11_clear_error();
    EXPECT_EQ(x11_last_error(), 0);
    XCloseDisplay(d);
}

}  // namespace
}  // namespace corvane
