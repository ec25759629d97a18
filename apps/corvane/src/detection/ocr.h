// Region recognition: one rectangle of the captured frame to text lines with
// their centres in frame pixels, the local-contrast prefilter that turns bright
// HUD text into dark text on white, and the filter of word-like texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/ocr.h"

namespace corvane {

// A rectangle of the captured frame, in pixels.
struct Region {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const Region&) const = default;
};

// One recognised screen row, or one gap-separated segment of it.
struct OcrLine {
    std::string text;  // the words joined by single spaces
    float x = 0;       // horizontal centre of the text, frame pixels
    float y = 0;       // vertical centre of the first word, frame pixels
};

struct OcrLinesResult {
    bool ok = false;
    std::vector<OcrLine> lines;  // top to bottom
    PlatformError error;
};

// The engine for this thread (English preferred), or null when none exists.
std::unique_ptr<OcrEngine> ocr_create_engine();

// Words grouped into screen rows: a word joins a row when its vertical centre
// is closer to the row's than half the taller of the two and neither is more
// than three times as tall as the other; rows top to bottom (by their first
// word), words left to right.
std::vector<std::vector<OcrWord>> ocr_assemble_rows(std::vector<OcrWord> words);

// The picture handed to the engine and the factor back to region pixels.
struct PreparedBitmap {
    std::vector<std::uint8_t> bgra;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    float scale = 1.0f;  // region pixels per bitmap pixel
};

// Doubled (each pixel repeated 2 × 2) when asked and it still fits `limit`;
// else halved by 2 × 2 averages until both sides fit; else as it is.
PreparedBitmap ocr_prepare_bitmap(const std::uint8_t* bgra, std::uint32_t width,
                                  std::uint32_t height, bool upscale,
                                  std::uint32_t limit = kOcrMaxImageDimension);

// Recognises `pixels` (B, G, R, A, width × height × 4 bytes of `region`).
// With `split_at_gaps` a row is cut where the gap between two words is wider
// than 1.2 × the taller of them. A byte count that does not match the region
// is an error.
OcrLinesResult ocr_recognize_region(OcrEngine& engine, const std::uint8_t* pixels,
                                    std::size_t byte_count, const Region& region, bool upscale,
                                    bool split_at_gaps);

// In place: pixels that stand out brighter than their neighbourhood (light
// grey text, or strongly coloured bright text) become black, all else white.
void ocr_prefilter_region(std::uint8_t* pixels, std::size_t byte_count, std::uint32_t width,
                          std::uint32_t height);

// The prefilter's window radius for a region height: height / 12 within 6..16.
std::uint32_t ocr_prefilter_radius(std::uint32_t height);

// The texts that look like words (after folding: at least 2 ASCII letters and
// 3 ASCII letters or digits), each folded, in input order.
std::vector<std::string> ocr_normalize_words(const std::vector<std::string>& texts);

}  // namespace corvane
