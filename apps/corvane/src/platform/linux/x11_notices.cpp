// The notices window on X11: an override-redirect 32-bit ARGB window (a
// compositor blends it; without one its transparent corners show black) with
// an empty input shape, so every click goes to the window below. The card is
// drawn once with Cairo and Pango into an image; each animation step moves
// the window and repaints that image with the step's opacity.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/shape.h>
#include <cairo-xlib.h>
#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "platform/linux/x11_errors.h"
#include "platform/notices.h"

namespace corvane {

namespace {

constexpr const char* kFontFamily = "Bahnschrift, DejaVu Sans Condensed, Noto Sans, Sans";



void set_rgb(cairo_t* cr, std::uint32_t rgb, double alpha) {
    cairo_set_source_rgba(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                          (rgb & 0xFF) / 255.0, alpha);
}

void rounded(cairo_t* cr, double x0, double y0, double x1, double y1, double r) {
    r = std::max(0.0, std::min({r, (x1 - x0) / 2, (y1 - y0) / 2}));
    cairo_new_sub_path(cr);
    cairo_arc(cr, x1 - r, y0 + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x1 - r, y1 - r, r, 0, M_PI / 2);
    cairo_arc(cr, x0 + r, y1 - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x0 + r, y0 + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// One line of text in a rectangle: leading alignment, centred vertically, no
// wrapping, clipped at the rectangle. Plain text, never markup: names come
// from the screen.
void draw_line(cairo_t* cr, const std::string& text, double x0, double y0, double x1, double y1,
               double size, int weight, std::uint32_t colour) {
    if (x1 <= x0 || y1 <= y0) return;
    cairo_save(cr);
    cairo_rectangle(cr, x0, y0, x1 - x0, y1 - y0);
    cairo_clip(cr);
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string(kFontFamily);
    pango_font_description_set_weight(font, static_cast<PangoWeight>(weight));
    pango_font_description_set_absolute_size(font, size * PANGO_SCALE);
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    pango_layout_set_width(layout, -1);  // no wrapping
    pango_layout_set_single_paragraph_mode(layout, TRUE);
    pango_layout_set_text(layout, text.c_str(), -1);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    set_rgb(cr, colour, 1.0);
    cairo_move_to(cr, x0, y0 + ((y1 - y0) - h) / 2.0);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    cairo_restore(cr);
}

// The program's emblem, 64 x 64 with alpha, made once.
cairo_surface_t* make_emblem() {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 64, 64);
    cairo_t* cr = cairo_create(s);
    rounded(cr, 4, 4, 60, 60, 14);
    set_rgb(cr, 0x18201C, 1.0);
    cairo_fill_preserve(cr);
    set_rgb(cr, 0x6BF59A, 1.0);
    cairo_set_line_width(cr, 4);
    cairo_stroke(cr);
    cairo_arc(cr, 32, 32, 12, 0, 2 * M_PI);
    set_rgb(cr, 0xFF6B5F, 1.0);
    cairo_fill(cr);
    cairo_destroy(cr);
    return s;
}

ScreenRect primary_monitor(Display* dpy, int screen) {
    ScreenRect whole{0, 0, DisplayWidth(dpy, screen), DisplayHeight(dpy, screen)};
    int ev = 0, er = 0;
    if (!XRRQueryExtension(dpy, &ev, &er)) return whole;
    Window root = RootWindow(dpy, screen);
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, root);
    if (!res) return whole;
    std::optional<ScreenRect> found;
    auto crtc_rect = [&](RRCrtc crtc) -> std::optional<ScreenRect> {
        if (!crtc) return std::nullopt;
        XRRCrtcInfo* ci = XRRGetCrtcInfo(dpy, res, crtc);
        if (!ci) return std::nullopt;
        std::optional<ScreenRect> r;
        if (ci->mode != None && ci->width > 0 && ci->height > 0) {
            r = ScreenRect{ci->x, ci->y, ci->x + static_cast<int>(ci->width),
                           ci->y + static_cast<int>(ci->height)};
        }
        XRRFreeCrtcInfo(ci);
        return r;
    };
    const RROutput primary = XRRGetOutputPrimary(dpy, root);
    if (primary) {
        if (XRROutputInfo* oi = XRRGetOutputInfo(dpy, res, primary)) {
            found = crtc_rect(oi->crtc);
            XRRFreeOutputInfo(oi);
        }
    }
    // No primary output named: the one at the origin, else the first lit one.
    for (int i = 0; !found && i < res->ncrtc; ++i) {
        auto r = crtc_rect(res->crtcs[i]);
        if (r && r->left == 0 && r->top == 0) found = r;
    }
    for (int i = 0; !found && i < res->ncrtc; ++i) found = crtc_rect(res->crtcs[i]);
    XRRFreeScreenResources(res);
    return found.value_or(whole);
}

class X11NoticeWindow final : public NoticeWindow {
  public:
    X11NoticeWindow(Display* dpy, const XVisualInfo& vi) : dpy_(dpy), visual_(vi.visual) {
        XSetIOErrorExitHandler(dpy_, x11_mark_lost, &lost_);
        const int screen = DefaultScreen(dpy_);
        const Window root = RootWindow(dpy_, screen);
        monitor_ = primary_monitor(dpy_, screen);
        colormap_ = XCreateColormap(dpy_, root, visual_, AllocNone);
        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        attrs.colormap = colormap_;
        attrs.background_pixel = 0;  // fully transparent
        attrs.border_pixel = 0;
        window_ =
            XCreateWindow(dpy_, root, 0, 0, 1, 1, 0, vi.depth, InputOutput, visual_,
                          CWOverrideRedirect | CWColormap | CWBackPixel | CWBorderPixel, &attrs);
        XStoreName(dpy_, window_, "Corvane aviso");
        XClassHint hint{const_cast<char*>("corvane-aviso"), const_cast<char*>("Corvane")};
        XSetClassHint(dpy_, window_, &hint);
        // An empty input shape: the pointer never meets this window.
        XserverRegion empty = XFixesCreateRegion(dpy_, nullptr, 0);
        XFixesSetWindowShapeRegion(dpy_, window_, ShapeInput, 0, 0, empty);
        XFixesDestroyRegion(dpy_, empty);
        const Atom type = XInternAtom(dpy_, "_NET_WM_WINDOW_TYPE", False);
        const Atom notification = XInternAtom(dpy_, "_NET_WM_WINDOW_TYPE_NOTIFICATION", False);
        XChangeProperty(dpy_, window_, type, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&notification), 1);
        XFlush(dpy_);
    }

