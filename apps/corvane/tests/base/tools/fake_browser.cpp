// Stands in for the browser in the window tests: appends its arguments to the
// file named by FAKE_BROWSER_LOG (one line per start, arguments separated by
// a tab), then shows one top-level window of the browser's class titled
// FAKE_BROWSER_TITLE (default "Corvane") until it is asked to close.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (const char* log = std::getenv("FAKE_BROWSER_LOG")) {
        if (FILE* f = std::fopen(log, "a")) {
            for (int i = 1; i < argc; ++i) std::fprintf(f, "%s%s", i > 1 ? "\t" : "", argv[i]);
            std::fprintf(f, "\n");
            std::fclose(f);
        }
    }
    const char* title_env = std::getenv("FAKE_BROWSER_TITLE");
    const std::string title = title_env ? title_env : "Corvane";
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 2;
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 200, 100, 0, 0, 0);
    XClassHint hint{};
    hint.res_name = const_cast<char*>("127.0.0.1");
    hint.res_class = const_cast<char*>("Chromium");
    XSetClassHint(d, w, &hint);
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
    XStoreName(d, w, title.c_str());
    Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(d, w, &del, 1);
    XMapWindow(d, w);
    XFlush(d);
    for (;;) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == ClientMessage && static_cast<Atom>(e.xclient.data.l[0]) == del) break;
    }
    XDestroyWindow(d, w);
    XCloseDisplay(d);
    return 0;
}
