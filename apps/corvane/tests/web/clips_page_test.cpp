#include "web/clips_page.h"

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <thread>
#include <set>

#include <gtest/gtest.h>

#include "base/ui_state.h"
#include "clips/library.h"
#include "clips_test_util.h"
#include "web/server.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;
namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr const char* kTemplate =
    "<script>const DATA=/*__DATA__*/[];\nconst CLIPS=/*__CLIPS__*/{};\nconst DISK=/*__DISCO__*/null;\n"
    "const GEN=\"__GENSTAMP__\";\nconst API=/*__API__*/null;\nconst K=\"__TOKEN__\";</script>\n"
    "<p>v__VERSION__ actualizado __GENERATED__. Abre esta ventana con __VIEWER_KEY__. __BUILD_DATE__</p>";

struct Page {
    std::string text;
    // The text between "const NAME=" and the end of its line, without ";".
    std::string literal(const std::string& name) const {
        const std::string start = "const " + name + "=";
        std::size_t a = text.find(start);
        if (a == std::string::npos) return {};
        a += start.size();
        std::size_t b = text.find(";\n", a);
        if (b == std::string::npos) b = text.find(";</script>", a);
        return text.substr(a, b - a);
    }
    Json json(const std::string& name) const { return Json::parse(literal(name)); }
};

Page render(const ClipsHome& home, const UiTemplateFills& common = {}) {
    return {clips_render_page_from(kTemplate, home.clips(), home.history(), "Ctrl+Shift+E", common)};
}

TEST(WebClipsPage, EmptyFolder) {
    ClipsHome home("[clips]\nlimite_disco_gb = 1\n");
    server_port();  // the session exists
    UiHooks hooks;
    hooks.clips_saved = [] { return std::uint64_t{42}; };
    ui_set_hooks(std::move(hooks));
    Page p = render(home);
    EXPECT_EQ(p.literal("DATA"), "[]");
    EXPECT_EQ(p.literal("CLIPS"), "{}");
    EXPECT_EQ(p.literal("DISK"),
              R"({"auto":0,"auto_n":0,"archivados":0,"archivados_n":0,"manuales":0,"manuales_n":0,"limite":1073741824})");
    EXPECT_EQ(p.literal("GEN"), "\"42\"");
    EXPECT_EQ(p.literal("API"), "{\"base\":\"http://127.0.0.1:" + std::to_string(server_port()) + "\",\"t\":\"" +
                                    kToken + "\"}");
    EXPECT_TRUE(std::regex_search(p.text, std::regex("v0\\.10\\.45 actualizado \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\. "
                                                     "Abre esta ventana con Ctrl\\+Shift\\+E\\.")))
        << p.text;
    ui_set_hooks({});
}

TEST(WebClipsPage, ApiIsNullBeforeTheSession) {
    if (ui_session()) GTEST_SKIP() << "a session was published earlier in this process";
    ClipsHome home;
    EXPECT_EQ(render(home).literal("API"), "null");
}

TEST(WebClipsPage, EventsClipsAndManualEntries) {
    ClipsHome home;
    const std::string a = "2026-01-05/Muertes/CRVN_2026-01-05_21-03-11_muerte.mp4";
    const std::string b = "2026-01-05/Bajas/CRVN_2026-01-05_21-04-00_baja.mp4";
    home.put(a, "12345");
    home.put(fs::path(a).replace_extension("json").string(),
             R"({"clip":"x","duracion":14.0,"audio":{},"eventos":[{"segundo":1.5,"tipo":"killcam"}],"archivado":true})");
    home.put(fs::path(a).replace_extension("analisis.json").string(), "{}");
    home.put(clips_mic_path(a).string(), "v");
    home.put(b, "1234567");
    home.put(fs::path(b).replace_extension("json").string(), "[1,2]");
    home.put("2026-01-05/Manual/CRVN_2026-01-05_21-03-11_x.mp4", "m");
    home.put("2026-01-05/Manual/clip.MP4", "m");
    home.put("2026-01-05/Manual/nota.txt", "m");
    home.put("2026-1-05/Manual/CRVN_x.mp4", "m");
    home.put("2026_01_05/Manual/CRVN_x.mp4", "m");
    const std::string l1 = "{\"tipo\":\"muerte\",\"enemigo\":\"</script><!--<script>\",\"clip\":\"" + a + "\"}";
    const std::string l2 = "{\"tipo\":\"killcam\",\"clip\":\"" + a + "\"}";
    const std::string l3 = "{\"tipo\":\"baja\",\"clip\":\"" + b + "\"}";
    const std::string l4 = "{\"tipo\":\"baja\",\"clip\":\"2026-01-05/Bajas/falta.mp4\"}";
    const std::string l5 = "{\"tipo\":\"baja\",\"clip\":\"../fuera.mp4\"}";
    test::write_file(home.root() / "fuera.mp4", "no");
    home.put("estadisticas.jsonl", "   " + l1 + "   \n\n" + l2 + "\r\n{\"tipo\":\"baja\"\n{\"tipo\":}\n" + l3 +
                                       "\nno\n" + l4 + "\n" + l5 + "\n");

    Page p = render(home, {{"__TOKEN__", "TOKEN"}, {"__BUILD_DATE__", "2026-10-25"}});
    const std::string data = p.literal("DATA");
    EXPECT_EQ(data.find("</"), std::string::npos);
    EXPECT_EQ(data.find("<!--"), std::string::npos);
    const Json d = Json::parse(data);
    ASSERT_EQ(d.size(), 8u) << data;
    EXPECT_EQ(d[0], Json::parse(l1));
    EXPECT_EQ(d[1], Json::parse(l2));
    EXPECT_TRUE(d[2].is_null());  // "{\"tipo\":}" is an event line but not JSON
    EXPECT_EQ(d[3], Json::parse(l3));
    const std::string m1 = R"({"fecha":"2026-01-05","hora":"21:03:11","tipo":"manual","clip":"2026-01-05/Manual/CRVN_2026-01-05_21-03-11_x.mp4"})";
    const std::string m2 = R"({"fecha":"2026-01-05","hora":"00:00:00","tipo":"manual","clip":"2026-01-05/Manual/clip.MP4"})";
    // The manual clips come after the history, in listing order.
    std::set<std::string> manual{d[6].dump(), d[7].dump()};
    EXPECT_EQ(manual, (std::set<std::string>{m1, m2}));
    EXPECT_NE(data.find(m1), std::string::npos) << "written compactly";

    const std::string clips_text = p.literal("CLIPS");
    EXPECT_EQ(clips_text.find("</"), std::string::npos);
    const Json c = Json::parse(clips_text);
    std::vector<std::string> keys;
    for (auto it = c.begin(); it != c.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{b, "2026-01-05/Manual/CRVN_2026-01-05_21-03-11_x.mp4",
                                              "2026-01-05/Manual/clip.MP4", a}));
    EXPECT_EQ(c[a].dump(),
              R"({"eventos":[{"segundo":1.5,"tipo":"killcam"}],"duracion":14.0,"archivado":true,"auto":true,"bytes":5,"analisis":true,"mic":true})");
    EXPECT_EQ(c[b].dump(),
              R"({"eventos":null,"duracion":null,"archivado":false,"auto":true,"bytes":7,"analisis":false,"mic":false})");
    EXPECT_EQ(c["2026-01-05/Manual/clip.MP4"]["auto"], false);

    EXPECT_NE(p.text.find("const K=\"TOKEN\""), std::string::npos);
    EXPECT_NE(p.text.find(" 2026-10-25</p>"), std::string::npos);
}

