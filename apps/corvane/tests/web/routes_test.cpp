#include "web/routes.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "base/log.h"
#include "../support/temp_dir.h"
#include "base/paths.h"
#include "web/assets.h"
#include "web/clips_page.h"
#include "web/templates.h"
#include "platform/texts.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;

constexpr const char* kWelcome = "Abre Corvane desde su ícono junto al reloj.";
constexpr const char* kReopenClips = "Abre Corvane y vuelve a abrir los Clips.";
constexpr const char* kPlain = "text/plain";
constexpr const char* kPlainUtf8 = "text/plain; charset=utf-8";
constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kHtml = "text/html; charset=utf-8";

struct GuardCase {
    const char* name;
    std::string method, target;
    std::optional<std::string> host;  // nullopt: no Host line
    std::string extra;                // further header lines
    std::string status, type, body;   // body "" = not compared (pages)
};

TEST(WebGuards, Matrix) {
    const std::string H = host_header();
    const std::string P = std::to_string(server_port());
    const std::string T = std::string("t=") + kToken;
    const std::string K = key_header();
    const std::vector<GuardCase> cases = {
        {"page with token", "GET", "/ajustes?" + T, H, "", "200 OK", kHtml, ""},
        {"localhost host", "GET", "/ajustes?" + T, "localhost:" + P, "", "403 Forbidden", kPlain, "no"},
        {"no host", "GET", "/ajustes?" + T, std::nullopt, "", "403 Forbidden", kPlain, "no"},
        {"host without port", "GET", "/ajustes?" + T, "127.0.0.1", "", "403 Forbidden", kPlain, "no"},
        {"host with trailing dot", "GET", "/?" + T, "127.0.0.1.:" + P, "", "403 Forbidden", kPlain, "no"},
        {"other port", "GET", "/?" + T, "127.0.0.1:1", "", "403 Forbidden", kPlain, "no"},
        {"host checked before the key", "GET", "/api/pestana", "localhost:" + P, K, "403 Forbidden", kPlain, "no"},
        {"page without t", "GET", "/ajustes", H, "", "403 Forbidden", kPlainUtf8, kWelcome},
        {"home without t", "GET", "/", H, "", "403 Forbidden", kPlainUtf8, kWelcome},
        {"clips page, wrong t", "GET", "/clips?t=x", H, "", "403 Forbidden", kPlainUtf8, kWelcome},
        {"help, t in upper case", "GET", "/ayuda?t=0123456789ABCDEF0123456789ABCDEF", H, "", "403 Forbidden", kPlainUtf8, kWelcome},
        {"media without t", "GET", "/clip", H, "", "403 Forbidden", kPlainUtf8, kReopenClips},
        {"analysis without t", "GET", "/analisis?clip=a.mp4", H, "", "403 Forbidden", kPlainUtf8, kReopenClips},
        {"viewer script without t", "GET", "/api/visor", H, "", "403 Forbidden", kPlain, "clave"},
        {"open without t", "GET", "/api/abrir?tab=x", H, "", "403 Forbidden", kPlain, "clave"},
        {"page token in the header only", "GET", "/ajustes", H, K, "403 Forbidden", kPlainUtf8, kWelcome},
        {"t percent-encoded", "GET", "/ayuda?t=%30123456789abcdef0123456789abcdef", H, "", "200 OK", kHtml, ""},
        {"POST to a page is an API request", "POST", "/ajustes?" + T, H, "", "403 Forbidden", kPlain, "clave"},
        {"POST to a page with the key", "POST", "/ajustes?" + T, H, K, "404 Not Found", kPlain, "?"},
        {"lower-case get is an API request", "get", "/ajustes?" + T, H, "", "403 Forbidden", kPlain, "clave"},
        {"HEAD is an API request", "HEAD", "/?" + T, H, K, "404 Not Found", kPlain, "?"},
        {"unknown path without key", "GET", "/nada", H, "", "403 Forbidden", kPlain, "clave"},
        {"unknown path with key", "GET", "/nada", H, K, "404 Not Found", kPlain, "?"},
        {"API with key", "GET", "/api/pestana", H, K, "200 OK", kJsonType, ""},
        {"key name in capitals", "GET", "/api/pestana", H, std::string("X-CRVN-CLAVE: ") + kToken + "\r\n", "200 OK", kJsonType, ""},
        {"key name in lower case", "GET", "/api/pestana", H, std::string("x-crvn-clave: ") + kToken + "\r\n", "200 OK", kJsonType, ""},
        {"key value in capitals", "GET", "/api/pestana", H, "X-CRVN-Clave: 0123456789ABCDEF0123456789ABCDEF\r\n", "403 Forbidden", kPlain, "clave"},
        {"key prefix only", "GET", "/api/pestana", H, "X-CRVN-Clave: 0123456789abcdef\r\n", "403 Forbidden", kPlain, "clave"},
        {"only the first key header counts", "GET", "/api/pestana", H, "X-CRVN-Clave: nope\r\n" + K, "403 Forbidden", kPlain, "clave"},
        {"key in t does not pass an API route", "GET", "/api/pestana?" + T, H, "", "403 Forbidden", kPlain, "clave"},
        {"foreign origin", "GET", "/api/pestana", H, K + "Origin: http://localhost:" + P + "\r\n", "403 Forbidden", kPlain, "origen"},
        {"https origin", "GET", "/api/pestana", H, K + "Origin: https://127.0.0.1:" + P + "\r\n", "403 Forbidden", kPlain, "origen"},
        {"null origin", "GET", "/api/pestana", H, K + "Origin: null\r\n", "403 Forbidden", kPlain, "origen"},
        {"own origin", "GET", "/api/pestana", H, K + "ORIGIN: http://127.0.0.1:" + P + "\r\n", "200 OK", kJsonType, ""},
        {"origin checked after the key", "GET", "/api/pestana", H, "Origin: http://evil\r\n", "403 Forbidden", kPlain, "clave"},
        {"DELETE on an API path", "DELETE", "/api/pestana", H, K, "404 Not Found", kPlain, "?"},
        {"POST on a GET route", "POST", "/api/pestana", H, K, "404 Not Found", kPlain, "?"},
        {"paths are exact", "GET", "/api/pestana/", H, K, "404 Not Found", kPlain, "?"},
        {"paths are not decoded", "GET", "/api/pest%61na", H, K, "404 Not Found", kPlain, "?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string req = c.method + " " + c.target + " HTTP/1.1\r\n";
        if (c.host) req += "Host: " + *c.host + "\r\n";
        req += c.extra + "\r\n";
        Reply r = parse_reply(exchange(req).bytes);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.header("Content-Type"), c.type);
        if (!c.body.empty()) {
            EXPECT_EQ(r.body, c.body);
        }
        EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    }
}

