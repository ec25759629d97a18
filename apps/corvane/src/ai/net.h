// The REST transport of the AI analysis: one blocking HTTPS call per request,
// nothing shared between calls, the HTTP status handed back uninterpreted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The service's address. Tests point the transport at a local stand-in with
// its own certificate; nothing the user can set changes it.
inline constexpr std::string_view kGeminiBase = "https://generativelanguage.googleapis.com";

struct NetConfig {
    std::string gemini_base = std::string(kGeminiBase);
    std::string ca_file;  // empty: the system's certificate store
};

// The configuration every request reads; replaced by tests only.
NetConfig net_config();
void net_set_config_for_tests(NetConfig config);

// Resolve, connect, send, receive (ms).
struct NetTimeouts {
    std::uint32_t resolve = 0, connect = 0, send = 0, receive = 0;
};

struct NetReply {
    std::uint32_t status = 0;  // 0 when it could not be read
    std::string headers;       // the raw reply head, CRLF line ends
    std::string body;
};

// A value or the user's text of why there is none.
template <class T>
struct NetResult {
    std::optional<T> value;
    std::string error;
    bool ok() const { return value.has_value(); }
};

inline constexpr std::uint64_t kNetBodyCap = 67108864;        // 64 MiB
inline constexpr std::uint64_t kNetStreamBodyCap = 33554432;  // 32 MiB

struct NetCall {
    std::string method;
    std::string url;
    std::vector<std::string> headers;
    std::string body;
    std::filesystem::path body_file;  // when set, the body is streamed from it
    NetTimeouts timeouts;
    std::uint64_t cap = kNetBodyCap;
    std::function<void(std::uint64_t sent)> on_sent;
    // Each reply piece; when set the body is not kept in the reply. False stops
    // the call with `stop_error` as its error.
    std::function<bool(std::string_view)> on_data;
    std::string stop_error;
};

// The header lines joined as they go on the wire: each followed by CRLF.
std::string net_join_headers(const std::vector<std::string>& lines);

// Blocking request; an error text from the table of transport failures.
NetResult<NetReply> net_request(const NetCall& call);

// The value of the first header line named `name` (ASCII case folded), trimmed.
std::optional<std::string> net_reply_header(std::string_view headers, std::string_view name);

// A key goes into a header line: one with control characters would add lines.
bool net_key_is_clean(std::string_view key);

// Model and file names go into a URL path: only the characters the service uses.
bool net_name_is_clean(std::string_view name);

}  // namespace corvane