// Text from the history that looks like a placeholder is not filled again.
// Entries are kept between page builds while their folder is unchanged:
// every change the program makes to a clip's files still shows at once,
// and a clip reached through a link always shows its target as it is now.
TEST(WebClipsPage, KeptEntriesFollowEveryChange) {
    ClipsHome home;
    const std::string a = "2026-01-05/Bajas/CRVN_2026-01-05_21-00-00_a.mp4";
    const std::string b = "2026-01-05/Bajas/CRVN_2026-01-05_21-00-01_b.mp4";
    const fs::path clip_a = home.put(a, "aaaa");
    home.put(fs::path(a).replace_extension("json").string(), R"({"duracion":20.0,"eventos":[]})");
    const fs::path outside = home.root() / "fuera.mp4";
    test::write_file(outside, "bb");
    fs::create_symlink(outside, home.clips() / b);
    home.put("estadisticas.jsonl", R"({"tipo":"baja","fecha":"2026-01-05","hora":"21:00:00","clip":")" + a +
                                       "\"}\n" + R"({"tipo":"baja","fecha":"2026-01-05","hora":"21:00:01","clip":")" +
                                       b + "\"}\n");
    // Wait until the folder's time stamps are old enough to be trusted.
    const fs::path folder = clip_a.parent_path();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        if (st.st_ctim.tv_sec < ::time(nullptr) - 3 && st.st_mtim.tv_sec < ::time(nullptr) - 3) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Json clips = render(home).json("CLIPS");
    EXPECT_EQ(clips[a]["archivado"], false);
    EXPECT_EQ(clips[a]["analisis"], false);
    EXPECT_EQ(clips[b]["bytes"], 2);
    EXPECT_EQ(render(home).json("CLIPS"), clips);  // built again from what was kept

    test::write_file(outside, "bbbbbb");  // the clips folder does not change
    EXPECT_EQ(render(home).json("CLIPS")[b]["bytes"], 6);

    ASSERT_FALSE(clips_set_archived(clip_a, true));
    home.put(fs::path(a).replace_extension("analisis.json").string(), "{}");
    clips = render(home).json("CLIPS");
    EXPECT_EQ(clips[a]["archivado"], true);
    EXPECT_EQ(clips[a]["analisis"], true);

    ASSERT_EQ(clips_delete_files(clip_a), std::nullopt);
    clips = render(home).json("CLIPS");
    EXPECT_FALSE(clips.contains(a));
    EXPECT_TRUE(clips.contains(b));
}

TEST(WebClipsPage, PlaceholdersInDataStayAsTheyAre) {
    ClipsHome home;
    home.put("estadisticas.jsonl", R"({"tipo":"baja","enemigo":"/*__API__*/null __TOKEN__ __VERSION__"})" "\n");
    Page p = render(home, {{"__TOKEN__", "TOKEN"}});
    EXPECT_EQ(Json::parse(p.literal("DATA"))[0]["enemigo"], "/*__API__*/null __TOKEN__ __VERSION__");
}

TEST(WebClipsPage, UnreadableHistoryGivesOnlyManualClips) {
    ClipsHome home;
    home.put("estadisticas.jsonl", "{\"tipo\":\"baja\"}\n\xff\n");
    home.put("2026-01-05/Manual/a.mp4", "m");
    const Json d = Json::parse(render(home).literal("DATA"));
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0]["tipo"], "manual");
}

}  // namespace
}  // namespace corvane
