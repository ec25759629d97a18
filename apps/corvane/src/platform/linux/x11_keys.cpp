// Keyboard state through XQueryKeymap on a private connection. Virtual-key
// codes become keysyms, keysyms become the keycodes that carry them on the
// server's current keyboard map (every shift level, so digits on a layout
// that shifts them still count); the map is read again whenever the server
// announces a change.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/keys.h"
#include "platform/linux/x11_errors.h"

namespace corvane {

namespace {

// Virtual-key code -> the keysyms that count as that key.
std::vector<KeySym> keysyms_for_code(std::uint32_t code) {
    if (code >= 'A' && code <= 'Z') return {static_cast<KeySym>(XK_a + (code - 'A'))};
    if (code >= '0' && code <= '9') return {static_cast<KeySym>(XK_0 + (code - '0'))};
    if (code >= 0x60 && code <= 0x69) return {static_cast<KeySym>(XK_KP_0 + (code - 0x60))};
    if (code >= 0x70 && code <= 0x87) return {static_cast<KeySym>(XK_F1 + (code - 0x70))};
    switch (code) {
        case 0x09:
            return {XK_Tab, XK_ISO_Left_Tab};
        case 0x10:
            return {XK_Shift_L, XK_Shift_R};
        case 0x11:
            return {XK_Control_L, XK_Control_R};
        case 0x12:
            return {XK_Alt_L, XK_Alt_R, XK_Meta_L, XK_Meta_R};
        case 0x13:
            return {XK_Pause};
        case 0x20:
            return {XK_space};
        case 0x21:
            return {XK_Prior};
        case 0x22:
            return {XK_Next};
        case 0x23:
            return {XK_End};
        case 0x24:
            return {XK_Home};
        case 0x2C:
            return {XK_Print};
        case 0x2D:
            return {XK_Insert};
        case 0x2E:
            return {XK_Delete};
        default:
            return {};
    }
}

// A lost display only stops this reader (the capture notices it too and asks
// to quit): the connection's own exit handler marks it.
class X11KeyState final : public KeyState {
  public:
    explicit X11KeyState(Display* d) : display_(d) {
        XSetIOErrorExitHandler(display_, x11_mark_lost, &lost_);
        // A client that speaks XKB is told of map changes by XKB events
        // rather than the core MappingNotify; ask for them explicitly.
        int opcode = 0, error_base = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
        if (XkbQueryExtension(display_, &opcode, &xkb_event_base_, &error_base, &major, &minor)) {
            XkbSelectEvents(display_, XkbUseCoreKbd, XkbMapNotifyMask | XkbNewKeyboardNotifyMask,
                            XkbMapNotifyMask | XkbNewKeyboardNotifyMask);
        } else {
            xkb_event_base_ = -1;
        }
        read_map();
    }
    ~X11KeyState() override { XCloseDisplay(display_); }

    bool refresh() override {
        if (!lost_.load()) {
            char bits[32];
            std::memset(bits, 0, sizeof bits);
            XQueryKeymap(display_, bits);
            if (!lost_.load()) {
                std::memcpy(keys_.data(), bits, sizeof bits);
                apply_map_changes();
                return true;
            }
        }
        keys_.fill(0);  // unreadable: every key reads up
        return false;
    }

  private:
    void apply_map_changes() {
        // Any map change made before the state was read has now reached us
        // (the server sends events in order): apply it to this reading.
        bool remap = false;
        while (XPending(display_) > 0) {
            XEvent ev;
            XNextEvent(display_, &ev);
            if (ev.type == MappingNotify) {
                XRefreshKeyboardMapping(&ev.xmapping);
                remap = true;
            } else if (xkb_event_base_ >= 0 && ev.type == xkb_event_base_) {
                remap = true;
            }
        }
        if (remap) read_map();
    }

  public:
    bool is_down(std::uint32_t code) const override {
        auto it = keycodes_.find(code);
        if (it == keycodes_.end()) {
            // Looked up once per code; the result is kept until the map changes.
            it = keycodes_.emplace(code, keycodes_for(code)).first;
        }
        for (int kc : it->second) {
            if (keys_[kc / 8] & (1u << (kc % 8))) return true;
        }
        return false;
    }

  private:
    void read_map() {
        keycodes_.clear();
        keysyms_.clear();
        int min_kc = 0, max_kc = 0;
        XDisplayKeycodes(display_, &min_kc, &max_kc);
        int per = 0;
        KeySym* map =
            XGetKeyboardMapping(display_, static_cast<KeyCode>(min_kc), max_kc - min_kc + 1, &per);
        if (!map) return;
        for (int kc = min_kc; kc <= max_kc; ++kc) {
            for (int level = 0; level < per; ++level) {
                KeySym s = map[(kc - min_kc) * per + level];
                if (s == NoSymbol) continue;
                // Letters appear in both cases; the lower case names the key.
                KeySym lower = s, upper = s;
                XConvertCase(s, &lower, &upper);
                keysyms_[lower].push_back(kc);
            }
        }
        XFree(map);
    }

    std::vector<int> keycodes_for(std::uint32_t code) const {
        std::vector<int> out;
        for (KeySym s : keysyms_for_code(code)) {
            auto it = keysyms_.find(s);
            if (it == keysyms_.end()) continue;
            for (int kc : it->second) {
                if (kc >= 0 && kc < 256) out.push_back(kc);
            }
        }
        return out;
    }

    Display* display_;
    std::atomic<bool> lost_{false};
    int xkb_event_base_ = -1;
    std::array<unsigned char, 32> keys_{};
    std::unordered_map<KeySym, std::vector<int>> keysyms_;
    mutable std::unordered_map<std::uint32_t, std::vector<int>> keycodes_;
};

}  // namespace

KeyStateResult keys_open(const std::string& display) {
    x11_prepare();
    Display* d = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (!d) {
        const char* name = display.empty() ? XDisplayName(nullptr) : display.c_str();
        return {nullptr, std::string("no se pudo abrir la pantalla ") + (name ? name : "")};
    }
    return {std::make_unique<X11KeyState>(d), {}};
}

}  // namespace corvane
