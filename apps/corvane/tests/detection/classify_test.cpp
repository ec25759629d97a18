// The screen-text classifier on scripted OCR lines: what it reads from each
// region, and what it hands the event engine on a fake clock.

#include "detection/classify.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "base/flags.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using std::nullopt;
using std::optional;
using std::string;
using std::vector;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

OcrLine at(string text, float y) { return OcrLine{std::move(text), 960.0f, y}; }

vector<OcrLine> lines(std::initializer_list<string> texts) {
    vector<OcrLine> out;
    float y = 10.0f;
    for (const auto& t : texts) {
        out.push_back(at(t, y));
        y += 30.0f;
    }
    return out;
}

TEST(Classify, MenuNeedsTwoDifferentWords) {
    struct Case {
        vector<OcrLine> top;
        bool menu;
    };
    const vector<Case> cases = {
        {lines({"STORE"}), false},
        {lines({"STORE", "STORE"}), false},
        {lines({"STORE", "CAREER"}), true},
        {lines({"OPERATORS WEAPONS"}), true},
        {lines({"BATTLE PASS", "something else"}), false},
        {{}, false},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(classify_is_menu(cases[i].top), cases[i].menu) << "case " << i;
}

TEST(Classify, DeploymentAndMatchStartWords) {
    EXPECT_TRUE(classify_mentions_deployment(lines({"x", "DEPLOYMENT WILL BEGIN IN 12"})));
    EXPECT_TRUE(classify_mentions_deployment(lines({"DEPLOYMENT BEGINS"})));
    EXPECT_FALSE(classify_mentions_deployment(lines({"DEPLOYABLE COVER"})));
    EXPECT_FALSE(classify_mentions_deployment({}));
    EXPECT_TRUE(classify_mentions_match_start(lines({"ENTERING THE WARZONE"})));
    EXPECT_FALSE(classify_mentions_match_start(lines({"WARZONE"})));

    OcrLinesResult ok{true, lines({"DEPLOYMENT WILL BEGIN"}), {}};
    EXPECT_TRUE(detect_lines_mention_deployment(ok));
    OcrLinesResult failed{false, lines({"DEPLOYMENT WILL BEGIN"}), PlatformError{1, "x"}};
    EXPECT_FALSE(detect_lines_mention_deployment(failed));
    EXPECT_FALSE(detect_lines_mention_deployment(OcrLinesResult{true, {}, {}}));
}

TEST(Classify, TopCentreKillcamFinalAndMedals) {
    ScreenReading r;
    classify_top_centre(lines({"KILLCAM"}), r);
    EXPECT_TRUE(r.killcam);
    EXPECT_FALSE(r.final_killcam);

    ScreenReading f;
    classify_top_centre(lines({"FINAL KILLCAM"}), f);
    EXPECT_TRUE(f.killcam);
    EXPECT_TRUE(f.final_killcam);

    ScreenReading m;
    classify_top_centre(lines({"HEADSHOT", "LONGSHOT HEADSHOT", "FINAL KILL"}), m);
    EXPECT_FALSE(m.killcam);
    EXPECT_TRUE(m.final_killcam);
    EXPECT_THAT(m.medals, ElementsAre("HEADSHOT", "LONGSHOT"));

    // Medal words on the killcam's own line are not medals.
    ScreenReading k;
    classify_top_centre(lines({"KILLCAM HEADSHOT"}), k);
    EXPECT_THAT(k.medals, IsEmpty());
}

TEST(Classify, PlaceUnderTheCompassOrInTheFixedBand) {
    struct Case {
        vector<OcrLine> top;
        std::uint32_t height;
        optional<string> place;
    };
    const vector<Case> cases = {
        // Compass at y 20: band (21, 74] at 1080p.
        {{at("NW N NE", 20), at("COPPERTON", 50)}, 1080, "COPPERTON"},
        {{at("NW N NE", 20), at("COPPERTON", 80)}, 1080, nullopt},
        {{at("NW N NE", 20), at("COPPERTON", 21)}, 1080, nullopt},
        // Leading and trailing marks go; lower case, too few letters and
        // compass words are no place.
        {{at("N", 20), at("|COPPERTON.", 40)}, 1080, "COPPERTON"},
        {{at("N", 20), at("Copperton", 40)}, 1080, nullopt},
        {{at("N", 20), at("ABC", 40)}, 1080, nullopt},
        {{at("N", 20), at("NE", 40), at("SALT MINE", 30)}, 1080, nullopt},  // t is the lowest compass
        {{at("N", 20), at("ABCD1", 40)}, 1080, "ABCD1"},                    // 80 % letters
        {{at("N", 20), at("ABCD12", 40)}, 1080, nullopt},
        {{at("N", 20), at("HEADSHOT", 40)}, 1080, nullopt},
        {{at("N", 20), at("ZONA ÁRIDA", 40)}, 1080, "ZONA ÁRIDA"},
        // No compass: only (0.03H, 0.16H].
        {{at("COPPERTON", 30)}, 1080, nullopt},
        {{at("COPPERTON", 33)}, 1080, "COPPERTON"},
        {{at("COPPERTON", 172)}, 1080, "COPPERTON"},
        {{at("COPPERTON", 173)}, 1080, nullopt},
        {{at("COPPERTON", 40)}, 1440, nullopt},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(classify_place(cases[i].top, cases[i].height), cases[i].place) << "case " << i;
}

TEST(Classify, KillNumberOnlyFromOneToSixty) {
    const vector<std::pair<string, optional<std::uint32_t>>> cases = {
        {"2ND KILL", 2}, {"1ST KILL", 1},  {"60TH KILL", 60},         {"61ST KILL", nullopt},
        {"0TH KILL", nullopt}, {"KILL", nullopt}, {"99999999999999999999TH", nullopt},
    };
    for (const auto& [text, n] : cases) EXPECT_EQ(classify_kill_number(text), n) << text;
}

TEST(Classify, KillCard) {
    const auto card = [](vector<OcrLine> band, std::uint32_t h = 1080) {
        return classify_bottom_cards(band, h).kill_card;
    };
    auto k = card({at("ELIMINATED SHADOWFOX", 800), at("2ND KILL", 840), at("57", 900)});
    ASSERT_TRUE(k);
    EXPECT_EQ(k->victim, "SHADOWFOX");
    EXPECT_EQ(k->kill_number, 2u);
    EXPECT_EQ(k->level, 57u);

    // 61ST gives no number; a later good line does.
    k = card({at("ELIMINATED SHADOWFOX", 800), at("61ST KILL", 820), at("3RD KILL", 840)});
    ASSERT_TRUE(k);
    EXPECT_EQ(k->kill_number, 3u);

    // The nearest number below the card is the level; above it or beyond the
    // reach is none.
    k = card({at("12", 780), at("ELIMINATED SHADOWFOX", 800), at("88", 960), at("57", 900)});
    EXPECT_EQ(k->level, 57u);
    k = card({at("ELIMINATED SHADOWFOX", 800), at("57", 971)});
    EXPECT_EQ(k->level, nullopt);
    k = card({at("ELIMINATED SHADOWFOX", 800), at("57", 970)});
    EXPECT_EQ(k->level, 57u);
    // The reach grows with the screen: 226 px at 1440p, 340 px at 4K.
    k = card({at("ELIMINATED SHADOWFOX", 1080), at("57", 1300)}, 1440);
    EXPECT_EQ(k->level, 57u);
    k = card({at("ELIMINATED SHADOWFOX", 1620), at("57", 1950)}, 2160);
    EXPECT_EQ(k->level, 57u);
    k = card({at("ELIMINATED SHADOWFOX", 1080), at("57", 1310)}, 1440);
    EXPECT_EQ(k->level, nullopt);

    // No readable name: no card.
    EXPECT_FALSE(card({at("ELIMINATED", 800), at("2ND KILL", 840)}));
    EXPECT_FALSE(card({at("2ND KILL", 840)}));
}

TEST(Classify, DeathCard) {
    auto cards = classify_bottom_cards(
        lines({"KILLED BY NIGHTOWL", "CAPTAIN ||", "42", "ASSAULT RIFLE", "RED DOT + GRIP",
               "ELIMINATED SHADOWFOX"}),
        1080);
    ASSERT_TRUE(cards.death_card);
    EXPECT_FALSE(cards.kill_card);  // a death card hides any kill card
    const DeathCardReading& d = *cards.death_card;
    EXPECT_EQ(d.killer, "NIGHTOWL");
    EXPECT_EQ(d.rank, "CAPTAIN");
    EXPECT_EQ(d.level, 42u);
    EXPECT_EQ(d.weapon, "ASSAULT RIFLE");
    EXPECT_EQ(d.attachments, "RED DOT + GRIP");

    // A weapon without a class word: the line above the attachments, when it
    // has a digit followed by an upper-case letter.
    cards = classify_bottom_cards(lines({"KILLED BY: NightOwl", "M4 Carbine", "RED DOT + GRIP"}),
                                  1080);
    ASSERT_TRUE(cards.death_card);
    EXPECT_EQ(cards.death_card->killer, "NightOwl");
    EXPECT_EQ(cards.death_card->weapon, "M4 Carbine");
    EXPECT_EQ(cards.death_card->rank, nullopt);
    cards = classify_bottom_cards(lines({"KILLED BY NIGHTOWL", "Carbine 4", "RED DOT + GRIP"}), 1080);
    EXPECT_EQ(cards.death_card->weapon, nullopt);

    // Words read before the label on its row (a piece of the background)
    // do not become the start of the name; the label misread still counts.
    for (const auto& [row, name] :
         vector<std::pair<string, string>>{{"ae KILLED BY Jaxmabeko", "Jaxmabeko"},
                                           {"“e ‘ KILLEO BY NIGHTOWL", "NIGHTOWL"},
                                           {"ae ELIMINATED GOLRUD_QUEWIX43", "GOLRUD_QUEWIX43"}}) {
        cards = classify_bottom_cards(lines({row}), 1080);
        const string got = cards.death_card  ? cards.death_card->killer
                           : cards.kill_card ? cards.kill_card->victim
                                             : string("-");
        EXPECT_EQ(got, name) << row;
    }

    // The first "KILLED BY" line has no name: neither card.
    cards = classify_bottom_cards(lines({"KILLED BY", "KILLED BY NIGHTOWL", "ELIMINATED SHADOWFOX"}),
                                  1080);
    EXPECT_FALSE(cards.death_card);
    EXPECT_FALSE(cards.kill_card);
}

TEST(Classify, AttackersDigitsOverflowIsNoNumber) {
    const vector<std::pair<string, optional<std::uint32_t>>> digits = {
        {"ATTACKERS 3", 3u},       {"A1B2", 12u}, {"4294967295", 4294967295u},
        {"4294967296", nullopt},   {"99999999999999999999999", nullopt}, {"none", nullopt},
    };
    for (const auto& [text, n] : digits) EXPECT_EQ(classify_digits_u32(text), n) << text;

    EXPECT_EQ(classify_attackers(lines({"ATTACKERS 3"})), 3u);
    EXPECT_EQ(classify_attackers(lines({"ATTACKER 21", "ATTACKERS 20"})), 20u);
    EXPECT_EQ(classify_attackers(lines({"ATTACKERS 4294967299"})), nullopt);
    EXPECT_EQ(classify_attackers(lines({"ATTACKERS 0", "3"})), nullopt);
}

TEST(Classify, OnePassOverTopCentreAndBottomBand) {
    const vector<OcrLine> top = {at("NW N NE", 20), at("COPPERTON", 50), at("HEADSHOT", 250)};
    const vector<OcrLine> bottom = {at("ELIMINATED SHADOWFOX", 800), at("2ND KILL", 840),
                                    at("57", 900), at("DEPLOYMENT WILL BEGIN", 1000)};
    ScreenReading r = classify_screen(top, bottom, 1080, false);
    EXPECT_FALSE(r.menu);
    EXPECT_TRUE(r.deployment);
    EXPECT_FALSE(r.match_start);
    EXPECT_FALSE(r.killcam);
    EXPECT_EQ(r.place, "COPPERTON");
    EXPECT_THAT(r.medals, ElementsAre("HEADSHOT"));
    ASSERT_TRUE(r.kill_card);
    EXPECT_EQ(r.kill_card->victim, "SHADOWFOX");
    EXPECT_FALSE(classify_wants_centre_band(r, 4, false));  // deployment already seen

    // The killcam's buttons in the bottom band count only while a death is open.
    const vector<OcrLine> buttons = {at("REPORT PLAYER", 1000)};
    EXPECT_FALSE(classify_screen({}, buttons, 1080, false).killcam);
    r = classify_screen({}, buttons, 1080, true);
    EXPECT_TRUE(r.killcam);
    EXPECT_FALSE(classify_wants_top_strip(r, true));
    r = classify_screen({}, {}, 1080, true);
    EXPECT_TRUE(classify_wants_top_strip(r, true));
    EXPECT_FALSE(classify_wants_top_strip(r, false));
    EXPECT_FALSE(classify_wants_centre_band(r, 4, true));
    EXPECT_TRUE(classify_wants_centre_band(r, 8, false));
    EXPECT_FALSE(classify_wants_centre_band(r, 9, false));

    EXPECT_TRUE(classify_killcam_in_strip(lines({"KILLCAM"})));
    EXPECT_FALSE(classify_killcam_in_strip(lines({"FINAL KILLCAM"})));
    EXPECT_TRUE(classify_screen({at("ENTERING THE WARZONE", 200)}, {}, 1080, false).match_start);
}

// OCR text is chosen by other players (their names): broken UTF-8, path
// marks and very long lines must read as text and nothing else.
TEST(Classify, HostileTextIsOnlyText) {
    const string junk = "\xff\xfe\xc3";
    const string long_line(20000, 'K');
    const vector<OcrLine> top = {at("N", 20), at(junk + "COPPERTON" + junk, 40), at(long_line, 60)};
    const vector<OcrLine> bottom = {at("ELIMINATED ../x" + junk, 800), at(long_line + " 2ND KILL", 820),
                                    at(junk, 840)};
    const ScreenReading r = classify_screen(top, bottom, 1080, true);
    EXPECT_EQ(r.place, "COPPERTON");
    ASSERT_TRUE(r.kill_card);
    EXPECT_THAT(r.kill_card->victim, HasSubstr("/x"));  // a name, never a path
    EXPECT_EQ(r.kill_card->kill_number, 2u);

    std::array<std::uint8_t, 6> odd = {1, 2, 3, 4, 5, 6};  // not a whole number of pixels
    classify_binarise(odd.data(), odd.size());
    EXPECT_EQ(odd[4], 5);
    EXPECT_EQ(odd[5], 6);
}

TEST(Classify, BinarisationKeepsRedYellowWhiteText) {
    struct Case {
        std::uint8_t r, g, b, v;
    };
    const vector<Case> cases = {
        {250, 250, 250, 0},    // white
        {250, 200, 150, 255},  // pale orange
        {200, 60, 60, 0},      // red
        {200, 60, 120, 255},   // pink
        {230, 200, 40, 0},     // yellow
        {200, 200, 200, 255},  // light grey
        {40, 40, 40, 255},     // dark
        {170, 60, 60, 255},    // just under red
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 4> px = {c.b, c.g, c.r, 7};
        classify_binarise(px.data(), px.size());
        EXPECT_EQ(px[0], c.v);
        EXPECT_EQ(px[1], c.v);
        EXPECT_EQ(px[2], c.v);
        EXPECT_EQ(px[3], 255);
    }
}

// ---- Hand-over --------------------------------------------------------------

class HandOver : public ::testing::Test {
  protected:
    void SetUp() override {
        LobbyFlag = false;
        st.log = [this](std::string_view m) { logs.emplace_back(m); };
        st.local_time = [] { return LocalDateTime{"2026-12-10", "14-33-58"}; };
    }
    void TearDown() override { LobbyFlag = false; }

    // One pass: the readings handed over as the classifier does, in its order.
    void pass(const ScreenReading& r, GameContextValue context = {}) {
        classify_hand_over(st, r, now);
        classify_hand_over_context(st, r, std::move(context), stats, now);
    }
    static ScreenReading kill(string victim, optional<std::uint32_t> number = nullopt) {
        ScreenReading r;
        r.kill_card = KillCardReading{std::move(victim), number, 57};
        return r;
    }
    int count_logs(std::string_view part) const {
        int n = 0;
        for (const auto& l : logs) n += l.find(part) != string::npos;
        return n;
    }

    EventEngineState st;
    DetectorStats stats;
    vector<string> logs;
    Instant now = Instant{} + 1000s;
};

TEST_F(HandOver, KillCardReadingsJoinOneCard) {
    for (int i = 0; i < 3; ++i) {
        pass(kill("SHADOWFOX", 2));
        now += 250ms;
    }
    ASSERT_TRUE(st.pending_kill);
    EXPECT_THAT(st.pending_kill->names, ElementsAre("SHADOWFOX", "SHADOWFOX", "SHADOWFOX"));
    EXPECT_THAT(st.pending_kill->kill_numbers, ElementsAre(2u, 2u, 2u));
    EXPECT_THAT(st.pending_kill->levels, ElementsAre(57u, 57u, 57u));
    EXPECT_EQ(st.pending_kill->first, Instant{} + 1000s);
    EXPECT_EQ(st.kills_since_start, 0u);

    // A different victim closes the card (committed: it had readings enough).
    pass(kill("NIGHTOWL"));
    EXPECT_EQ(st.kills_since_start, 1u);
    EXPECT_THAT(st.pending_kill->names, ElementsAre("NIGHTOWL"));

    // 1.499 s later it still joins; 1.5 s after that it does not.
    now += 1499ms;
    pass(kill("NIGHTOWL"));
    EXPECT_EQ(st.pending_kill->names.size(), 2u);
    now += 1500ms;
    pass(kill("NIGHTOWL"));
    EXPECT_EQ(st.kills_since_start, 2u);
    EXPECT_EQ(st.pending_kill->names.size(), 1u);

    // Another kill number is another card.
    now += 250ms;
    pass(kill("NIGHTOWL", 3));
    now += 250ms;
    pass(kill("NIGHTOWL", 4));
    EXPECT_THAT(st.pending_kill->kill_numbers, ElementsAre(4u));
}

TEST_F(HandOver, DeathOpensOutsideTheLockoutAndNotOnTheFinalKillcam) {
    ScreenReading final_cam;
    final_cam.killcam = final_cam.final_killcam = true;
    pass(final_cam);
    EXPECT_FALSE(st.pending_death);

    st.last_death_at = now;
    st.attacker_counts = {4};
    ScreenReading card;
    card.death_card = DeathCardReading{"NIGHTOWL"};
    now += 20s;
    pass(card);
    EXPECT_FALSE(st.pending_death);
    EXPECT_EQ(count_logs("[KILLCAM] Empieza la killcam"), 0);

    now += 5s;  // 25 s after the last death
    EXPECT_TRUE(classify_hand_over(st, card, now));
    ASSERT_TRUE(st.pending_death);
    EXPECT_EQ(st.pending_death->readings.size(), 1u);
    EXPECT_THAT(st.attacker_counts, IsEmpty());
    EXPECT_EQ(count_logs("[KILLCAM] Empieza la killcam"), 1);

    // While open: killcam text renews it, cards add readings; attackers are
    // read even on a pass without a card.
    ScreenReading cam;
    cam.killcam = true;
    now += 1s;
    EXPECT_TRUE(classify_hand_over(st, cam, now));
    EXPECT_EQ(st.pending_death->last, now);
    classify_hand_over_attackers(st, lines({"ATTACKERS 2"}));
    EXPECT_THAT(st.attacker_counts, ElementsAre(2u));
    now += 250ms;
    classify_hand_over(st, card, now);
    EXPECT_EQ(st.pending_death->readings.size(), 2u);
    EXPECT_EQ(count_logs("[KILLCAM]"), 1);
}

TEST_F(HandOver, KillcamAloneOpensADeathWithoutReadings) {
    ScreenReading cam;
    cam.killcam = true;
    EXPECT_FALSE(classify_hand_over(st, cam, now));  // no death was open before
    ASSERT_TRUE(st.pending_death);
    EXPECT_THAT(st.pending_death->readings, IsEmpty());
}

TEST_F(HandOver, LobbyLoggedOnceAndGatesCardsUntilTheMatchStarts) {
    ScreenReading lobby;
    lobby.deployment = true;
    lobby.kill_card = KillCardReading{"SHADOWFOX", 1, nullopt};  // same pass as the lobby
    pass(lobby);
    EXPECT_FALSE(st.pending_kill);
    EXPECT_TRUE(st.in_lobby);
    EXPECT_TRUE(LobbyFlag);
    EXPECT_EQ(stats.previa, 1u);

    ScreenReading again;
    again.deployment = true;
    for (int i = 0; i < 3; ++i) {
        now += 250ms;
        pass(again);
    }
    EXPECT_EQ(stats.previa, 4u);
    EXPECT_EQ(count_logs("[PARTIDA] Lobby previo (calentamiento): no se guardan clips ni se "
                         "cuentan bajas hasta que empiece la partida."),
              1);

    // Within 8 s of the last deployment text: no cards.
    now += 7s;
    ScreenReading both = kill("SHADOWFOX");
    both.death_card = DeathCardReading{"NIGHTOWL"};
    pass(both);
    EXPECT_FALSE(st.pending_kill);
    EXPECT_FALSE(st.pending_death);

    ScreenReading start;
    start.match_start = true;
    pass(start);
    EXPECT_FALSE(st.in_lobby);
    EXPECT_FALSE(LobbyFlag);
    EXPECT_EQ(count_logs("[PARTIDA] Empieza la partida"), 1);

    // The match start lifts the gate at once.
    pass(kill("SHADOWFOX"));
    EXPECT_TRUE(st.pending_kill);
}

TEST_F(HandOver, PlaceIsTheConsensusOfTheLastEight) {
    const auto place = [&](string p) {
        ScreenReading r;
        r.place = std::move(p);
        pass(r);
    };
    place("C0PPERTON");
    EXPECT_EQ(st.place_text, "C0PPERTON");
    place("COPPERTON");
    EXPECT_EQ(st.place_text, "C0PPERTON");  // equal sums, equal length: the older stays
    place("COPPERTON");
    EXPECT_EQ(st.place_text, "COPPERTON");
    for (int i = 0; i < 5; ++i) place("SALT MINE");
    EXPECT_EQ(st.place_text, "SALT MINE");
    EXPECT_EQ(st.place_readings.size(), 8u);
    place("SALT MINE");
    EXPECT_EQ(st.place_readings.size(), 8u);
    EXPECT_EQ(st.place_readings.front(), "COPPERTON");
}

TEST_F(HandOver, MedalsAndRecentKillsArePrunedEveryPass) {
    ScreenReading r;
    r.medals = {"HEADSHOT"};
    pass(r);
    st.recent_kills.push_back(RecentKill{now, "SHADOWFOX"});
    now += 3999ms;
    pass(ScreenReading{});
    EXPECT_EQ(st.medal_sightings.size(), 1u);
    now += 1ms;
    pass(ScreenReading{});
    EXPECT_THAT(st.medal_sightings, IsEmpty());
    EXPECT_EQ(st.recent_kills.size(), 1u);
    now += kRecentKillWindow;
    pass(ScreenReading{});
    EXPECT_THAT(st.recent_kills, IsEmpty());
}

TEST_F(HandOver, MenuSelectionAndObjectiveScreen) {
    GameContextValue c;
    c.menu_selection = MenuSelection{"Resurgimiento Quads", "Copper Harbor"};
    pass(ScreenReading{}, c);
    pass(ScreenReading{}, c);
    EXPECT_EQ(count_logs("\n[MENÚ] Modo seleccionado: Resurgimiento Quads — Copper Harbor"), 1);

    GameContextValue o;
    o.objectives = ObjectivesReading{"Resurgimiento Quads", nullopt};  // keeps the map
    pass(ScreenReading{}, o);
    EXPECT_EQ(st.map_text, "Copper Harbor");
    EXPECT_EQ(count_logs("[MODO]"), 0);
    o.objectives = ObjectivesReading{"Botín", nullopt};
    pass(ScreenReading{}, o);
    EXPECT_EQ(count_logs("[MODO] Pantalla de objetivos: Botín"), 1);
    EXPECT_EQ(st.map_text, nullopt);
}

TEST_F(HandOver, KillfeedKnockDownAndKills) {
    st.gamertag = "PLAYERONE";
    GameContextValue c;
    c.killfeed_pairs = {{"NIGHTOWL", "PLAYERONE"}, {"PLAYERONE", "SHADOWFOX"}, {"AAA", "BBB"}};
    pass(ScreenReading{}, c);
    EXPECT_EQ(stats.killfeed, 3u);
    EXPECT_EQ(st.killfeed_lines.size(), 3u);
    ASSERT_TRUE(st.pending_knock);
    EXPECT_EQ(st.pending_knock->name, "NIGHTOWL");
    EXPECT_EQ(count_logs("\n[DERRIBO] Te tumbó NIGHTOWL (killfeed)"), 1);
    ASSERT_EQ(st.killfeed_kills.size(), 1u);
    EXPECT_EQ(st.killfeed_kills[0].victim, "SHADOWFOX");

    // The same lines again: nothing new.
    now += 250ms;
    pass(ScreenReading{}, c);
    EXPECT_EQ(st.killfeed_lines.size(), 3u);
    EXPECT_EQ(st.killfeed_kills.size(), 1u);
    EXPECT_EQ(count_logs("[DERRIBO]"), 1);

    // The same pair twice in one reading is one line.
    GameContextValue twice;
    twice.killfeed_pairs = {{"CCCC", "DDDD"}, {"CCCC", "DDDD"}};
    pass(ScreenReading{}, twice);
    EXPECT_EQ(st.killfeed_lines.size(), 4u);
    now += 20s;
    pass(ScreenReading{}, twice);
    EXPECT_EQ(st.killfeed_lines.size(), 1u);  // the old lines went

    // A kill already on the pending card is not a killfeed kill.
    now += 16s;
    st.killfeed_kills.clear();
    pass(kill("GHOSTLY"), GameContextValue{nullopt, nullopt, 0, {{"PLAYERONE", "GHOSTLY"}}});
    EXPECT_THAT(st.killfeed_kills, IsEmpty());
}

}  // namespace
}  // namespace corvane
