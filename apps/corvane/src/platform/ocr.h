// Text recognition: the words of a picture with their boxes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"

namespace corvane {

// The recogniser's name as the detector's start line shows it ("(OCR ...)").
inline constexpr const char* kOcrNameText = "OCR Tesseract";
// Logged when no recogniser exists, and the balloon that tells the user why.
inline constexpr const char* kOcrMissingLogText =
    "\n[AVISO] No hay OCR disponible (faltan los datos de idioma de Tesseract): el detector "
    "automático queda apagado.";
inline constexpr const char* kOcrMissingBalloonText =
    "Instala los datos de Tesseract en inglés (paquete tesseract-ocr-eng).";

// The largest side a picture may have; larger ones are halved by the caller.
inline constexpr std::uint32_t kOcrMaxImageDimension = 2600;

// One recognised word; the box in pixels of the picture that was recognised.
struct OcrWord {
    std::string text;  // UTF-8, never empty
    float left = 0;
    float top = 0;
    float width = 0;
    float height = 0;
};

struct OcrWordsResult {
    bool ok = false;
    std::vector<OcrWord> words;  // in the recogniser's own order
    PlatformError error;         // when !ok
};

// One recogniser. Not thread-safe: each thread creates its own.
class OcrEngine {
  public:
    virtual ~OcrEngine() = default;
    // The words of a picture of B, G, R, A bytes (alpha ignored), rows of
    // width × 4 bytes. A recognition that fails or overruns its deadline
    // returns the error ("Tesseract: ...").
    virtual OcrWordsResult recognize(const std::uint8_t* bgra, std::uint32_t width,
                                     std::uint32_t height) = 0;
    // The language data in use ("eng", "spa", ...).
    virtual const std::string& language() const = 0;
};

struct OcrEngineOptions {
    std::uint32_t deadline_ms = 2000;  // per recognition
};

// An English recogniser when its data is installed, else one for the user's
// own language (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), else Spanish. Null when
// none of them has data.
std::unique_ptr<OcrEngine> ocr_engine_create(const OcrEngineOptions& options = {});

}  // namespace corvane
