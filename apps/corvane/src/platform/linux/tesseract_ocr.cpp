// Text recognition with libtesseract. Sparse-text page mode: the HUD is a few
// scattered words, and the page-layout analysis of the other modes splits one
// screen row into blocks at every gap. Rows are rebuilt by the caller from the
// word boxes.
#include <dlfcn.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "platform/ocr.h"

namespace corvane {
namespace {

// The resolution the tesseract command assumes for a picture that states none:
// with the same value our boxes and its boxes come from the same analysis.
constexpr int kSourceDpi = 70;

// Debian's libtesseract runs OpenMP teams inside recognition. The detectors
// share two cores with the video encoder, so a recognition must stay on its own
// thread. OMP_THREAD_LIMIT is read once when libgomp loads, before main; the
// per-thread "no active parallel levels" setting does the same job from here.
// Looked up at run time: a library built without OpenMP has no such symbol.
void keep_recognition_on_this_thread() {
    using SetLevels = void (*)(int);
    static const auto set_levels =
        reinterpret_cast<SetLevels>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
    if (set_levels) set_levels(0);
}

// The letters of Latin-1 with a mark, each with its bare ASCII letter; zero
// for the code points of the block that are not such letters.
constexpr char kLatin1Bare[] =
    "AAAAAA\0CEEEEIIIIDNOOOOO\0OUUUUY\0\0"
    "aaaaaa\0ceeeeiiiidnooooo\0ouuuuy\0y";

char bare_letter(char32_t cp) {
    if (cp < 0xC0 || cp > 0xFF) return 0;
    return kLatin1Bare[cp - 0xC0];
}

// The code points of well-formed UTF-8; empty when it is not.
std::u32string decode_utf8(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int n = b < 0x80         ? 1
                      : (b >> 5) == 6  ? 2
                      : (b >> 4) == 14 ? 3
                      : (b >> 3) == 30 ? 4
                                       : 0;
        if (n == 0 || i + n > s.size()) return {};
        char32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (int k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c >> 6) != 2) return {};
            cp = (cp << 6) | (c & 0x3F);
        }
        out.push_back(cp);
        i += static_cast<std::size_t>(n);
    }
    return out;
}

