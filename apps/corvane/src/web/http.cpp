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

}  // namespace

UiRequestParser::UiRequestParser(const UiReadLimits& limits) : limits_(limits) {}

UiRequestParser::Status UiRequestParser::feed(std::string_view bytes) {
    while (status_ == Status::more && !bytes.empty()) {
        if (stage_ == Stage::body) {
            const std::size_t take = std::min(body_length_ - request_.body.size(), bytes.size());
            request_.body.append(bytes.data(), take);
            if (request_.body.size() == body_length_) status_ = Status::complete;
            return status_;
        }
        const std::size_t max = stage_ == Stage::request_line ? limits_.request_line : limits_.header_line;
        const std::size_t lf = bytes.find('\n');
        const std::size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
        if (line_.size() + take > max) {
            status_ = Status::drop;
            break;
        }
        line_.append(bytes.data(), take);
        bytes.remove_prefix(take);
        if (lf == std::string_view::npos) break;
        if (!line_done()) status_ = Status::drop;
        line_.clear();
    }
    return status_;
}

UiRequestParser::Status UiRequestParser::end_of_stream() {
    if (status_ != Status::more) return status_;
    if (stage_ == Stage::request_line && line_.empty()) return status_ = Status::drop;
    // What is left of a line without its line feed still counts as a line;
    // the header block then ends with the stream.
    if (!line_.empty() && !line_done()) return status_ = Status::drop;
    line_.clear();
    if (status_ == Status::more && stage_ == Stage::headers) head_done();
    if (status_ == Status::more) status_ = Status::drop;  // a body that cannot come any more
    return status_;
}

bool UiRequestParser::line_done() {
    if (stage_ == Stage::request_line) {
        if (!utf8_valid(line_)) return false;
        auto words = utf8_split_white_space(line_);
        if (words.size() < 2) return false;
        request_.method = words[0];
        std::string_view target = words[1];
        const size_t q = target.find('?');
        if (q == std::string_view::npos) {
            request_.path = target;
        } else {
            request_.path = target.substr(0, q);
            request_.query = target.substr(q + 1);
        }
        stage_ = Stage::headers;
        return true;
    }
    header_bytes_ += line_.size();
    if (header_bytes_ > limits_.header_bytes) return false;
    if (!utf8_valid(line_)) return false;
    if (utf8_trim(line_).empty()) {
        head_done();
        return status_ != Status::drop;
    }
    const size_t colon = line_.find(':');
    if (colon == std::string::npos) return true;
    request_.headers.emplace_back(utf8_trim(std::string_view(line_).substr(0, colon)),
                                  utf8_trim(std::string_view(line_).substr(colon + 1)));
    return request_.headers.size() <= limits_.max_headers;
}

void UiRequestParser::head_done() {
    std::uint64_t length = 0;
    if (auto v = http_header_get(request_.headers, "content-length")) length = parse_decimal(*v).value_or(0);
    if (length > limits_.max_body) {
        status_ = Status::drop;
        return;
    }
    stage_ = Stage::body;
    body_length_ = static_cast<std::size_t>(length);
    if (body_length_ == 0) status_ = Status::complete;
    else request_.body.reserve(body_length_);
}

std::optional<UiRequest> ui_read_request(NetSocket s, const UiReadLimits& limits) {
    UiRequestParser parser(limits);
    std::vector<char> buffer(std::max<std::size_t>(limits.buffer, 1));
    const auto start = Clock::now();
    const auto request_deadline = start + std::chrono::milliseconds(limits.request_timeout_ms);
    const auto head_deadline = start + std::chrono::milliseconds(limits.head_timeout_ms);
    for (;;) {
        const auto deadline = parser.head_complete() ? request_deadline : std::min(request_deadline, head_deadline);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        const int wait = static_cast<int>(std::min<long long>(left, limits.read_timeout_ms));
        NetRecvResult r = net_recv(s, buffer.data(), buffer.size(), wait);
        UiRequestParser::Status st;
        if (r.status == NetRecvStatus::data) st = parser.feed(std::string_view(buffer.data(), r.bytes));
        else if (r.status == NetRecvStatus::end) st = parser.end_of_stream();
        else return std::nullopt;
        if (st == UiRequestParser::Status::complete) return parser.take();
        if (st == UiRequestParser::Status::drop) return std::nullopt;
    }
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
    std::string head = ui_response_head(status, content_type, body.size());
    // A small reply leaves in one call (most API replies); a page or a log is
    // not copied for that.
    if (body.size() <= 16 * 1024) {
        head.append(body);
        (void)net_send_all(s, head.data(), head.size());
        return;
    }
    // A failed head does not stop the attempt to send the body.
    (void)net_send_all(s, head.data(), head.size(), true);
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
