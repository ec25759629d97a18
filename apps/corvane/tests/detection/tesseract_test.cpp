// The real recogniser on text drawn at known places: lines, words, boxes and
// centres at the three bitmap scales, checked against the placed ink and
// against the tesseract command on the very picture the engine was given.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "../support/command.h"
#include "../support/temp_dir.h"
#include "detection/ocr.h"
#include "hud_render.h"

namespace corvane {
namespace {

std::size_t utf8_count_words(const std::string& text) {
    std::stringstream ss(text);
    std::string w;
    std::size_t n = 0;
    while (ss >> w) ++n;
    return n;
}

std::unique_ptr<OcrEngine>& shared_engine() {
    static std::unique_ptr<OcrEngine> engine = ocr_create_engine();
    return engine;
}

// Words of level 5 from the command's TSV output.
std::vector<OcrWord> cli_words(const std::filesystem::path& png) {
    const auto base = png.parent_path() / "cli";
    EXPECT_EQ(test::run_command({"env", "OMP_THREAD_LIMIT=1", "tesseract", png.string(),
                                 base.string(), "--psm", "11", "--dpi", "70", "-l", "eng", "tsv"}),
              0);
    std::ifstream in(base.string() + ".tsv");
    std::vector<OcrWord> out;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, '\t')) f.push_back(cell);
        if (f.size() < 12 || f[0] != "5") continue;
        if (f[11].find_first_not_of(' ') == std::string::npos) continue;
        out.push_back(
            OcrWord{f[11], std::stof(f[6]), std::stof(f[7]), std::stof(f[8]), std::stof(f[9])});
    }
    return out;
}

struct ScaleCase {
    const char* name;
    std::uint32_t frame_w, frame_h;
    std::vector<test::TextSpec> texts;
    Region region;
    bool upscale;
    float scale;
    std::vector<std::string> lines;
};

