// What the status, settings and action routes ask of the desktop side of the
// program (game watcher, notices window, detector switch, save slot, monitor).
// Main hands these over at start-up; a hook left empty answers as if the
// piece behind it were not running.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/settings.h"

namespace corvane {

// The game the watcher sees: its title, its program file and whether it is Warzone.
struct UiGameStatus {
    std::string titulo;
    std::string exe;
    bool warzone = false;
};

struct UiMonitorSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The codec the recorder was asked for at start-up and the one its encoder
// really records in ("h264", "hevc", "av1"): they differ after a fallback.
struct UiVideoCodec {
    std::string pedido;
    std::string usado;
};

struct UiAppHooks {
    std::function<std::optional<UiGameStatus>()> game_status;       // game_status_snapshot
    std::function<bool()> notices_running;                         // NoticesRunning
    std::function<bool()> warmup_lobby;                            // the pre-match lobby is on screen
    std::function<void(const Settings::Avisos&)> notice_settings;  // replaces NoticeSettings
    std::function<void(bool on)> detector_set_enabled;
    std::function<bool()> save_clip;                       // tray_save_clip
    std::function<std::optional<UiMonitorSize>()> monitor;  // the primary monitor's size
    std::function<std::optional<UiVideoCodec>()> video_codec;  // none until the encoder runs
};

void ui_set_app_hooks(UiAppHooks hooks);
std::shared_ptr<const UiAppHooks> ui_app_hooks();

}  // namespace corvane
