#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <pango/pangocairo.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/message_box.h"

#include "platform/linux/x11_errors.h"

namespace corvane {

namespace {

constexpr int kPad = 16;
constexpr int kIcon = 32;
constexpr int kTextWidth = 420;
constexpr int kButtonW = 96;
constexpr int kButtonH = 30;
constexpr const char* kFont = "Sans 10";
constexpr const char* kButtonText = "Aceptar";

void write_stderr(std::string_view title, std::string_view text) {
    std::string line;
    line.reserve(title.size() + text.size() + 3);
    line.append(title).append(": ").append(text).push_back('\n');
    const char* p = line.data();
    size_t n = line.size();
    while (n > 0) {
        ssize_t w = ::write(STDERR_FILENO, p, n);
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

struct Layout {
    int width = 0, height = 0;
    int text_w = 0, text_h = 0;
    int button_x = 0, button_y = 0;
};

PangoLayout* make_text(cairo_t* cr, std::string_view text, int wrap_width) {
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string(kFont);
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    if (wrap_width > 0) {
        pango_layout_set_width(layout, wrap_width * PANGO_SCALE);
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    }
    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
    return layout;
}

Layout measure(std::string_view text) {
    cairo_surface_t* probe = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(probe);
    PangoLayout* layout = make_text(cr, text, kTextWidth);
    Layout l;
    pango_layout_get_pixel_size(layout, &l.text_w, &l.text_h);
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_destroy(probe);
    l.width = kPad + kIcon + kPad + std::max(l.text_w, 200) + kPad;
    int body = std::max(kIcon, l.text_h);
    l.height = kPad + body + kPad + kButtonH + kPad;
    l.button_x = l.width - kPad - kButtonW;
    l.button_y = l.height - kPad - kButtonH;
    return l;
}

void draw(cairo_t* cr, const Layout& l, std::string_view text, BoxIcon icon) {
    cairo_set_source_rgb(cr, 0.97, 0.97, 0.97);
    cairo_paint(cr);

    // Icon: a filled circle with "i" (information) or "!" (error).
    double cx = kPad + kIcon / 2.0, cy = kPad + kIcon / 2.0;
    if (icon == BoxIcon::kError) {
        cairo_set_source_rgb(cr, 0.80, 0.16, 0.16);
    } else {
        cairo_set_source_rgb(cr, 0.16, 0.42, 0.80);
    }
    cairo_arc(cr, cx, cy, kIcon / 2.0, 0, 6.283185307);
    cairo_fill(cr);
    PangoLayout* mark = make_text(cr, icon == BoxIcon::kError ? "!" : "i", 0);
    PangoFontDescription* bold = pango_font_description_from_string("Sans Bold 16");
    pango_layout_set_font_description(mark, bold);
    pango_font_description_free(bold);
    int mw = 0, mh = 0;
    pango_layout_get_pixel_size(mark, &mw, &mh);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_move_to(cr, cx - mw / 2.0, cy - mh / 2.0);
    pango_cairo_show_layout(cr, mark);
    g_object_unref(mark);

    PangoLayout* body = make_text(cr, text, kTextWidth);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_move_to(cr, kPad + kIcon + kPad, kPad);
    pango_cairo_show_layout(cr, body);
    g_object_unref(body);

    cairo_rectangle(cr, l.button_x + 0.5, l.button_y + 0.5, kButtonW - 1, kButtonH - 1);
    cairo_set_source_rgb(cr, 0.90, 0.90, 0.90);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.16, 0.42, 0.80);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
    PangoLayout* button = make_text(cr, kButtonText, 0);
    int bw = 0, bh = 0;
    pango_layout_get_pixel_size(button, &bw, &bh);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_move_to(cr, l.button_x + (kButtonW - bw) / 2.0, l.button_y + (kButtonH - bh) / 2.0);
    pango_cairo_show_layout(cr, button);
    g_object_unref(button);
}

void set_utf8_property(Display* dpy, Window w, const char* name, std::string_view value) {
    Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    XChangeProperty(dpy, w, XInternAtom(dpy, name, False), utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(value.data()),
                    static_cast<int>(value.size()));
}

void ask_for_focus(Display* dpy, Window root, Window w) {
    XRaiseWindow(dpy, w);
    XSetInputFocus(dpy, w, RevertToParent, CurrentTime);
    // With a window manager, focus goes through it.
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 1;  // from an application
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
}

}  // namespace

int message_box_show(std::string_view title, std::string_view text, BoxIcon icon) {
    // Other threads (tray, capture) may use Xlib on their own connections,
    // and an X error inside the box (say, focus refused) must not end the
    // process.
    x11_prepare();
    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) {
        write_stderr(title, text);
        return 0;
    }

