// A failed operating-system or media-library call, as the core sees it: the
// library's own code and its own text. The core never interprets the code.
#pragma once

#include <string>

namespace corvane {

struct PlatformError {
    long long code = 0;
    std::string text;  // the system's description, trailing white space removed
};

// The description to show: the error's text, or "(código 0x{:08X})" when the
// system had none.
std::string platform_error_text(const PlatformError& error);

}  // namespace corvane
