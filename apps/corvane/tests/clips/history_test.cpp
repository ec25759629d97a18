#include "clips/history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <future>
#include <random>

#include "../support/python_run.h"
#include "base/text.h"

namespace corvane {
namespace {

using std::nullopt;
using std::optional;
using std::string;
using test::run_python;
using test::TempDir;
using test::write_file;

const string kWarzone = "Warzone · Black Ops 7";

TEST(HistoryJson, WriteString) {
    const std::pair<string, string> cases[] = {
        {"", R"("")"},
        {"ShadowFox", R"("ShadowFox")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"tab\there", R"("tab\u0009here")"},
        {"\n\r\x1f", R"("\u000a\u000d\u001f")"},
        {string("\0x", 2), R"("\u0000x")"},
        {"/\x7f", "\"/\x7f\""},                            // no other escapes: '/' and DEL stay
        {"Dúo · \xE2\x80\xA8", "\"Dúo · \xE2\x80\xA8\""},  // UTF-8 copied, U+2028 included
        {"Bad\xFF", "\"Bad\xEF\xBF\xBD\""},                // a broken byte becomes U+FFFD
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(json_write_string(in), want) << in;
}

TEST(HistoryJson, OptNumber) {
    EXPECT_EQ(events_json_opt_number(nullopt), "null");
    EXPECT_EQ(events_json_opt_number(0u), "0");
    EXPECT_EQ(events_json_opt_number(4294967295u), "4294967295");
}

TEST(HistoryJson, Field) {
    struct Case {
        string line, key;
        optional<string> value;
    };
    const Case cases[] = {
        {R"({"tipo":"baja","enemigo":"X"})", "tipo", "baja"},
        {R"({"tipo":"baja","enemigo":"X"})", "enemigo", "X"},
        {R"({"tipo":"baja"})", "enemigo", nullopt},
        {R"({"tipo":"muerte","enemigo":null})", "enemigo", nullopt},  // not a string
        {R"({"nivel":5})", "nivel", nullopt},
        {R"({"enemigo":"abc)", "enemigo", nullopt},    // no closing quote
        {R"({"enemigo":"a\"b"})", "enemigo", "a\\"},   // escapes are not decoded
        {R"({"tipo": "baja"})", "tipo", nullopt},      // only the compact form
        {R"({"xtipo":"a","tipo":"b"})", "tipo", "b"},  // the quote before the key counts
        {R"({"enemigo":""})", "enemigo", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(events_json_field(c.line, c.key), c.value) << c.line;
}

HistoryContext full_context() {
    return {kWarzone, "Resurgimiento Quads", nullopt, "COPPERTON"};
}

TEST(HistoryLines, ExactText) {
    const string ctx = events_context_json(full_context());
    EXPECT_EQ(
        ctx,
        R"(,"juego":"Warzone · Black Ops 7","modo":"Resurgimiento Quads","mapa":null,"lugar":"COPPERTON")");
    EXPECT_EQ(events_context_json({}), R"(,"juego":null,"modo":null,"mapa":null,"lugar":null)");

    HistoryKill kill{
        "2026-12-10", "14:33:58", "ShadowFox", "[ABC]", "1234", 57, 2, {"HEADSHOT", "LONGSHOT"}, 3};
    EXPECT_EQ(
        history_line_close(history_line_open(kill, ctx),
                           "2026-12-10/Bajas/CRVN_2026-12-10_14-33-58_baja.mp4"),
        R"({"fecha":"2026-12-10","hora":"14:33:58","tipo":"baja","enemigo":"ShadowFox","clan":"[ABC]",)"
        R"("id":"1234","nivel":57,"baja_en_partida":2,"medallas":["HEADSHOT","LONGSHOT"],"veces":3,)"
        R"("juego":"Warzone · Black Ops 7","modo":"Resurgimiento Quads","mapa":null,"lugar":"COPPERTON",)"
        R"("clip":"2026-12-10/Bajas/CRVN_2026-12-10_14-33-58_baja.mp4"})");
    EXPECT_EQ(
        scene_event_json(kill),
        R"("tipo":"baja","enemigo":"ShadowFox","nivel":57,"baja_en_partida":2,"medallas":["HEADSHOT","LONGSHOT"])");

    HistoryKill bare{"2026-12-10", "14:33:58", "X\"\t", nullopt, nullopt, nullopt, nullopt, {}, 1};
    EXPECT_EQ(
        history_line_close(history_line_open(bare, events_context_json({})), nullopt),
        R"({"fecha":"2026-12-10","hora":"14:33:58","tipo":"baja","enemigo":"X\"\u0009","clan":null,)"
        R"("id":null,"nivel":null,"baja_en_partida":null,"medallas":[],"veces":1,)"
        R"("juego":null,"modo":null,"mapa":null,"lugar":null,"clip":null})");

    HistoryDeath death{
        "2026-12-10",    "14:40:00",       "NightOwl", nullopt,  "77",      "CAPTAIN", 42,
        "ASSAULT RIFLE", "RED DOT + GRIP", 3,          "Shadow", "killcam", 4.26f,     2};
    EXPECT_EQ(
        history_line_close(history_line_open(death, ctx),
                           "2026-12-10/Muertes/CRVN_2026-12-10_14-40-01_muerte.mp4"),
        R"({"fecha":"2026-12-10","hora":"14:40:00","tipo":"muerte","enemigo":"NightOwl","clan":null,)"
        R"("id":"77","rango":"CAPTAIN","nivel":42,"arma":"ASSAULT RIFLE","accesorios":"RED DOT + GRIP",)"
        R"("atacantes":3,"derribado_por":"Shadow","nombre_de":"killcam","killcam_seg":4.3,"veces":2,)"
        R"("juego":"Warzone · Black Ops 7","modo":"Resurgimiento Quads","mapa":null,"lugar":"COPPERTON",)"
        R"("clip":"2026-12-10/Muertes/CRVN_2026-12-10_14-40-01_muerte.mp4"})");
    EXPECT_EQ(scene_event_json(death),
              R"("tipo":"killcam","enemigo":"NightOwl","arma":"ASSAULT RIFLE","atacantes":3)");

    HistoryDeath nameless{.date = "2026-12-10", .time = "14:41:00"};
    nameless.killcam_secs = 0.0f;
    EXPECT_EQ(
        history_line_close(history_line_open(nameless, ""), nullopt),
        R"({"fecha":"2026-12-10","hora":"14:41:00","tipo":"muerte","enemigo":null,"clan":null,"id":null,)"
        R"("rango":null,"nivel":null,"arma":null,"accesorios":null,"atacantes":null,"derribado_por":null,)"
        R"("nombre_de":null,"killcam_seg":0.0,"veces":0,"clip":null})");
    EXPECT_EQ(scene_event_json(nameless),
              R"("tipo":"killcam","enemigo":null,"arma":null,"atacantes":null)");

    HistoryKnock knock{"2026-12-10", "14:39:55", "Shadow"};
    EXPECT_EQ(
        history_line_close(history_line_open(knock, ctx), nullopt),
        R"({"fecha":"2026-12-10","hora":"14:39:55","tipo":"derribo","enemigo":"Shadow",)"
        R"("juego":"Warzone · Black Ops 7","modo":"Resurgimiento Quads","mapa":null,"lugar":"COPPERTON",)"
        R"("clip":null})");
    EXPECT_EQ(scene_event_json(knock), R"("tipo":"derribo","enemigo":"Shadow")");
    EXPECT_EQ(scene_event_killcam_end_json(), R"("tipo":"fin_killcam")");
}

TEST(HistoryLines, KillcamSecondsHaveOneDecimal) {
    const std::pair<float, string> cases[] = {
        {4.26f, "4.3"},
        {0.0f, "0.0"},
        {12.0f, "12.0"},
        {0.04f, "0.0"},
        {59.96f, "60.0"},
        {-1.0f, "0.0"},
        {std::numeric_limits<float>::quiet_NaN(), "0.0"},
        {std::numeric_limits<float>::infinity(), "0.0"},
    };
    for (const auto& [secs, want] : cases) {
        HistoryDeath d{.date = "d", .time = "t"};
        d.killcam_secs = secs;
        const string line = history_line_open(d, "");
        EXPECT_NE(line.find("\"killcam_seg\":" + want + ",\"veces\""), string::npos)
            << secs << " " << line;
    }
}

// Names as OCR could produce them, including everything that needs escaping.
std::vector<string> awkward_names() {
    std::vector<string> names = {"ShadowFox",
                                 "Ann \"Q\"",
                                 "back\\slash",
                                 "tab\there",
                                 "line\nfeed",
                                 "\x01\x1f\x7f",
                                 "Dúo · ñ",
                                 "\xE2\x80\xA8sep",
                                 "emoji \xF0\x9F\x8E\xAE",
                                 "Bad\xFF\xFE",
                                 "",
                                 "\"",
                                 "\\"};
    std::mt19937 rng(99);
    for (int i = 0; i < 40; ++i) {
        string s(std::uniform_int_distribution<int>(0, 12)(rng), ' ');
        for (char& c : s) c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
        names.push_back(s);
    }
    return names;
}

// python3 reads the file as strict UTF-8, parses each line and reports its keys
// in order, the decoded "enemigo" and the raw "killcam_seg" text.
constexpr const char* kParseScript = R"PY(
import json, re, sys
out = []
with open(sys.argv[1], encoding="utf-8", newline="") as f:
    text = f.read()
assert text.endswith("\n")
for line in text[:-1].split("\n"):
    pairs = json.loads(line, object_pairs_hook=lambda p: p)
    d = dict(pairs)
    m = re.search(r'"killcam_seg":(\d+\.\d)(?=,)', line)
    out.append({"keys": [k for k, _ in pairs], "enemigo": d.get("enemigo"),
                "medallas": d.get("medallas"), "clip": d.get("clip"),
                "killcam": m.group(1) if m else None})
print(json.dumps(out))
)PY";

TEST(HistoryLines, EveryLineParsesWithPythonInKeyOrder) {
    const std::vector<string> context_keys = {"juego", "modo", "mapa", "lugar", "clip"};
    const std::vector<string> head = {"fecha", "hora", "tipo", "enemigo"};
    auto with = [&](std::vector<string> middle) {
        std::vector<string> keys = head;
        keys.insert(keys.end(), middle.begin(), middle.end());
        keys.insert(keys.end(), context_keys.begin(), context_keys.end());
        return keys;
    };
    const auto kill_keys = with({"clan", "id", "nivel", "baja_en_partida", "medallas", "veces"});
    const auto death_keys = with({"clan", "id", "rango", "nivel", "arma", "accesorios", "atacantes",
                                  "derribado_por", "nombre_de", "killcam_seg", "veces"});
    const auto knock_keys = with({});

    struct Expect {
        std::vector<string> keys;
        optional<string> enemy;
    };
    std::vector<Expect> expect;
    string file;
    const auto names = awkward_names();
    for (size_t i = 0; i < names.size(); ++i) {
        const string& n = names[i];
        const HistoryContext ctx{n, nullopt, n, n};
        const optional<string> clip = i % 2 ? optional<string>("2026-12-10/Bajas/" + n) : nullopt;
        HistoryKill k{"2026-12-10", "10:00:00", n, n, n, 1, nullopt, {n, "HEADSHOT"}, 7};
        HistoryDeath d{"2026-12-10",
                       "10:00:01",
                       n,
                       n,
                       nullopt,
                       n,
                       nullopt,
                       n,
                       n,
                       2,
                       n,
                       "killfeed",
                       static_cast<float>(i) * 0.37f,
                       1};
        HistoryKnock kn{"2026-12-10", "10:00:02", n};
        file += history_line_close(history_line_open(k, events_context_json(ctx)), clip) + "\n";
        file += history_line_close(history_line_open(d, events_context_json(ctx)), clip) + "\n";
        file += history_line_close(history_line_open(kn, events_context_json(ctx)), clip) + "\n";
        const string decoded = utf8_lossy(n);
        expect.push_back({kill_keys, decoded});
        expect.push_back({death_keys, decoded});
        expect.push_back({knock_keys, decoded});
    }
    const auto parsed = nlohmann::json::parse(run_python(kParseScript, file), nullptr, false);
    ASSERT_TRUE(parsed.is_array());
    ASSERT_EQ(parsed.size(), expect.size());  // a raw line break in a name would split a line
    for (size_t i = 0; i < expect.size(); ++i) {
        const auto& p = parsed[i];
        EXPECT_EQ(p["keys"].get<std::vector<string>>(), expect[i].keys) << "line " << i;
        EXPECT_EQ(p["enemigo"].get<string>(), *expect[i].enemy) << "line " << i;
        if (expect[i].keys == death_keys) {
            EXPECT_TRUE(p["killcam"].is_string()) << "line " << i;
        }
        if (expect[i].keys == kill_keys) {
            EXPECT_EQ(p["medallas"][0].get<string>(), *expect[i].enemy) << "line " << i;
        }
    }
}

TEST(HistoryTallies, FromAFileWithTornEscapedAndInvalidLines) {
    const HistoryTallies t =
        events_load_tallies(string(CORVANE_TEST_DATA_DIR) + "/estadisticas_rotas.jsonl");
    // Torn, glued, broken-byte, non-object and non-string lines count for
    // nothing, and cost nothing to the lines around them.
    const EnemyTallies kills = {{"shadow", 2}, {"ann \"q\"", 1}, {"back\\slash", 1}};
    const EnemyTallies deaths = {{"nightowl", 2}, {"élan", 2}};
    EXPECT_EQ(t.kills, kills);
    EXPECT_EQ(t.deaths, deaths);
}

TEST(HistoryTallies, MissingEmptyAndHostileFiles) {
    TempDir dir;
    EXPECT_TRUE(events_load_tallies(dir.path() / "nope.jsonl").kills.empty());
    write_file(dir.path() / "empty.jsonl", "");
    const auto empty = events_load_tallies(dir.path() / "empty.jsonl");
    EXPECT_TRUE(empty.kills.empty() && empty.deaths.empty());
    EXPECT_TRUE(events_load_tallies(dir.path()).kills.empty());  // a folder is not a history
    // A FIFO nobody writes to is no history either: reading it must not wait.
    ASSERT_EQ(::mkfifo((dir.path() / "fifo.jsonl").c_str(), 0600), 0);
    EXPECT_TRUE(events_load_tallies(dir.path() / "fifo.jsonl").kills.empty());

    // A line nested a million deep is skipped without harm; the next one counts.
    string deep = R"({"tipo":"baja","enemigo":"Deep","x":)" + string(1000000, '[') +
                  string(1000000, ']') + "}\n";
    deep += R"({"tipo":"baja","enemigo":"Next"})"
            "\n";
    write_file(dir.path() / "deep.jsonl", deep);
    EXPECT_EQ(events_load_tallies(dir.path() / "deep.jsonl").kills, (EnemyTallies{{"next", 1}}));
}

TEST(HistoryTallies, ReloadGivesTheLiveKeys) {
    // Live, the engine keys a tally by the Unicode lower case of the cleaned
    // name; after a reload the key must be the same, escapes and all.
    TempDir dir;
    string file;
    EnemyTallies live_kills, live_deaths;
    for (const string& n : awkward_names()) {
        HistoryKill k{.date = "d", .time = "t", .enemy = n};
        HistoryDeath d{.date = "d", .time = "t", .enemy = n};
        HistoryDeath nameless{.date = "d", .time = "t"};
        HistoryKnock kn{"d", "t", n};
        file += history_line_close(history_line_open(k, events_context_json({})), nullopt) + "\n";
        file += history_line_close(history_line_open(d, events_context_json({})), nullopt) + "\n";
        file += history_line_close(history_line_open(nameless, events_context_json({})), nullopt) +
                "\n";
        file += history_line_close(history_line_open(kn, events_context_json({})), nullopt) + "\n";
        ++live_kills[utf8_lower(n)];
        ++live_deaths[utf8_lower(n)];
    }
    write_file(dir.path() / "estadisticas.jsonl", file);
    const HistoryTallies t = events_load_tallies(dir.path() / "estadisticas.jsonl");
    EXPECT_EQ(t.kills, live_kills);
    EXPECT_EQ(t.deaths, live_deaths);
}

TEST(HistoryTallies, ReadsUnderTheHistoryLock) {
    TempDir dir;
    write_file(dir.path() / "h.jsonl", R"({"tipo":"baja","enemigo":"A"})"
                                       "\n");
    std::unique_lock<std::mutex> held(HistoryLock);
    auto pending =
        std::async(std::launch::async, [&] { return events_load_tallies(dir.path() / "h.jsonl"); });
    // While another reader or writer holds the lock the load must wait.
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    held.unlock();
    EXPECT_EQ(pending.get().kills, (EnemyTallies{{"a", 1}}));
}

TEST(HistoryAppend, NewFileTornTailAndFailure) {
    TempDir dir;
    const auto path = dir.path() / "estadisticas.jsonl";
    EXPECT_EQ(history_append(path, "{\"a\":1}\n{\"b\":2}\n"), nullopt);
    EXPECT_EQ(test::read_file(path), "{\"a\":1}\n{\"b\":2}\n");
    EXPECT_EQ(history_append(path, "{\"c\":3}\n"), nullopt);
    EXPECT_EQ(test::read_file(path), "{\"a\":1}\n{\"b\":2}\n{\"c\":3}\n");

    // A torn earlier write: the new lines start on a line of their own, so
    // every whole line still parses.
    write_file(path, "{\"a\":1}\n{\"tipo\":\"ba");
    EXPECT_EQ(history_append(path, "{\"tipo\":\"baja\",\"enemigo\":\"X\"}\n"), nullopt);
    EXPECT_EQ(test::read_file(path),
              "{\"a\":1}\n{\"tipo\":\"ba\n{\"tipo\":\"baja\",\"enemigo\":\"X\"}\n");
    EXPECT_EQ(events_load_tallies(path).kills, (EnemyTallies{{"x", 1}}));

    EXPECT_EQ(history_append(dir.path() / "no" / "h.jsonl", "x\n"), "No such file or directory");
    EXPECT_EQ(history_append(dir.path(), "x\n"), "Is a directory");
}

TEST(HistoryAppend, WaitsForTheHistoryLock) {
    TempDir dir;
    std::unique_lock<std::mutex> held(HistoryLock);
    auto pending = std::async(std::launch::async,
                              [&] { return history_append(dir.path() / "h.jsonl", "{}\n"); });
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "h.jsonl"));
    held.unlock();
    EXPECT_EQ(pending.get(), nullopt);
}

}  // namespace
}  // namespace corvane
