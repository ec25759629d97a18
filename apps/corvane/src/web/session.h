// Checking the interface's session token on every request.
#pragma once

#include <string_view>

namespace corvane {

// Byte-for-byte equality whose time does not depend on where the texts differ
// (only on their lengths), so the token cannot be guessed digit by digit.
bool ui_token_equal(std::string_view given, std::string_view token);

}  // namespace corvane
