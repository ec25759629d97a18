#include "web/session.h"

#include <cstdint>

namespace corvane {

bool ui_token_equal(std::string_view given, std::string_view token) {
    if (given.size() != token.size()) return false;
    volatile std::uint8_t diff = 0;
    for (size_t i = 0; i < token.size(); ++i)
        diff = static_cast<std::uint8_t>(diff | (static_cast<std::uint8_t>(given[i]) ^
                                                 static_cast<std::uint8_t>(token[i])));
    return diff == 0;
}

}  // namespace corvane
