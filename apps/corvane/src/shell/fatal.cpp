#include "shell/fatal.h"

#include <atomic>

#include <fmt/format.h>

#include "base/app.h"
#include "base/log.h"
#include "base/version.h"
#include "platform/message_box.h"

namespace corvane {

namespace {
std::atomic<void (*)()> g_remove_tray_icon{nullptr};
}  // namespace

void fatal_set_tray_icon_remover(void (*remove_icon)()) {
    g_remove_tray_icon.store(remove_icon);
}

int error_message_box(std::string_view text) {
    return message_box_show(kDisplayName, text, BoxIcon::kError);
}

std::string main_error_text(std::string_view context, std::string_view error) {
    return fmt::format("{}: {}", context, error);
}

void main_fatal_error(std::string_view message) {
    log_line(fmt::format("[ERROR] {}", message));
    if (auto remove = g_remove_tray_icon.load()) remove();
    error_message_box(
        fmt::format("{}\n\nDetalles en el registro:\n{}", message, log_file_path().string()));
    app_exit(1);
}

}  // namespace corvane
