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

class TesseractOcr final : public OcrEngine {
  public:
    TesseractOcr(std::unique_ptr<tesseract::TessBaseAPI> api, std::string language,
                 std::uint32_t deadline_ms)
        : api_(std::move(api)), language_(std::move(language)), deadline_ms_(deadline_ms) {}
    ~TesseractOcr() override { api_->End(); }

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
        } else if (grey) {
            buffer_.resize(pixels);
            for (std::size_t i = 0; i < pixels; ++i) buffer_[i] = bgra[i * 4] ^ flip;
            api_->SetImage(buffer_.data(), static_cast<int>(width), static_cast<int>(height), 1,
                           static_cast<int>(width));
        } else {
            buffer_.resize(pixels * 3);
            for (std::size_t i = 0; i < pixels; ++i) {
                buffer_[i * 3] = bgra[i * 4 + 2] ^ flip;
                buffer_[i * 3 + 1] = bgra[i * 4 + 1] ^ flip;
                buffer_[i * 3 + 2] = bgra[i * 4] ^ flip;
            }
            api_->SetImage(buffer_.data(), static_cast<int>(width), static_cast<int>(height), 3,
                           static_cast<int>(width) * 3);
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
        std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator());
        if (it && !it->Empty(tesseract::RIL_WORD)) {
            do {
                std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
                int l = 0, t = 0, r = 0, b = 0;
                if (!text || !it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &b)) continue;
                std::string word(text.get());
                const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
                if (std::all_of(word.begin(), word.end(), blank)) continue;
                out.words.push_back(OcrWord{std::move(word), static_cast<float>(l),
                                            static_cast<float>(t), static_cast<float>(r - l),
                                            static_cast<float>(b - t)});
            } while (it->Next(tesseract::RIL_WORD));
        }
        api_->Clear();
        out.ok = true;
        return out;
    }

    const std::string& language() const override { return language_; }

  private:
    void set_invert_retry(bool on) {
        if (on == invert_retry_) return;
        api_->SetVariable("tessedit_do_invert", on ? "1" : "0");
        invert_retry_ = on;
    }

    std::unique_ptr<tesseract::TessBaseAPI> api_;
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
        return std::make_unique<TesseractOcr>(std::move(api), lang, options.deadline_ms);
    }
    return nullptr;
}

}  // namespace corvane
