// Region recognition around a scripted recogniser: scaling, rows, segments and
// centres in frame pixels; the prefilter and the word filter.
#include <gtest/gtest.h>

#include "detection/ocr.h"

namespace corvane {
namespace {

// Answers with fixed words and remembers the picture it was given.
struct ScriptedOcr : OcrEngine {
    std::vector<OcrWord> words;
    std::uint32_t seen_w = 0, seen_h = 0;
    std::vector<std::uint8_t> seen;
    OcrWordsResult recognize(const std::uint8_t* bgra, std::uint32_t w, std::uint32_t h) override {
        seen_w = w;
        seen_h = h;
        seen.assign(bgra, bgra + std::size_t{w} * h * 4);
        return {true, words, {}};
    }
    const std::string& language() const override { return lang; }
    std::string lang = "eng";
};

std::vector<std::uint8_t> pixels(std::uint32_t w, std::uint32_t h, std::uint8_t v = 0) {
    return std::vector<std::uint8_t>(std::size_t{w} * h * 4, v);
}

TEST(OcrRecognize, UpscaledRegionGivesCentresInFramePixels) {
    ScriptedOcr ocr;
    ocr.words = {{"KILLCAM", 100, 10, 50, 20}};
    auto px = pixels(300, 40);
    const auto r =
        ocr_recognize_region(ocr, px.data(), px.size(), Region{500, 200, 300, 40}, true, false);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(ocr.seen_w, 600u);
    EXPECT_EQ(ocr.seen_h, 80u);
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_FLOAT_EQ(r.lines[0].x, 562.5f);
    EXPECT_FLOAT_EQ(r.lines[0].y, 210.0f);
}

TEST(OcrRecognize, ScalingTable) {
    struct Case {
        std::uint32_t w, h;
        bool upscale;
        std::uint32_t bw, bh;
        float scale;
    };
    const Case cases[] = {
        {300, 40, true, 600, 80, 0.5f},
        {1300, 40, true, 2600, 80, 0.5f},  // exactly the limit doubled
        {1301, 40, true, 1301, 40, 1.0f},  // doubling would pass it
        {3000, 500, false, 1500, 250, 2.0f},
        {3000, 500, true, 1500, 250, 2.0f},
        {5616, 100, false, 1404, 25, 4.0f},  // an 8K band: halved until it fits
        {2600, 2600, false, 2600, 2600, 1.0f},
        {7, 3, false, 7, 3, 1.0f},
    };
    for (const Case& c : cases) {
        auto px = pixels(c.w, c.h);
        const PreparedBitmap b = ocr_prepare_bitmap(px.data(), c.w, c.h, c.upscale);
        EXPECT_EQ(b.width, c.bw) << c.w << "x" << c.h;
        EXPECT_EQ(b.height, c.bh) << c.w << "x" << c.h;
        EXPECT_EQ(b.scale, c.scale) << c.w << "x" << c.h;
        EXPECT_EQ(b.bgra.size(), std::size_t{c.bw} * c.bh * 4);
    }
}

TEST(OcrRecognize, PixelsAreRepeatedOrAveraged) {
    // 2 × 1: pixel values 10 and 20 in every channel.
    std::vector<std::uint8_t> px = {10, 10, 10, 10, 20, 20, 20, 20};
    const PreparedBitmap up = ocr_prepare_bitmap(px.data(), 2, 1, true);
    ASSERT_EQ(up.width, 4u);
    const std::vector<std::uint8_t> row = {10, 10, 10, 10, 10, 10, 10, 10,
                                           20, 20, 20, 20, 20, 20, 20, 20};
    EXPECT_EQ(std::vector<std::uint8_t>(up.bgra.begin(), up.bgra.begin() + 16), row);
    EXPECT_EQ(std::vector<std::uint8_t>(up.bgra.begin() + 16, up.bgra.end()), row);
    // 3 × 3 halved with limit 2: one pixel, the floor of the top-left 2 × 2
    // mean; the odd row and column are dropped.
    std::vector<std::uint8_t> nine = {1, 0, 0,  0, 2, 0, 0,  0, 99, 0, 0,  0, 4, 0, 0,  0, 4, 0,
                                      0, 0, 99, 0, 0, 0, 99, 0, 0,  0, 99, 0, 0, 0, 99, 0, 0, 0};
    const PreparedBitmap half = ocr_prepare_bitmap(nine.data(), 3, 3, false, 2);
    ASSERT_EQ(half.width, 1u);
    ASSERT_EQ(half.height, 1u);
    EXPECT_EQ(half.bgra[0], 2);  // (1 + 2 + 4 + 4) / 4 = 2.75
}

TEST(OcrRecognize, HalvedRegionCoordinatesAreDoubledBack) {
    ScriptedOcr ocr;
    ocr.words = {{"ELIMINATED", 100, 50, 200, 20}};
    auto px = pixels(3000, 500);
    const auto r =
        ocr_recognize_region(ocr, px.data(), px.size(), Region{10, 20, 3000, 500}, false, false);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(ocr.seen_w, 1500u);
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_FLOAT_EQ(r.lines[0].x, 10 + 200 * 2.0f);
    EXPECT_FLOAT_EQ(r.lines[0].y, 20 + 60 * 2.0f);
}

TEST(OcrRecognize, RowsAndGapSegments) {
    ScriptedOcr ocr;
    // Given out of order, as the recogniser's blocks come: a second row, then
    // the first row's words right to left.
    ocr.words = {{"ASSAULT", 10, 100, 80, 20},
                 {"BETA", 110, 12, 40, 20},
                 {"ALPHA", 10, 10, 60, 20},
                 {"RIFLE", 95, 104, 50, 20}};
    auto px = pixels(400, 200);
    auto r = ocr_recognize_region(ocr, px.data(), px.size(), Region{0, 0, 400, 200}, false, false);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[0].text, "ALPHA BETA");
    EXPECT_FLOAT_EQ(r.lines[0].x, (10 + 110 + 40) * 0.5f);
    EXPECT_FLOAT_EQ(r.lines[0].y, 20.0f);
    EXPECT_EQ(r.lines[1].text, "ASSAULT RIFLE");

