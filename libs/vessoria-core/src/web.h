// The one HTTP client of the updater: a blocking GET of an http:// or
// https:// address that either keeps the body in memory or streams it to a
// sink. The status is returned, never judged: callers refuse 400 and above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace vessoria {

struct HeaderPair {
  std::string name;
  std::string value;
};

struct WebResponse {
  std::uint16_t status = 0;  // 0 when the server's status could not be read
  std::vector<std::uint8_t> body;  // empty when a sink was given
};

// Called with each received piece (1 to 65,536 bytes); false stops reading.
using WebSink = std::function<bool(const std::uint8_t* data, std::size_t size)>;

// Where the certificates come from; empty = the system's store. Tests point
// it at the certificate of their own local server. Verification is never
// switched off.
struct WebConfig {
  std::string ca_file;
};

struct UrlParts {
  bool secure = false;
  std::string host;
  std::uint16_t port = 0;
  std::string path;
};

// Exactly 10 bytes equal to "user-agent" with only A-Z folded.
bool web_is_user_agent(std::string_view name);
// Scheme, host, port and path by our own rules (fails with "URL no válida").
Result<UrlParts> web_split_url(std::string_view url);
// Redirects are followed to https addresses only, at most 10 of them.
Result<WebResponse> web_http_get(std::string_view url, const std::vector<HeaderPair>& headers,
                                 std::uint32_t timeout_ms, const WebSink& sink = {},
                                 const WebConfig& config = {});

}  // namespace vessoria