TEST(TesseractRegion, WordsBoxesAndCentresAtHalfOneAndDoubleScale) {
    auto& engine = shared_engine();
    ASSERT_TRUE(engine) << "no Tesseract data";
    EXPECT_EQ(engine->language(), "eng");
    const std::vector<ScaleCase> cases = {
        {"doubled",
         1280,
         720,
         {{"ELIMINATED SHADOWFOX", 400, 560, 22}},
         Region{300, 500, 700, 150},
         true,
         0.5f,
         {"ELIMINATED SHADOWFOX"}},
        {"as is",
         1920,
         1080,
         {{"KILLED BY NIGHTOWL", 700, 850, 30}, {"ASSAULT RIFLE", 700, 920, 24}},
         Region{258, 756, 1404, 324},
         false,
         1.0f,
         {"KILLED BY NIGHTOWL", "ASSAULT RIFLE"}},
        {"halved",
         3840,
         2160,
         {{"COPPER HARBOR", 1200, 1700, 64}},
         Region{400, 1500, 3000, 500},
         false,
         2.0f,
         {"COPPER HARBOR"}},
    };
    for (const ScaleCase& c : cases) {
        SCOPED_TRACE(c.name);
        const test::Picture pic = test::render_texts(c.frame_w, c.frame_h, c.texts);
        const auto px = test::crop(pic, c.region.x, c.region.y, c.region.width, c.region.height);
        const OcrLinesResult r =
            ocr_recognize_region(*engine, px.data(), px.size(), c.region, c.upscale, false);
        ASSERT_TRUE(r.ok) << r.error.text;
        std::vector<std::string> texts;
        for (const auto& l : r.lines) texts.push_back(l.text);
        EXPECT_EQ(texts, c.lines);
        // Centres against the ink that was drawn, in frame pixels.
        std::size_t word = 0;
        for (std::size_t i = 0; i < c.texts.size() && i < r.lines.size(); ++i) {
            const std::size_t n = utf8_count_words(c.texts[i].text);
            const test::InkBox& first = pic.words[word];
            const test::InkBox& last = pic.words[word + n - 1];
            word += n;
            const double tol = 0.5 * c.texts[i].px;
            EXPECT_NEAR(r.lines[i].x, (first.left + last.left + last.width) / 2, tol);
            EXPECT_NEAR(r.lines[i].y, first.top + first.height / 2, tol);
        }
        // The same picture through the command: the same words and boxes.
        const PreparedBitmap b =
            ocr_prepare_bitmap(px.data(), c.region.width, c.region.height, c.upscale);
        EXPECT_EQ(b.scale, c.scale);
        test::TempDir dir;
        // What the engine hands the library: a dark picture inverted.
        std::vector<std::uint8_t> handed = b.bgra;
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < handed.size(); i += 4)
            sum += handed[i] + handed[i + 1] + handed[i + 2];
        const bool dark = sum < std::uint64_t{128} * 3 * (handed.size() / 4);
        EXPECT_TRUE(dark);  // the drawn scenes are dark
        if (dark) {
            for (std::size_t i = 0; i < handed.size(); ++i) {
                if (i % 4 != 3) handed[i] = static_cast<std::uint8_t>(255 - handed[i]);
            }
        }
        ASSERT_TRUE(test::write_png(dir.path() / "region.png", handed.data(), b.width, b.height));
        const std::vector<OcrWord> theirs = cli_words(dir.path() / "region.png");
        const OcrWordsResult ours = engine->recognize(b.bgra.data(), b.width, b.height);
        ASSERT_TRUE(ours.ok);
        ASSERT_EQ(ours.words.size(), theirs.size());
        for (std::size_t i = 0; i < theirs.size(); ++i) {
            EXPECT_EQ(ours.words[i].text, theirs[i].text);
            EXPECT_NEAR(ours.words[i].left, theirs[i].left, 1.0f) << theirs[i].text;
            EXPECT_NEAR(ours.words[i].top, theirs[i].top, 1.0f) << theirs[i].text;
            EXPECT_NEAR(ours.words[i].width, theirs[i].width, 1.0f) << theirs[i].text;
            EXPECT_NEAR(ours.words[i].height, theirs[i].height, 1.0f) << theirs[i].text;
        }
    }
}

TEST(TesseractRegion, KillfeedRowSplitsAtTheGap) {
    auto& engine = shared_engine();
    ASSERT_TRUE(engine);
    const test::Picture pic = test::render_texts(
        900, 200,
        {{"PLAYERONE", 20, 40, 22}, {"SHADOWFOX", 420, 40, 22}, {"NIGHTOWL EMBER", 20, 120, 22}});
    const Region region{0, 0, 900, 200};
    const OcrLinesResult r =
        ocr_recognize_region(*engine, pic.bgra.data(), pic.bgra.size(), region, false, true);
    ASSERT_TRUE(r.ok);
    std::vector<std::string> texts;
    for (const auto& l : r.lines) texts.push_back(l.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"PLAYERONE", "SHADOWFOX", "NIGHTOWL EMBER"}));
}

TEST(TesseractRegion, PrefilteredBrightTextOnABusyBackgroundIsRead) {
    auto& engine = shared_engine();
    ASSERT_TRUE(engine);
    // White and yellow card text on a noisy background.
    test::Picture pic = test::render_texts(
        800, 160, {{"ELIMINATED NIGHTOWL", 60, 30, 28}, {"2ND KILL", 60, 90, 24, 1.0, 0.85, 0.1}},
        99);
    ocr_prefilter_region(pic.bgra.data(), pic.bgra.size(), pic.width, pic.height);
    const OcrLinesResult r = ocr_recognize_region(*engine, pic.bgra.data(), pic.bgra.size(),
                                                  Region{0, 0, 800, 160}, false, false);
    ASSERT_TRUE(r.ok);
    std::vector<std::string> texts;
    for (const auto& l : r.lines) texts.push_back(l.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"ELIMINATED NIGHTOWL", "2ND KILL"}));
}

