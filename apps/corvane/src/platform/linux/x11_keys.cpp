// Keyboard state through XQueryKeymap on a private connection. Virtual-key
// codes become keysyms, keysyms become the keycodes that carry them on the
// server's current keyboard map (every shift level, so digits on a layout
// that shifts them still count); the map is read again whenever the server
// announces a change.
//
// A state read every few tens of milliseconds misses a tap that goes down
// and up between two reads, and on a busy machine the reading thread may not
// run for a good part of a second. The same connection therefore also takes
// the raw key events of XInput 2 (2.1 or later: delivered even while a game
// holds a keyboard grab). Each event carries the serial of the last request
// the server had handled when it happened, so the events that fall between
// two keymap reads are known exactly, and the taps in between are counted.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <strings.h>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <utility>
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
        select_raw_keys();
        read_map();
    }
    ~X11KeyState() override { XCloseDisplay(display_); }

    bool refresh() override {
        previous_ = keys_;
        between_.clear();
        if (!lost_.load()) {
            char bits[32];
            std::memset(bits, 0, sizeof bits);
            const unsigned long query_serial = NextRequest(display_);
            XQueryKeymap(display_, bits);
            if (!lost_.load()) {
                std::memcpy(keys_.data(), bits, sizeof bits);
                read_events();
                // Events stamped before the query happened before the reading.
                while (!pending_.empty() && pending_.front().serial < query_serial) {
                    between_.push_back(pending_.front());
                    pending_.pop_front();
                }
                return true;
            }
        }
        keys_.fill(0);  // unreadable: every key reads up
        pending_.clear();
        return false;
    }

    std::optional<unsigned> presses(std::span<const std::uint32_t> codes) const override {
        if (!raw_events_ || lost_.load()) return std::nullopt;
        std::array<unsigned char, 32> state = previous_;
        auto all_down = [&] {
            for (std::uint32_t code : codes) {
                bool any = false;
                for (int kc : keycodes(code)) any = any || (state[kc / 8] & (1u << (kc % 8)));
                if (!any) return false;
            }
            return !codes.empty();
        };
        unsigned count = 0;
        bool was = all_down();
        for (const KeyEvent& e : between_) {
            if (e.down) {
                state[e.keycode / 8] |= static_cast<unsigned char>(1u << (e.keycode % 8));
            } else {
                state[e.keycode / 8] &= static_cast<unsigned char>(~(1u << (e.keycode % 8)));
            }
            const bool now = all_down();
            if (now && !was) ++count;
            was = now;
        }
        return count;
    }

  private:
    struct KeyEvent {
        unsigned long serial;  // last request the server had handled when it happened
        unsigned char keycode;
        bool down;
    };

    void select_raw_keys() {
        int event_base = 0, error_base = 0;
        if (!XQueryExtension(display_, "XInputExtension", &xi_opcode_, &event_base, &error_base))
            return;
        int major = 2, minor = 2;
        if (XIQueryVersion(display_, &major, &minor) != Success) return;
        if (major < 2 || (major == 2 && minor < 1)) return;  // 2.0 loses them under a grab
        unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(mask, XI_RawKeyPress);
        XISetMask(mask, XI_RawKeyRelease);
        XIEventMask em{XIAllMasterDevices, static_cast<int>(sizeof mask), mask};
        if (XISelectEvents(display_, DefaultRootWindow(display_), &em, 1) != Success) return;
        raw_events_ = true;
    }

    // Takes every event that has reached us: map changes are applied to this
    // reading (the server sends events in order, so any change made before
    // the state was read is among them), raw key events wait in `pending_`.
    void read_events() {
        bool remap = false;
        while (XPending(display_) > 0) {
            XEvent ev;
            XNextEvent(display_, &ev);
            if (ev.type == MappingNotify) {
                XRefreshKeyboardMapping(&ev.xmapping);
                remap = true;
            } else if (xkb_event_base_ >= 0 && ev.type == xkb_event_base_) {
                remap = true;
            } else if (raw_events_ && ev.xcookie.type == GenericEvent &&
                       ev.xcookie.extension == xi_opcode_ && XGetEventData(display_, &ev.xcookie)) {
                const auto* raw = static_cast<const XIRawEvent*>(ev.xcookie.data);
                const bool down = ev.xcookie.evtype == XI_RawKeyPress;
                if ((down || ev.xcookie.evtype == XI_RawKeyRelease) && raw->detail >= 0 &&
                    raw->detail < 256 && pending_.size() < kMaxPending) {
                    pending_.push_back({ev.xcookie.serial, static_cast<unsigned char>(raw->detail), down});
                }
                XFreeEventData(display_, &ev.xcookie);
            }
        }
        if (remap) read_map();
    }

  public:
    bool is_down(std::uint32_t code) const override {
        for (int kc : keycodes(code)) {
            if (keys_[kc / 8] & (1u << (kc % 8))) return true;
        }
        return false;
    }

    std::optional<std::string> focused_browser_title() override {
        if (lost_.load()) return std::nullopt;
        const Window root = DefaultRootWindow(display_);
        Window w = window_property(root, net_active_window_);
        if (w == None) {
            // No window manager: the focus itself, climbed up to the client
            // window that carries the class.
            Window focus = None;
            int revert = 0;
            XGetInputFocus(display_, &focus, &revert);
            w = client_of(focus, root);
        }
        if (w == None || lost_.load()) return std::nullopt;
        XClassHint hint{};
        x11_clear_error();
        if (!XGetClassHint(display_, w, &hint)) return std::nullopt;
        const bool browser = hint.res_class && ::strcasecmp(hint.res_class, "Chromium") == 0;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        if (!browser) return std::nullopt;
        return window_title(w);
    }

    void take_combination(std::span<const std::uint32_t> codes, bool take) override {
        if (take == !grabbed_.empty() || lost_.load()) return;
        const Window root = DefaultRootWindow(display_);
        if (!take) {
            for (const auto& [kc, mods] : grabbed_) XUngrabKey(display_, kc, mods, root);
            grabbed_.clear();
            XSync(display_, False);
            return;
        }
        unsigned int mods = 0;
        std::vector<int> keys;
        for (std::uint32_t code : codes) {
            if (code == 0x11) {
                mods |= ControlMask;
            } else if (code == 0x10) {
                mods |= ShiftMask;
            } else if (code == 0x12) {
                mods |= Mod1Mask;
            } else {
                auto more = keycodes_for(code);
                keys.insert(keys.end(), more.begin(), more.end());
            }
        }
        // Caps Lock and Num Lock are modifiers too: the combination counts
        // whichever of them is on.
        for (unsigned int locks : {0u, static_cast<unsigned int>(LockMask),
                                   static_cast<unsigned int>(Mod2Mask),
                                   static_cast<unsigned int>(LockMask | Mod2Mask)}) {
            for (int kc : keys) {
                XGrabKey(display_, kc, mods | locks, root, False, GrabModeAsync, GrabModeAsync);
                grabbed_.emplace_back(kc, mods | locks);
            }
        }
        XSync(display_, False);
    }

  private:
    Window window_property(Window w, Atom prop) {
        Atom actual = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        Window out = None;
        if (XGetWindowProperty(display_, w, prop, 0, 1, False, XA_WINDOW, &actual, &format, &items,
                               &after, &data) == Success &&
            data && format == 32 && items == 1) {
            out = static_cast<Window>(reinterpret_cast<const long*>(data)[0]);
        }
        if (data) XFree(data);
        return out;
    }

    Window client_of(Window w, Window root) {
        const Atom wm_class = XInternAtom(display_, "WM_CLASS", False);
        for (int depth = 0; depth < 16 && w != None && w != PointerRoot && w != root; ++depth) {
            int n = 0;
            Atom* props = XListProperties(display_, w, &n);
            bool has_class = false;
            for (int i = 0; i < n; ++i) has_class = has_class || props[i] == wm_class;
            if (props) XFree(props);
            if (has_class) return w;
            Window r = None, parent = None, *children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(display_, w, &r, &parent, &children, &count)) return None;
            if (children) XFree(children);
            w = parent;
        }
        return None;
    }

    std::string window_title(Window w) {
        Atom actual = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        std::string out;
        if (XGetWindowProperty(display_, w, net_wm_name_, 0, 1024, False, utf8_string_, &actual,
                               &format, &items, &after, &data) == Success &&
            data && format == 8) {
            out.assign(reinterpret_cast<char*>(data), items);
        }
        if (data) XFree(data);
        if (!out.empty()) return out;
        char* name = nullptr;
        if (XFetchName(display_, w, &name) && name) {
            out = name;
            XFree(name);
        }
        return out;
    }

    const std::vector<int>& keycodes(std::uint32_t code) const {
        auto it = keycodes_.find(code);
        if (it == keycodes_.end()) {
            // Looked up once per code; the result is kept until the map changes.
            it = keycodes_.emplace(code, keycodes_for(code)).first;
        }
        return it->second;
    }

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

    // A reader nobody refreshes for a long time keeps at most this many.
    static constexpr std::size_t kMaxPending = 4096;

    Display* display_;
    std::atomic<bool> lost_{false};
    std::vector<std::pair<int, unsigned int>> grabbed_;  // keycode, modifiers
    Atom net_active_window_ = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    Atom net_wm_name_ = XInternAtom(display_, "_NET_WM_NAME", False);
    Atom utf8_string_ = XInternAtom(display_, "UTF8_STRING", False);
    int xkb_event_base_ = -1;
    int xi_opcode_ = -1;
    bool raw_events_ = false;
    std::array<unsigned char, 32> keys_{};
    std::array<unsigned char, 32> previous_{};  // the reading before `keys_`
    std::deque<KeyEvent> pending_;              // not yet before any reading
    std::vector<KeyEvent> between_;             // between `previous_` and `keys_`
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
