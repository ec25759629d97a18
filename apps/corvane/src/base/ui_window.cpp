#include "base/ui_window.h"

#include <string>

#include <fmt/format.h>

#include "base/log.h"
#include "base/ui_state.h"

namespace corvane {

void ui_open_window(std::string_view tab) {
    if (!ui_session()) return;
    ui_pending_tab_set(std::string(tab));
    log_line(fmt::format("[VENTANA] Abriendo Corvane ({}).", tab));
}

}  // namespace corvane