TEST(TesseractRegion, DarkTextOnALightPanelOfADarkSceneIsStillRead) {
    auto& engine = shared_engine();
    ASSERT_TRUE(engine);
    // Mostly dark, so the picture is handed over inverted; the panel's dark
    // words then read as light ones and need the library's own retry.
    const test::Picture pic = test::render_texts(
        900, 300, {{"ATTACKERS 3", 40, 40, 26}, {"REPORT PLAYER", 420, 200, 24, 0.05, 0.05, 0.05}},
        11, {{360, 160, 420, 110}});
    const OcrLinesResult r = ocr_recognize_region(*engine, pic.bgra.data(), pic.bgra.size(),
                                                  Region{0, 0, 900, 300}, false, false);
    ASSERT_TRUE(r.ok);
    std::vector<std::string> texts;
    for (const auto& l : r.lines) texts.push_back(l.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"ATTACKERS 3", "REPORT PLAYER"}));
}

TEST(TesseractEngine, APictureHandedOverAsBitsOrGreyReadsAsItsColourCopy) {
    auto& engine = shared_engine();
    ASSERT_TRUE(engine);
    test::Picture card = test::render_texts(
        800, 160, {{"ELIMINATED NIGHTOWL", 60, 30, 28}, {"2ND KILL", 60, 90, 24, 1.0, 0.85, 0.1}},
        99);
    ocr_prefilter_region(card.bgra.data(), card.bgra.size(), card.width, card.height);
    std::vector<std::uint8_t> dark = card.bgra;  // white text on black: handed over inverted
    for (std::size_t i = 0; i < dark.size(); i += 4)
        for (int c = 0; c < 3; ++c) dark[i + c] = static_cast<std::uint8_t>(255 - dark[i + c]);
    std::vector<std::uint8_t> grey = card.bgra;  // grey, not black and white
    for (std::size_t i = 0; i < grey.size(); i += 4)
        for (int c = 0; c < 3; ++c) grey[i + c] = grey[i + c] == 0 ? 40 : 200;

    for (const auto* pixels : {&card.bgra, &dark, &grey}) {
        // The same picture with one corner pixel a shade off grey: it goes
        // over in colour.
        std::vector<std::uint8_t> colour = *pixels;
        colour[0] = static_cast<std::uint8_t>(colour[0] == 255 ? 254 : colour[0] + 1);
        const OcrWordsResult a = engine->recognize(pixels->data(), card.width, card.height);
        const OcrWordsResult b = engine->recognize(colour.data(), card.width, card.height);
        ASSERT_TRUE(a.ok && b.ok);
        ASSERT_EQ(a.words.size(), b.words.size());
        ASSERT_GE(a.words.size(), 4u);
        for (std::size_t i = 0; i < a.words.size(); ++i) {
            EXPECT_EQ(a.words[i].text, b.words[i].text);
            EXPECT_EQ(a.words[i].left, b.words[i].left);
            EXPECT_EQ(a.words[i].top, b.words[i].top);
            EXPECT_EQ(a.words[i].width, b.words[i].width);
            EXPECT_EQ(a.words[i].height, b.words[i].height);
        }
    }
}

std::size_t thread_count() {
    std::size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

TEST(TesseractEngine, RecognitionStaysOnTheCallingThread) {
    auto& engine = shared_engine();
    ASSERT_TRUE(engine);
    const test::Picture pic =
        test::render_texts(1400, 300, {{"ENTERING THE WARZONE", 100, 100, 40}});
    const std::size_t before = thread_count();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(engine->recognize(pic.bgra.data(), pic.width, pic.height).ok);
    }
    EXPECT_EQ(thread_count(), before);
}

