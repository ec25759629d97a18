#include "platform/browser.h"
#include "platform/linux/x11_errors.h"
#include "platform/shell_open.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/stat.h>

#include <cstring>
#include <mutex>
#include <strings.h>

namespace corvane {

namespace {

// The class part of WM_CLASS that Chromium gives every window it opens.
constexpr const char* kBrowserClass = "Chromium";

struct DisplayCloser {
    Display* d;
    ~DisplayCloser() {
        if (d) XCloseDisplay(d);
    }
};

Display* open_display() {
    x11_prepare();
    return XOpenDisplay(nullptr);
}

// A property as raw items; empty when missing.
std::vector<unsigned char> get_property(Display* d, Window w, Atom prop, Atom type, int& format,
                                        unsigned long& items) {
    Atom actual = None;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    items = 0;
    format = 0;
    std::vector<unsigned char> out;
    if (XGetWindowProperty(d, w, prop, 0, 1 << 16, False, type, &actual, &format, &items, &after,
                           &data) == Success &&
        data) {
        const std::size_t unit = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
        out.assign(data, data + items * unit);
    }
    if (data) XFree(data);
    return out;
}

std::vector<Window> window_list(Display* d, Window root, Atom prop) {
    int format = 0;
    unsigned long items = 0;
    auto raw = get_property(d, root, prop, XA_WINDOW, format, items);
    std::vector<Window> out;
    if (format != 32) return out;
    const long* ids = reinterpret_cast<const long*>(raw.data());
    for (unsigned long i = 0; i < items; ++i) out.push_back(static_cast<Window>(ids[i]));
    return out;
}

std::string window_title(Display* d, Window w) {
    int format = 0;
    unsigned long items = 0;
    auto name = get_property(d, w, XInternAtom(d, "_NET_WM_NAME", False),
                             XInternAtom(d, "UTF8_STRING", False), format, items);
    if (format == 8 && !name.empty()) return std::string(reinterpret_cast<char*>(name.data()), name.size());
    auto plain = get_property(d, w, XA_WM_NAME, AnyPropertyType, format, items);
    if (format == 8) return std::string(reinterpret_cast<char*>(plain.data()), plain.size());
    return {};
}

bool is_browser(Display* d, Window w) {
    XClassHint hint{};
    if (!XGetClassHint(d, w, &hint)) return false;
    const bool match = hint.res_class && ::strcasecmp(hint.res_class, kBrowserClass) == 0;
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return match;
}

// ICCCM state: -1 when the window has none (withdrawn or not a client).
long wm_state(Display* d, Window w) {
    Atom a = XInternAtom(d, "WM_STATE", False);
    int format = 0;
    unsigned long items = 0;
    auto raw = get_property(d, w, a, a, format, items);
    if (format != 32 || items < 1) return -1;
    return reinterpret_cast<const long*>(raw.data())[0];
}

bool net_hidden(Display* d, Window w) {
    int format = 0;
    unsigned long items = 0;
    auto raw = get_property(d, w, XInternAtom(d, "_NET_WM_STATE", False), XA_ATOM, format, items);
    if (format != 32) return false;
    const Atom hidden = XInternAtom(d, "_NET_WM_STATE_HIDDEN", False);
    const long* atoms = reinterpret_cast<const long*>(raw.data());
    for (unsigned long i = 0; i < items; ++i)
        if (static_cast<Atom>(atoms[i]) == hidden) return true;
    return false;
}

void send_client_message(Display* d, Window target, Window about, Atom type, long l0, long l1) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = about;
    e.xclient.message_type = type;
    e.xclient.format = 32;
    e.xclient.data.l[0] = l0;
    e.xclient.data.l[1] = l1;
    const long mask = target == about ? NoEventMask : (SubstructureRedirectMask | SubstructureNotifyMask);
    XSendEvent(d, target, False, mask, &e);
}

}  // namespace

std::optional<std::filesystem::path> browser_program() {
    // Found the way the user's shell finds it, so that a browser installed
    // outside /usr/bin, or a wrapper the user put first, is the one used.
    for (const char* name : {"chromium", "chromium-browser"}) {
        if (auto p = shell_find_program(name)) return p;
    }
    return std::nullopt;
}

std::vector<BrowserWindow> browser_windows() {
    std::vector<BrowserWindow> out;
    Display* d = open_display();
    if (!d) return out;
    DisplayCloser closer{d};
    const Window root = DefaultRootWindow(d);
    std::vector<Window> clients = window_list(d, root, XInternAtom(d, "_NET_CLIENT_LIST", False));
    const bool managed = !clients.empty();
    if (!managed) {
        Window r = 0, parent = 0, *children = nullptr;
        unsigned int n = 0;
        if (XQueryTree(d, root, &r, &parent, &children, &n) && children) {
            clients.assign(children, children + n);
            XFree(children);
        }
    }
    for (Window w : clients) {
        if (!is_browser(d, w)) continue;
        const long state = wm_state(d, w);
        bool minimized = state == IconicState || net_hidden(d, w);
        if (!managed) {
            XWindowAttributes attr{};
            if (!XGetWindowAttributes(d, w, &attr)) continue;
            // Without a window manager nobody sets WM_STATE: an unmapped window
            // is one the browser itself withdrew.
            if (attr.map_state == IsUnmapped && state != IconicState) continue;
        } else if (state == WithdrawnState) {
            continue;
        }
        out.push_back(BrowserWindow{static_cast<std::uint64_t>(w), window_title(d, w), minimized});
    }
    return out;
}

void browser_window_raise(std::uint64_t id) {
    Display* d = open_display();
    if (!d) return;
    DisplayCloser closer{d};
    const Window w = static_cast<Window>(id);
    const Window root = DefaultRootWindow(d);
    // Mapping an iconified client restores it (ICCCM); the active-window
    // request then asks the window manager to raise and focus it.
    XMapRaised(d, w);
    send_client_message(d, root, w, XInternAtom(d, "_NET_ACTIVE_WINDOW", False), 2, CurrentTime);
    XSync(d, False);
}

void browser_window_close(std::uint64_t id) {
    Display* d = open_display();
    if (!d) return;
    DisplayCloser closer{d};
    const Window w = static_cast<Window>(id);
    send_client_message(d, w, w, XInternAtom(d, "WM_PROTOCOLS", False),
                        static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False)), CurrentTime);
    XSync(d, False);
}

}  // namespace corvane
