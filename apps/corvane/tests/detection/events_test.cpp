// The event engine on scripted readings and a fake clock: what the classifier
// would hand over at given instants, one engine tick every 250 ms, and the
// exact history lines, log lines and clip requests that come out.

#include "detection/events.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>

#include <nlohmann/json.hpp>

#include "../base/base_test_util.h"
#include "base/config_file.h"
#include "base/flags.h"
#include "base/settings.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using std::nullopt;
using std::optional;
using std::string;
using std::vector;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const string kDate = "2026-12-10";
const string kClipTime = "14-33-58";
const string kGame = "Warzone · Black Ops 7";

// A program folder with its INI, a clips folder, and an engine made from the
// INI the way start-up makes it; the engine's log goes to `logs`.
class Engine : public ::testing::Test {
  protected:
    void SetUp() override { HistoryChangedFlag = false; }
    void TearDown() override {
        HistoryChangedFlag = false;
        LobbyFlag = false;
    }

    // Writes the INI (the clips folder is always ours) and builds the engine.
    void start(const string& ini = "") {
        fs::create_directories(app.data());
        fs::create_directories(clips());
        test::write_file(app.ini(), "[general]\ncarpeta_clips = " + clips().string() + "\n" + ini);
        const Settings settings = config_load();
        ASSERT_EQ(settings.general.carpeta_clips, clips());
        st = events_state_make(settings, slot, [this] { return game; });
        st.log = [this](std::string_view m) { logs.emplace_back(m); };
        st.local_time = [] { return LocalDateTime{kDate, kClipTime}; };
    }

    fs::path clips() const { return app.dir() / "clips"; }
    fs::path history() const { return clips() / "estadisticas.jsonl"; }
    vector<string> history_lines() const {
        vector<string> out;
        std::ifstream in(history());
        for (string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

    Instant at(int ms) const { return t0 + std::chrono::milliseconds(ms); }

    // Runs scripted readings and ticks up to `end_ms`: before each tick the
    // readings due by then (the classifier runs just before the engine).
    void run_to(int end_ms) {
        for (int t = now_ms + 250; t <= end_ms; t += 250) {
            while (!script.empty() && script.begin()->first <= t) {
                auto node = script.extract(script.begin());
                node.mapped()();
            }
            events_tick(st, at(t));
            now_ms = t;
        }
    }
    void when(int ms, std::function<void()> f) { script.emplace(ms, std::move(f)); }

    // What the classifier hands over, at the instant `ms`.
    void kill_card(int ms, const string& name, optional<uint32_t> level = nullopt,
                   optional<uint32_t> number = nullopt) {
        when(ms, [=, this] {
            if (!st.pending_kill) {
                st.pending_kill = PendingKillCard{};
                st.pending_kill->first = at(ms);
            }
            st.pending_kill->names.push_back(name);
            if (level) st.pending_kill->levels.push_back(*level);
            if (number) st.pending_kill->kill_numbers.push_back(*number);
            st.pending_kill->last = at(ms);
        });
    }
    void death_card(int ms, DeathCardReading r) {
        when(ms, [=, this] {
            if (!st.pending_death) {
                events_open_death(st, r, at(ms));
                return;
            }
            st.pending_death->readings.push_back(r);
            st.pending_death->last = at(ms);
        });
    }
    void attackers(int ms, uint32_t n) {
        when(ms, [=, this] { st.attacker_counts.push_back(n); });
    }
    void knock(int ms, const string& name) {
        when(ms, [=, this] { st.pending_knock = PendingKnock{name, at(ms)}; });
    }
    // A killfeed line; the player's own kills also wait as killfeed kills.
    void killfeed(int ms, const string& killer, const string& victim) {
        when(ms, [=, this] {
            st.killfeed_lines.push_back(KillfeedLine{killer, at(ms), victim});
            if (st.gamertag && *st.gamertag == killer)
                st.killfeed_kills.push_back(KillfeedKill{at(ms), victim});
        });
    }
    void medal(int ms, const string& word) {
        when(ms, [=, this] { st.medal_sightings.push_back(MedalSighting{at(ms), word}); });
    }
    void lobby(int ms) {
        when(ms, [=, this] {
            st.in_lobby = true;
            st.last_prematch_at = at(ms);
            LobbyFlag = true;
        });
    }

    std::optional<SaveRequest> taken() { return save_request_take(*slot); }

    test::TempAppDir app;
    std::shared_ptr<SaveRequestSlot> slot = std::make_shared<SaveRequestSlot>();
    EventEngineState st;
    vector<string> logs;
    optional<string> game = kGame;
    const Instant t0 = Instant(std::chrono::hours(10));
    int now_ms = 0;
    std::multimap<int, std::function<void()>> script;
};

string clip_path(const string& folder, const string& word) {
    return kDate + "/" + folder + "/CRVN_" + kDate + "_" + kClipTime + "_" + word + ".mp4";
}

TEST_F(Engine, OneKillCardBecomesOneSceneWithItsClip) {
    start("[clips]\nsegundos_antes = 5\nsegundos_despues = 5\n");
    st.mode_text = "Resurgimiento Quads";
    st.place_text = "COPPERTON";
    // Read on five frames with OCR errors; the medal pops up meanwhile.
    const char* readings[] = {"SHADOWFOX", "SHAD0WFOX", "SHADOWFOX", "SHADOWF0X", "SHADOWFOX"};
    for (int i = 0; i < 5; ++i) kill_card(4000 + 275 * i, readings[i], 57, i == 0 ? 1 : 2);
    medal(4500, "HEADSHOT");
    medal(1400, "LONGSHOT");  // 2.6 s before the card's first reading

    run_to(6250);  // last reading 1.15 s ago, first 2.25 s ago: still being read
    EXPECT_TRUE(logs.empty());
    run_to(6500);  // 1.4 s since the last reading
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0],
              "\n[BAJA] Eliminaste a SHADOWFOX (nivel 57) [HEADSHOT] en COPPERTON — tu baja #2 de "
              "la partida");
    EXPECT_EQ(logs[1], "       Sesión: 1 bajas / 0 muertes");
    EXPECT_FALSE(fs::exists(history()));  // lines wait for the scene to close

