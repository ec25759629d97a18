#include "web/clips_page.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <thread>
#include <set>

#include <gtest/gtest.h>

#include "base/ui_state.h"
#include "base/version.h"
#include "clips/library.h"
#include "clips_test_util.h"
#include "web/server.h"
#include "web/status.h"
#include "web/templates.h"
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
    const bool had_session = ui_session() != nullptr;
    ui_session_reset_for_tests();
    ClipsHome home;
    EXPECT_EQ(render(home).literal("API"), "null");
    // The process's server, if an earlier test started it, gets its session back.
    if (had_session) ui_session_publish(kToken, server_port());
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

// What the page shows of the history, line by line: the parsed event lines
// in file order (null where a line is not JSON), then the manual clips.
Json events_of(const std::string& history) {
    Json out = Json::array();
    std::size_t start = 0;
    while (start < history.size()) {
        std::size_t nl = history.find('\n', start);
        if (nl == std::string::npos) nl = history.size();
        std::string line = history.substr(start, nl - start);
        start = nl + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        while (!line.empty() && line.front() == ' ') line.erase(0, 1);
        if (line.empty() || line.front() != '{' || line.back() != '}') continue;
        Json v = Json::parse(line, nullptr, false);
        out.push_back(v.is_discarded() ? Json(nullptr) : v);
    }
    return out;
}

void wait_until_older_than_3s(const std::vector<fs::path>& paths) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        bool old = true;
        for (const fs::path& p : paths) {
            struct stat st {};
            ASSERT_EQ(::stat(p.c_str(), &st), 0) << p;
            old = old && st.st_ctim.tv_sec < ::time(nullptr) - 3 && st.st_mtim.tv_sec < ::time(nullptr) - 3;
        }
        if (old) return;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// The history is kept between page builds: lines appended to it are read on
// their own, and every other change to the file (a line completed, an edit in
// place of the same length, a bad byte, a shorter rewrite) shows at once.
TEST(WebClipsPage, KeptHistoryFollowsEveryChange) {
    ClipsHome home;
    const std::string clip = "2026-01-05/Bajas/CRVN_2026-01-05_21-00-00_a.mp4";
    home.put(clip, "aaaa");
    const std::string l1 = R"({"tipo":"baja","enemigo":"Ana"})";
    const std::string l2 = R"({"tipo":"muerte","enemigo":"Bea"})";
    const std::string l3 = R"({"tipo":"baja","clip":")" + clip + "\"}";
    std::string text;
    auto set = [&](const std::string& t) {  // in place: the file keeps its inode
        std::ofstream(home.history(), std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc) << t;
        text = t;
    };
    auto add = [&](const std::string& t) {
        std::ofstream(home.history(), std::ios::binary | std::ios::app) << t;
        text += t;
    };
    struct Step {
        const char* what;
        std::function<void()> change;
        bool empty;  // the history counts as unreadable
    };
    const std::vector<Step> steps = {
        {"two lines", [&] { set(l1 + "\n" + l2 + "\n"); }, false},
        {"a line appended", [&] { add(l3 + "\n"); }, false},
        {"a torn line", [&] { add(R"({"tipo":"baja")"); }, false},
        {"the torn line completed", [&] { add(R"(,"enemigo":"Eva"})" "\r\n"); }, false},
        {"a last line without a break", [&] { add("  " + l1); }, false},
        {"an edit of the same length", [&] { set(l2 + "\n" + l1 + "\n" + l3 + "\n"); }, false},
        {"a line that is not JSON", [&] { add("{\"tipo\":}\n"); }, false},
        {"a bad byte", [&] { add("{\"x\":\"\xff\"}\n"); }, true},
        {"the bad byte gone", [&] { set(l3 + "\n" + l1 + "\n"); }, false},
        {"a shorter rewrite", [&] { set(l2 + "\n"); }, false},
    };
    for (const Step& step : steps) {
        step.change();
        for (int again = 0; again < 2; ++again) {
            const Page p = render(home);
            const Json want = step.empty ? Json::array() : events_of(text);
            EXPECT_EQ(p.json("DATA"), want) << step.what;
            EXPECT_EQ(p.json("CLIPS").contains(clip), !step.empty && text.find(clip) != std::string::npos)
                << step.what;
        }
    }

    // Once the file is old enough for its time stamps to be trusted, an
    // unchanged history is not read again; a change in place still shows.
    set(l1 + "\n" + l3 + "\n");
    wait_until_older_than_3s({home.history()});
    EXPECT_EQ(render(home).json("DATA"), events_of(text));
    EXPECT_EQ(render(home).json("DATA"), events_of(text));
    set(l2 + "\n" + l3 + "\n");
    EXPECT_EQ(render(home).json("DATA"), events_of(text));
}