// Edit distance between two strings of code points.
std::size_t edit_distance(const std::u32string& a, const std::u32string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diag = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

// Latin-script data reads what English reads and the marks as well, and
// often a player's name better (an underscore English reads as "L"), but it
// also reads badly what English reads well. Its reading of a word replaces
// the English one when it holds only ASCII and marked Latin-1 letters and,
// with the marks taken off, stays within one change per four characters of
// the English reading.
bool take_second_reading(std::string_view english, std::string_view second) {
    const std::u32string e = decode_utf8(english);
    const std::u32string m = decode_utf8(second);
    if (e.empty() || m.empty() || e == m) return false;
    std::u32string bare;
    for (char32_t c : m) {
        if (c < 0x80) {
            bare.push_back(c);
            continue;
        }
        const char b = bare_letter(c);
        if (b == 0) return false;
        bare.push_back(static_cast<char32_t>(b));
    }
    return edit_distance(bare, e) * 4 <= std::max(bare.size(), e.size());
}

// Could the word hold a marked letter that English read bare?
bool may_lack_marks(std::string_view word) {
    if (word.size() < 3) return false;
    return std::any_of(word.begin(), word.end(), [](char c) {
        return std::strchr("AEIOUNCYaeiouncy", c) != nullptr && c != 0;
    });
}

// Does every character of the word at `it` stand between the same two lines?
// A mark over a capital reaches above the others, an underscore (read by
// English as "L" or not at all) below them: such a word is worth a second
// reading, a word of plain capitals and digits is not.
bool level_word(const tesseract::ResultIterator& it) {
    tesseract::ResultIterator sym(it);
    std::vector<int> tops, bottoms;
    do {
        int l = 0, t = 0, r = 0, b = 0;
        if (sym.BoundingBox(tesseract::RIL_SYMBOL, &l, &t, &r, &b)) {
            tops.push_back(t);
            bottoms.push_back(b);
        }
    } while (sym.Next(tesseract::RIL_SYMBOL) && !sym.IsAtBeginningOf(tesseract::RIL_WORD));
    if (tops.empty()) return true;
    std::vector<int> t = tops, b = bottoms;
    std::nth_element(t.begin(), t.begin() + t.size() / 2, t.end());
    std::nth_element(b.begin(), b.begin() + b.size() / 2, b.end());
    const int top = t[t.size() / 2], bottom = b[b.size() / 2];
    const int slack = std::max(1, (bottom - top) * 3 / 20);
    for (std::size_t i = 0; i < tops.size(); ++i) {
        if (tops[i] < top - slack || bottoms[i] > bottom + slack) return false;
    }
    return true;
}

class TesseractOcr final : public OcrEngine {
  public:
    TesseractOcr(std::unique_ptr<tesseract::TessBaseAPI> api, std::string language,
                 std::uint32_t deadline_ms, std::unique_ptr<tesseract::TessBaseAPI> marks)
        : api_(std::move(api)),
          marks_(std::move(marks)),
          language_(std::move(language)),
          deadline_ms_(deadline_ms) {}
    ~TesseractOcr() override {
        api_->End();
        if (marks_) marks_->End();
    }

    OcrWordsResult recognize(const std::uint8_t* bgra, std::uint32_t width,
                             std::uint32_t height) override {
        OcrWordsResult out;
        if (width == 0 || height == 0) {
            out.ok = true;
            return out;
        }
        keep_recognition_on_this_thread();
        // Packed RGB: a 4-byte picture would be read as R, G, B, A with the
        // alpha byte thresholded like a colour. A picture that holds less
        // goes over as less, the same picture with less for the recogniser
        // to do: one grey byte per pixel when its channels are all equal, one
        // bit when it is black and white already (the binarised and
        // prefiltered regions), which also needs no threshold.
        const std::size_t pixels = std::size_t{width} * height;
        bool grey = true;
        bool black_white = true;
        for (std::size_t i = 0; i < pixels && grey; ++i) {
            const std::uint8_t* p = bgra + i * 4;
            grey = p[0] == p[1] && p[1] == p[2];
            black_white = black_white && (p[0] == 0 || p[0] == 255);
        }
        black_white = black_white && grey;
        // HUD text is light on a dark scene. The recogniser reads dark text
        // and tries a line inverted only after a poor first reading, so a
        // dark picture is handed over inverted: one reading instead of two
        // for most lines (dark text on a light patch still gets the retry).
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < pixels; ++i) {
            const std::uint8_t* p = bgra + i * 4;
            sum += grey ? std::uint64_t{p[0]} * 3 : std::uint64_t{p[0]} + p[1] + p[2];
        }
        const bool mostly_dark = sum < std::uint64_t{128} * 3 * pixels;
        // A black-and-white picture is never flipped: the binarised and
        // prefiltered regions draw the text black whatever lies around it,
        // and on a bright scene (snow, sky) most of such a picture is black
        // too, with the card's text black on its white plate. Flipped, that
        // text would turn white on black and go unread.
        const std::uint8_t flip = mostly_dark && !black_white ? 255 : 0;
        if (black_white) {
            // Rows of bits, first pixel in the high bit; a set bit is white.
            const std::size_t row = (std::size_t{width} + 7) / 8;
            buffer_.assign(row * height, 0);
            for (std::uint32_t y = 0; y < height; ++y) {
                const std::uint8_t* src = bgra + std::size_t{y} * width * 4;
                std::uint8_t* dst = buffer_.data() + y * row;
                for (std::uint32_t x = 0; x < width; ++x) {
                    if ((src[std::size_t{x} * 4] ^ flip) != 0) dst[x / 8] |= 0x80 >> (x % 8);
                }
            }
            api_->SetImage(buffer_.data(), static_cast<int>(width), static_cast<int>(height), 0,
                           static_cast<int>(row));
            format_ = {0, static_cast<int>(row)};
        } else if (grey) {
            buffer_.resize(pixels);
            for (std::size_t i = 0; i < pixels; ++i) buffer_[i] = bgra[i * 4] ^ flip;
            api_->SetImage(buffer_.data(), static_cast<int>(width), static_cast<int>(height), 1,
                           static_cast<int>(width));
            format_ = {1, static_cast<int>(width)};
        } else {
            buffer_.resize(pixels * 3);
            for (std::size_t i = 0; i < pixels; ++i) {
                buffer_[i * 3] = bgra[i * 4 + 2] ^ flip;
                buffer_[i * 3 + 1] = bgra[i * 4 + 1] ^ flip;
                buffer_[i * 3 + 2] = bgra[i * 4] ^ flip;
            }
            api_->SetImage(buffer_.data(), static_cast<int>(width), static_cast<int>(height), 3,
                           static_cast<int>(width) * 3);
            format_ = {3, static_cast<int>(width) * 3};
        }
        // A mostly white black-and-white picture shows black text on white
        // only: reading its poor lines a second time inverted only reads the
        // noise again. A mostly black one may hold light text too.
        set_invert_retry(!black_white || mostly_dark);
        api_->SetSourceResolution(kSourceDpi);
        tesseract::ETEXT_DESC monitor;
        monitor.set_deadline_msecs(static_cast<std::int32_t>(deadline_ms_));
        const int rc = api_->Recognize(&monitor);
        if (monitor.deadline_exceeded()) {
            api_->Clear();
            out.error = PlatformError{
                -2, fmt::format("Tesseract: el reconocimiento tardó más de {} ms", deadline_ms_)};
            return out;
        }
        if (rc != 0) {
            api_->Clear();
            out.error = PlatformError{rc, "Tesseract: el reconocimiento falló"};
            return out;
        }
        settled_.clear();
        std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator());
        if (it && !it->Empty(tesseract::RIL_WORD)) {
            do {
                std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
                int l = 0, t = 0, r = 0, b = 0;
                if (!text || !it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &b)) continue;
                std::string word(text.get());
                const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
                if (std::all_of(word.begin(), word.end(), blank)) continue;
                settled_.push_back(it->WordIsFromDictionary() || level_word(*it));
                out.words.push_back(OcrWord{std::move(word), static_cast<float>(l),
                                            static_cast<float>(t), static_cast<float>(r - l),
                                            static_cast<float>(b - t)});
            } while (it->Next(tesseract::RIL_WORD));
        }
        api_->Clear();
        if (marks_ && !out.words.empty()) read_marks(out.words, width, height, monitor);
        out.ok = true;
        return out;
    }

    const std::string& language() const override { return language_; }

  private:
    void set_invert_retry(bool on) {
        if (on == invert_retry_) return;
        api_->SetVariable("tessedit_do_invert", on ? "1" : "0");
        if (marks_) marks_->SetVariable("tessedit_do_invert", on ? "1" : "0");
        invert_retry_ = on;
    }

    // Player names carry marked letters (Á, Ñ, Ö, Ê...) that English data
    // cannot give. A word of three or more characters that may have lost one,
    // is no English word and has some character out of line is read again,
    // alone, with data for the whole Latin script; the box grows upwards,
    // where the marks of capitals stand. See take_second_reading for which
    // reading is kept.
    void read_marks(std::vector<OcrWord>& words, std::uint32_t width, std::uint32_t height,
                    const tesseract::ETEXT_DESC& first) {
        marks_->SetImage(buffer_.data(), static_cast<int>(width), static_cast<int>(height),
                         format_.bytes_per_pixel, format_.bytes_per_line);
        marks_->SetSourceResolution(kSourceDpi);
        for (std::size_t i = 0; i < words.size(); ++i) {
            OcrWord& w = words[i];
            if (first.deadline_exceeded()) break;
            if (settled_[i] || !may_lack_marks(w.text)) continue;
            const float pad = w.height * 0.15f;
            const int l = std::max(0, static_cast<int>(w.left - pad));
            const int t = std::max(0, static_cast<int>(w.top - w.height * 0.4f));
            const int r =
                std::min(static_cast<int>(width), static_cast<int>(w.left + w.width + pad));
            const int b =
                std::min(static_cast<int>(height), static_cast<int>(w.top + w.height + pad));
            if (r <= l || b <= t) continue;
            marks_->SetRectangle(l, t, r - l, b - t);
            tesseract::ETEXT_DESC monitor;
            monitor.set_deadline_msecs(static_cast<std::int32_t>(deadline_ms_));
            if (marks_->Recognize(&monitor) != 0 || monitor.deadline_exceeded()) continue;
            std::unique_ptr<char[]> text(marks_->GetUTF8Text());
            if (!text) continue;
            std::string read;
            for (const char* p = text.get(); *p; ++p) {
                if (!std::isspace(static_cast<unsigned char>(*p))) read.push_back(*p);
            }
            if (take_second_reading(w.text, read)) w.text = std::move(read);
        }
        marks_->Clear();
    }

    struct Format {
        int bytes_per_pixel = 0;  // 0 for one bit per pixel
        int bytes_per_line = 0;
    };

    std::unique_ptr<tesseract::TessBaseAPI> api_;
    std::unique_ptr<tesseract::TessBaseAPI> marks_;  // Latin script, or null
    Format format_;
    // Per word read: in the English dictionary (the HUD's own words), or
    // with all its characters level; either needs no second reading.
    std::vector<bool> settled_;
    std::string language_;
    std::uint32_t deadline_ms_;
    std::vector<std::uint8_t> buffer_;  // the picture as handed over
    bool invert_retry_ = true;          // the library's default
};