    run_to(11500);  // exactly 5 s of quiet: not more than the setting
    EXPECT_TRUE(history_lines().empty());
    run_to(11750);
    const string clip = clip_path("Bajas", "baja");
    EXPECT_THAT(
        history_lines(),
        ElementsAre(
            R"({"fecha":"2026-12-10","hora":"14:33:58","tipo":"baja","enemigo":"SHADOWFOX",)"
            R"("clan":null,"id":null,"nivel":57,"baja_en_partida":2,"medallas":["HEADSHOT"],)"
            R"("veces":1,"juego":"Warzone · Black Ops 7","modo":"Resurgimiento Quads",)"
            R"("mapa":null,"lugar":"COPPERTON","clip":")" +
            clip + R"("})"));
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(logs[2], "\n[CLIP] Escena con 1 evento(s) -> " + clip);

    const auto req = taken();
    ASSERT_TRUE(req);
    EXPECT_EQ(req->kind, "baja");
    EXPECT_EQ(req->clip_path, clip);
    // 7.75 s since the card's first reading, plus segundos_antes.
    ASSERT_TRUE(req->span);
    EXPECT_EQ(req->span->seconds, 12u);
    EXPECT_EQ(req->span->nanoseconds, 750'000'000u);
    EXPECT_EQ(req->automatic, 1);
    ASSERT_EQ(req->events.size(), 1u);
    EXPECT_EQ(
        req->events[0].fragment,
        R"("tipo":"baja","enemigo":"SHADOWFOX","nivel":57,"baja_en_partida":2,"medallas":["HEADSHOT"])");
    EXPECT_EQ(req->events[0].instant, at(4000));
    EXPECT_FALSE(st.scene);
}

