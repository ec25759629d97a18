// What the web interface shares with the rest of the program: the session
// (token and listener port, published together once at start-up) and the tab
// that the interface window shows next.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

struct UiSession {
    std::string token;  // `UiSessionToken`: lower-case hexadecimal digits
    std::uint16_t port = 0;  // `UiPort`
};

// Publishes token and port together. Only the first call has an effect; it
// returns whether this call was the one that published.
bool ui_session_publish(std::string token, std::uint16_t port);

// The published session, or null before start-up has published it. Once
// published it never changes and lives until the process ends.
const UiSession* ui_session();

// Tests only: back to "not published". The old session stays allocated, as
// threads of an earlier test may still read it.
void ui_session_reset_for_tests();

// `UiPendingTab`: replaced by every request to open the interface window.
void ui_pending_tab_set(std::string tab);

// Takes the pending tab out, leaving none; nothing when none was waiting.
std::optional<std::string> ui_pending_tab_take();

}  // namespace corvane