// Tesseract's data name for the language of a locale text ("es_MX.UTF-8").
std::string tesseract_language(std::string_view locale) {
    if (locale.size() < 2) return {};
    std::string code{static_cast<char>(std::tolower(static_cast<unsigned char>(locale[0]))),
                     static_cast<char>(std::tolower(static_cast<unsigned char>(locale[1])))};
    if (locale.size() > 2 && std::isalpha(static_cast<unsigned char>(locale[2]))) return {};
    static constexpr std::pair<const char*, const char*> kCodes[] = {
        {"en", "eng"}, {"es", "spa"}, {"pt", "por"}, {"fr", "fra"}, {"de", "deu"}, {"it", "ita"}};
    for (const auto& [iso, tess] : kCodes) {
        if (code == iso) return tess;
    }
    return {};
}

// English first, then the user's languages in the order the system gives
// them, then Spanish.
std::vector<std::string> candidate_languages() {
    std::vector<std::string> out{"eng"};
    const auto add = [&out](std::string_view locale) {
        std::string lang = tesseract_language(locale);
        if (!lang.empty() && std::find(out.begin(), out.end(), lang) == out.end()) {
            out.push_back(lang);
        }
    };
    for (const char* var : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (!v) continue;
        std::string_view list(v);
        while (!list.empty()) {
            const std::size_t colon = list.find(':');
            add(list.substr(0, colon));
            if (colon == std::string_view::npos) break;
            list.remove_prefix(colon + 1);
        }
    }
    add("es");
    return out;
}

