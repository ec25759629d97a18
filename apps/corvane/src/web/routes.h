// Access guards and the route table of the local web server.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/ui_state.h"
#include "web/http.h"
#include "web/server.h"

namespace corvane {

// page: method "GET" and the token in the query parameter "t";
// api: the token in the header "x-crvn-clave" and no foreign Origin.
enum class UiGuard { page, api };

// What a route handler gets: it writes its reply on `socket` and returns the
// action to run after the connection is closed, if any.
struct UiExchange {
    NetSocket socket;
    const UiRequest& request;
    const UiSession& session;
    const nlohmann::ordered_json& body;  // API routes: the parsed body (null when empty or invalid)
};

using UiRouteHandler = std::optional<UiDeferredAction> (*)(const UiExchange&);

struct UiRoute {
    std::string_view method;  // exactly "GET" or "POST"
    std::string_view path;    // compared exactly
    UiGuard guard;
    UiRouteHandler handler;
};

// Every route served; a request that passes the guards but matches none gets 404.
std::span<const UiRoute> ui_route_table();

// Applies the Host guard, the token guards and dispatches to the route table;
// exactly one reply is written.
std::optional<UiDeferredAction> ui_route_request(NetSocket s, const UiRequest& request,
                                                 const UiSession& session);

// Keeps ASCII letters, digits, ":" and "_", at most 40 of them.
std::string ui_sanitize_ident(std::string_view text);

// The tab opened when a request names none.
std::string_view ui_default_tab();

}  // namespace corvane