    // Split on: a gap of 40 > 1.2 × 20 cuts; a gap of 20 does not.
    ocr.words = {{"KILLER", 10, 10, 60, 20}, {"VICTIM", 110, 10, 60, 20}};
    r = ocr_recognize_region(ocr, px.data(), px.size(), Region{0, 0, 400, 200}, false, true);
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[0].text, "KILLER");
    EXPECT_FLOAT_EQ(r.lines[0].x, 40.0f);
    EXPECT_EQ(r.lines[1].text, "VICTIM");
    EXPECT_FLOAT_EQ(r.lines[1].x, 140.0f);
    ocr.words[1].left = 90;
    r = ocr_recognize_region(ocr, px.data(), px.size(), Region{0, 0, 400, 200}, false, true);
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_EQ(r.lines[0].text, "KILLER VICTIM");
}

TEST(OcrRecognize, AByteCountThatDoesNotMatchTheRegionIsRefused) {
    ScriptedOcr ocr;
    auto px = pixels(10, 10);
    const auto r =
        ocr_recognize_region(ocr, px.data(), px.size() - 4, Region{0, 0, 10, 10}, false, false);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.text, "imagen de la región con tamaño incorrecto");
    EXPECT_EQ(ocr.seen_w, 0u);
}

TEST(OcrPrefilter, RadiusAndContrastTable) {
    EXPECT_EQ(ocr_prefilter_radius(60), 6u);
    EXPECT_EQ(ocr_prefilter_radius(120), 10u);
    EXPECT_EQ(ocr_prefilter_radius(400), 16u);
    EXPECT_EQ(ocr_prefilter_radius(10), 6u);

    // One pixel of the given colour in the middle of a 41 × 41 field.
    struct Case {
        std::array<std::uint8_t, 3> field;  // B, G, R
        std::array<std::uint8_t, 3> pixel;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {{120, 120, 120}, {255, 255, 255}, 0},    // white on mid grey: text
        {{255, 255, 255}, {255, 255, 255}, 255},  // white in white: page
        {{40, 40, 40}, {150, 250, 250}, 0},       // bright yellow (s = 100) on dark
        {{40, 40, 40}, {60, 60, 200}, 0},         // strong red, bright enough (mx 200)
        {{40, 40, 40}, {60, 60, 160}, 255},       // strong red, too dark (mx 160)
        {{200, 200, 200}, {250, 250, 250}, 0},    // light grey 50 above its field
        {{200, 200, 200}, {220, 220, 220}, 255},  // light grey only 20 above
        {{0, 0, 0}, {140, 140, 140}, 255},        // mid grey on black: not light enough
    };
    for (const Case& c : cases) {
        const std::uint32_t n = 41;
        std::vector<std::uint8_t> px(n * n * 4);
        for (std::size_t i = 0; i < n * n; ++i) {
            px[i * 4] = c.field[0];
            px[i * 4 + 1] = c.field[1];
            px[i * 4 + 2] = c.field[2];
            px[i * 4 + 3] = 0;
        }
        const std::size_t mid = (20 * n + 20) * 4;
        px[mid] = c.pixel[0];
        px[mid + 1] = c.pixel[1];
        px[mid + 2] = c.pixel[2];
        ocr_prefilter_region(px.data(), px.size(), n, n);
        EXPECT_EQ(px[mid], c.expected) << int(c.pixel[2]) << " on " << int(c.field[2]);
        EXPECT_EQ(px[mid + 1], c.expected);
        EXPECT_EQ(px[mid + 3], 255);
        EXPECT_EQ(px[0], 255);  // the field is page
    }
}