TEST(WebPages, PlaceholdersAreFilled) {
    for (const char* path : {"/", "/ajustes", "/ayuda"}) {
        SCOPED_TRACE(path);
        Reply r = get(std::string(path) + "?t=" + kToken + "&embed=1");
        ASSERT_EQ(r.status, "200 OK");
        EXPECT_EQ(r.raw.substr(0, r.raw.find("\r\n\r\n") + 4),
                  ui_response_head("200 OK", kHtml, r.body.size()));
        for (const char* ph : {"__TOKEN__", "__VERSION__", "__BUILD_DATE__"}) EXPECT_EQ(r.body.find(ph), std::string::npos) << ph;
        EXPECT_NE(r.body.find(kToken), std::string::npos);
        EXPECT_NE(r.body.find("0.10.45"), std::string::npos);
    }
    EXPECT_NE(get(std::string("/ayuda?t=") + kToken).body.find("2026-10-25"), std::string::npos);
}

// The desktop's words and the default clips folder stand where the settings
// and help pages name them; a home folder with quotes or "</script>" in its
// name stays one string of the script.
TEST(WebPages, DesktopWordsAndTheDefaultFolderAreFilledIn) {
    const char* old_home = std::getenv("HOME");
    const std::string keep = old_home ? old_home : "";
    const std::string home = "/tmp/a\"b</script><!--c";
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    const std::string settings = get(std::string("/ajustes?t=") + kToken).body;
    const std::string help = get(std::string("/ayuda?t=") + kToken).body;
    if (old_home) ::setenv("HOME", keep.c_str(), 1);
    else ::unsetenv("HOME");
    std::size_t used = 0;
    for (const PageDesktopText& t : kPageDesktopTexts) {
        SCOPED_TRACE(std::string(t.placeholder));
        // Filled as they are into markup and into quoted script strings.
        EXPECT_EQ(t.text.find_first_of("'\"\\<>&"), std::string_view::npos);
        EXPECT_EQ(settings.find(t.placeholder), std::string::npos);
        EXPECT_EQ(help.find(t.placeholder), std::string::npos);
        used += settings.find(t.text) != std::string::npos || help.find(t.text) != std::string::npos;
    }
    EXPECT_EQ(used, std::size(kPageDesktopTexts));
    EXPECT_NE(settings.find("const DEFAULT_FOLDER = \"/tmp/a\\\"b<\\/script>\\u003C!--c/Videos/Corvane\";"),
              std::string::npos);
    for (const std::string* page : {&settings, &help}) {
        EXPECT_EQ(page->find("Windows"), std::string::npos);
        EXPECT_EQ(page->find("Bloc de notas"), std::string::npos);
    }
}

