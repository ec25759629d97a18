// One blocking HTTPS request: headers, a body from memory or streamed from a
// file, a streamed reply, and the phase a failure happened in. The core turns
// the phase and the system's text into its own messages.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

struct HttpsUrlParts {
    std::string scheme;  // lower case, e.g. "https"
    std::string host;
    std::string path_and_query;  // begins with "/"
    std::string error;           // the system's text when the address cannot be split
};

// Splits an absolute address; `error` is set when it is not one.
HttpsUrlParts https_split_url(std::string_view url);

struct HttpsRequest {
    std::string method;                // "GET", "POST" or "DELETE"
    std::string url;                   // https only; other schemes are refused
    std::vector<std::string> headers;  // complete "Name: value" lines, sent in this order
    std::string body;                  // used when body_file is empty
    std::filesystem::path body_file;   // when set, the body is streamed from this file
    std::uint32_t connect_ms = 15000;  // name resolution plus connection
    std::uint32_t idle_ms = 60000;     // no byte moved in either direction for this long: abort
    std::string ca_file;               // empty: the system's certificate store
    std::string user_agent;
    // After each piece of the body has been handed over; argument: bytes so far.
    std::function<void(std::uint64_t)> on_sent;
    // Each piece of the reply body as it arrives; false stops the transfer.
    std::function<bool(std::string_view)> on_data;
};

enum class HttpsPhase {
    setup,      // the request could not be prepared (out of memory, bad options)
    connect,    // nothing was sent: resolution, connection or TLS failed
    send,       // the request went out but its body did not arrive whole
    wait,       // the request was sent, no reply head came back
    receive,    // the reply head came, its body broke off
    stopped,    // on_data asked to stop
    done,
};

struct HttpsOutcome {
    HttpsPhase phase = HttpsPhase::setup;
    std::uint32_t status = 0;  // 0 when no status line was read
    std::string headers;       // the reply's raw head, CRLF line ends, status line first
    std::string error;         // the system's text when phase is not done/stopped
    // libcurl's number for a failed transfer (CURLcode); 0 when it did not
    // fail or when reading the body's file failed (then `error` says why).
    int code = 0;
};

// Blocks until the reply has been read whole or the transfer failed. Never
// follows redirects and never sends the request over anything but HTTPS with
// a verified certificate.
HttpsOutcome https_perform(const HttpsRequest& request);

}  // namespace corvane
