// The window in front on X11: _NET_ACTIVE_WINDOW of the window manager, else
// the input focus walked up to its top-level window; its process from
// _NET_WM_PID and the program file from /proc.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "platform/linux/x11_errors.h"
#include "platform/foreground.h"

namespace corvane {
namespace {


// Xlib ends the process after a lost connection unless a display has its own
// exit handler: ours only notes it, and the probe answers "no window" from then on.

// Well-formed UTF-8: no overlongs, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        for (std::size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size()) return false;
            const auto b = static_cast<unsigned char>(s[i + k]);
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return false;
        }
        i += n + 1;
    }
    return true;
}


class X11Foreground final : public ForegroundProbe {
  public:
    explicit X11Foreground(Display* d)
        : d_(d),
          root_(DefaultRootWindow(d)),
          active_(XInternAtom(d, "_NET_ACTIVE_WINDOW", False)),
          pid_(XInternAtom(d, "_NET_WM_PID", False)),
          wm_state_(XInternAtom(d, "WM_STATE", False)),
          net_state_(XInternAtom(d, "_NET_WM_STATE", False)),
          hidden_(XInternAtom(d, "_NET_WM_STATE_HIDDEN", False)) {
        XSetIOErrorExitHandler(d_, x11_mark_lost, &lost_);
    }
    ~X11Foreground() override { XCloseDisplay(d_); }

    ForegroundWindow query() override {
        ForegroundWindow out;
        if (lost_.load()) return out;
        Window w = active_window();
        if (w == None) w = focus_top_level();
        if (w == None) return out;
        w = client_of(w);
        out.exists = true;
        out.minimised = minimised(w);
        if (out.minimised) return out;
        if (auto pid = window_pid(w)) out.exe_path = exe_of(*pid);
        return out;
    }

  private:
    // The first 32-bit items of a property, or none.
    std::optional<std::vector<unsigned long>> property(Window w, Atom name, Atom type) {
        Atom actual = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d_, w, name, 0, 64, False, type, &actual, &format, &count, &after,
                               &data) != Success) {
            return std::nullopt;
        }
        std::optional<std::vector<unsigned long>> out;
        if (data && actual != None && format == 32) {
            const auto* items = reinterpret_cast<const unsigned long*>(data);
            out.emplace(items, items + count);
        }
        if (data) XFree(data);
        return out;
    }

    Window active_window() {
        auto v = property(root_, active_, XA_WINDOW);
        if (!v || v->empty()) return None;
        return static_cast<Window>((*v)[0]);
    }

    // Without a window manager the focus may sit on a child: its top-level
    // window is the one below the root.
    Window focus_top_level() {
        Window focus = None;
        int revert = 0;
        XGetInputFocus(d_, &focus, &revert);
        if (focus == None || focus == PointerRoot || focus == root_) return None;
        Window w = focus;
        for (int depth = 0; depth < 64; ++depth) {
            Window root = None, parent = None;
            Window* children = nullptr;
            unsigned int n = 0;
            if (!XQueryTree(d_, w, &root, &parent, &children, &n)) return None;
            if (children) XFree(children);
            if (parent == root_ || parent == None) return w;
            w = parent;
        }
        return w;
    }

    bool has(Window w, Atom name) {
        Atom actual = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        const bool ok = XGetWindowProperty(d_, w, name, 0, 0, False, AnyPropertyType, &actual,
                                           &format, &count, &after, &data) == Success;
        if (data) XFree(data);
        return ok && actual != None;
    }

    // A reparenting window manager puts the program's window inside a frame:
    // the program's window is the one that carries WM_STATE or the pid.
    Window client_of(Window w) {
        if (has(w, wm_state_) || has(w, pid_)) return w;
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int n = 0;
        if (!XQueryTree(d_, w, &root, &parent, &children, &n)) return w;
        Window found = w;
        for (unsigned int i = 0; i < n; ++i) {
            if (has(children[i], wm_state_) || has(children[i], pid_)) {
                found = children[i];
                break;
            }
        }
        if (children) XFree(children);
        return found;
    }

    bool minimised(Window w) {
        constexpr unsigned long kIconicState = 3;
        if (auto s = property(w, wm_state_, wm_state_);
            s && !s->empty() && (*s)[0] == kIconicState) {
            return true;
        }
        if (auto s = property(w, net_state_, XA_ATOM)) {
            for (unsigned long a : *s) {
                if (a == hidden_) return true;
            }
        }
        return false;
    }

    std::optional<unsigned long> window_pid(Window w) {
        auto v = property(w, pid_, XA_CARDINAL);
        if (!v || v->empty() || (*v)[0] == 0) return std::nullopt;
        return (*v)[0];
    }

    static std::string exe_of(unsigned long pid) {
        const std::string link = fmt::format("/proc/{}/exe", pid);
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
        std::string path(buf, static_cast<std::size_t>(n));
        // A program file replaced while it runs is shown with this suffix.
        constexpr std::string_view kDeleted = " (deleted)";
        if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
            path.resize(path.size() - kDeleted.size());
        }
        if (!valid_utf8(path)) return {};
        return path;
    }

    Display* d_;
    std::atomic<bool> lost_{false};
    Window root_;
    Atom active_, pid_, wm_state_, net_state_, hidden_;
};

}  // namespace

ForegroundProbeResult foreground_probe_open(const std::string& display) {
    x11_prepare();
    Display* d = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (!d) {
        const char* name = display.empty() ? XDisplayName(nullptr) : display.c_str();
        return {nullptr, PlatformError{0, fmt::format("no se pudo abrir la pantalla X \"{}\"",
                                                      name ? name : "")}};
    }
    return {std::make_unique<X11Foreground>(d), {}};
}

}  // namespace corvane