TEST_F(Engine, StreakOfTwoKillsWithTalliesFromTheHistory) {
    // A kill of NIGHTOWL from an earlier session; tallies are read at start.
    fs::create_directories(clips());
    test::write_file(
        history(),
        R"({"fecha":"2026-12-09","hora":"20:00:00","tipo":"baja","enemigo":"NightOwl","clip":null})"
        "\n");
    start("[clips]\nsegundos_despues = 3\nsegundos_antes = 2\n");
    game.reset();
    for (int ms : {1000, 1250, 1500}) kill_card(ms, "SHADOWFOX");
    for (int ms : {4000, 4250, 4500}) kill_card(ms, "NIGHTOWL", 12);

    run_to(20000);
    const string clip = clip_path("Bajas", "bajas-x2");
    const auto lines = history_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(
        lines[1],
        R"({"fecha":"2026-12-10","hora":"14:33:58","tipo":"baja","enemigo":"SHADOWFOX","clan":null,)"
        R"("id":null,"nivel":null,"baja_en_partida":null,"medallas":[],"veces":1,"juego":null,)"
        R"("modo":null,"mapa":null,"lugar":null,"clip":")" +
            clip + R"("})");
    EXPECT_THAT(lines[2], HasSubstr(R"("enemigo":"NIGHTOWL",)"));
    EXPECT_THAT(lines[2], HasSubstr(R"("nivel":12,)"));
    EXPECT_THAT(lines[2], HasSubstr(R"("veces":2,"juego":null,)"));
    EXPECT_THAT(lines[2], HasSubstr(R"("clip":")" + clip + R"("})"));
    EXPECT_THAT(
        logs, ElementsAre("\n[BAJA] Eliminaste a SHADOWFOX", "       Sesión: 1 bajas / 0 muertes",
                          "\n[BAJA] Eliminaste a NIGHTOWL (nivel 12) — ya lo has eliminado 2 veces",
                          "       Sesión: 2 bajas / 0 muertes",
                          "\n[CLIP] Escena con 2 evento(s) -> " + clip));
    const auto req = taken();
    ASSERT_TRUE(req);
    EXPECT_EQ(req->kind, "bajas-x2");
    ASSERT_EQ(req->events.size(), 2u);
    EXPECT_EQ(req->events[1].instant, at(4000));
    // Closed at 9 s, 3 s after the second kill was committed: 8 s after the
    // first card's first reading, plus segundos_antes.
    EXPECT_EQ(req->span->seconds, 10u);
    EXPECT_EQ(req->span->nanoseconds, 0u);
}

TEST_F(Engine, KnockThenDeathWithKillcam) {
    start("[clips]\nsegundos_antes = 5\n");
    st.mode_text = "Botín";
    st.map_text = "Urzikstan";
    knock(1000, "VIPER");
    // The death card and its killcam: 3.00 s to 7.26 s.
    DeathCardReading r{"NIGHTOWL", "CAPTAIN", "ASSAULT RIFLE", "RED DOT + GRIP", 42};
    for (int ms = 3000; ms <= 7000; ms += 500) death_card(ms, r);
    death_card(7260, DeathCardReading{"NIGHT0WL", "CAPTA1N", nullopt, nullopt, 42});
    attackers(4000, 2);
    attackers(5000, 3);

    run_to(13250);  // 5.99 s since the last reading
    EXPECT_TRUE(logs.empty());
    EXPECT_TRUE(st.pending_knock);  // a knock waits while a death card is read
    run_to(13500);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0],
              "\n[MUERTE] Te eliminó NIGHTOWL (rango CAPTAIN, nivel 42, con ASSAULT RIFLE, te "
              "dispararon 3) — te había tumbado VIPER (killcam de 4 s)");
    EXPECT_EQ(logs[1], "       Sesión: 0 bajas / 1 muertes");
    EXPECT_TRUE(st.attacker_counts.empty());

    run_to(13750);  // the scene closes 0.5 s after the death
    EXPECT_TRUE(history_lines().empty());
    run_to(14000);
    const string clip = clip_path("Muertes", "muerte");
    EXPECT_THAT(
        history_lines(),
        ElementsAre(
            R"({"fecha":"2026-12-10","hora":"14:33:58","tipo":"muerte","enemigo":"NIGHTOWL",)"
            R"("clan":null,"id":null,"rango":"CAPTAIN","nivel":42,"arma":"ASSAULT RIFLE",)"
            R"("accesorios":"RED DOT + GRIP","atacantes":3,"derribado_por":"VIPER",)"
            R"("nombre_de":"killcam","killcam_seg":4.3,"veces":1,)"
            R"("juego":"Warzone · Black Ops 7","modo":"Botín","mapa":"Urzikstan",)"
            R"("lugar":null,"clip":")" +
            clip + R"("})"));
    EXPECT_EQ(logs.back(), "\n[CLIP] Escena con 1 evento(s) -> " + clip);
    const auto req = taken();
    ASSERT_TRUE(req);
    EXPECT_EQ(req->kind, "muerte");
    EXPECT_EQ(req->clip_path, clip);
    // The knock at 1 s opened the fight: 13 s before the close, plus 5.
    EXPECT_EQ(req->span->seconds, 18u);
    EXPECT_EQ(req->span->nanoseconds, 0u);
    ASSERT_EQ(req->events.size(), 3u);
    EXPECT_EQ(req->events[0].fragment,
              R"("tipo":"killcam","enemigo":"NIGHTOWL","arma":"ASSAULT RIFLE","atacantes":3)");
    EXPECT_EQ(req->events[0].instant, at(3000));
    EXPECT_EQ(req->events[1].fragment, R"("tipo":"derribo","enemigo":"VIPER")");
    EXPECT_EQ(req->events[1].instant, at(1000));
    EXPECT_EQ(req->events[2].fragment, R"("tipo":"fin_killcam")");
    EXPECT_EQ(req->events[2].instant, at(7260));
}

