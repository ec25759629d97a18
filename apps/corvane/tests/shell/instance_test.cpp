#include "shell/instance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"

namespace fs = std::filesystem;
using corvane::hand_off_parse_target;
using corvane::HandOffTarget;

namespace {

using corvane::test::TempDir;
using corvane::test::read_file;

}  // namespace

TEST(HandOffTarget, AcceptsOnlyASanePortAndToken) {
    auto ok = hand_off_parse_target(R"({"puerto":8123,"clave":"0123456789abcdef","pid":5})");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->port, 8123);
    EXPECT_EQ(ok->token, "0123456789abcdef");
    // "pid" is not needed to hand off; extra keys do no harm.
    EXPECT_TRUE(hand_off_parse_target(R"({"clave":"ab","otro":[1],"puerto":1})"));
    EXPECT_TRUE(
        hand_off_parse_target(R"({"puerto":65535,"clave":")" + std::string(64, 'f') + "\"}"));

    const char* refused[] = {
        "",
        "no es json",
        "[8123]",
        R"("8123")",
        R"({"clave":"ab"})",
        R"({"puerto":8123})",
        R"({"puerto":"8123","clave":"ab"})",
        R"({"puerto":8123.0,"clave":"ab"})",
        R"({"puerto":-1,"clave":"ab"})",
        R"({"puerto":0,"clave":"ab"})",
        // 65536 + 8123 must not wrap onto port 8123.
        R"({"puerto":73659,"clave":"ab"})",
        R"({"puerto":18446744073709551615,"clave":"ab"})",
        R"({"puerto":8123,"clave":1})",
        R"({"puerto":8123,"clave":""})",
        R"({"puerto":8123,"clave":"AB"})",
        // Anything that would change the request line or add headers.
        R"({"puerto":8123,"clave":"ab HTTP/1.1\r\nX-Otro: 1\r\n"})",
        R"({"puerto":8123,"clave":"ab&tab=x"})",
    };
    for (const char* text : refused) EXPECT_FALSE(hand_off_parse_target(text)) << text;
    // Deep nesting in a hostile file is refused, not a stack overflow.
    EXPECT_FALSE(hand_off_parse_target(R"({"puerto":1,"clave":"ab","x":)" +
                                       std::string(60000, '[') + std::string(60000, ']') + "}"));
    EXPECT_FALSE(hand_off_parse_target(R"({"puerto":1,"clave":")" + std::string(65, 'a') + "\"}"));
}

TEST(HandOffRequest, ExactBytes) {
    EXPECT_EQ(corvane::hand_off_request(HandOffTarget{4321, "00ff"}, "ajustes"),
              "GET /api/abrir?t=00ff&tab=ajustes HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n"
              "Connection: close\r\n\r\n");
}

TEST(HandOffReply, OnlyAnHttp11OkInValidUtf8Counts) {
    struct Case {
        std::string reply;
        bool ok;
    } cases[] = {
        {"HTTP/1.1 200", true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true},
        {"HTTP/1.1 200 OK\r\n\r\nabierto \xc3\xa1", true},
        {"HTTP/1.1 20", false},
        {"HTTP/1.0 200 OK\r\n\r\n", false},
        {"HTTP/1.1 403 Forbidden\r\n\r\n", false},
        {"HTTP/1.1 2000", true},  // the test reads the first 12 bytes only
        {"http/1.1 200 OK", false},
        {"HTTP/1.1 200 OK\r\n\r\n\xff", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(corvane::hand_off_reply_ok(c.reply), c.ok) << c.reply;
}

TEST(SessionToken, ThirtyTwoLowerHexDigitsAndFreshEachTime) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string t = corvane::ui_session_token_new();
        ASSERT_EQ(t.size(), 32u);
        EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos) << t;
        seen.insert(t);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(InterfaceFile, CompactPrivateReplacedAndReadBack) {
    TempDir dir;
    const auto path = dir.path() / "interfaz.json";
    {
        std::ofstream old(path);
        old << "{\"puerto\":1,\"clave\":\"viejo\",\"pid\":1, \"relleno\": \""
            << std::string(500, 'x') << "\"}\n";
    }
    ::chmod(path.c_str(), 0644);
    const std::string token = corvane::ui_session_token_new();
    ASSERT_TRUE(corvane::interfaz_write(dir.path(), 45678, token, 4242));
    EXPECT_EQ(read_file(path), R"({"puerto":45678,"clave":")" + token + R"(","pid":4242})");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(dir.path() / "interfaz.json.tmp"));

    auto back = hand_off_parse_target(read_file(path));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->port, 45678);
    EXPECT_EQ(back->token, token);

    // A folder that is not there: reported, nothing else happens.
    EXPECT_FALSE(corvane::interfaz_write(dir.path() / "nada", 1, token, 1));
}
