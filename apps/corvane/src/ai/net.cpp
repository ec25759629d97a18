#include "ai/net.h"

#include <fmt/format.h>

#include <mutex>

#include "base/text.h"
#include "base/version.h"
#include "net_error.h"
#include "platform/https.h"

namespace corvane {

namespace {

std::mutex g_config_lock;
NetConfig& config_slot() {
    static NetConfig c;
    return c;
}

std::string trimmed_ascii(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return std::string(s.substr(b, e - b));
}

// A network failure in the same words as the updater's ("no se encontró el
// servidor (error de red 6)"), after what the call was doing when it broke off
// once the request had gone out; a body file that could not be read keeps the
// system's text.
std::string failure_text(std::string_view doing, const HttpsOutcome& out) {
    const std::string what = out.code != 0 ? vessoria::net_error_text(out.code) : out.error;
    if (doing.empty()) return out.code != 0 ? what : fmt::format("sin conexión ({})", what);
    return out.code != 0 ? fmt::format("{}: {}", doing, what) : fmt::format("{} ({})", doing, what);
}

}  // namespace

NetConfig net_config() {
    std::lock_guard lock(g_config_lock);
    return config_slot();
}

void net_set_config_for_tests(NetConfig config) {
    std::lock_guard lock(g_config_lock);
    config_slot() = std::move(config);
}

std::string net_join_headers(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\r\n";
    return out;
}

NetResult<NetReply> net_request(const NetCall& call) {
    NetResult<NetReply> result;
    const HttpsUrlParts parts = https_split_url(call.url);
    if (!parts.error.empty()) {
        result.error = fmt::format("dirección no válida ({})", parts.error);
        return result;
    }
    if (parts.scheme != "https") {
        result.error = "solo se aceptan conexiones https";
        return result;
    }
    NetReply reply;
    bool too_big = false;
    bool stopped_by_caller = false;
    std::uint64_t received = 0;
    HttpsRequest req;
    req.method = call.method;
    req.url = call.url;
    req.headers = call.headers;
    req.body = call.body;
    req.body_file = call.body_file;
    req.connect_ms = call.timeouts.resolve + call.timeouts.connect;
    req.idle_ms = std::max(call.timeouts.send, call.timeouts.receive);
    req.ca_file = net_config().ca_file;
    req.user_agent = std::string("Corvane/") + kVersionText;
    req.on_sent = call.on_sent;
    req.on_data = [&](std::string_view piece) {
        received += piece.size();
        if (call.on_data) {
            if (!call.on_data(piece)) {
                stopped_by_caller = true;
                return false;
            }
        } else {
            reply.body.append(piece);
        }
        if (received > call.cap) {
            too_big = true;
            return false;
        }
        return true;
    };
    const HttpsOutcome out = https_perform(req);
    reply.status = out.status;
    reply.headers = out.headers;
    switch (out.phase) {
        case HttpsPhase::done:
            result.value = std::move(reply);
            return result;
        case HttpsPhase::stopped:
            result.error = too_big ? "respuesta demasiado grande" : call.stop_error;
            (void)stopped_by_caller;
            return result;
        case HttpsPhase::setup:
            result.error = "no se pudo preparar la petición";
            return result;
        case HttpsPhase::connect:
            result.error = failure_text("", out);
            return result;
        case HttpsPhase::send:
            result.error = failure_text("se cortó la subida", out);
            return result;
        case HttpsPhase::wait:
            result.error = failure_text("el servidor no respondió", out);
            return result;
        case HttpsPhase::receive:
            result.error = failure_text("se cortó la respuesta", out);
            return result;
    }
    result.error = "no se pudo preparar la petición";
    return result;
}

std::optional<std::string> net_reply_header(std::string_view headers, std::string_view name) {
    const std::string wanted = ascii_lower(name);
    size_t start = 0;
    while (start <= headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string_view::npos) end = headers.size();
        std::string_view line = headers.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && ascii_lower(trimmed_ascii(line.substr(0, colon))) == wanted)
            return utf8_trim(line.substr(colon + 1));
        start = end + 1;
    }
    return std::nullopt;
}

bool net_key_is_clean(std::string_view key) {
    for (unsigned char c : key)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

bool net_name_is_clean(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '/' || c == '-';
        if (!ok) return false;
    }
    return name.find("..") == std::string_view::npos;
}

}  // namespace corvane