TEST_F(Engine, IllegibleKillerIsTheKnockerFromTheKillfeed) {
    start();
    knock(1000, "VIPER");
    for (int ms = 2000; ms <= 3000; ms += 250)
        death_card(ms, DeathCardReading{"K1", {}, {}, {}, {}});
    run_to(10000);
    const auto lines = history_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(
        lines[0],
        HasSubstr(
            R"("tipo":"muerte","enemigo":"VIPER","clan":null,"id":null,"rango":null,)"
            R"("nivel":null,"arma":null,"accesorios":null,"atacantes":null,)"
            R"("derribado_por":"VIPER","nombre_de":"killfeed","killcam_seg":1.0,"veces":1,)"));
    // The knocker is the killer: not told twice.
    EXPECT_EQ(logs[0], "\n[MUERTE] Te eliminó VIPER (killcam de 1 s)");
}

TEST_F(Engine, DeathWithoutAnyNameAndARecentKnockerOfAnotherFight) {
    start("[clips]\nsegundos_despues = 2\n");
    knock(1000, "ALPHA");  // committed alone after 5 s, its own scene
    run_to(12000);
    EXPECT_THAT(history_lines(),
                ElementsAre(HasSubstr(R"("tipo":"derribo","enemigo":"ALPHA","juego":)")));
    const auto first = taken();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->kind, "derribo");
    EXPECT_EQ(first->clip_path, clip_path("Muertes", "derribo"));

    // Revived; knocked again by BRAVO and killed: BRAVO is who knocked the
    // player down, even though ALPHA's knock is recent.
    knock(20000, "BRAVO");
    for (int ms = 21000; ms <= 22000; ms += 250)
        death_card(ms, DeathCardReading{"NIGHTOWL", {}, {}, {}, {}});
    run_to(40000);
    const auto lines = history_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[1], HasSubstr(R"("derribado_por":"BRAVO","nombre_de":"killcam",)"));
    EXPECT_EQ(logs[1], "\n[MUERTE] Te eliminó NIGHTOWL — te había tumbado BRAVO (killcam de 1 s)");

    // A card with no legible name and no knock-down at all.
    for (int ms = 50000; ms <= 50500; ms += 250)
        death_card(ms, DeathCardReading{"#1", {}, {}, {}, {}});
    run_to(60000);
    ASSERT_EQ(history_lines().size(), 3u);
    EXPECT_THAT(
        history_lines()[2],
        HasSubstr(R"("enemigo":null,"clan":null,"id":null,"rango":null,"nivel":null,"arma":null,)"
                  R"("accesorios":null,"atacantes":null,"derribado_por":null,"nombre_de":null,)"
                  R"("killcam_seg":0.5,"veces":0,)"));
    EXPECT_EQ(logs[4],
              "\n[MUERTE] Te eliminó alguien (no se pudo leer el nombre) (killcam de 0 s)");
}

