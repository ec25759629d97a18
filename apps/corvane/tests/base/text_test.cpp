#include "base/text.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(Utf8, ValidityAndLossyDecode) {
    struct Case {
        std::string in;
        bool valid;
        std::string lossy;
    };
    const Case cases[] = {
        {"", true, ""},
        {"Grabación", true, "Grabación"},
        {"\xF0\x9F\x8E\xAE", true, "\xF0\x9F\x8E\xAE"},
        {"a\xFF"
         "b",
         false,
         "a\xEF\xBF\xBD"
         "b"},
        {"\xC0\xAF", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong
        {"\xED\xA0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xE2\x82", false, "\xEF\xBF\xBD"},  // truncated: one maximal subpart
        {"\xF4\x90\x80\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_valid(c.in), c.valid) << c.in;
        EXPECT_EQ(utf8_lossy(c.in), c.lossy) << c.in;
    }
}

TEST(Utf8, CutToUtf16UnitsBetweenCharacters) {
    struct Case {
        std::string in;
        std::size_t units;
        std::string want;
    };
    const std::vector<Case> cases{
        {"abc", 5, "abc"},
        {"abcdef", 3, "abc"},
        {"añé", 2, "añ"},   // two-byte characters count one unit
        {"ab😀c", 3, "ab"},  // the emoji needs two units: left out whole
        {"ab😀c", 4, "ab😀"},
        // Ill-formed bytes become U+FFFD first.
        {std::string("ab\xff\xfe") + "cd", 3, "ab\xEF\xBF\xBD"},
        {"x", 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_cut_utf16(c.in, c.units), c.want) << c.in << " " << c.units;
    }
}

TEST(Utf8, TrimUsesUnicodeWhiteSpace) {
    EXPECT_EQ(utf8_trim(" \t\xC2\xA0hola\xE3\x80\x80\r\n"), "hola");  // NBSP, ideographic space
    EXPECT_EQ(utf8_trim("\xE2\x80\x8B"
                        "x"),
              "\xE2\x80\x8B"
              "x");  // ZWSP is not White_Space
    EXPECT_EQ(utf8_trim("   "), "");
    EXPECT_EQ(utf8_trim("\xC2\x85\xC3\xB1 \xC3\xA1\xE2\x80\xA8"), "ñ á");  // NEL, LS
    EXPECT_EQ(utf8_trim("\xF0\x9F\x8E\xAE\xC2\xA0"), "\xF0\x9F\x8E\xAE");
    EXPECT_EQ(utf8_trim(" a\xFF "), "a\xFF");
    // Only the start; the end stays, and an ill-formed byte ends the walk.
    EXPECT_EQ(utf8_trim_start(" \xC2\xA0\xE3\x80\x80<!-- x --> "), "<!-- x --> ");
    EXPECT_EQ(utf8_trim_start(" \xFF a"), "\xFF a");
    EXPECT_EQ(utf8_trim_start("\xC2"), "\xC2");
    EXPECT_EQ(utf8_trim_start(" \t "), "");
}

TEST(Utf8, FullCaseMapping) {
    EXPECT_EQ(utf8_lower("[GRABACIÓN] SÍ MAYÚS"), "[grabación] sí mayús");
    EXPECT_EQ(utf8_upper("straße"), "STRASSE");
    EXPECT_EQ(ascii_lower("ÁbC"), "Ábc");
}

TEST(Utf8, SplitsAtRunsOfUnicodeWhiteSpace) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(utf8_split_white_space(""), V{});
    EXPECT_EQ(utf8_split_white_space(" \t "), V{});
    EXPECT_EQ(utf8_split_white_space("GET  /x\xC2\xA0HTTP/1.1\r\n"), (V{"GET", "/x", "HTTP/1.1"}));
    EXPECT_EQ(utf8_split_white_space("a\xE3\x80\x80" "b\xE2\x80\x8B" "c"), (V{"a", "b\xE2\x80\x8B" "c"}));
    // A broken byte stays inside its word instead of splitting or vanishing.
    EXPECT_EQ(utf8_split_white_space("ab\xFF" "c d"), (V{"ab\xFF" "c", "d"}));
    EXPECT_TRUE(unicode_is_white_space(0x85));
    EXPECT_FALSE(unicode_is_white_space(0x200B));
}

TEST(Decimal, DigitsWithOptionalPlusUpToTheLimit) {
    constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::string_view text;
        std::uint64_t max;
        std::optional<std::uint64_t> want;
    };
    const Case cases[] = {
        {"0", kAll, 0},
        {"+42", kAll, 42},
        {"007", kAll, 7},
        {"18446744073709551615", kAll, kAll},
        {"18446744073709551616", kAll, std::nullopt},
        {"99999999999999999999", kAll, std::nullopt},
        {"4294967295", 0xFFFFFFFF, 0xFFFFFFFF},
        {"4294967296", 0xFFFFFFFF, std::nullopt},
        {"10", 9, std::nullopt},
        {"0", 0, 0},
        {"", kAll, std::nullopt},
        {"+", kAll, std::nullopt},
        {"-1", kAll, std::nullopt},
        {"++1", kAll, std::nullopt},
        {" 1", kAll, std::nullopt},
        {"1a", kAll, std::nullopt},
        {"\xd9\xa1", kAll, std::nullopt},  // Arabic-Indic one: ASCII digits only
    };
    for (const auto& c : cases) EXPECT_EQ(parse_decimal(c.text, c.max), c.want) << '"' << c.text << '"';
}

}  // namespace
}  // namespace corvane
