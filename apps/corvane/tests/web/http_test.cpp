#include "web/http.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "web/server.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace std::string_literals;

// Feeds `bytes` to the request reader through a connected socket pair, closing
// the writing side afterwards (end of stream).
std::optional<UiRequest> read_bytes(const std::string& bytes, const UiReadLimits& limits = {}) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    std::thread writer([&] {
        webtest::send_bytes(fds[1], bytes);
        ::shutdown(fds[1], SHUT_WR);
    });
    auto req = ui_read_request(NetSocket{fds[0]}, limits);
    ::close(fds[0]);  // a writer blocked on a dropped request fails now
    writer.join();
    ::close(fds[1]);
    return req;
}

std::string headers_of(int n, const std::string& extra = "") {
    std::string h;
    for (int i = 0; i < n; ++i) h += "X-H" + std::to_string(i) + ": v\r\n" + extra;
    return h;
}

struct ReadCase {
    const char* name;
    std::string bytes;
    bool routed;
    std::string method = {}, path = {}, query = {}, body = {};
    int header_count = -1;  // -1: not checked
};

std::vector<ReadCase> read_cases() {
    const std::string big_body(262'144, 'b');
    const std::string long_target = "/api/visor?n=" + std::string(2 * 1024 * 1024 - 40, 'a');
    return {
        {"plain GET", "GET / HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n", true, "GET", "/", "", "", 1},
        {"no protocol word", "GET /x\r\n\r\n", true, "GET", "/x", "", "", 0},
        {"one word", "GET\r\n\r\n", false},
        {"empty connection", "", false},
        {"blank request line", "\r\n\r\n", false},
        {"first ? splits", "GET /api/visor?a=disco?x=1 HTTP/1.1\r\n\r\n", true, "GET", "/api/visor", "a=disco?x=1", "", 0},
        {"white-space runs", "get \t /p?  HTTP/1.1\r\n\r\n", true, "get", "/p", "", "", 0},
        {"no-break space splits", "GET\u00a0/nb HTTP/1.1\r\n\r\n", true, "GET", "/nb", "", "", 0},
        {"end of stream after request line", "POST /y HTTP/1.1\r\n", true, "POST", "/y", "", "", 0},
        {"line of spaces ends headers", "GET / HTTP/1.1\r\nA: 1\r\n   \r\nB: 2\r\n", true, "GET", "/", "", "", 1},
        {"content-length with spaces", "POST / HTTP/1.1\r\nContent-Length:  12 \r\n\r\nhello world!", true, "POST", "/", "", "hello world!", 1},
        {"content-length plus sign", "POST / HTTP/1.1\r\ncontent-LENGTH: +12\r\n\r\nhello world!tail", true, "POST", "/", "", "hello world!", 1},
        {"content-length 12abc", "POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\nhello world!", true, "POST", "/", "", "", 1},
        {"content-length overflow", "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\nx", true, "POST", "/", "", "", 1},
        {"content-length minus", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\nx", true, "POST", "/", "", "", 1},
        {"first content-length counts", "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 5\r\n\r\nabcde", true, "POST", "/", "", "abc", 2},
        {"64 headers", "GET / HTTP/1.1\r\n" + headers_of(64) + "\r\n", true, "GET", "/", "", "", 64},
        {"65 headers", "GET / HTTP/1.1\r\n" + headers_of(65) + "\r\n", false},
        {"lines without colon do not count", "GET / HTTP/1.1\r\n" + headers_of(64, "junk line\r\n") + "\r\n", true, "GET", "/", "", "", 64},
        {"largest body", "POST / HTTP/1.1\r\nContent-Length: 262144\r\n\r\n" + big_body, true, "POST", "/", "", big_body, 1},
        {"body one byte too large", "POST / HTTP/1.1\r\nContent-Length: 262145\r\n\r\n" + big_body + "b", false},
        {"short body then end", "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", false},
        {"0xFF in a header", "GET / HTTP/1.1\r\nX-A: \xff\r\n\r\n", false},
        {"0xFF in the request line", "GET /\xff HTTP/1.1\r\n\r\n", false},
        {"request line up to 2 MiB", "GET " + long_target + " HTTP/1.1\r\n\r\n", true, "GET", "/api/visor", long_target.substr(11), "", 0},
        {"request line over 2 MiB", "GET " + long_target + std::string(64, 'a') + " HTTP/1.1\r\n\r\n", false},
        {"header line over 16 KiB", "GET / HTTP/1.1\r\nX-Big: " + std::string(16 * 1024, 'v') + "\r\n\r\n", false},
        {"all headers over 256 KiB", "GET / HTTP/1.1\r\n" + [] {
             std::string s;
             for (int i = 0; i < 20; ++i) s += std::string(15'000, 'j') + "\r\n";  // no ':' so none is stored
             return s;
         }() + "\r\n", false},
    };
}

TEST(HttpReader, RequestBytesToFieldsOrDrop) {
    for (const auto& c : read_cases()) {
        SCOPED_TRACE(c.name);
        // Through the real server: a routed request gets one reply (here a
        // refusal, none of these carries the right Host), a dropped one nothing.
        webtest::ReadResult wire = webtest::exchange(c.bytes);
        EXPECT_TRUE(wire.closed);
        if (c.routed) {
            EXPECT_EQ(webtest::parse_reply(wire.bytes).status, "403 Forbidden");
        } else {
            EXPECT_EQ(wire.bytes, "");
        }
        auto req = read_bytes(c.bytes);
        ASSERT_EQ(req.has_value(), c.routed);
        if (!req) continue;
        EXPECT_EQ(req->method, c.method);
        EXPECT_EQ(req->path, c.path);
        EXPECT_EQ(req->query, c.query);
        EXPECT_EQ(req->body, c.body);
        if (c.header_count >= 0) {
            EXPECT_EQ(static_cast<int>(req->headers.size()), c.header_count);
        }
    }
}

TEST(HttpReader, PiecesOfAnySizeGiveTheSameRequest) {
    // The server reads whatever has arrived: a line or a body may be cut anywhere.
    for (const auto& c : read_cases()) {
        SCOPED_TRACE(c.name);
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{8192}}) {
            if (piece == 1 && c.bytes.size() > 100'000) continue;  // the large cases take long byte by byte
            UiRequestParser parser;
            auto st = UiRequestParser::Status::more;
            for (std::size_t at = 0; at < c.bytes.size() && st == UiRequestParser::Status::more; at += piece)
                st = parser.feed(std::string_view(c.bytes).substr(at, piece));
            if (st == UiRequestParser::Status::more) st = parser.end_of_stream();
            ASSERT_EQ(st == UiRequestParser::Status::complete, c.routed) << piece;
            if (!c.routed) continue;
            UiRequest req = parser.take();
            EXPECT_EQ(req.method, c.method);
            EXPECT_EQ(req.path, c.path);
            EXPECT_EQ(req.query, c.query);
            EXPECT_EQ(req.body, c.body);
            if (c.header_count >= 0) {
                EXPECT_EQ(static_cast<int>(req.headers.size()), c.header_count);
            }
        }
    }
}

TEST(HttpReader, HeadersAreTrimmedAndKeptInOrder) {
    auto req = read_bytes("GET / HTTP/1.1\r\n  Name :  v a l  \r\nEmpty:\r\nName: second\r\nURL: http://x:1\r\n\r\n");
    ASSERT_TRUE(req);
    HttpHeaders want = {{"Name", "v a l"}, {"Empty", ""}, {"Name", "second"}, {"URL", "http://x:1"}};
    EXPECT_EQ(req->headers, want);
}

TEST(HttpReader, SlowSenderIsDroppedAtTheRequestDeadline) {
    UiReadLimits limits;
    limits.read_timeout_ms = 1000;
    limits.request_timeout_ms = 1500;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        // Every byte arrives well within the per-read time-out.
        const std::string req = "GET / HTTP/1.1\r\nX-Slow: " + std::string(200, 'z');
        for (char c : req) {
            if (done || !webtest::send_bytes(fds[1], std::string(1, c))) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    auto req = ui_read_request(NetSocket{fds[0]}, limits);
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    ::close(fds[0]);
    writer.join();
    ::close(fds[1]);
    EXPECT_FALSE(req);
    EXPECT_GE(took, std::chrono::milliseconds(1400));
    EXPECT_LT(took, std::chrono::milliseconds(10'000));
}

TEST(HttpQuery, ParameterDecoding) {
    struct Case {
        const char* query;
        std::optional<std::string> want;
    };
    const Case cases[] = {
        {"clip=a%20b&clip=c", "a b"},
        {"x=1&clip", std::nullopt},
        {"clip=%zz", "%zz"},
        {"clip=%4", "%4"},
        {"clip=%", "%"},
        {"clip=a+b", "a b"},
        {"clip=%C3%A1", "\u00e1"},
        {"clip=%FF", "\ufffd"},
        {"CLIP=1", std::nullopt},
        {"clip=%+A", "\n"},
        {"clip=%-A", "%-A"},
        {"clip=%00.mp4", "\0.mp4"s},
        {"clip=", ""},
        {"&&clip=x&", "x"},
        {"clip==x", "=x"},
        {"a%3D=1&clip=%41%42c", "ABc"},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(ui_query_param(c.query, "clip"), c.want);
    }
    EXPECT_EQ(ui_query_param("a%3D=1", "a%3D"), "1");  // names are not decoded
}

TEST(HttpHeaders, LookupIgnoresAsciiCaseOnly) {
    HttpHeaders h = {{"HOST", "x"}, {"host", "y"}, {"Hostx", "z"}};
    EXPECT_EQ(http_header_get(h, "host"), "x");
    EXPECT_EQ(http_header_get(h, "hostx"), "z");
    EXPECT_EQ(http_header_get(h, "hos"), std::nullopt);
    EXPECT_EQ(http_header_get({{"K\u00c9Y", "1"}}, "k\u00e9y"), std::nullopt);
}

TEST(HttpReply, HeadCarriesExactlyTheSixLines) {
    EXPECT_EQ(ui_response_head("200 OK", "text/plain", 2),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
              "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");

    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    NetSocket s{fds[0]};
    nlohmann::ordered_json v = nlohmann::ordered_json::object();
    v["z"] = "ñ\xff";
    v["a"] = 1;
    ui_send_json(s, v);
    net_close(s);
    auto got = webtest::read_until_closed(fds[1]);
    ::close(fds[1]);
    const std::string body = "{\"z\":\"ñ\ufffd\",\"a\":1}";
    EXPECT_EQ(got.bytes, ui_response_head("200 OK", "application/json; charset=utf-8", body.size()) + body);
}

TEST(HttpBody, JsonBodyParsing) {
    EXPECT_TRUE(ui_parse_json_body("").is_null());
    EXPECT_TRUE(ui_parse_json_body("{\"a\":").is_null());
    EXPECT_TRUE(ui_parse_json_body("{\"a\":\"\xff\"}").is_null());
    EXPECT_EQ(ui_parse_json_body("{\"a\":\"x\",\"b\":[1]}").dump(), "{\"a\":\"x\",\"b\":[1]}");
    EXPECT_TRUE(ui_parse_json_body(std::string(300, '[') + std::string(300, ']')).is_null());
    EXPECT_FALSE(ui_parse_json_body(std::string(200, '[') + std::string(200, ']')).is_null());
    // Brackets inside strings are not nesting.
    EXPECT_EQ(ui_parse_json_body("[\"" + std::string(300, '[') + "\\\"\"]")[0].get<std::string>().size(), 301u);
}

}  // namespace
}  // namespace corvane