TEST_F(Engine, KillfeedOnlyKillAndCardPlusKillfeedCountOnce) {
    start("[general]\ngamertag = PLAYERONE\n");
    // A kill seen only in the killfeed: counted 2.5 s later, medals within
    // 2.5 s of the line only.
    killfeed(1000, "PLAYERONE", "GHOST");
    medal(2000, "LONGSHOT");
    medal(3600, "HEADSHOT");  // 2.6 s after the line
    run_to(3500);             // 2.5 s: not yet
    EXPECT_TRUE(logs.empty());
    run_to(3750);
    EXPECT_THAT(logs, ElementsAre("\n[BAJA] Eliminaste a GHOST [LONGSHOT]",
                                  "       Sesión: 1 bajas / 0 muertes"));
    EXPECT_EQ(st.kill_cards_committed, 0u);
    run_to(9000);  // 5.25 s of quiet after the commit at 3.75 s
    const string clip = clip_path("Bajas", "baja");
    EXPECT_THAT(
        history_lines(),
        ElementsAre(R"({"fecha":"2026-12-10","hora":"14:33:58","tipo":"baja","enemigo":"GHOST",)"
                    R"("clan":null,"id":null,"nivel":null,"baja_en_partida":null,)"
                    R"("medallas":["LONGSHOT"],"veces":1,"juego":"Warzone · Black Ops 7",)"
                    R"("modo":null,"mapa":null,"lugar":null,"clip":")" +
                    clip + R"("})"));
    const auto req = taken();
    ASSERT_TRUE(req);
    EXPECT_EQ(req->kind, "baja");
    EXPECT_EQ(req->clip_path, clip);
    EXPECT_EQ(req->automatic, 1);
    // From the killfeed line at 1 s: 8 s, plus segundos_antes.
    EXPECT_EQ(req->span->seconds, 13u);
    EXPECT_EQ(req->span->nanoseconds, 0u);
    ASSERT_EQ(req->events.size(), 1u);
    EXPECT_EQ(
        req->events[0].fragment,
        R"("tipo":"baja","enemigo":"GHOST","nivel":null,"baja_en_partida":null,"medallas":["LONGSHOT"])");
    EXPECT_EQ(req->events[0].instant, at(1000));
    EXPECT_EQ(logs.back(), "\n[CLIP] Escena con 1 evento(s) -> " + clip);

    // A card and the killfeed line of the same kill.
    for (int ms : {20000, 20250, 20500}) kill_card(ms, "RAVEN", 30);
    killfeed(20600, "PLAYERONE", "RAVEN");
    run_to(40000);
    EXPECT_EQ(st.kills_since_start, 2u);
    const auto lines = history_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], HasSubstr(R"("enemigo":"GHOST","clan":null,"id":null,"nivel":null,)"
                                    R"("baja_en_partida":null,"medallas":["LONGSHOT"],)"));
    EXPECT_THAT(lines[1], HasSubstr(R"("enemigo":"RAVEN","clan":null,"id":null,"nivel":30,)"));
}

TEST_F(Engine, DuplicatesSingleReadingsAndTheRecentKillWindow) {
    start();
    kill_card(1000, "LONEREAD");  // one reading: no kill
    for (int ms : {5000, 5250}) kill_card(ms, "SHADOWFOX");
    // The same enemy again 11 s later (fuzzy equal): the same kill re-read.
    for (int ms : {16000, 16250}) kill_card(ms, "SHAD0WF0X");
    run_to(20000);
    EXPECT_EQ(st.kills_since_start, 1u);
    // Kept as long as the duplicate rule looks back, and no longer.
    events_prune_recent_kills(st, at(6500 + 11999));
    EXPECT_EQ(st.recent_kills.size(), 1u);
    events_prune_recent_kills(st, at(6500 + 12000));
    EXPECT_TRUE(st.recent_kills.empty());
    for (int ms : {30000, 30250}) kill_card(ms, "SHADOWFOX");
    run_to(40000);
    EXPECT_EQ(st.kills_since_start, 2u);
    EXPECT_EQ(st.kill_tallies.at("shadowfox"), 2u);
}

TEST_F(Engine, CardsReadOnAndOnAreCommittedAtTheirLongestTimes) {
    start();
    // A kill card still on screen 3 s after its first reading.
    for (int ms = 1000; ms <= 6000; ms += 250) kill_card(ms, "SHADOWFOX");
    run_to(4000);
    EXPECT_TRUE(logs.empty());
    run_to(4250);
    EXPECT_EQ(st.kills_since_start, 1u);
    // A death card read for more than 60 s.
    for (int ms = 10000; ms <= 75000; ms += 250)
        death_card(ms, DeathCardReading{"NIGHTOWL", {}, {}, {}, {}});
    run_to(70000);
    EXPECT_EQ(st.deaths_since_start, 0u);
    run_to(70250);
    EXPECT_EQ(st.deaths_since_start, 1u);
    EXPECT_THAT(logs, ::testing::Contains("\n[MUERTE] Te eliminó NIGHTOWL (killcam de 60 s)"));
}

