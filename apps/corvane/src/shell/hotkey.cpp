#include "shell/hotkey.h"

#include <algorithm>
#include <thread>

#include <fmt/format.h>

#include "base/hotkey_pause.h"
#include "base/log.h"
#include "base/ui_window.h"

namespace corvane {

HotkeyPoll hotkey_poll(std::span<const std::uint32_t> codes, std::uint64_t pause_until,
                       std::uint64_t now_ms, bool was_down,
                       const std::function<bool(std::uint32_t)>& key_down,
                       const std::function<std::optional<unsigned>()>& presses) {
    if (pause_until > now_ms || codes.empty()) return {0, false};
    bool down = true;
    for (std::uint32_t code : codes) {
        if (!key_down(code)) {
            down = false;
            break;
        }
    }
    unsigned fires = down && !was_down ? 1 : 0;
    if (presses) {
        // A tap that came and went between the polls, or a second press while
        // the first was still seen down, is only in the events.
        if (const std::optional<unsigned> seen = presses()) fires = std::max(fires, *seen);
    }
    return {fires, down};
}

unsigned HotkeyWatch::poll(std::uint64_t pause_until, std::uint64_t now_ms) {
    bool refreshed = false;
    bool readable = false;
    auto key_down = [&](std::uint32_t code) {
        if (!keys_) return false;
        if (!refreshed) {
            readable = keys_->refresh();
            refreshed = true;
        }
        return readable && keys_->is_down(code);
    };
    const bool events_follow = events_follow_;
    auto presses = [&]() -> std::optional<unsigned> {
        if (!events_follow || !readable) return std::nullopt;
        return keys_->presses(codes_);
    };
    const HotkeyPoll p = hotkey_poll(codes_, pause_until, now_ms, was_down_, key_down, presses);
    was_down_ = p.was_down;
    events_follow_ = refreshed && readable;
    return p.fires;
}

namespace {

// Polls `codes` every `period` until quit, calling `action` once per press.
void poll_loop(std::span<const std::uint32_t> codes, const QuitFlag& quit, KeyState* keys,
               std::chrono::milliseconds period, const std::function<void()>& action,
               const std::function<void()>& before_poll = {}) {
    HotkeyWatch watch(std::vector<std::uint32_t>(codes.begin(), codes.end()), keys);
    for (;;) {
        if (quit.set.load(std::memory_order_relaxed)) return;
        if (before_poll) before_poll();
        const unsigned fires =
            watch.poll(HotkeyPause.load(std::memory_order_relaxed), process_now_ms());
        for (unsigned i = 0; i < fires; ++i) action();
        std::this_thread::sleep_for(period);
    }
}

}  // namespace

bool hotkey_window_is_ours(std::string_view title) {
    return ui_window_title_matches(kUiWindowTitle, title) ||
           ui_window_title_matches(fmt::format("{}{}", kUiWindowTitle, kUiTitleSeparator), title);
}

void save_hotkey_thread_main(SaveHotkeyContext context) {
    if (!context.quit || !context.slot) return;
    KeyState* keys = context.keys.get();
    // The default combination, Ctrl+W, also closes the browser's window: while
    // our own window is in front the combination is kept from it, so that
    // saving a clip there does not close it. Everywhere else the window in
    // front (the game) still gets the keys.
    auto keep_from_our_window = [&] {
        if (!keys) return;
        const std::optional<std::string> title = keys->focused_browser_title();
        keys->take_combination(context.combo.codes, title && hotkey_window_is_ours(*title));
    };
    poll_loop(
        context.combo.codes, *context.quit, keys, kSaveHotkeyPeriod,
        [&] {
            log_line(fmt::format("\n[{}] Guardando clip...", context.combo.text));
            save_request_submit(*context.slot, save_request_manual());
        },
        keep_from_our_window);
}

void viewer_hotkey_thread_main(ViewerHotkeyContext context) {
    if (!context.quit) return;
    poll_loop(context.codes, *context.quit, context.keys.get(), kViewerHotkeyPeriod,
              [] { ui_open_window("clips"); });
}

}  // namespace corvane
