#include "web/visor.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "clips/history.h"
#include "clips/library.h"
#include "clips_test_util.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;
namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// The reply body of "/api/visor" for a query (without "t").
std::string visor(const std::string& query) {
    Reply r = get(std::string("/api/visor?t=") + kToken + "&" + query);
    EXPECT_EQ(r.status, "200 OK");
    EXPECT_EQ(r.header("Content-Type"), "application/javascript; charset=utf-8");
    return r.body;
}

std::string wrap(const std::string& json) { return "window.__crvnVisor && window.__crvnVisor(" + json + ");"; }

constexpr const char* kA = "2026-01-05/Muertes/CRVN_2026-01-05_21-03-11_muerte.mp4";
constexpr const char* kB = "2026-01-05/Bajas/CRVN_2026-01-05_21-04-00_baja.mp4";

TEST(WebVisor, SimpleRepliesTable) {
    ClipsHome home("[clips]\nlimite_disco_gb = 2\n");
    home.put(kA, "12345");
    home.put(kB, "1234567");
    home.put("2026-01-05/Manual/CRVN_m.mp4", "123");
    struct Case {
        std::string query, body;
    };
    const std::vector<Case> cases = {
        {"", wrap(R"J({"ok":false,"error":"acción desconocida"})J")},
        {"a=Disco", wrap(R"J({"ok":false,"error":"acción desconocida"})J")},
        {"a=disco", wrap(R"J({"auto":12,"auto_n":2,"archivados":0,"archivados_n":0,"manuales":3,"manuales_n":1,"limite":2147483648,"ok":true})J")},
        {"a=archivar&clip=../x.mp4", wrap(R"J({"ok":false,"error":"el clip ya no existe"})J")},
        {"a=archivar&clip=2026-01-05/Muertes/falta.mp4", wrap(R"J({"ok":false,"error":"el clip ya no existe"})J")},
        {"a=archivar_varios&clips=[1]&v=1", wrap(R"J({"ok":false,"error":"no se pudo archivar (¿se borraron los clips?)"})J")},
        {"a=archivar_varios&clips=[\"x.mp4\"]%20x", wrap(R"J({"ok":false,"error":"no se pudo archivar (¿se borraron los clips?)"})J")},
        {"a=borrar_clip&clip=../x.mp4", wrap(R"J({"ok":false,"error":"clip no válido"})J")},
        {"a=borrar_clip&clip=x%00.mp4", wrap(R"J({"ok":false,"error":"clip no válido"})J")},
        {"a=borrar_evento&i=-3", wrap(R"J({"ok":false,"error":"evento no válido"})J")},
        {"a=borrar_evento&i=", wrap(R"J({"ok":false,"error":"evento no válido"})J")},
        {"a=borrar_evento&i=%2B", wrap(R"J({"ok":false,"error":"evento no válido"})J")},
        {"a=borrar_evento&i=%203", wrap(R"J({"ok":false,"error":"evento no válido"})J")},
        {"a=borrar_evento&i=18446744073709551616", wrap(R"J({"ok":false,"error":"evento no válido"})J")},
        {"a=borrar_evento&i=%2B3", wrap(R"J({"ok":false,"error":"ese evento ya no existe (vuelve a abrir los Clips)"})J")},
        {"a=borrar_eventos&ev=[[5.0,\"f\",\"h\",\"baja\"],[5e0,\"f\",\"h\",\"baja\"],[-1,\"f\",\"h\",\"baja\"],[\"5\",\"f\",\"h\",\"baja\"],[5,\"f\",\"h\"]]",
         wrap(R"J({"ok":false,"error":"no hay eventos seleccionados"})J")},
        {"a=borrar_eventos&ev=", wrap(R"J({"ok":false,"error":"no hay eventos seleccionados"})J")},
        {"a=borrar_eventos&ev=[[0,\"f\",\"h\",\"baja\"]]", wrap(R"J({"ok":false,"error":"ese evento ya no existe (vuelve a abrir los Clips)"})J")},
    };
    for (const auto& c : cases) EXPECT_EQ(visor(c.query), c.body) << c.query;
}

TEST(WebVisor, ArchiveFlagValues) {
    ClipsHome home;
    home.put(kA, "x");
    const fs::path clip = home.clips() / kA;
    for (const auto& [v, want] : std::vector<std::pair<std::string, bool>>{
             {"&v=0", false}, {"&v=1", true}, {"&v=0", false}, {"&v=true", true}, {"&v=0", false}, {"&v=00", true},
             {"&v=0", false}, {"", true}}) {
        EXPECT_EQ(visor(std::string("a=archivar&clip=") + kA + v),
                  wrap(std::string("{\"archivado\":") + (want ? "true" : "false") + ",\"ok\":true}"))
            << v;
        EXPECT_EQ(clips_is_archived(clip), want) << v;
    }
    home.put(kB, "y");
    EXPECT_EQ(visor(std::string("a=archivar_varios&v=1&clips=[\"") + kA + "\",\"" + kB + "\",\"falta.mp4\",\"../x.mp4\"]"),
              wrap(R"J({"clips":2,"archivado":true,"ok":true})J"));
    EXPECT_TRUE(clips_is_archived(home.clips() / kB));
}

