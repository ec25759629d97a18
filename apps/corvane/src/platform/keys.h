// The keyboard's physical state, polled. Keys are named by the Windows
// virtual-key codes that the hotkey grammar produces (base/settings.h, vk::):
// Ctrl, Shift and Alt (either side), letters, digits, F1..F24, Num0..Num9 and
// the named keys Tab, Space, Insert, Delete, Home, End, PageUp, PageDown,
// Pause and PrintScreen.
#pragma once

#include <cstdint>
#include <memory>
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
};

struct KeyStateResult {
    std::unique_ptr<KeyState> keys;  // null on failure
    std::string error;               // why, when null
};

// A reader with its own connection to `display` ("" = the session's own), to
// be used from one thread.
KeyStateResult keys_open(const std::string& display);

}  // namespace corvane
