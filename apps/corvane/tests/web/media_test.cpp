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

TEST(WebRange, Table) {
    struct Case {
        std::string range;
        std::uint64_t size, start, end, count;
    };
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    const std::vector<Case> cases = {
        {"bytes=0-", 1000, 0, 999, 1000},
        {"bytes=100-199", 1000, 100, 199, 100},
        {"bytes=900-2000", 1000, 900, 999, 100},
        {"bytes=2000-", 1000, 999, 999, 1},
        {"bytes=-500", 1000, 0, 500, 501},
        {"bytes=500-100", 1000, 500, 100, 1},
        {"bytes=0-10,20-30", 1000, 0, 10, 11},
        {"items=0-5", 1000, 0, 999, 1000},
        {"bytes=5", 1000, 0, 999, 1000},
        {"bytes", 1000, 0, 999, 1000},
        {"bytes= 10 - 20 ", 1000, 10, 20, 11},
        {"bytes=+10-+20", 1000, 10, 20, 11},
        {"bytes=x-20", 1000, 0, 20, 21},
        {"bytes=10-x", 1000, 10, 999, 990},
        {"bytes=0-", 100'000'000, 0, 16'777'216, 16'777'217},
        {"bytes=20000000-", 100'000'000, 20'000'000, 36'777'216, 16'777'217},
        {"bytes=0-99999999999999999999", 100'000'000, 0, 16'777'216, 16'777'217},
        // Near the 64-bit limit the cap must not wrap around to a small end.
        {"bytes=18446744073709551000-", 100'000'000, 99'999'999, 99'999'999, 1},
        {"bytes=" + std::to_string(kMax) + "-", 1000, 999, 999, 1},
    };
    for (const auto& c : cases) {
        UiByteRange r = ui_parse_range(c.range, c.size);
        EXPECT_EQ(r.start, c.start) << c.range;
        EXPECT_EQ(r.end, c.end) << c.range;
        EXPECT_EQ(r.count, c.count) << c.range;
    }
}

TEST(WebClipMedia, RangeRepliesOnTheWire) {
    ClipsHome home;
    const std::string bytes = pattern_bytes(1000);
    home.put("2026-01-05/Muertes/a.mp4", bytes);

    Reply whole = get(clip_url("ruta=2026-01-05/Muertes/a.mp4"));
    EXPECT_EQ(whole.raw.substr(0, whole.raw.find("\r\n\r\n") + 4),
              "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nAccept-Ranges: bytes\r\n"
              "Content-Length: 1000\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(whole.body, bytes);

    struct Case {
        std::string range, content_range;
        std::size_t from, length;
    };
    const std::vector<Case> cases = {
        {"bytes=0-", "bytes 0-999/1000", 0, 1000},
        {"bytes=100-199", "bytes 100-199/1000", 100, 100},
        {"bytes=900-2000", "bytes 900-999/1000", 900, 100},
        {"bytes=2000-", "bytes 999-999/1000", 999, 1},
        {"bytes=-500", "bytes 0-500/1000", 0, 501},
        {"bytes=500-100", "bytes 500-100/1000", 500, 1},
        {"bytes=0-10,20-30", "bytes 0-10/1000", 0, 11},
        {"items=0-5", "bytes 0-999/1000", 0, 1000},
        {"bytes=5", "bytes 0-999/1000", 0, 1000},
    };
    for (const auto& c : cases) {
        Reply r = get(clip_url("ruta=2026-01-05%5CMuertes%5Ca.mp4"), "Range: " + c.range + "\r\n");
        EXPECT_EQ(r.raw.substr(0, r.raw.find("\r\n\r\n") + 4),
                  "HTTP/1.1 206 Partial Content\r\nContent-Type: video/mp4\r\nAccept-Ranges: bytes\r\n"
                  "Content-Range: " + c.content_range + "\r\nContent-Length: " + std::to_string(c.length) +
                      "\r\nConnection: close\r\n\r\n")
            << c.range;
        EXPECT_EQ(r.body, bytes.substr(c.from, c.length)) << c.range;
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

    Reply top = get(clip_url("ruta=2026-01-05/Bajas/big.mp4"), "Range: bytes=18446744073709551000-\r\n");
    EXPECT_EQ(top.header("Content-Range"), "bytes 99999999-99999999/100000000");
    EXPECT_EQ(top.body.size(), 1u);
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
    for (const std::string range : {"", "Range: bytes=0-\r\n", "Range: bytes=-5\r\n"}) {
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