    ~X11NoticeWindow() override {
        if (card_) cairo_surface_destroy(card_);
        if (emblem_) cairo_surface_destroy(emblem_);
        if (!lost_.load()) {
            XDestroyWindow(dpy_, window_);
            XFreeColormap(dpy_, colormap_);
            XCloseDisplay(dpy_);
        }
    }

    ScreenRect monitor() const override { return monitor_; }

    std::string draw(const NoticeCard& c) override {
        if (card_) cairo_surface_destroy(card_);
        card_ = nullptr;
        if (c.width <= 0 || c.height <= 0) return "tamaño de aviso no válido";
        cairo_surface_t* surface =
            cairo_image_surface_create(CAIRO_FORMAT_ARGB32, c.width, c.height);
        if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
            const std::string error = cairo_status_to_string(cairo_surface_status(surface));
            cairo_surface_destroy(surface);
            return error;
        }
        cairo_t* cr = cairo_create(surface);
        const double s = c.scale, W = c.width, H = c.height;
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_rgba(cr, 0, 0, 0, 0);
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        // Panel and border.
        rounded(cr, 0.5, 0.5, W - 0.5, H - 0.5, 12 * s);
        set_rgb(cr, 0x0A0C0B, 0.92);
        cairo_fill_preserve(cr);
        set_rgb(cr, c.accent, 0.55);
        cairo_set_line_width(cr, 1.2 * s);
        cairo_stroke(cr);
        // Accent bar.
        rounded(cr, 7 * s, 12 * s, 11 * s, H - 12 * s, 2 * s);
        set_rgb(cr, c.accent, 1.0);
        cairo_fill(cr);
        // Emblem.
        if (!emblem_) emblem_ = make_emblem();
        if (cairo_surface_status(emblem_) == CAIRO_STATUS_SUCCESS) {
            cairo_save(cr);
            const double size = 40 * s;
            cairo_translate(cr, 22 * s, (H - size) / 2);
            cairo_scale(cr, size / 64.0, size / 64.0);
            cairo_set_source_surface(cr, emblem_, 0, 0);
            cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
            cairo_paint(cr);
            cairo_restore(cr);
        }
        draw_line(cr, c.title, 76 * s, 10 * s, W - 16 * s, 0.56 * H, 21 * s, 700, c.accent);
        draw_line(cr, c.text, 76 * s, 0.52 * H, W - 16 * s, H - 9 * s, 13.5 * s, 600,
                  c.second_colour);
        const cairo_status_t status = cairo_status(cr);
        cairo_destroy(cr);
        if (status != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(surface);
            return cairo_status_to_string(status);
        }
        card_ = surface;
        width_ = c.width;
        height_ = c.height;
        return {};
    }