TEST_F(Engine, LobbyDiscardsEverythingPendingUntilTheMatchStarts) {
    start();
    st.gamertag = "PLAYERONE";
    for (int ms : {1000, 1250, 1500}) death_card(ms, DeathCardReading{"NIGHTOWL", {}, {}, {}, {}});
    attackers(1200, 4);
    kill_card(1000, "SHADOWFOX");
    kill_card(1250, "SHADOWFOX");
    knock(1100, "VIPER");
    killfeed(1300, "PLAYERONE", "GHOST");
    lobby(1600);
    run_to(1750);
    EXPECT_FALSE(st.pending_death);
    EXPECT_FALSE(st.pending_kill);
    EXPECT_FALSE(st.pending_knock);
    EXPECT_TRUE(st.killfeed_kills.empty());
    EXPECT_TRUE(st.attacker_counts.empty());
    EXPECT_TRUE(LobbyFlag);

    // Readings during the lobby come to nothing either.
    for (int ms : {5000, 5250, 5500}) kill_card(ms, "RAVEN");
    run_to(9500);  // 7.9 s since the lobby text
    EXPECT_TRUE(st.in_lobby);
    EXPECT_TRUE(logs.empty());
    run_to(9750);  // 8.15 s
    EXPECT_FALSE(st.in_lobby);
    EXPECT_FALSE(LobbyFlag);
    EXPECT_THAT(logs,
                ElementsAre("[PARTIDA] Empieza la partida: el detector vuelve a guardar clips."));
    run_to(30000);
    EXPECT_EQ(st.kills_since_start, 0u);
    EXPECT_EQ(st.deaths_since_start, 0u);
    EXPECT_FALSE(fs::exists(history()));
    EXPECT_FALSE(taken());
}

TEST_F(Engine, GamertagLearnedFromTheKillfeedAndSavedToTheIni) {
    start();
    EXPECT_FALSE(st.gamertag);
    for (int ms : {1000, 1250}) kill_card(ms, "SHADOWFOX");
    killfeed(1100, "PLAYERONE", "SHADOWFOX");
    run_to(5000);
    EXPECT_FALSE(st.gamertag);  // seen once
    for (int ms : {6000, 6250}) kill_card(ms, "NIGHTOWL");
    killfeed(6100, "[TAG]PLAYERONE#12", "NIGHTOWL");
    run_to(7500);
    EXPECT_EQ(st.gamertag, "PLAYERONE");
    EXPECT_EQ(st.gamertag_confirmations, 2u);
    ASSERT_GE(logs.size(), 3u);
    EXPECT_EQ(logs[2],
              "\n[JUGADOR] Te reconocí como PLAYERONE: tus bajas también se leen del killfeed.");
    EXPECT_EQ(logs[3], "\n[BAJA] Eliminaste a NIGHTOWL");
    EXPECT_EQ(config_load().general.gamertag, "PLAYERONE");
    EXPECT_EQ(st.kill_cards_committed, 2u);

    // A death whose killer the killfeed shows killing the player confirms it.
    for (int ms : {20000, 20250}) death_card(ms, DeathCardReading{"RAVEN", {}, {}, {}, {}});
    killfeed(20100, "RAVEN", "PLAYERONE");
    run_to(30000);
    EXPECT_EQ(st.gamertag_confirmations, 3u);
}

TEST_F(Engine, GamertagReplacementRules) {
    start("[general]\ngamertag = OLDNAME\n");
    ASSERT_EQ(st.gamertag, "OLDNAME");
    events_learn_gamertag(st, "PLAYERONE");
    events_learn_gamertag(st, "[CLAN]PLAYERONE#77");  // same key
    EXPECT_EQ(st.gamertag, "OLDNAME");
    events_learn_gamertag(st, "PLAYERONE");
    EXPECT_EQ(st.gamertag, "PLAYERONE");
    EXPECT_THAT(logs, ElementsAre("\n[JUGADOR] Tu gamertag no era «OLDNAME»: ahora es PLAYERONE."));
    EXPECT_EQ(config_load().general.gamertag, "PLAYERONE");

    // Confirmed once, never replaced; too short a name is no candidate.
    for (int i = 0; i < 5; ++i) events_learn_gamertag(st, "STRANGER");
    events_learn_gamertag(st, "A-1");
    EXPECT_EQ(st.gamertag, "PLAYERONE");
    EXPECT_TRUE(st.gamertag_candidates.find("a1") == st.gamertag_candidates.end());
}

