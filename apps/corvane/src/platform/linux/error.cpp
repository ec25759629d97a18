#include "platform/error.h"

#include <fmt/format.h>

namespace corvane {

std::string platform_error_text(const PlatformError& error) {
    std::string t = error.text;
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\n' ||
                          t.back() == '\v' || t.back() == '\f' || t.back() == '\r'))
        t.pop_back();
    if (t.empty()) return fmt::format("(código 0x{:08X})", static_cast<unsigned>(error.code));
    return t;
}

}  // namespace corvane