    void show_at(std::int32_t x, std::int32_t y, std::uint8_t alpha) override {
        if (!card_ || lost_.load()) return;
        if (!mapped_) {
            XMoveResizeWindow(dpy_, window_, x, y, static_cast<unsigned>(width_),
                              static_cast<unsigned>(height_));
            XMapRaised(dpy_, window_);
            mapped_ = true;
        } else {
            XMoveWindow(dpy_, window_, x, y);
            XRaiseWindow(dpy_, window_);
        }
        cairo_surface_t* target =
            cairo_xlib_surface_create(dpy_, window_, visual_, width_, height_);
        cairo_t* cr = cairo_create(target);
        // The faded card is made aside and then replaces the window's pixels
        // in one step (SOURCE with an opacity would blend with the last step).
        cairo_push_group(cr);
        cairo_set_source_surface(cr, card_, 0, 0);
        cairo_paint_with_alpha(cr, alpha / 255.0);
        cairo_pop_group_to_source(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_destroy(target);
        XFlush(dpy_);
        // Drain what the server sent (nothing is selected, but errors and
        // replies must not pile up).
        while (XPending(dpy_) > 0) {
            XEvent e;
            XNextEvent(dpy_, &e);
        }
    }

    void hide() override {
        if (lost_.load() || !mapped_) return;
        XUnmapWindow(dpy_, window_);
        XFlush(dpy_);
        mapped_ = false;
    }

    bool alive() const override { return !lost_.load(); }

  private:
    Display* dpy_;
    Visual* visual_;
    std::atomic<bool> lost_{false};
    ScreenRect monitor_;
    Colormap colormap_ = 0;
    Window window_ = 0;
    cairo_surface_t* card_ = nullptr;
    cairo_surface_t* emblem_ = nullptr;
    int width_ = 0, height_ = 0;
    bool mapped_ = false;
};

}  // namespace

NoticeWindowResult notice_window_open(const std::string& display) {
    x11_prepare();
    Display* dpy = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (!dpy) {
        const char* name = display.empty() ? XDisplayName(nullptr) : display.c_str();
        return {nullptr, fmt::format("no se pudo abrir la pantalla {}", name ? name : "")};
    }
    int ev = 0, er = 0;
    if (!XFixesQueryExtension(dpy, &ev, &er)) {
        XCloseDisplay(dpy);
        return {nullptr, "el servidor X no tiene la extensión XFixes"};
    }
    XVisualInfo vi{};
    if (!XMatchVisualInfo(dpy, DefaultScreen(dpy), 32, TrueColor, &vi)) {
        XCloseDisplay(dpy);
        return {nullptr, "el servidor X no tiene un visual de 32 bits con transparencia"};
    }
    return {std::make_unique<X11NoticeWindow>(dpy, vi), {}};
}

}  // namespace corvane
