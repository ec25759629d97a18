#include "web/media.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "clips_test_util.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;
namespace fs = std::filesystem;

std::string clip_url(const std::string& ruta_query) {
    return std::string("/clip?t=") + kToken + "&" + ruta_query;
}

TEST(WebClipName, Table) {
    struct Case {
        std::string name;
        std::optional<std::string> want;
    };
    const std::vector<Case> cases = {
        {"Muertes/a.mp4", "Muertes/a.mp4"},
        {"Muertes\\a.mp4", "Muertes/a.mp4"},
        {"2026-01-05\\Bajas\\CRVN_x.mp4", "2026-01-05/Bajas/CRVN_x.mp4"},
        {"Muertes/a.MP4", "Muertes/a.MP4"},
        {"a.Mp4", "a.Mp4"},
        {"ñandú/ácido.mp4", "ñandú/ácido.mp4"},
        {"a.mkv", std::nullopt},
        {"a.mp4.json", std::nullopt},
        {"../a.mp4", std::nullopt},
        {"x/../a.mp4", std::nullopt},
        {"..\\a.mp4", std::nullopt},
        {"./a.mp4", std::nullopt},
        {"Muertes//a.mp4", std::nullopt},
        {"Muertes/a.mp4/", std::nullopt},
        {"/a.mp4", std::nullopt},
        {"\\a.mp4", std::nullopt},
        {"C:/a.mp4", std::nullopt},
        {"a.mp4:x", std::nullopt},
        {"", std::nullopt},
        {".mp4", ".mp4"},
        {std::string("estadisticas.jsonl\0.mp4", 24), std::nullopt},
        {std::string("a\0/b.mp4", 8), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ui_sanitize_rel_path(c.name), c.want) << c.name;
}

// Range headers read as HTTP defines them. "whole" is a header ignored (the
// whole file, 200), "none" a range that cannot be satisfied (416).
TEST(WebRange, Table) {
    using Kind = UiByteRange::Kind;
    struct Case {
        std::string range;
        std::uint64_t size;
        Kind kind;
        std::uint64_t start = 0, end = 0;
    };
    constexpr Kind part = Kind::part, whole = Kind::whole, none = Kind::unsatisfiable;
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    constexpr std::uint64_t kBig = 100'000'000;
    const std::vector<Case> cases = {
        {"bytes=0-", 1000, part, 0, 999},
        {"bytes=100-199", 1000, part, 100, 199},
        {"bytes=5-5", 1000, part, 5, 5},
        {"bytes=900-2000", 1000, part, 900, 999},
        {"bytes=999-", 1000, part, 999, 999},
        // Suffixes are the last bytes; one longer than the file is all of it.
        {"bytes=-500", 1000, part, 500, 999},
        {"bytes=-1", 1000, part, 999, 999},
        {"bytes=-1000", 1000, part, 0, 999},
        {"bytes=-5000", 1000, part, 0, 999},
        // Past the end, or an empty suffix: nothing to send.
        {"bytes=1000-", 1000, none},
        {"bytes=2000-", 1000, none},
        {"bytes=1000-1005", 1000, none},
        {"bytes=-0", 1000, none},
        {"bytes=" + std::to_string(kMax) + "-", 1000, none},
        {"bytes=99999999999999999999999-", 1000, none},
        // Not one well-formed byte range: ignored.
        {"bytes=500-100", 1000, whole},
        {"bytes=5-2", 1000, whole},
        {"bytes=0-10,20-30", 1000, whole},
        {"bytes=0-10, 2000-", 1000, whole},
        {"items=0-5", 1000, whole},
        {"bytes=5", 1000, whole},
        {"bytes", 1000, whole},
        {"bytes=", 1000, whole},
        {"bytes=-", 1000, whole},
        {"bytes=,", 1000, whole},
        {"bytes=10 - 20", 1000, whole},
        {"bytes=+10-+20", 1000, whole},
        {"bytes=x-20", 1000, whole},
        {"bytes=10-x", 1000, whole},
        {"bytes=0x10-", 1000, whole},
        {"bytes=--5", 1000, whole},
        {"bytes=1-2-3", 1000, whole},
        // Blanks around the range and empty list elements are allowed, the
        // unit is case-insensitive.
        {"bytes= 10-20 ", 1000, part, 10, 20},
        {"bytes=0-10,", 1000, part, 0, 10},
        {", bytes=0-10", 1000, whole},
        {"bytes=,0-10", 1000, part, 0, 10},
        {"BYTES=10-20", 1000, part, 10, 20},
        // A reply covers at most 16 MiB past its start.
        {"bytes=0-", kBig, part, 0, 16'777'216},
        {"bytes=20000000-", kBig, part, 20'000'000, 36'777'216},
        {"bytes=0-99999999999999999999", kBig, part, 0, 16'777'216},
        {"bytes=-20000000", kBig, part, 80'000'000, 96'777'216},
        {"bytes=99999000-", kBig, part, 99'999'000, 99'999'999},
        {"bytes=18446744073709551000-", kBig, none},
        {"bytes=0-", 1, part, 0, 0},
        {"bytes=-7", 1, part, 0, 0},
        {"bytes=1-", 1, none},
    };
    for (const auto& c : cases) {
        UiByteRange r = ui_parse_range(c.range, c.size);
        EXPECT_EQ(r.kind, c.kind) << c.range;
        if (c.kind != part || r.kind != part) continue;
        EXPECT_EQ(r.start, c.start) << c.range;
        EXPECT_EQ(r.end, c.end) << c.range;
    }
}

TEST(WebClipMedia, RangeRepliesOnTheWire) {
    ClipsHome home;
    const std::string bytes = pattern_bytes(1000);
    home.put("2026-01-05/Muertes/a.mp4", bytes);
    const std::string whole_head =
        "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nAccept-Ranges: bytes\r\n"
        "Content-Length: 1000\r\nConnection: close\r\n\r\n";
    const std::string unsatisfiable_head =
        "HTTP/1.1 416 Range Not Satisfiable\r\nAccept-Ranges: bytes\r\nContent-Range: bytes */1000\r\n"
        "Content-Length: 0\r\nConnection: close\r\n\r\n";

    Reply whole = get(clip_url("ruta=2026-01-05/Muertes/a.mp4"));
    EXPECT_EQ(whole.raw, whole_head + bytes);

    struct Case {
        std::string range;
        int status;  // 206 with the bytes from..from+length-1, 200 whole, 416 none
        std::size_t from = 0, length = 0;
    };
    const std::vector<Case> cases = {
        {"bytes=0-", 206, 0, 1000},
        {"bytes=100-199", 206, 100, 100},
        {"bytes=900-2000", 206, 900, 100},
        {"bytes=999-", 206, 999, 1},
        {"bytes=-5", 206, 995, 5},
        {"bytes=-5000", 206, 0, 1000},
        {"bytes=1000-", 416},
        {"bytes=2000-", 416},
        {"bytes=-0", 416},
        {"bytes=5-2", 200},
        {"bytes=500-100", 200},
        {"bytes=0-10,20-30", 200},
        {"items=0-5", 200},
        {"bytes=5", 200},
        {"bytes=x-20", 200},
    };
    for (const auto& c : cases) {
        Reply r = get(clip_url("ruta=2026-01-05%5CMuertes%5Ca.mp4"), "Range: " + c.range + "\r\n");
        if (c.status == 206) {
            EXPECT_EQ(r.raw, "HTTP/1.1 206 Partial Content\r\nContent-Type: video/mp4\r\nAccept-Ranges: bytes\r\n"
                             "Content-Range: bytes " + std::to_string(c.from) + "-" +
                                 std::to_string(c.from + c.length - 1) + "/1000\r\nContent-Length: " +
                                 std::to_string(c.length) + "\r\nConnection: close\r\n\r\n" +
                                 bytes.substr(c.from, c.length))
                << c.range;
        } else {
            EXPECT_EQ(r.raw, c.status == 200 ? whole_head + bytes : unsatisfiable_head) << c.range;
        }
    }
    // Only the first "range" header counts, in any letter case.
    Reply first = get(clip_url("ruta=2026-01-05/Muertes/a.mp4"), "RANGE: bytes=10-11\r\nRange: bytes=0-\r\n");
    EXPECT_EQ(first.header("Content-Range"), "bytes 10-11/1000");
}

TEST(WebClipMedia, LargeFileIsSentInCappedRanges) {
    ClipsHome home;
    const fs::path p = home.put("2026-01-05/Bajas/big.mp4", "");
    ASSERT_EQ(::truncate(p.c_str(), 100'000'000), 0);  // sparse
    {
        const int fd = ::open(p.c_str(), O_WRONLY);
        const std::string mark = "MARK";
        ASSERT_EQ(::pwrite(fd, mark.data(), 4, 36'777'213), 4);
        ::close(fd);
    }
    Reply r = get(clip_url("ruta=2026-01-05/Bajas/big.mp4"), "Range: bytes=20000000-\r\n");
    EXPECT_EQ(r.status, "206 Partial Content");
    EXPECT_EQ(r.header("Content-Range"), "bytes 20000000-36777216/100000000");
    EXPECT_EQ(r.header("Content-Length"), "16777217");
    ASSERT_EQ(r.body.size(), 16'777'217u);
    EXPECT_EQ(r.body.substr(r.body.size() - 4), "MARK");

    Reply tail = get(clip_url("ruta=2026-01-05/Bajas/big.mp4"), "Range: bytes=-63222787\r\n");
    EXPECT_EQ(tail.header("Content-Range"), "bytes 36777213-53554429/100000000");
    ASSERT_EQ(tail.body.size(), 16'777'217u);
    EXPECT_EQ(tail.body.substr(0, 4), "MARK");

    Reply top = get(clip_url("ruta=2026-01-05/Bajas/big.mp4"), "Range: bytes=18446744073709551000-\r\n");
    EXPECT_EQ(top.status, "416 Range Not Satisfiable");
    EXPECT_EQ(top.header("Content-Range"), "bytes */100000000");
    EXPECT_TRUE(top.body.empty());
}

// A browser drops range requests it no longer needs: the server (this test
// process) must survive a peer that resets the connection mid-reply.
TEST(WebClipMedia, PeerLeavingMidReply) {
    ClipsHome home;
    const fs::path p = home.put("d/Manual/big.mp4", "");
    ASSERT_EQ(::truncate(p.c_str(), 100'000'000), 0);
    for (int i = 0; i < 5; ++i) {
        int fd = connect_to(server_port());
        ASSERT_GE(fd, 0);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        send_bytes(fd, "GET " + clip_url("ruta=d/Manual/big.mp4") + " HTTP/1.1\r\nHost: " + host_header() +
                           "\r\nRange: bytes=0-\r\n\r\n");
        char buf[1024];
        ASSERT_GT(::recv(fd, buf, sizeof buf, 0), 0);
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    EXPECT_TRUE(wait_for([] { return ui_live_connections() == 0; }, 30'000));
    EXPECT_EQ(get(clip_url("ruta=d/Manual/big.mp4"), "Range: bytes=5-9\r\n").status, "206 Partial Content");
}

TEST(WebClipMedia, EmptyFileIsAnEmptyOk) {
    ClipsHome home;
    home.put("Manual/vacio.mp4", "");
    for (const std::string range : {"", "Range: bytes=0-\r\n", "Range: bytes=-5\r\n", "Range: bytes=-0\r\n",
                                    "Range: bytes=5-2\r\n", "Range: bytes=9-\r\n"}) {
        Reply r = get(clip_url("ruta=Manual/vacio.mp4"), range);
        EXPECT_EQ(r.raw, "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nAccept-Ranges: bytes\r\n"
                         "Content-Length: 0\r\nConnection: close\r\n\r\n")
            << range;
    }
}

TEST(WebClipMedia, VoiceTrack) {
    ClipsHome home;
    home.put("d/Manual/a.mp4", "video");
    home.put("d/Manual/b.mp4", "video b");
    home.put("d/Manual/a_mic.m4a", "voice");
    Reply mic = get(clip_url("ruta=d/Manual/a.mp4&mic=1"));
    EXPECT_EQ(mic.header("Content-Type"), "audio/mp4");
    EXPECT_EQ(mic.body, "voice");
    EXPECT_EQ(get(clip_url("ruta=d/Manual/a.mp4&mic=true")).body, "video");
    EXPECT_EQ(get(clip_url("ruta=d/Manual/a.mp4&mic=")).body, "video");
    Reply none = get(clip_url("ruta=d/Manual/b.mp4&mic=1"));
    EXPECT_EQ(none.status, "404 Not Found");
    EXPECT_EQ(none.body, "?");
}

// Every way of naming something that is not a clip inside the folder gets
// the same 404, quickly, and the connection is closed.
TEST(WebClipMedia, RefusedNamesAndFiles) {
    ClipsHome home;
    home.put("estadisticas.jsonl", "{\"tipo\":\"baja\"}\n");
    test::write_file(home.root() / "secreto.mp4", "secret");
    test::write_file(home.root() / "secreto_mic.m4a", "secret voice");
    home.put("d/Manual/ok.mp4", "ok");
    fs::create_symlink(home.root() / "secreto.mp4", home.clips() / "d/Manual/fuera.mp4");
    fs::create_symlink(home.root(), home.clips() / "d/enlace");
    home.put("d/Manual/voz.mp4", "clip");
    fs::create_symlink(home.root() / "secreto_mic.m4a", home.clips() / "d/Manual/voz_mic.m4a");
    ASSERT_EQ(::mkfifo((home.clips() / "d/Manual/fifo.mp4").c_str(), 0644), 0);
    fs::create_directories(home.clips() / "d/Manual/carpeta.mp4");
    fs::create_directories(home.root() / "clips2");
    test::write_file(home.root() / "clips2" / "x.mp4", "neighbour");

    const std::vector<std::string> refused = {
        "ruta=",
        "",
        "ruta=../secreto.mp4",
        "ruta=..%5Csecreto.mp4",
        "ruta=d/../../secreto.mp4",
        "ruta=" + home.root().string() + "/secreto.mp4",
        "ruta=estadisticas.jsonl%00.mp4",
        "ruta=d/Manual/fuera.mp4",
        "ruta=d/enlace/secreto.mp4",
        "ruta=d/Manual/voz.mp4&mic=1",
        "ruta=d/Manual/fifo.mp4",
        "ruta=d/Manual/carpeta.mp4",
        "ruta=d/Manual/falta.mp4",
        "ruta=../clips2/x.mp4",
        "ruta=d/Manual/ok.mkv",
    };
    for (const auto& q : refused) {
        const auto t0 = std::chrono::steady_clock::now();
        ReadResult rr = exchange("GET " + clip_url(q) + " HTTP/1.1\r\nHost: " + host_header() + "\r\n\r\n");
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_TRUE(rr.closed) << q;
        EXPECT_LT(took, std::chrono::seconds(5)) << q;
        Reply r = parse_reply(rr.bytes);
        EXPECT_EQ(r.status, "404 Not Found") << q;
        EXPECT_EQ(r.header("Content-Type"), "text/plain") << q;
        EXPECT_EQ(r.body, "?") << q;
    }
    EXPECT_EQ(get(clip_url("ruta=d/Manual/ok.mp4")).body, "ok");
}

TEST(WebClipMedia, ResolutionFollowsTheConfiguredFolder) {
    ClipsHome home;
    home.put("2026-01-05/Muertes/a.mp4", "x");
    auto p = ui_resolve_clip_path("2026-01-05\\Muertes\\a.mp4");
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, fs::canonical(home.clips() / "2026-01-05/Muertes/a.mp4"));
    EXPECT_FALSE(ui_resolve_clip_path("2026-01-05/Muertes/b.mp4"));
    // A folder that is itself reached through a link still contains its clips.
    fs::create_symlink(home.clips(), home.root() / "enlace");
    EXPECT_TRUE(ui_resolve_clip_in(home.root() / "enlace", "2026-01-05/Muertes/a.mp4"));
    EXPECT_FALSE(ui_resolve_clip_in(home.root() / "falta", "2026-01-05/Muertes/a.mp4"));
}

}  // namespace
}  // namespace corvane