TEST(OcrNormalizeWords, KeepsWordLikeTextsFolded) {
    const std::vector<std::string> in = {"AB1",       "A1",          "12345", "150M",
                                         "--",        "\"Shadow\",", "ñandú", "x_y_z",
                                         "[CLAN]Fox", "..ab.",       "ÉÉÉ"};
    const std::vector<std::string> out = ocr_normalize_words(in);
    EXPECT_EQ(out, (std::vector<std::string>{"AB1", "Shadow", "ñandú", "x_y_z", "[CLAN]Fox"}));
}

TEST(OcrRows, WordsOfOneScreenRowStayTogether) {
    // A taller word beside short ones, a slightly lower baseline, and a row
    // just below: rows by centre, words by x.
    std::vector<OcrWord> words = {{"B", 200, 14, 30, 18},
                                  {"A", 10, 10, 60, 30},
                                  {"C", 20, 45, 30, 18},
                                  {"D", 120, 8, 30, 18}};
    const auto rows = ocr_assemble_rows(words);
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(rows[0].size(), 3u);
    EXPECT_EQ(rows[0][0].text, "A");
    EXPECT_EQ(rows[0][1].text, "D");
    EXPECT_EQ(rows[0][2].text, "B");
    EXPECT_EQ(rows[1][0].text, "C");
}

TEST(OcrRows, AWordAsTallAsSeveralRowsGluesNoneOfThem) {
    // A death card beside an icon read as a word: the card's name and its
    // rank line stay two rows, and the icon keeps to itself.
    std::vector<OcrWord> words = {{"KILLED", 721, 45, 139, 29},
                                  {"BY", 876, 45, 49, 29},
                                  {"NIGHTOWL", 941, 44, 210, 30},
                                  {"COMMANDER", 849, 107, 174, 19},
                                  {"e", 255, 26, 157, 144}};
    std::vector<std::string> texts;
    for (const auto& row : ocr_assemble_rows(words)) {
        std::string t;
        for (const auto& w : row) t += (t.empty() ? "" : " ") + w.text;
        texts.push_back(t);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"KILLED BY NIGHTOWL", "e", "COMMANDER"}));
}

}  // namespace
}  // namespace corvane
