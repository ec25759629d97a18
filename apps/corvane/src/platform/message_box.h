// A blocking message box with a title, a text and one "Aceptar" button.
#pragma once

#include <string_view>

namespace corvane {

enum class BoxIcon { kInformation, kError };

// Shows the box in front of the other windows and returns when the user closes
// it: 1. Without a display the title and text go to standard error instead: 0.
int message_box_show(std::string_view title, std::string_view text, BoxIcon icon);

}  // namespace corvane