TEST(TesseractEngine, ARecognitionPastItsDeadlineIsAnErrorAndTheEngineGoesOn) {
    auto engine = ocr_engine_create(OcrEngineOptions{500});
    ASSERT_TRUE(engine);
    // A full page of words: seconds of work, cut off after half a second.
    std::vector<test::TextSpec> texts;
    for (int row = 0; row < 60; ++row) {
        texts.push_back(
            {"OPERATORS WEAPONS STORE BATTLE PASS CAREER ATTACKERS", 20, 10.0 + row * 32, 22});
    }
    const test::Picture page = test::render_texts(1200, 1940, texts);
    const OcrWordsResult r = engine->recognize(page.bgra.data(), page.width, page.height);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.text, "Tesseract: el reconocimiento tardó más de 500 ms");
    const test::Picture small = test::render_texts(300, 60, {{"KILLCAM", 20, 15, 24}});
    const OcrWordsResult after = engine->recognize(small.bgra.data(), 300, 60);
    ASSERT_TRUE(after.ok) << after.error.text;
    ASSERT_EQ(after.words.size(), 1u);
    EXPECT_EQ(after.words[0].text, "KILLCAM");
}

// Runs `body` with TESSDATA_PREFIX pointing at a folder holding only `langs`.
template <class F>
void with_tessdata(const std::vector<std::string>& langs, F body) {
    test::TempDir dir;
    for (const auto& l : langs) {
        std::filesystem::create_symlink("/usr/share/tesseract-ocr/5/tessdata/" + l + ".traineddata",
                                        dir.path() / (l + ".traineddata"));
    }
    const char* old = std::getenv("TESSDATA_PREFIX");
    const std::string saved = old ? old : "";
    ::setenv("TESSDATA_PREFIX", dir.path().c_str(), 1);
    body();
    if (old) {
        ::setenv("TESSDATA_PREFIX", saved.c_str(), 1);
    } else {
        ::unsetenv("TESSDATA_PREFIX");
    }
}

// Names as a kill card shows them, bright on a busy background and
// pre-filtered: their marked letters come from the Latin-script data, the
// card's own words stay as English reads them; without that data the names
// are still read, bare.
TEST(TesseractEngine, MarkedLettersOfNamesNeedTheLatinScriptData) {
    const auto read = [] {
        auto engine = ocr_create_engine();
        EXPECT_TRUE(engine);
        std::vector<std::string> texts;
        if (!engine) return texts;
        test::Picture pic = test::render_texts(900, 240,
                                               {{"ELIMINATED PEÑAFIEL", 60, 30, 30},
                                                {"KILLED BY JÖRG99", 60, 100, 30},
                                                {"ELIMINATED YUKI_HANA", 60, 170, 30}},
                                               99);
        ocr_prefilter_region(pic.bgra.data(), pic.bgra.size(), pic.width, pic.height);
        const OcrLinesResult r = ocr_recognize_region(*engine, pic.bgra.data(), pic.bgra.size(),
                                                      Region{0, 0, 900, 240}, false, false);
        EXPECT_TRUE(r.ok);
        for (const auto& l : r.lines) texts.push_back(l.text);
        return texts;
    };
    with_tessdata({"eng", "Latin"}, [&] {
        EXPECT_EQ(read(), (std::vector<std::string>{"ELIMINATED PEÑAFIEL", "KILLED BY JÖRG99",
                                                    "ELIMINATED YUKI_HANA"}));
    });
    with_tessdata({"eng"}, [&] {
        const auto texts = read();
        ASSERT_EQ(texts.size(), 3u);
        EXPECT_EQ(texts[0], "ELIMINATED PENAFIEL");
        EXPECT_EQ(texts[1], "KILLED BY JORG99");
    });
}

TEST(TesseractEngine, FallsBackToSpanishAndGivesNoneWithoutData) {
    with_tessdata({"spa"}, [] {
        auto engine = ocr_engine_create();
        ASSERT_TRUE(engine);
        EXPECT_EQ(engine->language(), "spa");
    });
    with_tessdata({}, [] { EXPECT_FALSE(ocr_engine_create()); });
}

}  // namespace
}  // namespace corvane
