// The HTTP/1.1 pieces of the local web server: one request read with its
// bounds, the reply writer, JSON replies and the query and header lookups.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/net.h"

namespace corvane {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// One request, owned by its connection thread.
struct UiRequest {
    std::string method;   // first word of the request line, as sent
    std::string path;     // target up to its first "?", not decoded
    std::string query;    // after that "?"; empty without one
    HttpHeaders headers;  // trimmed (name, value) pairs in arrival order
    std::string body;     // exactly Content-Length bytes, or empty
};

// Bounds of one request. The defaults are the server's; a request that breaks
// one is dropped without a reply.
struct UiReadLimits {
    std::size_t buffer = 8192;                    // the reader's buffer
    std::size_t request_line = 2 * 1024 * 1024;   // bulk viewer requests carry many names
    std::size_t header_line = 16 * 1024;
    std::size_t header_bytes = 256 * 1024;        // all header lines together
    std::size_t max_headers = 64;                 // stored headers
    std::size_t max_body = 262'144;
    int read_timeout_ms = 5000;                   // each read
    int head_timeout_ms = 5000;                   // request line and headers (slow senders)
    int request_timeout_ms = 15'000;              // the whole request
};

// Collects one request from its bytes as they arrive, under the bounds of
// UiReadLimits (the time limits are the caller's), so that one thread can
// read many connections at once.
class UiRequestParser {
public:
    enum class Status {
        more,      // the request is not complete yet
        complete,  // take() gives it; later bytes are ignored
        drop,      // close the connection without a reply
    };

    explicit UiRequestParser(const UiReadLimits& limits = {});

    Status feed(std::string_view bytes);
    // The peer has finished sending: what arrived is all there is.
    Status end_of_stream();

    Status status() const { return status_; }
    // The request line and the headers are in (the body may still be missing).
    bool head_complete() const { return stage_ == Stage::body || status_ == Status::complete; }

    // The request, once complete; the parser is spent afterwards.
    UiRequest take() { return std::move(request_); }

private:
    enum class Stage { request_line, headers, body };

    bool line_done();  // the line in line_ is whole; false: drop
    void head_done();

    UiReadLimits limits_;
    Status status_ = Status::more;
    Stage stage_ = Stage::request_line;
    std::string line_;
    std::size_t header_bytes_ = 0;
    std::size_t body_length_ = 0;
    UiRequest request_;
};

// Reads one request from the socket; nothing when the connection must be
// closed without a reply (read error, time-out, invalid UTF-8, a bound broken,
// a short body).
std::optional<UiRequest> ui_read_request(NetSocket s, const UiReadLimits& limits = {});

// Writes one complete reply: the head (status, type, length, no-store, nosniff,
// close), then the body. Send failures are ignored.
void ui_send_response(NetSocket s, std::string_view status, std::string_view content_type,
                      std::string_view body);

// The head that ui_send_response writes before a body of `body_size` bytes.
std::string ui_response_head(std::string_view status, std::string_view content_type,
                             std::size_t body_size);

// Compact JSON sent as "200 OK", "application/json; charset=utf-8".
void ui_send_json(NetSocket s, const nlohmann::ordered_json& value);

// Compact JSON text; invalid UTF-8 in strings becomes U+FFFD instead of throwing.
std::string ui_json_text(const nlohmann::ordered_json& value);

// The decoded value of the first parameter named exactly `key` ("+" is a space,
// "%XX" a byte, a stray "%" stays); invalid UTF-8 becomes U+FFFD. The value
// may hold a NUL byte: callers that make a path of it must refuse that.
std::optional<std::string> ui_query_param(std::string_view query, std::string_view key);

// The value of the first header whose name equals `name` ignoring ASCII case.
std::optional<std::string> http_header_get(const HttpHeaders& headers, std::string_view name);

// A request body as JSON: null when empty, invalid or nested deeper than 256.
nlohmann::ordered_json ui_parse_json_body(std::string_view body);

}  // namespace corvane
