// Screen grabbing on X11: MIT-SHM XShmGetImage of the root window, XGetImage
// when the server has no shared memory. Each grabber owns its connection.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fmt/format.h>

#include "platform/linux/x11_errors.h"
#include "platform/screen.h"

namespace corvane {
namespace {

PlatformError x_error(Display* dpy, int code, const char* what) {
    char buf[256] = {0};
    if (dpy && code) XGetErrorText(dpy, code, buf, sizeof buf - 1);
    std::string text = buf[0] ? fmt::format("{}: {}", what, buf) : std::string(what);
    return PlatformError{code, text};
}

Display* open_display(const std::string& name, PlatformError& err) {
    x11_prepare();
    Display* dpy = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!dpy) {
        const char* env = name.empty() ? std::getenv("DISPLAY") : name.c_str();
        err = PlatformError{0, fmt::format("no se pudo abrir la pantalla X \"{}\"", env ? env : "")};
    }
    return dpy;
}

ScreenSize monitor_at_origin(Display* dpy) {
    int screen = DefaultScreen(dpy);
    Window root = RootWindow(dpy, screen);
    ScreenSize size{static_cast<std::uint32_t>(DisplayWidth(dpy, screen)),
                    static_cast<std::uint32_t>(DisplayHeight(dpy, screen))};
    int ev = 0, er = 0;
    if (!XRRQueryExtension(dpy, &ev, &er)) return size;
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, root);
    if (!res) return size;
    for (int i = 0; i < res->ncrtc; ++i) {
        XRRCrtcInfo* crtc = XRRGetCrtcInfo(dpy, res, res->crtcs[i]);
        if (!crtc) continue;
        bool hit = crtc->mode != None && crtc->width > 0 && crtc->height > 0 && crtc->x <= 0 &&
                   crtc->y <= 0 && crtc->x + static_cast<int>(crtc->width) > 0 &&
                   crtc->y + static_cast<int>(crtc->height) > 0;
        if (hit) size = ScreenSize{crtc->width, crtc->height};
        XRRFreeCrtcInfo(crtc);
        if (hit) break;
    }
    XRRFreeScreenResources(res);
    return size;
}

bool is_bgrx(const XImage* img) {
    return img->bits_per_pixel == 32 && img->byte_order == LSBFirst &&
           img->red_mask == 0xFF0000 && img->green_mask == 0xFF00 && img->blue_mask == 0xFF;
}

class X11Grabber final : public ScreenGrabber {
public:
    X11Grabber(Display* dpy, std::uint32_t w, std::uint32_t h) : dpy_(dpy), want_w_(w), want_h_(h) {
        screen_ = DefaultScreen(dpy_);
        root_ = RootWindow(dpy_, screen_);
        XSetIOErrorExitHandler(dpy_, x11_mark_lost, &lost_);
    }
    ~X11Grabber() override {
        if (lost_.load()) attached_ = false;  // no more requests to a dead server
        drop_image();
        XCloseDisplay(dpy_);
    }

    // Sets up the first image; false with error_ set when the format is unusable.
    bool start() {
        int major = 0, minor = 0;
        Bool pixmaps = False;
        use_shm_ = XShmQueryExtension(dpy_) && XShmQueryVersion(dpy_, &major, &minor, &pixmaps);
        if (!refresh_size()) return false;
        if (use_shm_ && !make_shm_image()) {
            use_shm_ = false;  // e.g. a remote server: shared memory cannot reach it
        }
        if (!use_shm_) {
            // Check the format once with a 1×1 read.
            XImage* probe = XGetImage(dpy_, root_, 0, 0, 1, 1, AllPlanes, ZPixmap);
            if (!probe) {
                error_ = x_error(dpy_, x11_last_error(), "XGetImage");
                return false;
            }
            bool ok = is_bgrx(probe);
            XDestroyImage(probe);
            if (!ok) {
                error_ = PlatformError{0, "la pantalla no usa píxeles de 32 bits B8G8R8X8"};
                return false;
            }
        }
        return true;
    }

    const ScreenImage* grab() override {
        for (int attempt = 0; attempt < 2 && !lost_.load(); ++attempt) {
            if (use_shm_ ? grab_shm() : grab_plain()) return &out_;
            // The root may have shrunk: read its size again and retry once.
            if (!refresh_size()) return nullptr;
            if (use_shm_ && !make_shm_image()) return nullptr;
        }
        if (lost_.load()) error_ = PlatformError{0, "se perdió la conexión con la pantalla"};
        return nullptr;
    }

    PlatformError error() const override { return error_; }
    bool slow_path() const override { return !use_shm_; }
    bool display_lost() const override { return lost_.load(); }

private:
    bool refresh_size() {
        Window r;
        int x, y;
        unsigned w = 0, h = 0, border, depth;
        x11_clear_error();
        if (!XGetGeometry(dpy_, root_, &r, &x, &y, &w, &h, &border, &depth)) {
            error_ = x_error(dpy_, x11_last_error(), "XGetGeometry");
            return false;
        }
        cur_w_ = std::min<std::uint32_t>(want_w_, w);
        cur_h_ = std::min<std::uint32_t>(want_h_, h);
        if (cur_w_ == 0 || cur_h_ == 0) {
            error_ = PlatformError{0, "la pantalla no tiene tamaño"};
            return false;
        }
        return true;
    }