// A trained-data file is a count of entries, one 64-bit offset per entry (-1
// for an absent one), then the entries in that order. The copy leaves out the
// word list of the line recogniser: names are no dictionary words, and that
// list alone is most of the Latin file's 89 MB and of its loading time.
constexpr std::size_t kLstmWordList = 19;

// The file at `path` without that list, read entry by entry: the whole file
// is never held in memory. Empty when it cannot be read or is not such a file.
std::string without_word_list(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const std::int64_t file_size = static_cast<std::int64_t>(in.tellg());
    std::int32_t count = 0;
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(&count), sizeof count)) return {};
    if (count <= static_cast<std::int32_t>(kLstmWordList) || count > 1000) return {};
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(count));
    const std::size_t header = sizeof count + offsets.size() * sizeof(std::int64_t);
    if (!in.read(reinterpret_cast<char*>(offsets.data()),
                 static_cast<std::streamsize>(offsets.size() * sizeof(std::int64_t))))
        return {};
    std::string out(header, '\0');
    std::vector<std::int64_t> placed(offsets.size(), -1);
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (offsets[i] < 0 || i == kLstmWordList) continue;
        std::int64_t end = file_size;
        for (std::size_t j = i + 1; j < offsets.size(); ++j) {
            if (offsets[j] >= 0) {
                end = offsets[j];
                break;
            }
        }
        if (offsets[i] < static_cast<std::int64_t>(header) || end < offsets[i] || end > file_size)
            return {};
        placed[i] = static_cast<std::int64_t>(out.size());
        out.resize(out.size() + static_cast<std::size_t>(end - offsets[i]));
        in.seekg(offsets[i]);
        if (!in.read(out.data() + placed[i], end - offsets[i])) return {};
    }
    std::memcpy(out.data(), &count, sizeof count);
    std::memcpy(out.data() + sizeof count, placed.data(), placed.size() * sizeof(std::int64_t));
    return out;
}

// The recogniser for marked letters: Debian's Latin-script data
// (tesseract-ocr-script-latn) next to the English data. Null without it.
std::unique_ptr<tesseract::TessBaseAPI> marks_engine(const char* datapath) {
    if (!datapath) return nullptr;
    std::string trimmed;
    for (const char* name : {"Latin.traineddata", "script/Latin.traineddata"}) {
        trimmed = without_word_list(std::string(datapath) + "/" + name);
        if (!trimmed.empty()) break;
    }
    if (trimmed.empty()) return nullptr;
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    api->SetVariable("debug_file", "/dev/null");
    if (api->Init(trimmed.data(), static_cast<int>(trimmed.size()), "Latin",
                  tesseract::OEM_LSTM_ONLY, nullptr, 0, nullptr, nullptr, false, nullptr) != 0) {
        api->End();
        return nullptr;
    }
    api->SetVariable("debug_file", "/dev/null");
    api->SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    return api;
}

}  // namespace

std::unique_ptr<OcrEngine> ocr_engine_create(const OcrEngineOptions& options) {
    keep_recognition_on_this_thread();
    for (const std::string& lang : candidate_languages()) {
        auto api = std::make_unique<tesseract::TessBaseAPI>();
        // Missing data files are reported on stderr by the library itself;
        // its debug output is kept away from the console.
        api->SetVariable("debug_file", "/dev/null");
        if (api->Init(nullptr, lang.c_str()) != 0) {
            api->End();
            continue;
        }
        api->SetVariable("debug_file", "/dev/null");
        api->SetPageSegMode(tesseract::PSM_SPARSE_TEXT);
        auto marks = lang == "eng" ? marks_engine(api->GetDatapath()) : nullptr;
        return std::make_unique<TesseractOcr>(std::move(api), lang, options.deadline_ms,
                                              std::move(marks));
    }
    return nullptr;
}

}  // namespace corvane