// "borrar_clip": the clip and its companions go, its kills, knock-downs and
// deaths leave the history, other events lose the clip, and every other line
// is written back byte for byte.
TEST(WebVisor, DeleteClipRewritesTheHistoryExactly) {
    ClipsHome home;
    home.put(kA, "x");
    home.put(fs::path(kA).replace_extension("json").string(), "{}");
    home.put(clips_mic_path(kA).string(), "voz");
    const std::string keep1 = "  {\"tipo\":\"baja\",\"clip\":\"" + std::string(kB) + "\"}  ";
    const std::string keep2 = std::string("{\"tipo\":\"muerte\",\"clip\":\"") + kA + "\"";  // torn line
    const std::string hist = keep1 + "\r\n" + "{\"tipo\":\"muerte\",\"hora\":\"1\",\"clip\":\"" + kA + "\"}\n" +
                             "{\"tipo\":\"killcam\",\"enemigo\":\"Zoë\",\"clip\":\"" + kA + "\",\"x\":1}\n" +
                             "\n" + keep2 + "\n" + "[\"" + kA + "\"]\n" + "{\"tipo\":\"baja\",\"clip\":\"" + kA + "\"}";
    home.put("estadisticas.jsonl", hist);
    HistoryChangedFlag.store(false);
    EXPECT_EQ(visor(std::string("a=borrar_clip&clip=") + "2026-01-05%5CMuertes%5CCRVN_2026-01-05_21-03-11_muerte.mp4"),
              wrap(R"J({"eventos":2,"clip_borrado":true,"ok":true})J"));
    EXPECT_EQ(test::read_file(home.history()),
              keep1 + "\n" + "{\"tipo\":\"killcam\",\"enemigo\":\"Zoë\",\"clip\":null,\"x\":1}\n\n" + keep2 + "\n[\"" +
                  kA + "\"]\n");
    EXPECT_FALSE(fs::exists(home.clips() / kA));
    EXPECT_FALSE(fs::exists(clips_mic_path(home.clips() / kA)));
    EXPECT_FALSE(fs::exists(clips_sidecar_path(home.clips() / kA)));
    EXPECT_TRUE(HistoryChangedFlag.load());

    // Already gone: still answers clip_borrado and leaves nothing to remove.
    EXPECT_EQ(visor(std::string("a=borrar_clip&clip=") + kA), wrap(R"J({"eventos":0,"clip_borrado":true,"ok":true})J"));
}

