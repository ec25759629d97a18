#include "web/routes.h"

#include <array>
#include <string>

#include "base/log.h"
#include "base/settings.h"
#include "base/version.h"
#include "platform/texts.h"
#include "web/ai_routes.h"
#include "web/analysis_view.h"
#include "web/app_routes.h"
#include "web/clips_page.h"
#include "web/media.h"
#include "web/visor.h"
#include "web/session.h"
#include "web/templates.h"
#include "web/update_routes.h"

namespace corvane {

namespace {

constexpr std::string_view kPlain = "text/plain";
constexpr std::string_view kPlainUtf8 = "text/plain; charset=utf-8";
constexpr std::string_view kHtml = "text/html; charset=utf-8";

// Paths that pages load by URL (frames, media, a script element, a pop-up, the
// hand-off of a second start): GET with the token in "t", each with its refusal.
struct PagePath {
    std::string_view path;
    std::string_view type;
    std::string_view refusal;
};
constexpr std::array kPagePaths{
    PagePath{"/api/visor", kPlain, "clave"},
    PagePath{"/api/abrir", kPlain, "clave"},
    PagePath{"/clip", kPlainUtf8, "Abre Corvane y vuelve a abrir los Clips."},
    PagePath{"/analisis", kPlainUtf8, "Abre Corvane y vuelve a abrir los Clips."},
    PagePath{"/", kPlainUtf8, "Abre Corvane desde su ícono junto al reloj."},
    PagePath{"/ajustes", kPlainUtf8, "Abre Corvane desde su ícono junto al reloj."},
    PagePath{"/clips", kPlainUtf8, "Abre Corvane desde su ícono junto al reloj."},
    PagePath{"/ayuda", kPlainUtf8, "Abre Corvane desde su ícono junto al reloj."},
};

void send_not_found(NetSocket s) { ui_send_response(s, "404 Not Found", kPlain, "?"); }

std::optional<UiDeferredAction> send_filled_page(const UiExchange& ex, std::string_view asset,
                                                 const UiTemplateFills& fills) {
    std::string_view tpl = ui_page_template(asset);
    if (tpl.empty()) send_not_found(ex.socket);
    else ui_send_response(ex.socket, "200 OK", kHtml, ui_fill_template(tpl, fills));
    return std::nullopt;
}

// The token, version and build date, and the desktop's words where a page names its parts.
std::optional<UiDeferredAction> send_page(const UiExchange& ex, std::string_view asset,
                                          UiTemplateFills extra = {}) {
    UiTemplateFills fills = {{"__TOKEN__", ex.session.token},
                             {"__VERSION__", std::string_view(kVersionText)},
                             {"__BUILD_DATE__", std::string_view(kBuildDateText)}};
    for (const PageDesktopText& t : kPageDesktopTexts) fills.emplace_back(t.placeholder, t.text);
    for (auto& f : extra) fills.push_back(std::move(f));
    return send_filled_page(ex, asset, fills);
}

std::optional<UiDeferredAction> route_home(const UiExchange& ex) { return send_page(ex, "pages/inicio.html"); }
// The clips folder an empty setting stands for, as a JSON string in the script.
std::optional<UiDeferredAction> route_settings_page(const UiExchange& ex) {
    const std::string folder = ui_json_for_script(nlohmann::ordered_json(default_clips_folder().string()));
    return send_page(ex, "pages/ajustes.html", {{"\"__CARPETA_PREDETERMINADA__\"", folder}});
}
std::optional<UiDeferredAction> route_help_page(const UiExchange& ex) { return send_page(ex, "pages/ayuda.html"); }

// The analysis pop-up: the clip name is written into the page as a JSON string.
std::optional<UiDeferredAction> route_analysis_page(const UiExchange& ex) {
    const std::string clip = ui_query_param(ex.request.query, "clip").value_or("");
    const std::string literal = ui_json_for_script(nlohmann::ordered_json(clip));
    return send_filled_page(ex, "pages/analisis.html",
                            {{"__TOKEN__", ex.session.token}, {"__VERSION__", std::string_view(kVersionText)}, {"\"__CLIP__\"", literal}});
}

// A second start hands over here; the window opens once the reply has gone.
std::optional<UiDeferredAction> route_open(const UiExchange& ex) {
    const std::string tab =
        ui_sanitize_ident(ui_query_param(ex.request.query, "tab").value_or(std::string(ui_default_tab())));
    ui_send_response(ex.socket, "200 OK", kPlain, "ok");
    return ui_action_open_path(tab);
}

std::optional<UiDeferredAction> route_pending_tab(const UiExchange& ex) {
    nlohmann::ordered_json reply = nlohmann::ordered_json::object();
    if (auto tab = ui_pending_tab_take()) reply["pestana"] = *tab;
    else reply["pestana"] = nullptr;
    auto hooks = ui_hooks();
    reply["clips"] = hooks->clips_saved ? hooks->clips_saved() : std::uint64_t{0};
    ui_send_json(ex.socket, reply);
    return std::nullopt;
}

std::optional<UiDeferredAction> route_log(const UiExchange& ex) {
    nlohmann::ordered_json reply = nlohmann::ordered_json::object();
    reply["texto"] = log_read_tail();
    reply["ruta"] = log_file_path().string();
    ui_send_json(ex.socket, reply);
    return std::nullopt;
}

// Routes of later modules are added here, one line each.
constexpr std::array kRoutes{
    UiRoute{"GET", "/", UiGuard::page, route_home},
    UiRoute{"GET", "/ajustes", UiGuard::page, route_settings_page},
    UiRoute{"GET", "/ayuda", UiGuard::page, route_help_page},
    UiRoute{"GET", "/analisis", UiGuard::page, route_analysis_page},
    UiRoute{"GET", "/api/abrir", UiGuard::page, route_open},
    UiRoute{"GET", "/api/pestana", UiGuard::api, route_pending_tab},
    UiRoute{"GET", "/api/registro", UiGuard::api, route_log},
    // Clips page, media, viewer actions and analysis view.
    UiRoute{"GET", "/clips", UiGuard::page, ui_route_clips_page},
    UiRoute{"GET", "/clip", UiGuard::page, ui_route_clip_media},
    UiRoute{"GET", "/api/visor", UiGuard::page, ui_route_visor},
    UiRoute{"GET", "/api/analisis", UiGuard::api, ui_route_analysis_state},
    UiRoute{"GET", "/api/estado", UiGuard::api, route_state},
    UiRoute{"GET", "/api/manual", UiGuard::api, route_manual},
    UiRoute{"POST", "/api/accion", UiGuard::api, route_action},
    UiRoute{"POST", "/api/guardar", UiGuard::api, route_save},
    UiRoute{"POST", "/api/elegir_carpeta", UiGuard::api, route_pick_folder},
    // AI analysis start and key test.
    UiRoute{"POST", "/api/analizar", UiGuard::api, ui_route_analyze},
    UiRoute{"POST", "/api/probar_ia", UiGuard::api, ui_route_test_ai},
    // Updater status and actions.
    UiRoute{"GET", "/api/actualizacion", UiGuard::api, ui_route_update_status},
    UiRoute{"POST", "/api/actualizacion", UiGuard::api, ui_route_update_action},
};

const PagePath* find_page_path(std::string_view path) {
    for (const auto& p : kPagePaths)
        if (p.path == path) return &p;
    return nullptr;
}

const UiRoute* find_route(std::string_view method, std::string_view path, UiGuard guard) {
    for (const auto& r : kRoutes)
        if (r.guard == guard && r.method == method && r.path == path) return &r;
    return nullptr;
}

std::string own_host(const UiSession& session) { return "127.0.0.1:" + std::to_string(session.port); }

}  // namespace

std::span<const UiRoute> ui_route_table() { return kRoutes; }

std::string_view ui_default_tab() { return "clips"; }

std::string ui_sanitize_ident(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (out.size() == 40) break;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' || c == '_')
            out += c;
    }
    return out;
}

