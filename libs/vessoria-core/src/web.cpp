#include "web.h"

#include "net_error.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

#include <fmt/format.h>

namespace vessoria {

namespace {

constexpr std::size_t kPiece = 65536;
constexpr std::size_t kBodyCap = 67108864;  // 64 MiB, checked after each append

constexpr char kBadUrl[] = "URL no válida";

std::string net_error(CURLcode code) { return net_error_text(static_cast<int>(code)); }

struct Transfer {
  const WebSink* sink = nullptr;
  std::vector<std::uint8_t>* body = nullptr;
  bool stopped = false;  // we ended the read on purpose: not a failure
};

size_t on_data(char* data, size_t, size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  if (n == 0) return 0;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  if (t->sink != nullptr && *t->sink) {
    // libcurl may hand over more than one read's worth; the sink sees pieces
    // of at most one read buffer.
    for (size_t off = 0; off < n; off += kPiece) {
      if (!(*t->sink)(bytes + off, std::min(kPiece, n - off))) {
        t->stopped = true;
        return 0;
      }
    }
    return n;
  }
  t->body->insert(t->body->end(), bytes, bytes + n);
  if (t->body->size() > kBodyCap) {
    t->stopped = true;
    return 0;
  }
  return n;
}

struct Easy {
  CURL* h = curl_easy_init();
  curl_slist* headers = nullptr;
  ~Easy() {
    if (h != nullptr) curl_easy_cleanup(h);
    curl_slist_free_all(headers);
  }
};

}  // namespace

bool web_is_user_agent(std::string_view name) {
  static constexpr std::string_view kUa = "user-agent";
  if (name.size() != kUa.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kUa[i]) return false;
  }
  return true;
}

Result<UrlParts> web_split_url(std::string_view url) {
  UrlParts parts;
  std::string_view rest;
  if (url.size() >= 8 && url.substr(0, 8) == "https://") {
    parts.secure = true;
    rest = url.substr(8);
  } else if (url.size() >= 7 && url.substr(0, 7) == "http://") {
    rest = url.substr(7);
  } else {
    return Result<UrlParts>::failure(kBadUrl);
  }
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  parts.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  parts.port = parts.secure ? 443 : 80;
  parts.host = std::string(authority);
  const size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos) {
    const std::string_view digits = authority.substr(colon + 1);
    if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      if (digits.empty()) return Result<UrlParts>::failure(kBadUrl);
      unsigned long v = 0;
      for (char c : digits) {
        v = v * 10 + static_cast<unsigned long>(c - '0');
        if (v > 65535) return Result<UrlParts>::failure(kBadUrl);
      }
      parts.host = std::string(authority.substr(0, colon));
      parts.port = static_cast<std::uint16_t>(v);
    }
  }
  return parts;
}

Result<WebResponse> web_http_get(std::string_view url, const std::vector<HeaderPair>& headers,
                                 std::uint32_t timeout_ms, const WebSink& sink, const WebConfig& config) {
  auto split = web_split_url(url);
  if (!split) return Result<WebResponse>::failure(split.error());
  const UrlParts& u = split.value();
  // The address is rebuilt from our own split; a host that libcurl would read
  // as user information ("name@host") would send the request elsewhere than
  // the host we split, so it is refused.
  if (u.host.find('@') != std::string::npos) return Result<WebResponse>::failure(kBadUrl);
  const std::string target =
      fmt::format("{}://{}:{}{}", u.secure ? "https" : "http", u.host, u.port, u.path);

  static std::once_flag global;
  std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  Easy easy;
  if (easy.h == nullptr) return Result<WebResponse>::failure(net_error(CURLE_FAILED_INIT));

  std::string agent = "Ostrevan";
  for (const auto& h : headers) {
    if (web_is_user_agent(h.name)) {
      agent = h.value;
      break;
    }
  }
  // Headers libcurl would add on its own are switched off: only ours go out.
  easy.headers = curl_slist_append(easy.headers, "Accept:");
  for (const auto& h : headers) {
    if (web_is_user_agent(h.name)) continue;
    // "Name;" is libcurl's way to send a header with an empty value.
    const std::string line = h.value.empty() ? h.name + ";" : h.name + ": " + h.value;
    easy.headers = curl_slist_append(easy.headers, line.c_str());
  }

  WebResponse response;
  Transfer t;
  t.sink = &sink;
  t.body = &response.body;

  const long seconds = static_cast<long>((timeout_ms + 999) / 1000);
  CURL* h = easy.h;
  curl_easy_setopt(h, CURLOPT_URL, target.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, easy.headers);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_ms));
  // Send and receive time-outs: a stall of the given length ends the call,
  // while a long transfer that keeps moving is never cut.
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, seconds > 0 ? seconds : 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!config.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, config.ca_file.c_str());
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kPiece));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);

  const CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && t.stopped))
    return Result<WebResponse>::failure(net_error(rc));
  long code = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) code = 0;
  response.status = static_cast<std::uint16_t>(static_cast<unsigned long>(code) & 0xFFFFu);
  if (sink) response.body.clear();
  return response;
}

}  // namespace vessoria
