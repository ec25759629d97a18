// The keyboard's physical state, polled. Keys are named by the Windows
// virtual-key codes that the hotkey grammar produces (base/settings.h, vk::):
// Ctrl, Shift and Alt (either side), letters, digits, F1..F24, Num0..Num9 and
// the named keys Tab, Space, Insert, Delete, Home, End, PageUp, PageDown,
// Pause and PrintScreen.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace corvane {

class KeyState {
  public:
    virtual ~KeyState() = default;
    // Reads the state of every key at once. False when it could not be read:
    // every key then reads up until the next successful refresh.
    virtual bool refresh() = 0;
    // Whether any physical key producing `code` was down at the last refresh.
    // Codes the keyboard has no key for read up.
    virtual bool is_down(std::uint32_t code) const = 0;

    // The title of the window that has the keyboard focus when it is one of
    // the browser's windows; nothing for any other window, or none.
    virtual std::optional<std::string> focused_browser_title() { return std::nullopt; }

    // While `take` is true, presses of the combination `codes` reach this
    // program instead of the window in front (the state read by refresh still
    // sees them); false gives them back. Combinations of modifiers alone
    // cannot be taken. Repeating the current choice does nothing.
    virtual void take_combination(std::span<const std::uint32_t> codes, bool take) {
        (void)codes;
        (void)take;
    }

    // How many times, between the refresh before the last one and the last
    // one, every code of `codes` became down together (a code is down while
    // any of its keys is), as the keyboard's own key events tell: a tap too
    // short for either refresh to see still counts. Nothing when this reader
    // has no key events; then only the state at each refresh is known.
    virtual std::optional<unsigned> presses(std::span<const std::uint32_t> codes) const {
        (void)codes;
        return std::nullopt;
    }
};

struct KeyStateResult {
    std::unique_ptr<KeyState> keys;  // null on failure
    std::string error;               // why, when null
};

// A reader with its own connection to `display` ("" = the session's own), to
// be used from one thread.
KeyStateResult keys_open(const std::string& display);

}  // namespace corvane
