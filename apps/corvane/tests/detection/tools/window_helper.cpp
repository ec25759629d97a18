// A stand-in for the game's window, built under the game's program name: one
// mapped top-level window that carries its process id. Prints the window id,
// then reads commands from its standard input until it closes:
//   show PATH   the window covers the screen from its top-left corner with
//               the PNG picture at PATH (its own size), raised; answers "ok"
//               once the server has it, or "error" when the file is no PNG.
// Any other line is ignored.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <cairo-xlib.h>
#include <cairo.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// The picture becomes the window's background, so that the server itself
// repaints it whenever it is uncovered: no expose handling needed.
bool show_png(Display* d, Window w, const std::string& path) {
    cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
    if (cairo_surface_status(png) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(png);
        return false;
    }
    const int width = cairo_image_surface_get_width(png);
    const int height = cairo_image_surface_get_height(png);
    const int screen = DefaultScreen(d);
    const Pixmap pm = XCreatePixmap(d, w, static_cast<unsigned>(width),
                                    static_cast<unsigned>(height), DefaultDepth(d, screen));
    cairo_surface_t* target =
        cairo_xlib_surface_create(d, pm, DefaultVisual(d, screen), width, height);
    cairo_t* cr = cairo_create(target);
    cairo_set_source_surface(cr, png, 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(target);
    cairo_surface_destroy(target);
    cairo_surface_destroy(png);
    XMoveResizeWindow(d, w, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSetWindowBackgroundPixmap(d, w, pm);
    XFreePixmap(d, pm);
    XRaiseWindow(d, w);
    XClearWindow(d, w);
    XSync(d, False);
    return true;
}

}  // namespace

int main() {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 2;
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 200, 100, 0, 0, 0);
    const unsigned long pid = static_cast<unsigned long>(getpid());
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    XStoreName(d, w, "cod25");
    XMapWindow(d, w);
    XSync(d, False);
    std::printf("%lu\n", static_cast<unsigned long>(w));
    std::fflush(stdout);
    std::string line;
    char buf[4096];
    ssize_t n;
    while ((n = read(0, buf, sizeof buf)) > 0) {
        line.append(buf, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = line.find('\n')) != std::string::npos) {
            const std::string cmd = line.substr(0, end);
            line.erase(0, end + 1);
            if (cmd.rfind("show ", 0) == 0) {
                std::puts(show_png(d, w, cmd.substr(5)) ? "ok" : "error");
                std::fflush(stdout);
            }
        }
    }
    XCloseDisplay(d);
    return 0;
}