std::optional<UiDeferredAction> ui_route_request(NetSocket s, const UiRequest& request,
                                                 const UiSession& session) {
    const std::string host = own_host(session);
    auto given_host = http_header_get(request.headers, "host");
    if (!given_host || *given_host != host) {
        ui_send_response(s, "403 Forbidden", kPlain, "no");
        return std::nullopt;
    }

    if (request.method == "GET") {
        if (const PagePath* page = find_page_path(request.path)) {
            auto t = ui_query_param(request.query, "t");
            if (!t || !ui_token_equal(*t, session.token)) {
                ui_send_response(s, "403 Forbidden", page->type, page->refusal);
                return std::nullopt;
            }
            const UiRoute* route = find_route("GET", request.path, UiGuard::page);
            if (!route) {
                send_not_found(s);
                return std::nullopt;
            }
            const nlohmann::ordered_json none;
            return route->handler(UiExchange{s, request, session, none});
        }
    }

    auto key = http_header_get(request.headers, "x-crvn-clave");
    if (!key || !ui_token_equal(*key, session.token)) {
        ui_send_response(s, "403 Forbidden", kPlain, "clave");
        return std::nullopt;
    }
    auto origin = http_header_get(request.headers, "origin");
    if (origin && *origin != "http://" + host) {
        ui_send_response(s, "403 Forbidden", kPlain, "origen");
        return std::nullopt;
    }
    const UiRoute* route = find_route(request.method, request.path, UiGuard::api);
    if (!route) {
        send_not_found(s);
        return std::nullopt;
    }
    const nlohmann::ordered_json body = ui_parse_json_body(request.body);
    return route->handler(UiExchange{s, request, session, body});
}

}  // namespace corvane