// Manual clips kept between builds follow their folders: a clip added to or
// removed from a day's "Manual" folder, and a new day folder, show at once.
TEST(WebClipsPage, KeptManualClipsFollowTheirFolders) {
    ClipsHome home;
    home.put("2026-01-05/Manual/CRVN_2026-01-05_10-00-00_a.mp4", "a");
    home.put("2026-01-06/Manual/CRVN_2026-01-06_10-00-00_b.mp4", "b");
    wait_until_older_than_3s({home.clips(), home.clips() / "2026-01-05/Manual", home.clips() / "2026-01-06/Manual"});
    auto manual = [&] {
        std::set<std::string> out;
        for (const Json& e : render(home).json("DATA")) out.insert(e["clip"].get<std::string>());
        return out;
    };
    EXPECT_EQ(manual(), (std::set<std::string>{"2026-01-05/Manual/CRVN_2026-01-05_10-00-00_a.mp4",
                                               "2026-01-06/Manual/CRVN_2026-01-06_10-00-00_b.mp4"}));
    home.put("2026-01-05/Manual/CRVN_2026-01-05_11-00-00_c.mp4", "c");
    fs::remove(home.clips() / "2026-01-06/Manual/CRVN_2026-01-06_10-00-00_b.mp4");
    home.put("2026-01-07/Manual/CRVN_2026-01-07_10-00-00_d.mp4", "d");
    EXPECT_EQ(manual(), (std::set<std::string>{"2026-01-05/Manual/CRVN_2026-01-05_10-00-00_a.mp4",
                                               "2026-01-05/Manual/CRVN_2026-01-05_11-00-00_c.mp4",
                                               "2026-01-07/Manual/CRVN_2026-01-07_10-00-00_d.mp4"}));
    const Json clips = render(home).json("CLIPS");
    EXPECT_TRUE(clips.contains("2026-01-05/Manual/CRVN_2026-01-05_11-00-00_c.mp4"));
    EXPECT_FALSE(clips.contains("2026-01-06/Manual/CRVN_2026-01-06_10-00-00_b.mp4"));
}

// Once nothing has changed for a while, a request looks at each folder once
// (the disk-use check's look serves the page too). A change in any one deep
// folder, first or last of the tree, or inside a day folder reached through a
// link (which the disk-use check does not enter), shows in the very next
// page, with the disk use following.
TEST(WebClipsPage, ChangeInAnyDeepFolderShowsAtOnce) {
    ClipsHome home;
    std::string history;
    std::vector<fs::path> folders{home.clips()};
    auto clip_in = [](const std::string& day, const std::string& kind) {
        return day + "/" + kind + "/CRVN_" + day + "_21-00-00_a.mp4";
    };
    const fs::path elsewhere = home.root() / "otro_disco" / "2026-01-09";
    fs::create_directories(elsewhere / "Bajas");
    fs::create_symlink(elsewhere, home.clips() / "2026-01-09");
    for (const std::string day : {"2026-01-05", "2026-01-06", "2026-01-07", "2026-01-09"}) {
        for (const std::string kind : {"Bajas", "Muertes"}) {
            if (day == "2026-01-09" && kind == "Muertes") continue;
            const std::string clip = clip_in(day, kind);
            home.put(clip, "aaaa");
            home.put(fs::path(clip).replace_extension("json").string(), R"({"duracion":20.0,"eventos":[]})");
            history += R"({"tipo":"baja","fecha":")" + day + R"(","hora":"21:00:00","clip":")" + clip + "\"}\n";
            folders.push_back(home.clips() / day / kind);
        }
        if (day != "2026-01-09") {
            home.put(day + "/Manual/CRVN_" + day + "_10-00-00_m.mp4", "m");
            folders.push_back(home.clips() / day / "Manual");
            folders.push_back(home.clips() / day);
        }
    }
    home.put("estadisticas.jsonl", history);
    folders.push_back(elsewhere);
    wait_until_older_than_3s(folders);
    const Page first = render(home);
    ASSERT_EQ(render(home).json("CLIPS"), first.json("CLIPS"));  // everything kept, every folder unchanged
    ASSERT_EQ(first.json("DISK")["manuales_n"], 3);
    ASSERT_EQ(first.json("DISK")["archivados_n"], 0);

    struct Change {
        std::string clip;
        std::string what;
    };
    const std::vector<Change> changes{
        {clip_in("2026-01-05", "Bajas"), "analisis"},    // among the first folders looked at
        {clip_in("2026-01-07", "Muertes"), "analisis"},  // among the last
        {clip_in("2026-01-06", "Muertes"), "archivado"},
        {clip_in("2026-01-09", "Bajas"), "analisis"},    // through the link
        {clip_in("2026-01-07", "Bajas"), "mic"},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.clip + " " + c.what);
        render(home);  // the page and the disk use kept again (settled or not)
        const fs::path mp4 = home.clips() / c.clip;
        if (c.what == "analisis") {
            home.put(fs::path(c.clip).replace_extension("analisis.json").string(), "{}");
        } else if (c.what == "archivado") {
            ASSERT_FALSE(clips_set_archived(mp4, true));
        } else {
            home.put(fs::path(c.clip).replace_extension("").string() + "_mic.m4a", "mic!");
        }
        const Page page = render(home);
        EXPECT_EQ(page.json("CLIPS")[c.clip][c.what], true);
        if (c.what == "archivado") {
            EXPECT_EQ(page.json("DISK")["archivados_n"], 1);
        }
    }
    // A new manual clip deep in the first day.
    home.put("2026-01-05/Manual/CRVN_2026-01-05_11-00-00_n.mp4", "n");
    const Page last = render(home);
    EXPECT_TRUE(last.json("CLIPS").contains("2026-01-05/Manual/CRVN_2026-01-05_11-00-00_n.mp4"));
    EXPECT_EQ(last.json("DISK")["manuales_n"], 4);
}

