#include "base/hotkey_pause.h"

namespace corvane {

std::chrono::steady_clock::time_point process_epoch() {
    static const auto epoch = std::chrono::steady_clock::now();
    return epoch;
}

std::uint64_t ms_since(std::chrono::steady_clock::time_point epoch,
                       std::chrono::steady_clock::time_point now) {
    if (now < epoch) return 0;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - epoch).count());
}

std::uint64_t process_now_ms() {
    const auto epoch = process_epoch();
    return ms_since(epoch, std::chrono::steady_clock::now());
}

void hotkey_pause_for_typing() {
    HotkeyPause.store(process_now_ms() + kHotkeyPauseMs, std::memory_order_relaxed);
}

void hotkey_resume() {
    HotkeyPause.store(process_now_ms(), std::memory_order_relaxed);
}

}  // namespace corvane