TEST_F(Engine, GamertagThatTheIniCannotHoldIsNotAdopted) {
    start();
    const string before = test::read_file(app.ini());
    for (const char* name : {"PLAY;ER", "\"QUOTED\"", " SPACED", "BAD\xFF" "BYTE"}) {
        events_learn_gamertag(st, name);
        events_learn_gamertag(st, name);
        EXPECT_FALSE(st.gamertag) << name;
    }
    EXPECT_TRUE(logs.empty());
    EXPECT_EQ(test::read_file(app.ini()), before);
}

TEST_F(Engine, ConsensusTables) {
    struct Case {
        vector<string> readings;
        optional<string> want;
    };
    const Case cases[] = {
        {{"SNIPER", "SNlPER", "SNIPR"}, "SNIPER"},
        {{"ABC", "ABD", "ABCD"}, "ABCD"},  // equal sums: the longest
        {{"AB1", "AB12"}, "AB12"},
        {{"ABC", "ABD"}, "ABC"},  // equal sums and lengths: the earlier
        {{}, nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(events_consensus(c.readings), c.want);

    const vector<DeathCardReading> readings = {{"X", "CAPTAIN", nullopt, nullopt, 20},
                                               {"X", nullopt, nullopt, nullopt, 21},
                                               {"X", "CAPTA1N", nullopt, nullopt, 20},
                                               {"X", "CAPTAIN", nullopt, nullopt, 21}};
    EXPECT_EQ(events_pick_consensus(readings, events_reading_rank), "CAPTAIN");
    EXPECT_EQ(events_pick_consensus(readings, events_reading_weapon), nullopt);
    EXPECT_EQ(events_pick_consensus(readings, events_reading_level), "20");

    // Kill-card levels: the most frequent, on equal counts the later one.
    start();
    for (int ms : {1000, 1250, 1500, 1750})
        kill_card(ms, "SHADOWFOX", ms == 1000 || ms == 1500 ? 20 : 21);
    run_to(5000);
    EXPECT_THAT(logs[0], HasSubstr("(nivel 21)"));
}

TEST_F(Engine, AutomaticosMuertesClipsOnlyDeathsAndKnockDowns) {
    start("[clips]\nautomaticos = muertes\nsegundos_despues = 1\n");
    for (int ms : {1000, 1250}) kill_card(ms, "SHADOWFOX");
    run_to(10000);
    EXPECT_THAT(history_lines(), ElementsAre(HasSubstr(R"("lugar":null,"clip":null})")));
    EXPECT_FALSE(taken());
    EXPECT_THAT(logs, ::testing::Not(::testing::Contains(HasSubstr("[CLIP]"))));

    for (int ms : {20000, 20250}) death_card(ms, DeathCardReading{"NIGHTOWL", {}, {}, {}, {}});
    run_to(30000);
    ASSERT_EQ(history_lines().size(), 2u);
    EXPECT_THAT(history_lines()[1],
                HasSubstr(R"("clip":")" + clip_path("Muertes", "muerte") + R"("})"));
    const auto req = taken();
    ASSERT_TRUE(req);
    EXPECT_EQ(req->kind, "muerte");
}

TEST_F(Engine, AutomaticosNingunoStillWritesTheHistory) {
    start("[clips]\nautomaticos = ninguno\nsegundos_despues = 1\n");
    for (int ms : {1000, 1250}) kill_card(ms, "SHADOWFOX");
    for (int ms : {20000, 20250}) death_card(ms, DeathCardReading{"NIGHTOWL", {}, {}, {}, {}});
    run_to(40000);
    const auto lines = history_lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) EXPECT_THAT(line, HasSubstr(R"(,"clip":null})"));
    EXPECT_FALSE(taken());
    EXPECT_THAT(logs, ::testing::Not(::testing::Contains(HasSubstr("[CLIP]"))));
}

TEST_F(Engine, ScenesClosingInTheSameSecondGetDistinctClips) {
    start("[clips]\nsegundos_despues = 0\n");
    vector<string> paths;
    for (int base : {1000, 6000, 11000}) {
        for (int ms : {base, base + 250})
            kill_card(ms, base == 1000 ? "SHADOWFOX" : base == 6000 ? "NIGHTOWL" : "RAVEN");
        run_to(base + 4000);
        const auto req = taken();
        ASSERT_TRUE(req);
        paths.push_back(*req->clip_path);
    }
    const string first = clip_path("Bajas", "baja");
    const string stem = first.substr(0, first.size() - 4);
    EXPECT_THAT(paths, ElementsAre(first, stem + "-2.mp4", stem + "-3.mp4"));
    // The history names each clip that holds its event.
    const auto lines = history_lines();
    ASSERT_EQ(lines.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_THAT(lines[i], HasSubstr("\"clip\":\"" + paths[i] + "\"}"));
}

TEST_F(Engine, SceneStaysOpenWhileACardIsReadAndClosesAtTwoMinutes) {
    start("[clips]\nsegundos_despues = 30\n");
    for (int ms : {1000, 1250}) kill_card(ms, "SHADOWFOX");
    // Kills every 20 s keep the scene quiet for less than 30 s.
    const char* names[] = {"NIGHTOWL", "RAVEN", "VIPERX", "GHOSTY", "FALCON"};
    for (int i = 0; i < 5; ++i)
        for (int ms : {21000 + 20000 * i, 21250 + 20000 * i}) kill_card(ms, names[i]);
    run_to(121000);  // 120 s since the first event: not more
    EXPECT_TRUE(st.scene);
    run_to(121250);
    EXPECT_FALSE(st.scene);
    EXPECT_EQ(history_lines().size(), 6u);
    EXPECT_EQ(taken()->kind, "bajas-x6");
}

TEST_F(Engine, HistoryFailureIsLoggedAndTheClipStillAsked) {
    start("[clips]\nsegundos_despues = 0\n");
    fs::create_directories(history());  // a folder where the file should be
    for (int ms : {1000, 1250}) kill_card(ms, "SHADOWFOX");
    run_to(5000);
    EXPECT_THAT(logs, ::testing::Contains(
                          "\n[AVISO] No se pudo guardar el registro de eventos: Is a directory"));
    EXPECT_TRUE(taken());
}

TEST_F(Engine, TalliesReloadAfterTheHistoryWasRewritten) {
    start();
    for (int ms : {1000, 1250}) kill_card(ms, "SHADOWFOX");
    run_to(10000);
    EXPECT_EQ(st.kill_tallies.at("shadowfox"), 1u);
    {
        std::lock_guard lock(HistoryLock);
        test::write_file(history(), R"({"tipo":"muerte","enemigo":"Raven"})"
                                    "\n");
    }
    HistoryChangedFlag = true;
    run_to(10250);
    EXPECT_TRUE(st.kill_tallies.empty());
    EXPECT_EQ(st.death_tallies.at("raven"), 1u);
    EXPECT_EQ(logs.back(), "[CLIPS] Se borraron eventos desde el visor: historial recargado.");
    EXPECT_FALSE(HistoryChangedFlag);
}

TEST_F(Engine, QuitWritesTheOpenSceneWithoutAClip) {
    start("[clips]\nsegundos_despues = 30\n");
    for (int ms : {1000, 1250}) kill_card(ms, "SHADOWFOX");
    run_to(5000);
    ASSERT_TRUE(st.scene);
    events_close_at_quit(st);
    EXPECT_THAT(history_lines(), ElementsAre(HasSubstr(R"("enemigo":"SHADOWFOX",)")));
    EXPECT_THAT(history_lines()[0], HasSubstr(R"(,"clip":null})"));
    EXPECT_FALSE(taken());
    EXPECT_FALSE(st.scene);
}

TEST_F(Engine, HostileNamesStayInsideTheirJsonStrings) {
    start("[clips]\nsegundos_despues = 0\n");
    const string name = "../x\"},\"tipo\":\"muerte\t\\";
    for (int ms : {1000, 1250}) kill_card(ms, name);
    run_to(5000);
    const auto lines = history_lines();
    ASSERT_EQ(lines.size(), 1u);
    const auto j = nlohmann::ordered_json::parse(lines[0]);
    EXPECT_EQ(j["tipo"], "baja");
    EXPECT_EQ(j["enemigo"], name);
    // The name never reaches the clip's path.
    EXPECT_EQ(taken()->clip_path, clip_path("Bajas", "baja"));
}

}  // namespace
}  // namespace corvane
