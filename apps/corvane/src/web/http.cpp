#include "web/http.h"

#include "base/json.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>

#include "base/text.h"

namespace corvane {

namespace {

using Clock = std::chrono::steady_clock;

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Buffered reads from one connection, each bounded by the per-read time-out and
// by what is left of the whole request's time.
class RequestReader {
public:
    enum class Line { ok, end, error };

    RequestReader(NetSocket s, const UiReadLimits& limits)
        : socket_(s),
          limits_(limits),
          buffer_(std::max<std::size_t>(limits.buffer, 1)),
          deadline_(Clock::now() + std::chrono::milliseconds(limits.request_timeout_ms)) {}

    // One line up to and including its LF, or what is left before the end of
    // the stream; `end` when nothing at all was left. Longer than `max`: error.
    Line read_line(std::string& out, std::size_t max) {
        out.clear();
        for (;;) {
            if (pos_ == len_) {
                Fill f = fill();
                if (f == Fill::end) return out.empty() ? Line::end : Line::ok;
                if (f == Fill::error) return Line::error;
            }
            const char* begin = buffer_.data() + pos_;
            const char* stop = buffer_.data() + len_;
            const char* lf = std::find(begin, stop, '\n');
            const std::size_t take = static_cast<std::size_t>(lf - begin) + (lf != stop ? 1 : 0);
            if (out.size() + take > max) return Line::error;
            out.append(begin, take);
            pos_ += take;
            if (lf != stop) return Line::ok;
        }
    }

    bool read_exact(std::string& out, std::size_t n) {
        out.clear();
        out.reserve(n);
        while (out.size() < n) {
            if (pos_ == len_ && fill() != Fill::data) return false;
            const std::size_t take = std::min(n - out.size(), len_ - pos_);
            out.append(buffer_.data() + pos_, take);
            pos_ += take;
        }
        return true;
    }

private:
    enum class Fill { data, end, error };

    Fill fill() {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left <= 0) return Fill::error;
        const int wait = static_cast<int>(std::min<long long>(left, limits_.read_timeout_ms));
        NetRecvResult r = net_recv(socket_, buffer_.data(), buffer_.size(), wait);
        if (r.status == NetRecvStatus::end) return Fill::end;
        if (r.status != NetRecvStatus::data) return Fill::error;
        pos_ = 0;
        len_ = r.bytes;
        return Fill::data;
    }

    NetSocket socket_;
    const UiReadLimits& limits_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0, len_ = 0;
    Clock::time_point deadline_;
};

}  // namespace

std::optional<UiRequest> ui_read_request(NetSocket s, const UiReadLimits& limits) {
    RequestReader reader(s, limits);
    std::string line;
    if (reader.read_line(line, limits.request_line) != RequestReader::Line::ok) return std::nullopt;
    if (!utf8_valid(line)) return std::nullopt;
    auto words = utf8_split_white_space(line);
    if (words.size() < 2) return std::nullopt;

    UiRequest req;
    req.method = words[0];
    std::string_view target = words[1];
    size_t q = target.find('?');
    if (q == std::string_view::npos) {
        req.path = target;
    } else {
        req.path = target.substr(0, q);
        req.query = target.substr(q + 1);
    }

    std::size_t header_bytes = 0;
    for (;;) {
        RequestReader::Line r = reader.read_line(line, limits.header_line);
        if (r == RequestReader::Line::end) break;
        if (r == RequestReader::Line::error) return std::nullopt;
        header_bytes += line.size();
        if (header_bytes > limits.header_bytes) return std::nullopt;
        if (!utf8_valid(line)) return std::nullopt;
        if (utf8_trim(line).empty()) break;
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        req.headers.emplace_back(utf8_trim(std::string_view(line).substr(0, colon)),
                                 utf8_trim(std::string_view(line).substr(colon + 1)));
        if (req.headers.size() > limits.max_headers) return std::nullopt;
    }

    std::uint64_t length = 0;
    if (auto v = http_header_get(req.headers, "content-length")) length = parse_decimal(*v).value_or(0);
    if (length > limits.max_body) return std::nullopt;
    if (length > 0 && !reader.read_exact(req.body, static_cast<std::size_t>(length))) return std::nullopt;
    return req;
}

std::string ui_response_head(std::string_view status, std::string_view content_type,
                             std::size_t body_size) {
    std::string head;
    head.reserve(160 + status.size() + content_type.size());
    head += "HTTP/1.1 ";
    head += status;
    head += "\r\nContent-Type: ";
    head += content_type;
    head += "\r\nContent-Length: ";
    head += std::to_string(body_size);
    head += "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    return head;
}

void ui_send_response(NetSocket s, std::string_view status, std::string_view content_type,
                      std::string_view body) {
    const std::string head = ui_response_head(status, content_type, body.size());
    // A failed head does not stop the attempt to send the body.
    (void)net_send_all(s, head.data(), head.size(), !body.empty());
    (void)net_send_all(s, body.data(), body.size());
}

std::string ui_json_text(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void ui_send_json(NetSocket s, const nlohmann::ordered_json& value) {
    ui_send_response(s, "200 OK", "application/json; charset=utf-8", ui_json_text(value));
}

std::optional<std::string> ui_query_param(std::string_view query, std::string_view key) {
    size_t start = 0;
    for (;;) {
        size_t amp = query.find('&', start);
        std::string_view piece = query.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
        size_t eq = piece.find('=');
        if (eq != std::string_view::npos && piece.substr(0, eq) == key) {
            std::string_view raw = piece.substr(eq + 1);
            std::string bytes;
            bytes.reserve(raw.size());
            for (size_t i = 0; i < raw.size(); ++i) {
                const char c = raw[i];
                if (c == '+') {
                    bytes += ' ';
                } else if (c == '%' && i + 2 < raw.size()) {
                    // Two characters read as a hexadecimal number; a leading "+" counts as a sign.
                    const char a = raw[i + 1], b = raw[i + 2];
                    int value = -1;
                    if (a == '+') value = hex_value(b);
                    else if (hex_value(a) >= 0 && hex_value(b) >= 0) value = hex_value(a) * 16 + hex_value(b);
                    if (value >= 0) {
                        bytes += static_cast<char>(value);
                        i += 2;
                    } else {
                        bytes += '%';
                    }
                } else {
                    bytes += c;
                }
            }
            return utf8_lossy(bytes);
        }
        if (amp == std::string_view::npos) return std::nullopt;
        start = amp + 1;
    }
}

std::optional<std::string> http_header_get(const HttpHeaders& headers, std::string_view name) {
    for (const auto& [n, v] : headers)
        if (ascii_iequal(n, name)) return v;
    return std::nullopt;
}

nlohmann::ordered_json ui_parse_json_body(std::string_view body) {
    if (body.empty()) return nullptr;
    auto value = json_parse_untrusted(body, 256);
    if (value.is_discarded()) return nullptr;
    return value;
}

}  // namespace corvane