    bool make_shm_image() {
        drop_image();
        Visual* visual = DefaultVisual(dpy_, screen_);
        int depth = DefaultDepth(dpy_, screen_);
        shm_image_ = XShmCreateImage(dpy_, visual, depth, ZPixmap, nullptr, &shm_, cur_w_, cur_h_);
        if (!shm_image_) {
            error_ = PlatformError{0, "XShmCreateImage"};
            return false;
        }
        if (!is_bgrx(shm_image_)) {
            error_ = PlatformError{0, "la pantalla no usa píxeles de 32 bits B8G8R8X8"};
            drop_image();
            return false;
        }
        size_t bytes = static_cast<size_t>(shm_image_->bytes_per_line) * cur_h_;
        // 0600: the segment holds the user's screen.
        shm_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (shm_.shmid < 0) {
            error_ = PlatformError{errno, fmt::format("shmget: {}", std::strerror(errno))};
            drop_image();
            return false;
        }
        shm_.shmaddr = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
        if (shm_.shmaddr == reinterpret_cast<char*>(-1)) {
            error_ = PlatformError{errno, fmt::format("shmat: {}", std::strerror(errno))};
            shmctl(shm_.shmid, IPC_RMID, nullptr);
            shm_.shmaddr = nullptr;
            drop_image();
            return false;
        }
        shm_image_->data = shm_.shmaddr;
        shm_.readOnly = False;
        x11_clear_error();
        Status attached = XShmAttach(dpy_, &shm_);
        XSync(dpy_, False);
        // Removed at once: the segment goes away with the last detach, even
        // when the process dies.
        shmctl(shm_.shmid, IPC_RMID, nullptr);
        if (!attached || x11_last_error()) {
            error_ = x_error(dpy_, x11_last_error(), "XShmAttach");
            shmdt(shm_.shmaddr);
            shm_.shmaddr = nullptr;
            shm_image_->data = nullptr;
            XDestroyImage(shm_image_);
            shm_image_ = nullptr;
            return false;
        }
        attached_ = true;
        return true;
    }

    void drop_image() {
        if (shm_image_) {
            if (attached_) {
                XShmDetach(dpy_, &shm_);
                XSync(dpy_, False);
                attached_ = false;
            }
            if (shm_.shmaddr) shmdt(shm_.shmaddr);
            shm_.shmaddr = nullptr;
            shm_image_->data = nullptr;
            XDestroyImage(shm_image_);
            shm_image_ = nullptr;
        }
        if (plain_image_) {
            XDestroyImage(plain_image_);
            plain_image_ = nullptr;
        }
    }

    bool grab_shm() {
        x11_clear_error();
        if (!XShmGetImage(dpy_, root_, shm_image_, 0, 0, AllPlanes) || x11_last_error()) {
            error_ = x_error(dpy_, x11_last_error(), "XShmGetImage");
            return false;
        }
        show(shm_image_);
        return true;
    }

    // The image is made once per size and read into again on later grabs.
    bool grab_plain() {
        if (plain_image_ && (static_cast<std::uint32_t>(plain_image_->width) != cur_w_ ||
                             static_cast<std::uint32_t>(plain_image_->height) != cur_h_)) {
            XDestroyImage(plain_image_);
            plain_image_ = nullptr;
        }
        x11_clear_error();
        XImage* got = plain_image_ ? XGetSubImage(dpy_, root_, 0, 0, cur_w_, cur_h_, AllPlanes, ZPixmap,
                                                  plain_image_, 0, 0)
                                   : XGetImage(dpy_, root_, 0, 0, cur_w_, cur_h_, AllPlanes, ZPixmap);
        if (!got || x11_last_error()) {
            error_ = x_error(dpy_, x11_last_error(), "XGetImage");
            return false;
        }
        plain_image_ = got;
        show(plain_image_);
        return true;
    }

    void show(const XImage* img) {
        out_ = ScreenImage{reinterpret_cast<const std::uint8_t*>(img->data), img->width, img->height,
                           static_cast<size_t>(img->bytes_per_line)};
    }

    Display* dpy_;
    int screen_ = 0;
    Window root_ = 0;
    std::uint32_t want_w_, want_h_;
    std::uint32_t cur_w_ = 0, cur_h_ = 0;
    bool use_shm_ = false;
    bool attached_ = false;
    XShmSegmentInfo shm_{};
    XImage* shm_image_ = nullptr;
    XImage* plain_image_ = nullptr;
    ScreenImage out_;
    PlatformError error_;
    std::atomic<bool> lost_{false};
};

}  // namespace

ScreenSizeResult screen_primary_size(const std::string& display) {
    ScreenSizeResult r;
    Display* dpy = open_display(display, r.error);
    if (!dpy) return r;
    r.size = monitor_at_origin(dpy);
    r.ok = r.size.width > 0 && r.size.height > 0;
    if (!r.ok) r.error = PlatformError{0, "la pantalla no tiene tamaño"};
    XCloseDisplay(dpy);
    return r;
}

ScreenGrabberResult screen_grabber_open(const std::string& display, std::uint32_t width,
                                        std::uint32_t height) {
    ScreenGrabberResult r;
    Display* dpy = open_display(display, r.error);
    if (!dpy) return r;
    auto g = std::make_unique<X11Grabber>(dpy, width, height);
    if (!g->start()) {
        r.error = g->error();
        return r;
    }
    r.grabber = std::move(g);
    return r;
}

}  // namespace corvane