TEST(WebPages, AnalysisClipLiteralCannotBreakThePage) {
    struct Case {
        const char* query;
        const char* literal;
    };
    const Case cases[] = {
        {"clip=a</script>.mp4", "\"a<\\/script>.mp4\""},
        {"clip=%3C!--%3Cscript%3E", "\"\\u003C!--<script>\""},
        {"clip=__TOKEN__%22__VERSION__", "\"__TOKEN__\\\"__VERSION__\""},
        {"clip=D%C3%ADa%5Cb", "\"D\u00eda\\\\b\""},
        {"x=1", "\"\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        Reply r = get(std::string("/analisis?t=") + kToken + "&" + c.query);
        ASSERT_EQ(r.status, "200 OK");
        EXPECT_NE(r.body.find(std::string("const CLIP = ") + c.literal + ";"), std::string::npos) << r.body;
        EXPECT_EQ(r.body.find("\"__CLIP__\""), std::string::npos);
        EXPECT_NE(r.body.find(std::string("const TOKEN = \"") + kToken), std::string::npos);
    }
}

TEST(WebTemplates, OnePassReplacement) {
    const UiTemplateFills fills = {{"__TOKEN__", "__VERSION__"}, {"__VERSION__", "v1"}, {"\"__CLIP__\"", "\"__TOKEN__\""}};
    EXPECT_EQ(ui_fill_template("a __TOKEN__ b __VERSION__ c \"__CLIP__\" __TOKEN____VERSION__", fills),
              "a __VERSION__ b v1 c \"__TOKEN__\" __VERSION__v1");
    EXPECT_EQ(ui_fill_template("", fills), "");
    EXPECT_EQ(ui_fill_template("__TOK__VERSION__", fills), "__TOKv1");
    EXPECT_EQ(ui_fill_template("xyz", {}), "xyz");
}

TEST(WebTemplates, StoredPagesAreSelfContainedSpanishPages) {
    struct Page {
        const char* asset;
        const char* title;
        std::vector<const char*> placeholders;
    };
    const Page pages[] = {
        {"pages/inicio.html", "Corvane", {"__TOKEN__", "__VERSION__"}},
        {"pages/ajustes.html", "Corvane · Ajustes", {"__TOKEN__", "__VERSION__"}},
        {"pages/ayuda.html", "Corvane · Ayuda", {"__TOKEN__", "__VERSION__", "__BUILD_DATE__"}},
        {"pages/analisis.html", "Corvane · Análisis con IA", {"__TOKEN__", "__VERSION__", "\"__CLIP__\""}},
        {"pages/clips.html", "Corvane · Clips", {"__VERSION__"}},
    };
    for (const auto& p : pages) {
        SCOPED_TRACE(p.asset);
        auto bytes = embedded_asset(p.asset);
        ASSERT_TRUE(bytes);
        std::string page(*bytes);
        EXPECT_NE(page.find("<html lang=\"es\">"), std::string::npos);
        EXPECT_NE(page.find(std::string("<title>") + p.title + "</title>"), std::string::npos);
        for (const char* ph : p.placeholders) EXPECT_NE(page.find(ph), std::string::npos) << ph;
        EXPECT_EQ(page.find("@FONT_RAJ@"), std::string::npos);
        EXPECT_EQ(page.find("@LOGO_PNG@"), std::string::npos);
        // Everything the page loads (images, fonts, scripts, icons) is inline.
        for (const char* load : {" src=\"", "url(\"", "rel=\"icon\" type=\"image/png\" href=\""}) {
            for (size_t at = page.find(load); at != std::string::npos; at = page.find(load, at + 1)) {
                EXPECT_EQ(page.compare(at + std::strlen(load), 5, "data:"), 0) << page.substr(at, 60);
            }
        }
    }
}

TEST(WebTemplates, ClipsPageHoldsEachOfItsPlaceholdersOnce) {
    auto bytes = embedded_asset(kClipsPageAsset);
    ASSERT_TRUE(bytes);
    const std::string_view page = *bytes;
    for (const char* ph : {"/*__DATA__*/[]", "/*__CLIPS__*/{}", "/*__DISCO__*/null", "__VERSION__", "__GENERATED__",
                           "__VIEWER_KEY__", "__GENSTAMP__", "/*__API__*/null"}) {
        SCOPED_TRACE(ph);
        const size_t first = page.find(ph);
        ASSERT_NE(first, std::string_view::npos);
        EXPECT_EQ(page.find(ph, first + 1), std::string_view::npos);
    }
    // The quoted counter and the footer sentence stand where the page reads them.
    EXPECT_NE(page.find("const GEN = \"__GENSTAMP__\";"), std::string_view::npos);
    EXPECT_NE(page.find("Abre esta ventana con __VIEWER_KEY__."), std::string_view::npos);
}

TEST(WebAssets, EmbeddedBytesMatchTheFiles) {
    auto all = embedded_assets();
    ASSERT_FALSE(all.empty());
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(std::string(all[i].name));
        if (i > 0) {
            EXPECT_LT(all[i - 1].name, all[i].name);
        }
        // The build step makes the pages self-contained; every other file is embedded as it is.
        const std::string file =
            test::read_file(std::filesystem::path(CORVANE_BUILT_ASSETS_DIR) / std::string(all[i].name));
        EXPECT_EQ(all[i].bytes, file);
        EXPECT_EQ(embedded_asset(all[i].name), all[i].bytes);
    }
    EXPECT_FALSE(embedded_asset("pages"));
    EXPECT_FALSE(embedded_asset("pages/nada.html"));
}

