// The tray icon on the freedesktop system tray (XEmbed): an icon window docked
// into whoever owns _NET_SYSTEM_TRAY_S<screen>, docked again whenever a new
// owner announces itself (the tray host restarted), with our own tooltip and
// popup menu as override-redirect windows drawn with Cairo and Pango.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <cairo.h>
#include <fcntl.h>
#include <pango/pangocairo.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "platform/linux/x11_errors.h"
#include "platform/tray.h"

namespace corvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kDockRequest = 0;  // SYSTEM_TRAY_REQUEST_DOCK
constexpr auto kTooltipDelay = std::chrono::milliseconds(600);

// Menu geometry, fixed so that a row's place is known from its index.
constexpr int kMenuPad = 4;
constexpr int kRowHeight = 26;
constexpr int kSeparatorHeight = 9;
constexpr int kCheckGutter = 26;
constexpr int kKeyGap = 32;
constexpr int kRightPad = 14;
constexpr const char* kTrayFont = "Sans 10";



struct Rgb {
    double r, g, b;
};

void set_rgb(cairo_t* cr, Rgb c) {
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

// A rounded rectangle path.
void tray_rounded(cairo_t* cr, double x, double y, double w, double h, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// A text layout in the menu's font; plain text, never markup (names come
// from the screen and the settings).
PangoLayout* make_layout(cairo_t* cr, const std::string& text, bool bold) {
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string(kTrayFont);
    if (bold) pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    pango_layout_set_text(layout, text.c_str(), -1);
    return layout;
}

struct TextSize {
    int w = 0, h = 0;
};

TextSize measure(cairo_t* cr, const std::string& text, bool bold) {
    PangoLayout* layout = make_layout(cr, text, bold);
    TextSize s;
    pango_layout_get_pixel_size(layout, &s.w, &s.h);
    g_object_unref(layout);
    return s;
}

void draw_text(cairo_t* cr, const std::string& text, bool bold, double x, double y) {
    PangoLayout* layout = make_layout(cr, text, bold);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
}

class X11TrayIcon final : public TrayIcon {
  public:
    X11TrayIcon(Display* dpy, int wake_fd) : dpy_(dpy), wake_fd_(wake_fd) {
        XSetIOErrorExitHandler(dpy_, x11_mark_lost, &lost_);
        screen_ = DefaultScreen(dpy_);
        root_ = RootWindow(dpy_, screen_);
        const std::string sel = fmt::format("_NET_SYSTEM_TRAY_S{}", screen_);
        a_selection_ = XInternAtom(dpy_, sel.c_str(), False);
        a_opcode_ = XInternAtom(dpy_, "_NET_SYSTEM_TRAY_OPCODE", False);
        a_manager_ = XInternAtom(dpy_, "MANAGER", False);
        a_xembed_info_ = XInternAtom(dpy_, "_XEMBED_INFO", False);
        // Our own client messages on root would be noise; we only need the
        // MANAGER broadcast, which arrives with StructureNotify on root.
        XSelectInput(dpy_, root_, StructureNotifyMask);

        XSetWindowAttributes attrs{};
        attrs.background_pixel = BlackPixel(dpy_, screen_);
        attrs.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask |
                           ButtonReleaseMask | EnterWindowMask | LeaveWindowMask;
        icon_ = XCreateWindow(dpy_, root_, 0, 0, size_, size_, 0, CopyFromParent, InputOutput,
                              CopyFromParent, CWBackPixel | CWEventMask, &attrs);
        XStoreName(dpy_, icon_, "Corvane");
        XClassHint hint{const_cast<char*>("corvane"), const_cast<char*>("Corvane")};
        XSetClassHint(dpy_, icon_, &hint);
        // Hosts size the icon from these (else some give it a width of 1).
        XSizeHints size{};
        size.flags = PMinSize | PBaseSize;
        size.min_width = size.min_height = size.base_width = size.base_height = size_;
        XSetWMNormalHints(dpy_, icon_, &size);
        // XEmbed version 0, flags: XEMBED_MAPPED, so the host shows it.
        const long info[2] = {0, 1};
        XChangeProperty(dpy_, icon_, a_xembed_info_, a_xembed_info_, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(info), 2);
        dock();
        XFlush(dpy_);
    }

    ~X11TrayIcon() override {
        hide_tooltip();
        if (!lost_.load()) {
            if (icon_) XDestroyWindow(dpy_, icon_);
            XCloseDisplay(dpy_);
        }
        ::close(wake_fd_);
    }

    TrayEvent wait(std::chrono::milliseconds limit) override {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (lost_.load()) return TrayEvent::lost;
            if (remove_requested_.exchange(false)) remove();
            while (!lost_.load() && XPending(dpy_) > 0) {
                XEvent e;
                XNextEvent(dpy_, &e);
                if (auto ev = handle(e)) return *ev;
            }
            if (lost_.load()) return TrayEvent::lost;
            XFlush(dpy_);
            auto now = Clock::now();
            auto until = deadline;
            if (hover_since_ && !tip_) until = std::min(until, *hover_since_ + kTooltipDelay);
            if (hover_since_ && !tip_ && now >= *hover_since_ + kTooltipDelay) {
                show_tooltip();
                continue;
            }
            if (now >= deadline) return TrayEvent::timeout;
            const int ms =
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
            pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
            const int n = ::poll(fds, 2, std::max(ms, 0));
            if (n > 0 && (fds[1].revents & POLLIN)) {
                std::uint64_t count = 0;
                (void)!::read(wake_fd_, &count, sizeof count);
                return TrayEvent::woken;
            }
            if (n > 0 && (fds[0].revents & (POLLERR | POLLHUP))) {
                lost_.store(true);
                return TrayEvent::lost;
            }
        }
    }

    void set_tooltip(const std::string& text) override {
        if (text == tooltip_) return;
        tooltip_ = text;
        if (tip_) {
            hide_tooltip();
            show_tooltip();
        }
    }

    int run_menu(const std::vector<TrayMenuItem>& items) override;

    void remove() override {
        removed_ = true;
        hide_tooltip();
        if (icon_ && !lost_.load()) {
            // Destroying the window is what makes the host drop it at once.
            XDestroyWindow(dpy_, icon_);
            XFlush(dpy_);
        }
        icon_ = 0;
        docked_ = false;
    }

    void wake() override {
        const std::uint64_t one = 1;
        (void)!::write(wake_fd_, &one, sizeof one);
    }

    void request_remove() override {
        remove_requested_.store(true);
        wake();
    }

    bool has_host() const override { return docked_ || manager_ != 0; }

  private:
    std::optional<TrayEvent> handle(const XEvent& e) {
        switch (e.type) {
            case ClientMessage:
                if (e.xclient.window == root_ && e.xclient.message_type == a_manager_ &&
                    static_cast<Atom>(e.xclient.data.l[1]) == a_selection_) {
                    dock();  // a (new) tray host took the selection
                }
                return std::nullopt;
            case DestroyNotify:
                if (e.xdestroywindow.window == manager_) {
                    manager_ = 0;
                    docked_ = false;
                }
                return std::nullopt;
            case ReparentNotify:
                if (e.xreparent.window == icon_) {
                    docked_ = e.xreparent.parent != root_;
                    // Back on the root after the host died: stay out of sight
                    // until the next host takes us.
                    if (!docked_) XUnmapWindow(dpy_, icon_);
                }
                return std::nullopt;
            case ConfigureNotify:
                if (e.xconfigure.window == icon_) {
                    size_ = std::max(1, std::min(e.xconfigure.width, e.xconfigure.height));
                    width_ = std::max(1, e.xconfigure.width);
                    height_ = std::max(1, e.xconfigure.height);
                }
                return std::nullopt;
            case Expose:
                if (e.xexpose.window == icon_ && e.xexpose.count == 0) draw_icon();
                if (tip_ && e.xexpose.window == tip_ && e.xexpose.count == 0) draw_tooltip();
                return std::nullopt;
            case EnterNotify:
                if (e.xcrossing.window == icon_) hover_since_ = Clock::now();
                return std::nullopt;
            case LeaveNotify:
                if (e.xcrossing.window == icon_) {
                    hover_since_.reset();
                    hide_tooltip();
                }
                return std::nullopt;
            case ButtonPress:
                if (e.xbutton.window == icon_) {
                    hover_since_.reset();
                    hide_tooltip();
                }
                return std::nullopt;
            case ButtonRelease:
                if (e.xbutton.window != icon_) return std::nullopt;
                if (e.xbutton.button == Button1) return TrayEvent::left_click;
                if (e.xbutton.button == Button3) return TrayEvent::right_click;
                return std::nullopt;
            default:
                return std::nullopt;
        }
    }

    void dock() {
        if (removed_ || !icon_) return;
        XGrabServer(dpy_);
        const Window owner = XGetSelectionOwner(dpy_, a_selection_);
        if (owner != None) XSelectInput(dpy_, owner, StructureNotifyMask);
        XUngrabServer(dpy_);
        XFlush(dpy_);
        manager_ = owner;
        if (owner == None) return;
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = owner;
        ev.xclient.message_type = a_opcode_;
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = CurrentTime;
        ev.xclient.data.l[1] = kDockRequest;
        ev.xclient.data.l[2] = static_cast<long>(icon_);
        XSendEvent(dpy_, owner, False, NoEventMask, &ev);
        XFlush(dpy_);
    }

    void draw_icon() {
        if (!icon_) return;
        Visual* visual = DefaultVisual(dpy_, screen_);
        cairo_surface_t* surface = cairo_xlib_surface_create(dpy_, icon_, visual, width_, height_);
        cairo_t* cr = cairo_create(surface);
        const double s = std::min(width_, height_);
        const double x0 = (width_ - s) / 2, y0 = (height_ - s) / 2;
        set_rgb(cr, {10 / 255.0, 12 / 255.0, 11 / 255.0});
        cairo_paint(cr);
        tray_rounded(cr, x0 + s * 0.08, y0 + s * 0.08, s * 0.84, s * 0.84, s * 0.18);
        set_rgb(cr, {24 / 255.0, 30 / 255.0, 27 / 255.0});
        cairo_fill_preserve(cr);
        set_rgb(cr, {107 / 255.0, 245 / 255.0, 154 / 255.0});
        cairo_set_line_width(cr, std::max(1.0, s * 0.06));
        cairo_stroke(cr);
        // The "recording" dot.
        cairo_arc(cr, x0 + s / 2, y0 + s / 2, s * 0.2, 0, 2 * M_PI);
        set_rgb(cr, {255 / 255.0, 107 / 255.0, 95 / 255.0});
        cairo_fill(cr);
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        XFlush(dpy_);
    }

    // Where a popup of w x h goes next to the icon (or the pointer), kept on
    // the screen.
    void place_near_icon(int w, int h, int& x, int& y) {
        int ix = 0, iy = 0;
        Window child = 0;
        if (icon_) XTranslateCoordinates(dpy_, icon_, root_, 0, 0, &ix, &iy, &child);
        const int sw = DisplayWidth(dpy_, screen_), sh = DisplayHeight(dpy_, screen_);
        x = std::clamp(ix, 0, std::max(0, sw - w));
        y = iy + height_ + 4;
        if (y + h > sh) y = iy - h - 4;
        y = std::clamp(y, 0, std::max(0, sh - h));
    }

    void show_tooltip() {
        hover_since_.reset();
        if (tooltip_.empty() || lost_.load()) return;
        cairo_surface_t* probe = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
        cairo_t* pcr = cairo_create(probe);
        const TextSize ts = measure(pcr, tooltip_, false);
        cairo_destroy(pcr);
        cairo_surface_destroy(probe);
        tip_w_ = ts.w + 16;
        tip_h_ = ts.h + 10;
        int x = 0, y = 0;
        place_near_icon(tip_w_, tip_h_, x, y);
        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        attrs.background_pixel = BlackPixel(dpy_, screen_);
        attrs.event_mask = ExposureMask;
        tip_ =
            XCreateWindow(dpy_, root_, x, y, static_cast<unsigned>(tip_w_),
                          static_cast<unsigned>(tip_h_), 0, CopyFromParent, InputOutput,
                          CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attrs);
        XStoreName(dpy_, tip_, "Corvane info");
        XMapRaised(dpy_, tip_);
        XFlush(dpy_);
    }

    void draw_tooltip() {
        cairo_surface_t* surface =
            cairo_xlib_surface_create(dpy_, tip_, DefaultVisual(dpy_, screen_), tip_w_, tip_h_);
        cairo_t* cr = cairo_create(surface);
        set_rgb(cr, {24 / 255.0, 28 / 255.0, 26 / 255.0});
        cairo_paint(cr);
        set_rgb(cr, {233 / 255.0, 239 / 255.0, 234 / 255.0});
        draw_text(cr, tooltip_, false, 8, 5);
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        XFlush(dpy_);
    }

    void hide_tooltip() {
        if (tip_ && !lost_.load()) {
            XDestroyWindow(dpy_, tip_);
            XFlush(dpy_);
        }
        tip_ = 0;
    }

    Display* dpy_;
    int wake_fd_;
    std::atomic<bool> lost_{false};
    std::atomic<bool> remove_requested_{false};
    int screen_ = 0;
    Window root_ = 0;
    Window icon_ = 0;
    Window manager_ = 0;
    Atom a_selection_ = 0, a_opcode_ = 0, a_manager_ = 0, a_xembed_info_ = 0;
    int size_ = 22, width_ = 22, height_ = 22;
    bool docked_ = false;
    bool removed_ = false;
    std::string tooltip_;
    std::optional<Clock::time_point> hover_since_;
    Window tip_ = 0;
    int tip_w_ = 0, tip_h_ = 0;
};

// The popup menu: rows laid out at fixed heights, a highlight that follows
// the pointer (or the arrow keys), a choice on release over an enabled row.
int X11TrayIcon::run_menu(const std::vector<TrayMenuItem>& items) {
    if (lost_.load() || items.empty()) return 0;
    hide_tooltip();
    cairo_surface_t* probe = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t* pcr = cairo_create(probe);
    int text_w = 0, key_w = 0;
    for (const auto& it : items) {
        if (it.separator) continue;
        text_w = std::max(text_w, measure(pcr, it.text, it.bold).w);
        if (!it.key.empty()) key_w = std::max(key_w, measure(pcr, it.key, false).w);
    }
    cairo_destroy(pcr);
    cairo_surface_destroy(probe);
    std::vector<int> tops;
    int h = kMenuPad;
    for (const auto& it : items) {
        tops.push_back(h);
        h += it.separator ? kSeparatorHeight : kRowHeight;
    }
    h += kMenuPad;
    const int w = kCheckGutter + text_w + (key_w ? kKeyGap + key_w : 0) + kRightPad;

    // At the pointer, turned to stay on the screen.
    Window r = 0, c = 0;
    int px = 0, py = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(dpy_, root_, &r, &c, &px, &py, &wx, &wy, &mask);
    const int sw = DisplayWidth(dpy_, screen_), sh = DisplayHeight(dpy_, screen_);
    int x = px, y = py;
    if (x + w > sw) x = std::max(0, px - w);
    if (y + h > sh) y = std::max(0, py - h);

    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixel = BlackPixel(dpy_, screen_);
    attrs.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                       KeyPressMask | LeaveWindowMask;
    Window menu = XCreateWindow(
        dpy_, root_, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h), 0, CopyFromParent,
        InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attrs);
    XStoreName(dpy_, menu, "Corvane menu");
    XMapRaised(dpy_, menu);
    XFlush(dpy_);
    // The grab makes a click elsewhere reach us (and close the menu); a
    // refused grab still leaves a usable menu.
    for (int i = 0; i < 20; ++i) {
        if (XGrabPointer(dpy_, menu, True, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                         GrabModeAsync, GrabModeAsync, None, None, CurrentTime) == GrabSuccess) {
            break;
        }
        ::usleep(10'000);
    }
    XGrabKeyboard(dpy_, menu, True, GrabModeAsync, GrabModeAsync, CurrentTime);

    int hot = -1;
    auto row_at = [&](int mx, int my) {
        if (mx < 0 || mx >= w) return -1;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const int bottom = tops[i] + (items[i].separator ? kSeparatorHeight : kRowHeight);
            if (my >= tops[i] && my < bottom) {
                return items[i].enabled && !items[i].separator && items[i].id != 0
                           ? static_cast<int>(i)
                           : -1;
            }
        }
        return -1;
    };
    auto paint = [&] {
        cairo_surface_t* surface =
            cairo_xlib_surface_create(dpy_, menu, DefaultVisual(dpy_, screen_), w, h);
        cairo_t* cr = cairo_create(surface);
        set_rgb(cr, {24 / 255.0, 28 / 255.0, 26 / 255.0});
        cairo_paint(cr);
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto& it = items[i];
            if (it.separator) {
                set_rgb(cr, {60 / 255.0, 68 / 255.0, 64 / 255.0});
                cairo_rectangle(cr, 6, tops[i] + kSeparatorHeight / 2, w - 12, 1);
                cairo_fill(cr);
                continue;
            }
            if (static_cast<int>(i) == hot) {
                set_rgb(cr, {46 / 255.0, 84 / 255.0, 62 / 255.0});
                cairo_rectangle(cr, 2, tops[i], w - 4, kRowHeight);
                cairo_fill(cr);
            }
            const Rgb fg = it.enabled ? Rgb{233 / 255.0, 239 / 255.0, 234 / 255.0}
                                      : Rgb{120 / 255.0, 130 / 255.0, 125 / 255.0};
            set_rgb(cr, fg);
            const double ty = tops[i] + (kRowHeight - 17) / 2.0;
            if (it.checked) draw_text(cr, "✓", true, 8, ty);
            draw_text(cr, it.text, it.bold, kCheckGutter, ty);
            if (!it.key.empty()) {
                const int kw = measure(cr, it.key, false).w;
                draw_text(cr, it.key, false, w - kRightPad - kw, ty);
            }
        }
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        XFlush(dpy_);
    };
    auto step = [&](int dir) {
        const int n = static_cast<int>(items.size());
        int i = hot;
        for (int k = 0; k < n; ++k) {
            i = (i + dir + n) % n;
            if (!items[i].separator && items[i].enabled && items[i].id != 0) {
                hot = i;
                return;
            }
        }
    };

    int chosen = 0;
    bool done = false;
    bool pressed_inside = false;
    while (!done) {
        if (lost_.load() || remove_requested_.load()) break;
        while (!done && !lost_.load() && XPending(dpy_) > 0) {
            XEvent e;
            XNextEvent(dpy_, &e);
            if (e.xany.window != menu) {
                handle(e);  // the icon's own events go on meanwhile
                continue;
            }
            switch (e.type) {
                case Expose:
                    if (e.xexpose.count == 0) paint();
                    break;
                case MotionNotify: {
                    const int now = row_at(e.xmotion.x, e.xmotion.y);
                    if (now != hot) {
                        hot = now;
                        paint();
                    }
                    break;
                }
                case ButtonPress:
                    pressed_inside =
                        e.xbutton.x >= 0 && e.xbutton.x < w && e.xbutton.y >= 0 && e.xbutton.y < h;
                    if (!pressed_inside) done = true;  // a click elsewhere dismisses
                    break;
                case ButtonRelease: {
                    const bool inside =
                        e.xbutton.x >= 0 && e.xbutton.x < w && e.xbutton.y >= 0 && e.xbutton.y < h;
                    if (!inside) {
                        // The release of the click that opened the menu lands
                        // here too; only a press elsewhere closes it.
                        if (pressed_inside) done = true;
                        break;
                    }
                    const int row = row_at(e.xbutton.x, e.xbutton.y);
                    if (row >= 0) {
                        chosen = items[row].id;
                        done = true;
                    }
                    break;
                }
                case KeyPress: {
                    const KeySym sym = XLookupKeysym(&e.xkey, 0);
                    if (sym == XK_Escape) {
                        done = true;
                    } else if (sym == XK_Down) {
                        step(1);
                        paint();
                    } else if (sym == XK_Up) {
                        step(-1);
                        paint();
                    } else if ((sym == XK_Return || sym == XK_KP_Enter) && hot >= 0) {
                        chosen = items[hot].id;
                        done = true;
                    }
                    break;
                }
                default:
                    break;
            }
        }
        if (done) break;
        pollfd fd{ConnectionNumber(dpy_), POLLIN, 0};
        if (::poll(&fd, 1, 100) > 0 && (fd.revents & (POLLERR | POLLHUP))) lost_.store(true);
    }
    if (!lost_.load()) {
        XUngrabPointer(dpy_, CurrentTime);
        XUngrabKeyboard(dpy_, CurrentTime);
        XDestroyWindow(dpy_, menu);
        XFlush(dpy_);
    }
    return chosen;
}

}  // namespace

TrayIconResult tray_icon_open(const std::string& display, const std::string& tooltip) {
    x11_prepare();
    Display* dpy = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (!dpy) {
        const char* name = display.empty() ? XDisplayName(nullptr) : display.c_str();
        return {nullptr, fmt::format("no se pudo abrir la pantalla {}", name ? name : "")};
    }
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        const std::string error = std::strerror(errno);
        XCloseDisplay(dpy);
        return {nullptr, error};
    }
    auto icon = std::make_unique<X11TrayIcon>(dpy, wake);
    icon->set_tooltip(tooltip);
    return {std::move(icon), {}};
}

}  // namespace corvane
