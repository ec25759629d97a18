#include "detection/hud.h"

#include <gtest/gtest.h>

#include <random>

namespace corvane {
namespace {

using std::nullopt;
using std::optional;
using std::string;

TEST(HudText, LettersUpper) {
    EXPECT_EQ(hud_letters_upper("Abc 12 dé-F|z"), "ABCDFZ");  // accented letters are not ASCII
    EXPECT_EQ(hud_letters_upper(""), "");
    EXPECT_EQ(hud_letters_upper("123 !?"), "");
}

TEST(HudText, Fold) {
    const std::pair<string, string> cases[] = {
        {"\"John Doe\",", "JohnDoe"},
        {"|KILLCAM|", "KILLCAM"},
        {"  \xE2\x80\x98"
         "Ann\xE2\x80\x99  ",
         "Ann"},            // curly quotes are edge marks
        {"Ann).", "Ann"},   // ')' is only a trailing mark
        {"(Ann)", "(Ann"},  // '(' is no mark at all
        {"A\xC2\xA0"
         "B\tC\xE3\x80\x80"
         "D",
         "ABCD"},                 // every White_Space character goes
        {"\" .John\"", ".John"},  // edge stripping stops at the space
        {"''\"", ""},
        {"", ""},
        {"x\xFF y", "x\xFFy"},  // a broken byte is kept, not dropped
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(hud_text_fold(in), want) << in;
}

TEST(HudText, EditDistance) {
    struct Case {
        string a, b;
        size_t d;
    };
    const Case cases[] = {
        {"", "", 0},
        {"abc", "", 3},
        {"", "abcd", 4},
        {"kitten", "sitting", 3},
        {"flaw", "lawn", 2},
        {"SNIPER", "SNlPER", 1},
        {"\xC3\xA9", "e", 2},  // bytes, not characters
        {"abc", "abc", 0},
        {string(200, 'a'), string(150, 'a') + "b", 50},  // rows longer than the stack buffer
        {string(127, 'x'), string(127, 'x'), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hud_edit_distance(c.a, c.b), c.d) << c.a << " / " << c.b;
        EXPECT_EQ(hud_edit_distance(c.b, c.a), c.d) << c.b << " / " << c.a;
    }
}

TEST(HudText, FindKeyword) {
    struct Case {
        string text, keyword;
        bool found;
    };
    const Case cases[] = {
        {"KILLCAN", "KILLCAM", true},
        {"K1LLCAM", "KILLCAM", true},  // the digit is dropped: one letter missing
        {"KILL", "KILLCAM", false},    // too short for the keyword
        {"ATTACKERS 3", "ATTACKER", true},
        {"", "KILLCAM", false},
        {"", "A", false},
        {"anything", "", false},
        {"XAY", "A", true},  // one letter: only where it occurs
        {"XBY", "A", false},
        {"killed by: ann", "KILLED BY", true},
        {"DEPLOYMENT WILL BEGIN IN 5", "DEPLOYMENT WILL BEGIN", true},
        {"DEPLOYMENT", "DEPLOYMENT WILL BEGIN", false},
        {"STORE", "OPERATORS", false},
        {"SMG", "LMG", false},  // three letters: no error allowed
        {"2ND KILL", "KILL", true},
        {"ELIMINATED SHADOWFOX", "ELIMINATED", true},
        {"ELIMNATED", "ELIMINATED", true},
        {"ELIMNATEO", "ELIMINATED", true},   // two errors within the budget of 10 letters
        {"ELXMNATEO", "ELIMINATED", false},  // three are not
        {"ELMNATED", "ELIMINATED", false},   // 8 letters cannot hold a 10-letter word
    };
    for (const auto& c : cases)
        EXPECT_EQ(hud_find_keyword(c.text, c.keyword), c.found) << c.text << " / " << c.keyword;
}

// The search exactly as the rule reads: every window of |K|-1, |K|, |K|+1
// letters at every start, each against the keyword.
bool find_keyword_by_windows(const string& text, const string& keyword) {
    const string A = hud_letters_upper(text), K = hud_letters_upper(keyword);
    if (K.empty() || A.size() + 1 < K.size()) return false;
    const size_t budget = K.size() / 4;
    for (size_t w : {K.size() - 1, K.size(), K.size() + 1}) {
        if (w == 0 || w > A.size()) continue;
        for (size_t s = 0; s + w <= A.size(); ++s)
            if (hud_edit_distance(A.substr(s, w), K) <= budget) return true;
    }
    return false;
}

TEST(HudText, FindKeywordAgreesWithTheWindowRule) {
    std::mt19937 rng(12345);
    const string alphabets[] = {"AB", "ABC", "ABCD a1 "};
    size_t found = 0, total = 0;
    for (int round = 0; round < 20000; ++round) {
        const string& alpha = alphabets[round % 3];
        auto random_text = [&](size_t max_len) {
            string s(std::uniform_int_distribution<size_t>(0, max_len)(rng), ' ');
            for (char& c : s)
                c = alpha[std::uniform_int_distribution<size_t>(0, alpha.size() - 1)(rng)];
            return s;
        };
        const string keyword = random_text(17);
        const string text = random_text(30);
        const bool want = find_keyword_by_windows(text, keyword);
        ASSERT_EQ(hud_find_keyword(text, keyword), want)
            << "text '" << text << "' keyword '" << keyword << "'";
        found += want;
        ++total;
    }
    // Both answers must be well represented for the comparison to mean anything.
    EXPECT_GT(found, total / 10);
    EXPECT_LT(found, total - total / 10);
}

TEST(HudNames, CleanName) {
    struct Case {
        string in, name;
        optional<string> clan, id;
    };
    const Case cases[] = {
        {"[ABC] Player#1234", " Player", "[ABC]", "1234"},
        {"Name#12a3", "Name", nullopt, "123"},
        {"Name#", "Name", nullopt, nullopt},
        {"Name#abc", "Name", nullopt, nullopt},
        {"{ABC} Name", "{ABC} Name", nullopt, nullopt},  // '}' does not end a tag
        {"{ABC) Name", " Name", "{ABC)", nullopt},
        {"[ABC Player", "[ABC Player", nullopt, nullopt},  // no closer: no clan
        {"(ABC)])}Z", "Z", "(ABC)])}", nullopt},           // closers right after the tag join it
        {"[A}B]x#1#2", "x#1", "[A}B]", "2"},               // the last '#' cuts
        {"Player", "Player", nullopt, nullopt},
        {"", "", nullopt, nullopt},
    };
    for (const auto& c : cases) {
        const CleanedName got = hud_clean_name(c.in);
        EXPECT_EQ(got.name, c.name) << c.in;
        EXPECT_EQ(got.clan, c.clan) << c.in;
        EXPECT_EQ(got.id, c.id) << c.in;
    }
}

TEST(HudNames, NameKey) {
    const std::pair<string, string> cases[] = {
        {"[CLAN]Player#1234", "player"},
        {"player", "player"},
        {"Pedro_77", "pedro77"},
        {"Pedro 77", "pedro77"},
        {"\"[CLAN] Ann#12\",", "ann"},  // folded before the clan tag is looked for
        {"José", "jos"},
        {"", ""},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(hud_name_key(in), want) << in;
}

TEST(HudNames, FuzzyEq) {
    struct Case {
        string x, y;
        bool eq;
    };
    const Case cases[] = {
        {"xXSniperXx", "xxsniperx", true},  // prefix of at least 5
        {"Jonathan", "Jonathon", true},     // 4 <= 8
        {"Abc", "Abd", false},              // 4 > 3
        {"Mike", "Mika", true},             // 4 <= 4
        {"ab", "ab", false},                // keys under 3 never match, even equal
        {"[X]ab#12", "AB", false},
        {"Pedro_77", "pedro 77", true},
        {"Shadow", "ShadowFox", true},
        {"Shad", "ShadowFox", false},  // prefix too short, 5 errors
        {"Mike", "Mikey", true},       // not a prefix match (4 < 5) but 1 error in 5
        {"[CLAN]Player#1", "player", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hud_fuzzy_eq(c.x, c.y), c.eq) << c.x << " / " << c.y;
        EXPECT_EQ(hud_fuzzy_eq(c.y, c.x), c.eq) << c.y << " / " << c.x;
    }
}

TEST(HudNames, MatchPairs) {
    const std::vector<std::pair<string, string>> pairs = {
        {"PlayerOne", "Shadow"},     // the player killed Shadow
        {"Night", "PLAYERONE"},      // Night killed the player
        {"PlayerOne", "PlayerOne"},  // both sides: skipped
        {"Alpha", "Bravo"},          // neither: skipped
        {"PIayerOne", "Shadow"},     // same entry again (OCR'd gamertag): skipped
        {"PlayerOne", "Night"},      // same name, other side: kept
        {"PlayerOne", "shadow"},     // not byte-identical: kept
    };
    const std::vector<std::pair<string, bool>> want = {
        {"Shadow", true}, {"Night", false}, {"Night", true}, {"shadow", true}};
    EXPECT_EQ(hud_match_pairs(pairs, "PlayerOne"), want);
    EXPECT_TRUE(hud_match_pairs({}, "PlayerOne").empty());
}

TEST(HudValues, ValueAfterColon) {
    struct Case {
        string text, label;
        optional<string> value;
    };
    const Case cases[] = {
        {"ELIMINATED JOHN DOE", "ELIMINATED", "JOHNDOE"},
        {"KILLED BY: Ann", "KILLED BY", "Ann"},
        {"ELIMINATED JO", "ELIMINATED", nullopt},  // two letters are too few
        {"ELIMINATED", "ELIMINATED", nullopt},
        {"NOTHING HERE", "ELIMINATED", nullopt},
        {"ELIMINATED \"Shadow Fox\",", "ELIMINATED", "ShadowFox"},
        {"KILLED BY: [CLAN] Ann: x", "KILLED BY", "[CLAN]Ann:x"},  // the first ':' counts
        {"KILLED BY NIGHTOWL", "KILLED BY", "NIGHTOWL"},
        // Junk letters before the label shift the cut: the label is assumed to
        // open the text.
        {"XY ELIMINATED SHADOWFOX", "ELIMINATED", "EDSHADOWFOX"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hud_value_after_colon(c.text, c.label), c.value) << c.text;
}

TEST(HudValues, PlusTokens) {
    const std::pair<string, optional<uint32_t>> cases[] = {
        {"12", 12},
        {"(7)", 7},
        {"+12", nullopt},
        {"1234", nullopt},
        {"0", nullopt},
        {"12a", nullopt},
        {"+5", nullopt},
        {"5+", nullopt},
        {"  7.", 7},
        {"", nullopt},
        {"...", nullopt},
        {"007", 7},
        {"000", nullopt},
        {"1 2", nullopt},
        {"999", 999},
        {"\xC2\xA0"
         "42\t",
         42},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(hud_plus_tokens(in), want) << "'" << in << "'";
}

TEST(HudWords, CapitalizeAndJoin) {
    const std::pair<string, string> words[] = {
        {"rEBIRTH", "Rebirth"}, {"ßeta", "SSeta"},  // full upper case may grow
        {"éCLAIR", "Éclair"},   {"ΟΔΟΣ", "Οδος"},   // final sigma in the word's context
        {"ﬁLE", "FIle"},        {"", ""},
    };
    for (const auto& [in, want] : words) EXPECT_EQ(text_capitalize(in), want) << in;

    const std::pair<string, string> texts[] = {
        {"REBIRTH  ISLAND", "Rebirth Island"},
        {"", ""},
        {" \t ", ""},
        {" al\xC2\xA0mazrah\t", "Al Mazrah"},
        {"saint's hill", "Saint's Hill"},
    };
    for (const auto& [in, want] : texts) EXPECT_EQ(hud_join_words(in), want) << in;
}

TEST(HudPlaces, CleanOcrText) {
    const std::pair<string, optional<string>> cases[] = {
        {"COPPERTON", "COPPERTON"},
        {" Copper Harbor 12!", "Copper Harbor"},
        {"SAINT\xE2\x80\x99S HILL", "SAINT'S HILL"},
        {"ABC", nullopt},  // fewer than 4 ASCII letters
        {"A1B2C3", nullopt},
        {"ONE TWO THREE FOUR", nullopt},  // more than 3 words
        {"RESURGENCE QUADS", nullopt},    // a mode is not a place
        {"Zürich", "Zürich"},             // letters of any script are kept
        {"Ñandú", nullopt},               // but only 3 of them are ASCII
        {"МОСКВА", nullopt},
        {"-- |ZORDSK| --", "ZORDSK"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(detect_clean_ocr_text(in), want) << in;
}

TEST(HudPlaces, ModeName) {
    const std::pair<string, optional<string>> cases[] = {
        {"RESURGENCE QUADS", "Resurgimiento Quads"},
        {"RESURGENCE TRIOS", "Resurgimiento Tríos"},
        {"RESURGENCE DUOS", "Resurgimiento Dúos"},
        {"RESURGENCE SOLO", "Resurgimiento Solo"},
        {"RESURGENCE CASUAL", "Resurgimiento Casual"},
        {"RESURGENCE", "Resurgimiento"},
        {"RESURGFNCE QUADS", "Resurgimiento Quads"},  // one OCR error
        {"RESURGENCE QUADS WITH MORE", nullopt},      // 19 letters or more
        {"QUADS RESURGENCE", nullopt},                // the base word must open the text
        {"BATTLE ROYALE", "Battle Royale"},
        {"BATTLE ROYALE CASUAL", "Battle Royale Casual"},
        {"BATTLE ROYALE QUADS", "Battle Royale"},
        {"BATTLE ROYALE SOMETHING", nullopt},  // 21 letters
        {"PLUNDER", nullopt},
        {"", nullopt},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(hud_mode_name(in), want) << in;
}

TEST(HudGames, TitleForExe) {
    struct Case {
        string path;
        optional<string> title;
        bool warzone;
    };
    const string wz = "Warzone · Black Ops 7";
    const Case cases[] = {
        {"C:\\Games\\cod25.exe", wz, true},
        {"COD26.EXE", "Modern Warfare 4", false},
        {"cod24-cod.exe", "Call of Duty (cod24)", false},
        {"cod.exe", "Modern Warfare 4", false},
        {"cod25-COD.EXE", wz, true},
        {"/home/u/.local/share/game/cod25", wz, true},
        {"C:\\Games/cod26.exe", "Modern Warfare 4", false},
        {"cod7", "Call of Duty (cod7)", false},
        {"codex.exe", nullopt, false},
        {"cod-cod.exe", nullopt, false},
        {"co.exe", nullopt, false},
        {".exe", nullopt, false},
        {"C:\\Games\\", nullopt, false},
        {"/usr/bin/", nullopt, false},
        {"cod25.exe.bak", nullopt, false},
        {"xcod25.exe", nullopt, false},
        {"cod25-codx.exe", nullopt, false},
        {"", nullopt, false},
    };
    for (const auto& c : cases) {
        const auto got = game_title_for_exe(c.path);
        ASSERT_EQ(got.has_value(), c.title.has_value()) << c.path;
        if (!got) continue;
        EXPECT_EQ(got->title, *c.title) << c.path;
        EXPECT_EQ(got->warzone, c.warzone) << c.path;
    }
}

TEST(HudNames, KillfeedNamesMatch) {
    struct Case {
        string a, b;
        bool match;
    };
    const Case cases[] = {
        {"ab", "abc", true},  // too short for the prefix rule; 2 <= 3
        {"Shadow", "SHADOW", true}, {"ÉLAN", "élan", true},  // full Unicode lower case
        {"abc", "abcdefgh", true},                           // prefix of 3
        {"ab", "abcd", true},                                // 4 <= 4
        {"ab", "abcde", false},     {"", "", true},         {"", "a", false},
        {"abcd", "abxd", true},     {"abcd", "axyd", true},  // 4 <= 4
        {"abcd", "xyzd", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(events_names_match(c.a, c.b), c.match) << c.a << " / " << c.b;
        EXPECT_EQ(events_names_match(c.b, c.a), c.match) << c.b << " / " << c.a;
    }
}

}  // namespace
}  // namespace corvane