// Records what the hooks were asked to do.
struct HookLog {
    std::mutex mutex;
    std::vector<std::string> opened;
    void install(std::uint64_t clips = 0) {
        UiHooks h;
        h.open_window = [this](const std::string& tab) {
            std::lock_guard lock(mutex);
            opened.push_back(tab);
        };
        h.clips_saved = [clips] { return clips; };
        ui_set_hooks(std::move(h));
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return opened.size();
    }
};

TEST(WebOpen, TabIsCutAndOpenedAfterTheReply) {
    HookLog log;
    log.install();
    struct Case {
        const char* query;
        const char* tab;
    };
    const Case cases[] = {
        {"&tab=ajustes:audio", "ajustes:audio"},
        {"&tab=../../x", "x"},
        {"&tab=ayuda_registro%0D%0AX:1", "ayuda_registroX:1"},
        {"&tab=aaaaaaaaaabbbbbbbbbbccccccccccddddddddddeeeeeeeeee", "aaaaaaaaaabbbbbbbbbbccccccccccdddddddddd"},
        {"", "clips"},
        {"&tab=", ""},
        {"&tab=%00%2F%C3%A1", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        const size_t before = log.count();
        Reply r = get(std::string("/api/abrir?t=") + kToken + c.query);
        EXPECT_EQ(r.raw, ui_response_head("200 OK", kPlain, 2) + "ok");
        ASSERT_TRUE(wait_for([&] { return log.count() == before + 1; }, 10'000));
        std::lock_guard lock(log.mutex);
        EXPECT_EQ(log.opened.back(), c.tab);
    }
    ui_set_hooks({});
}

TEST(WebOpen, HandOffRequestOfASecondStart) {
    HookLog log;
    log.install();
    // Exactly what a second start sends; it only looks at the beginning of the reply.
    auto raw = exchange(std::string("GET /api/abrir?t=") + kToken + "&tab=ajustes HTTP/1.1\r\nHost: " + host_header() +
                        "\r\nConnection: close\r\n\r\n", false);
    EXPECT_TRUE(raw.closed);
    EXPECT_EQ(raw.bytes.rfind("HTTP/1.1 200", 0), 0u);
    ASSERT_TRUE(wait_for([&] { return log.count() == 1; }, 10'000));
    EXPECT_EQ(log.opened[0], "ajustes");
    auto refused = exchange("GET /api/abrir?t=0&tab=ajustes HTTP/1.1\r\nHost: " + host_header() + "\r\n\r\n");
    EXPECT_EQ(refused.bytes.rfind("HTTP/1.1 403", 0), 0u);
    ui_set_hooks({});
}

TEST(WebPendingTab, TakenOnceWithTheClipCounter) {
    HookLog log;
    log.install(7);
    ui_pending_tab_take();
    ui_pending_tab_set("ajustes:audio");
    Reply first = get("/api/pestana", key_header());
    Reply second = get("/api/pestana", key_header());
    EXPECT_EQ(first.body, "{\"pestana\":\"ajustes:audio\",\"clips\":7}");
    EXPECT_EQ(second.body, "{\"pestana\":null,\"clips\":7}");
    ui_set_hooks({});
    EXPECT_EQ(get("/api/pestana", key_header()).body, "{\"pestana\":null,\"clips\":0}");
}

TEST(WebLog, TailAndPath) {
    test::TempDir scratch;
    const auto& dir = scratch.path();
    paths_set_app_dir_for_tests(dir);
    log_open();
    for (int i = 0; i < 450; ++i) log_line("[PRUEBA] línea " + std::to_string(i) + " </script>");

    Reply r = get("/api/registro", key_header() + "Content-Type: application/json\r\nContent-Length: 4\r\n\r\nnull");
    ASSERT_EQ(r.status, "200 OK");
    auto v = nlohmann::ordered_json::parse(r.body);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v.begin().key(), "texto");
    const std::string text = v["texto"];
    EXPECT_EQ(text, log_read_tail());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 399);
    EXPECT_NE(text.find("[PRUEBA] línea 50 </script>"), std::string::npos);
    EXPECT_EQ(text.find("[PRUEBA] línea 49 "), std::string::npos);
    EXPECT_EQ(v["ruta"], (dir / "data" / "corvane.log").string());

    log_reset_for_tests();
    paths_set_app_dir_for_tests({});
}

TEST(WebIdent, Sanitising) {
    EXPECT_EQ(ui_sanitize_ident("ayuda:actualizaciones"), "ayuda:actualizaciones");
    EXPECT_EQ(ui_sanitize_ident("a-b.c/d e\u00e1_1"), "abcde_1");
    EXPECT_EQ(ui_sanitize_ident(std::string(39, '-') + std::string(45, 'z')), std::string(40, 'z'));
    EXPECT_EQ(ui_default_tab(), "clips");
}

TEST(WebRouteTable, EveryRouteIsReachable) {
    // Each entry is distinct, and a page route is one of the guarded page paths.
    auto table = ui_route_table();
    for (size_t i = 0; i < table.size(); ++i)
        for (size_t j = i + 1; j < table.size(); ++j)
            EXPECT_FALSE(table[i].method == table[j].method && table[i].path == table[j].path) << table[i].path;
    for (const auto& r : table) {
        SCOPED_TRACE(std::string(r.path));
        if (r.guard != UiGuard::page) continue;
        EXPECT_EQ(r.method, "GET");
        Reply refused = get(std::string(r.path));
        EXPECT_EQ(refused.status, "403 Forbidden");
    }
}

}  // namespace
}  // namespace corvane