// The disk use is kept while nothing in the clips tree changes: whatever
// another program then does to the clips, in an old folder or in one made
// after the figures were first worked out, shows in the very next page, even
// several changes within the same second.
TEST(WebClipsPage, DiskUseFollowsChangesFromOutsideAtOnce) {
    ClipsHome home;
    const std::string kill = "2026-01-05/Bajas/CRVN_2026-01-05_21-00-00_a.mp4";
    const std::string manual = "2026-01-05/Manual/CRVN_2026-01-05_10-00-00_m.mp4";
    home.put(kill, "aaaa");
    home.put(fs::path(kill).replace_extension("json").string(), R"({"duracion":20.0,"eventos":[]})");
    home.put(manual, "mm");
    wait_until_older_than_3s({home.clips(), home.clips() / "2026-01-05", home.clips() / "2026-01-05/Bajas",
                              home.clips() / "2026-01-05/Manual"});
    auto disk = [&] {
        const Json d = render(home).json("DISK");
        return std::vector<std::uint64_t>{d["auto"].get<std::uint64_t>(), d["auto_n"].get<std::uint64_t>(),
                                          d["archivados_n"].get<std::uint64_t>(), d["manuales"].get<std::uint64_t>(),
                                          d["manuales_n"].get<std::uint64_t>()};
    };
    using Figures = std::vector<std::uint64_t>;
    ASSERT_EQ(disk(), (Figures{4, 1, 0, 2, 1}));
    ASSERT_EQ(disk(), (Figures{4, 1, 0, 2, 1}));  // kept

    struct Step {
        const char* what;
        std::function<void()> change;
        Figures after;  // auto, auto_n, archivados_n, manuales, manuales_n
    };
    const fs::path c = home.clips();
    const std::vector<Step> steps{
        {"new day folder", [&] { home.put("2026-01-08/Muertes/CRVN_2026-01-08_20-00-00_b.mp4", "bbbbbb"); },
         {10, 2, 0, 2, 1}},
        {"second clip in the new folder",
         [&] { home.put("2026-01-08/Muertes/CRVN_2026-01-08_20-00-01_c.mp4", "c"); }, {11, 3, 0, 2, 1}},
        {"voice track added", [&] { home.put("2026-01-08/Muertes/CRVN_2026-01-08_20-00-01_c_mic.m4a", "vv"); },
         {13, 3, 0, 2, 1}},
        {"archived by a new sidecar",
         [&] { home.put("2026-01-08/Muertes/CRVN_2026-01-08_20-00-01_c.json", R"({"archivado":true})"); },
         {10, 2, 1, 2, 1}},
        {"moved to Manual",
         [&] { fs::rename(c / kill, c / "2026-01-05/Manual/CRVN_2026-01-05_21-00-00_a.mp4"); }, {6, 1, 1, 6, 2}},
        {"manual clip deleted", [&] { fs::remove(c / manual); }, {6, 1, 1, 4, 1}},
        {"clip written again in place",
         [&] { test::write_file(c / "2026-01-08/Muertes/CRVN_2026-01-08_20-00-00_b.mp4", "b"); }, {1, 1, 1, 4, 1}},
        {"day folder deleted", [&] { fs::remove_all(c / "2026-01-08"); }, {0, 0, 0, 4, 1}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        EXPECT_EQ(disk(), step.after);
        EXPECT_EQ(disk(), step.after);
    }
}

// The clips folder's path may pass through a link that is later pointed at
// another disk: the disk use is then that of the folder the path leads to.
TEST(WebClipsPage, DiskUseFollowsTheFolderThePathLeadsTo) {
    test::TempDir dir;
    for (const std::string disk : {"a", "b"}) {
        fs::create_directories(dir.path() / disk / "clips" / "2026-01-05" / "Manual");
        test::write_file(dir.path() / disk / "clips" / "2026-01-05" / "Manual" / "CRVN_2026-01-05_10-00-00_m.mp4",
                         disk == "a" ? "a" : "bbb");
    }
    fs::create_directory_symlink(dir.path() / "a", dir.path() / "disco");
    const fs::path clips = dir.path() / "disco" / "clips";
    EXPECT_EQ(ui_disk_use_cached(clips, 1)["manuales"], 1);
    EXPECT_EQ(ui_disk_use_cached(clips, 1)["manuales"], 1);  // kept
    fs::remove(dir.path() / "disco");
    fs::create_directory_symlink(dir.path() / "b", dir.path() / "disco");
    EXPECT_EQ(ui_disk_use_cached(clips, 1)["manuales"], 3);
}

// A FIFO put in the place of the history or of a sidecar is not a file the
// page can read: the page is built without it instead of waiting forever.
TEST(WebClipsPage, FifosInPlaceOfFilesDoNotHang) {
    ClipsHome home;
    const std::string clip = "2026-01-05/Bajas/CRVN_2026-01-05_21-00-00_a.mp4";
    home.put(clip, "aaaa");
    const fs::path sidecar = home.clips() / fs::path(clip).replace_extension("json");
    ASSERT_EQ(::mkfifo(sidecar.c_str(), 0600), 0);
    home.put("estadisticas.jsonl", R"({"tipo":"baja","clip":")" + clip + "\"}\n");
    auto built = std::async(std::launch::async, [&] { return render(home); });
    if (built.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // Lets the stuck reader go before the test fails.
        const int fd = ::open(sidecar.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        FAIL() << "the page waited on the FIFO sidecar";
    }
    const Json c = built.get().json("CLIPS");
    EXPECT_EQ(c[clip]["eventos"], nullptr);
    EXPECT_EQ(c[clip]["bytes"], 4);

    fs::remove(home.history());
    ASSERT_EQ(::mkfifo(home.history().c_str(), 0600), 0);
    built = std::async(std::launch::async, [&] { return render(home); });
    if (built.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        const int fd = ::open(home.history().c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        FAIL() << "the page waited on the FIFO history";
    }
    EXPECT_EQ(built.get().literal("DATA"), "[]");
}


// "/clips" is written into a buffer kept from one request to the next and
// sent with its head in one piece: each reply is byte for byte the head and
// the page built on its own, as the page grows, shrinks and changes.
TEST(WebClipsPage, ServedReplyIsTheHeadAndThePage) {
    ClipsHome home("[visor]\ntecla = Ctrl+Shift+E\n");
    server_port();
    const std::string_view tpl = ui_page_template(kClipsPageAsset);
    ASSERT_FALSE(tpl.empty());
    const std::string clip = "2026-01-05/Bajas/CRVN_2026-01-05_21-00-00_a.mp4";
    home.put(clip, "aaaa");
    const std::string line = R"({"tipo":"baja","enemigo":"Ana <\/script>","clip":")" + clip + "\"}\n";
    const std::vector<std::function<void()>> steps = {
        [&] {},
        [&] { home.put("estadisticas.jsonl", line); },
        [&] {
            std::string many;
            for (int i = 0; i < 3000; ++i) many += line;
            home.put("estadisticas.jsonl", many);
        },
        [&] { home.put("2026-01-06/Manual/CRVN_2026-01-06_10-00-00_m.mp4", "m"); },
        [&] { home.put("estadisticas.jsonl", line); },  // far shorter than the buffer kept
        [&] { fs::remove(home.clips() / clip); },
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        steps[i]();
        // The page holds the time of day to the second: both are taken in the same second.
        for (int attempt = 0;; ++attempt) {
            const Reply r = get(std::string("/clips?t=") + kToken);
            const std::string page =
                clips_render_page_from(tpl, home.clips(), home.history(), "Ctrl+Shift+E",
                                       {{"__TOKEN__", kToken}, {"__BUILD_DATE__", std::string_view(kBuildDateText)}});
            if (r.body != page && attempt < 5) continue;
            EXPECT_EQ(r.raw, ui_response_head("200 OK", "text/html; charset=utf-8", page.size()) + page);
            break;
        }
    }
}

}  // namespace
}  // namespace corvane