    const int screen = DefaultScreen(dpy);
    const Window root = RootWindow(dpy, screen);
    const Layout l = measure(text);
    const int x = std::max(0, (DisplayWidth(dpy, screen) - l.width) / 2);
    const int y = std::max(0, (DisplayHeight(dpy, screen) - l.height) / 3);
    Window w = XCreateSimpleWindow(dpy, root, x, y, static_cast<unsigned>(l.width),
                                   static_cast<unsigned>(l.height), 0, BlackPixel(dpy, screen),
                                   WhitePixel(dpy, screen));
    std::string title_text(title);
    XStoreName(dpy, w, title_text.c_str());
    set_utf8_property(dpy, w, "_NET_WM_NAME", title);
    XClassHint class_hint{const_cast<char*>("corvane"), const_cast<char*>("Corvane")};
    XSetClassHint(dpy, w, &class_hint);
    XSizeHints* size = XAllocSizeHints();
    size->flags = PPosition | PMinSize | PMaxSize;
    size->x = x;
    size->y = y;
    size->min_width = size->max_width = l.width;
    size->min_height = size->max_height = l.height;
    XSetWMNormalHints(dpy, w, size);
    XFree(size);
    Atom type = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&type), 1);
    Atom wm_delete = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(dpy, w, &wm_delete, 1);
    XSelectInput(
        dpy, w,
        ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);

    cairo_surface_t* surface =
        cairo_xlib_surface_create(dpy, w, DefaultVisual(dpy, screen), l.width, l.height);
    XMapRaised(dpy, w);

    bool pressed_on_button = false;
    auto on_button = [&](int px, int py) {
        return px >= l.button_x && px < l.button_x + kButtonW && py >= l.button_y &&
               py < l.button_y + kButtonH;
    };
    for (bool open = true; open;) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        switch (ev.type) {
            case MapNotify:
                ask_for_focus(dpy, root, w);
                break;
            case Expose:
                if (ev.xexpose.count == 0) {
                    cairo_t* cr = cairo_create(surface);
                    draw(cr, l, text, icon);
                    cairo_destroy(cr);
                    cairo_surface_flush(surface);
                    XFlush(dpy);
                }
                break;
            case KeyPress: {
                KeySym key = XLookupKeysym(&ev.xkey, 0);
                if (key == XK_Return || key == XK_KP_Enter || key == XK_Escape || key == XK_space) {
                    open = false;
                }
                break;
            }
            case ButtonPress:
                pressed_on_button =
                    ev.xbutton.button == Button1 && on_button(ev.xbutton.x, ev.xbutton.y);
                break;
            case ButtonRelease:
                if (pressed_on_button && on_button(ev.xbutton.x, ev.xbutton.y)) open = false;
                pressed_on_button = false;
                break;
            case ClientMessage:
                if (static_cast<Atom>(ev.xclient.data.l[0]) == wm_delete) open = false;
                break;
            case DestroyNotify:
                open = false;
                break;
            default:
                break;
        }
    }

    cairo_surface_destroy(surface);
    XDestroyWindow(dpy, w);
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return 1;
}

}  // namespace corvane
