// The save and viewer hotkeys: each a thread that polls the physical state of
// one key combination and acts once per press.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/flags.h"
#include "base/save_request.h"
#include "base/settings.h"
#include "platform/keys.h"

namespace corvane {

struct HotkeyPoll {
    unsigned fires = 0;     // presses to act on now
    bool was_down = false;  // the combination's state, for the next poll
};

// One poll. The combination counts as up while `now_ms` is below
// `pause_until` and when `codes` is empty; otherwise `key_down` is asked for
// each code in order, stopping at the first that is up. It fires when the
// combination is down and was not on the previous poll. `presses`, when given,
// is asked after the keys (never while paused) for the presses the keyboard's
// events saw since the previous poll: taps between two polls fire too.
HotkeyPoll hotkey_poll(std::span<const std::uint32_t> codes, std::uint64_t pause_until,
                       std::uint64_t now_ms, bool was_down,
                       const std::function<bool(std::uint32_t)>& key_down,
                       const std::function<std::optional<unsigned>()>& presses = {});

// One combination watched on one keyboard reader, polled by one thread: the
// reader is refreshed at most once per poll, and only when a code is asked.
class HotkeyWatch {
  public:
    HotkeyWatch(std::vector<std::uint32_t> codes, KeyState* keys)
        : codes_(std::move(codes)), keys_(keys) {}
    // The presses to act on at this poll.
    unsigned poll(std::uint64_t pause_until, std::uint64_t now_ms);

  private:
    std::vector<std::uint32_t> codes_;
    KeyState* keys_;
    bool was_down_ = false;
    // The previous poll read the keyboard, so its events since then belong
    // to this poll (after a pause or at the start they may predate it).
    bool events_follow_ = false;
};

inline constexpr std::chrono::milliseconds kSaveHotkeyPeriod{25};
inline constexpr std::chrono::milliseconds kViewerHotkeyPeriod{40};

// Whether a browser window titled `title` shows the program's own interface
// ("Corvane", or "Corvane · " and a page's name).
bool hotkey_window_is_ours(std::string_view title);

struct SaveHotkeyContext {
    KeyCombo combo;
    std::shared_ptr<QuitFlag> quit;
    std::shared_ptr<SaveRequestSlot> slot;
    std::unique_ptr<KeyState> keys;  // null: no keyboard, the key never fires
};

// Body of "crvn-tecla": on a press logs "\n[{combo text}] Guardando clip..."
// and stores a manual request in the slot (replacing one not yet taken).
// Ends at the first poll that sees the quit flag set.
void save_hotkey_thread_main(SaveHotkeyContext context);

struct ViewerHotkeyContext {
    std::vector<std::uint32_t> codes;
    std::shared_ptr<QuitFlag> quit;
    std::unique_ptr<KeyState> keys;  // null: no keyboard, the key never fires
};

// Body of "crvn-visor": on a press opens the interface at its "clips" tab.
void viewer_hotkey_thread_main(ViewerHotkeyContext context);

}  // namespace corvane