TEST(WebVisor, DeleteClipNeverWipesAnUnreadableHistory) {
    ClipsHome home;
    home.put(kA, "x");
    const std::string bad = std::string("{\"tipo\":\"baja\",\"clip\":\"") + kA + "\"}\n\xc3(\n";
    home.put("estadisticas.jsonl", bad);
    EXPECT_EQ(visor(std::string("a=borrar_clip&clip=") + kA),
              wrap(R"J({"ok":false,"error":"el historial no es UTF-8 válido"})J"));
    EXPECT_EQ(test::read_file(home.history()), bad);
    EXPECT_TRUE(fs::exists(home.clips() / kA));

    // A failed rewrite is reported and leaves the history as it was.
    home.put("estadisticas.jsonl", "{\"tipo\":\"baja\"}\n");
    fs::create_directories(home.clips() / "estadisticas.jsonl.tmp" / "x");
    const std::string body = visor(std::string("a=borrar_clip&clip=") + kA);
    EXPECT_TRUE(body.starts_with(wrap("").substr(0, 41) + R"J({"ok":false,"error":"no se pudo escribir ()J")) << body;
    EXPECT_EQ(test::read_file(home.history()), "{\"tipo\":\"baja\"}\n");
}

// A folder inside the clips folder that links elsewhere never lets a
// deletion reach the files there; a linked clip file goes as a link only.
TEST(WebVisor, DeleteClipStaysInsideTheClipsFolder) {
    ClipsHome home;
    const fs::path victim = home.root() / "ajeno";
    fs::create_directories(victim);
    test::write_file(victim / "x.mp4", "ajeno");
    test::write_file(victim / "x.json", "{}");
    test::write_file(victim / "x_mic.m4a", "voz");
    fs::create_directories(home.clips());
    fs::create_symlink(victim, home.clips() / "L");
    const std::string hist = "{\"tipo\":\"baja\",\"clip\":\"L/x.mp4\"}\n";
    home.put("estadisticas.jsonl", hist);
    EXPECT_EQ(visor("a=borrar_clip&clip=L/x.mp4"), wrap(R"J({"ok":false,"error":"clip no válido"})J"));
    EXPECT_EQ(visor("a=borrar_clip&clip=L%5Cx.mp4"), wrap(R"J({"ok":false,"error":"clip no válido"})J"));
    for (const char* f : {"x.mp4", "x.json", "x_mic.m4a"}) EXPECT_TRUE(fs::exists(victim / f)) << f;
    EXPECT_EQ(test::read_file(home.history()), hist);

    fs::create_directories(home.clips() / "2026-01-05" / "Manual");
    fs::create_symlink(victim / "x.mp4", home.clips() / "2026-01-05/Manual/enlace.mp4");
    EXPECT_EQ(visor("a=borrar_clip&clip=2026-01-05/Manual/enlace.mp4"),
              wrap(R"J({"eventos":0,"clip_borrado":true,"ok":true})J"));
    EXPECT_FALSE(fs::is_symlink(home.clips() / "2026-01-05/Manual/enlace.mp4"));
    EXPECT_EQ(test::read_file(victim / "x.mp4"), "ajeno");
}

TEST(WebVisor, DeleteEventsLargestIndexFirst) {
    ClipsHome home;
    std::string hist;
    for (int i = 0; i < 7; ++i)
        hist += "{\"fecha\":\"d\",\"hora\":\"" + std::to_string(i) + "\",\"tipo\":\"baja\",\"clip\":null}\n";
    home.put("estadisticas.jsonl", hist);
    log_open();
    // 5 twice (the first entry's fields count), 2 once, and 6 with stale fields.
    const std::string ev = R"J([[5,"d","5","baja"],[2,"d","2","baja",9],[5,"d","x","baja"],[6,"d","0","baja"]])J";
    EXPECT_EQ(visor("a=borrar_eventos&ev=" + ev),
              wrap(R"J({"eventos":2,"clips":0,"errores":["las estadísticas cambiaron: vuelve a abrir los Clips"],"ok":true})J"));
    std::string want;
    for (int i : {0, 1, 3, 4, 6})
        want += "{\"fecha\":\"d\",\"hora\":\"" + std::to_string(i) + "\",\"tipo\":\"baja\",\"clip\":null}\n";
    EXPECT_EQ(test::read_file(home.history()), want);
    EXPECT_NE(log_read_tail().find("[VISOR] 2 evento(s) borrado(s) y 0 clip(s)"), std::string::npos);

    EXPECT_EQ(visor("a=borrar_evento&i=%2B1&fecha=d&hora=1&tipo=baja"),
              wrap(R"J({"eventos":1,"clip_borrado":false,"ok":true})J"));
    EXPECT_NE(log_read_tail().find("[VISOR] Evento borrado (baja 1)"), std::string::npos);

    // A name sent with line breaks and escape sequences stays on its own line
    // in the log, shown escaped.
    EXPECT_EQ(visor("a=borrar_clip&clip=x%0A%5BCORVANE%5D%20falso%0D%1B%5B2J%E2%80%A8.mp4"),
              wrap(R"J({"eventos":0,"clip_borrado":true,"ok":true})J"));
    const std::string tail = log_read_tail();
    EXPECT_NE(tail.find("[VISOR] Clip borrado: x\\x0a[CORVANE] falso\\x0d\\x1b[2J\\u2028.mp4 (0 evento(s))"),
              std::string::npos)
        << tail;
    EXPECT_EQ(tail.find("\n[CORVANE] falso"), std::string::npos) << tail;
    log_reset_for_tests();
}

TEST(WebVisor, SelectionParsing) {
    auto pairs = ui_events_to_json(Json::parse(R"J([[3,"a","b","c","extra"],[1.5,"a","b","c"],[2,{"x":1},null,"c"]])J"));
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].first, 3u);
    EXPECT_EQ(pairs[0].second.dump(), R"J({"fecha":"a","hora":"b","tipo":"c"})J");
    EXPECT_EQ(pairs[1].second.dump(), R"J({"fecha":{"x":1},"hora":null,"tipo":"c"})J");
    Json many = Json::array();
    for (int i = 0; i < 1005; ++i) many.push_back(Json::array({i, "f", "h", "baja"}));
    EXPECT_EQ(ui_events_to_json(many).size(), 1000u);
}

TEST(WebVisor, ScriptNeverClosesItsElement) {
    EXPECT_EQ(visor_script(Json{{"ok", false}, {"error", "</script><!--"}}),
              wrap(R"J({"ok":false,"error":"<\/script>\u003C!--"})J"));
}

}  // namespace
}  // namespace corvane
