#include "detection/ocr.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <numeric>

#include "base/text.h"
#include "detection/hud.h"

namespace corvane {

std::unique_ptr<OcrEngine> ocr_create_engine() {
    return ocr_engine_create();
}

std::vector<std::vector<OcrWord>> ocr_assemble_rows(std::vector<OcrWord> words) {
    const auto centre = [](const OcrWord& w) { return w.top + w.height * 0.5f; };
    std::stable_sort(words.begin(), words.end(),
                     [&](const OcrWord& a, const OcrWord& b) { return centre(a) < centre(b); });
    std::vector<std::vector<OcrWord>> rows;
    float row_centre = 0;
    float row_height = 0;
    for (OcrWord& w : words) {
        const float c = centre(w);
        // A word more than three times as tall or as short as the row is not
        // of it: an icon or a patch of background read as a word is as tall
        // as two or three rows of text and would glue them into one, the
        // rank line into the killer's name.
        const bool alike = std::max(row_height, w.height) <= 3.0f * std::min(row_height, w.height);
        if (!rows.empty() && alike && c - row_centre < 0.5f * std::max(row_height, w.height)) {
            row_height = std::max(row_height, w.height);
            rows.back().push_back(std::move(w));
            continue;
        }
        row_centre = c;
        row_height = w.height;
        rows.emplace_back();
        rows.back().push_back(std::move(w));
    }
    for (auto& row : rows) {
        std::stable_sort(row.begin(), row.end(),
                         [](const OcrWord& a, const OcrWord& b) { return a.left < b.left; });
    }
    return rows;
}

PreparedBitmap ocr_prepare_bitmap(const std::uint8_t* bgra, std::uint32_t width,
                                  std::uint32_t height, bool upscale, std::uint32_t limit) {
    PreparedBitmap out;
    if (upscale && std::uint64_t{width} * 2 <= limit && std::uint64_t{height} * 2 <= limit) {
        out.width = width * 2;
        out.height = height * 2;
        out.scale = 0.5f;
        out.bgra.resize(std::size_t{out.width} * out.height * 4);
        for (std::uint32_t y = 0; y < out.height; ++y) {
            const std::uint8_t* src = bgra + std::size_t{y / 2} * width * 4;
            std::uint8_t* dst = out.bgra.data() + std::size_t{y} * out.width * 4;
            for (std::uint32_t x = 0; x < width; ++x) {
                std::copy_n(src + std::size_t{x} * 4, 4, dst + std::size_t{x} * 8);
                std::copy_n(src + std::size_t{x} * 4, 4, dst + std::size_t{x} * 8 + 4);
            }
        }
        return out;
    }
    out.bgra.assign(bgra, bgra + std::size_t{width} * height * 4);
    out.width = width;
    out.height = height;
    // Halved until it fits: a single halving leaves an 8K-wide band above the
    // limit, and the recogniser's cost grows with the picture.
    while (out.width > limit || out.height > limit) {
        const std::uint32_t w = out.width / 2;
        const std::uint32_t h = out.height / 2;
        std::vector<std::uint8_t> half(std::size_t{w} * h * 4);
        const std::size_t stride = std::size_t{out.width} * 4;
        for (std::uint32_t y = 0; y < h; ++y) {
            const std::uint8_t* r0 = out.bgra.data() + std::size_t{2 * y} * stride;
            const std::uint8_t* r1 = r0 + stride;
            std::uint8_t* dst = half.data() + std::size_t{y} * w * 4;
            for (std::uint32_t x = 0; x < w; ++x) {
                for (int c = 0; c < 4; ++c) {
                    const std::size_t a = std::size_t{2 * x} * 4 + c;
                    dst[std::size_t{x} * 4 + c] =
                        static_cast<std::uint8_t>((r0[a] + r0[a + 4] + r1[a] + r1[a + 4]) / 4);
                }
            }
        }
        out.bgra = std::move(half);
        out.width = w;
        out.height = h;
        out.scale *= 2.0f;
    }
    return out;
}

namespace {

std::string join_words(const std::vector<OcrWord>& words, std::size_t from, std::size_t to) {
    std::string text;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from) text += ' ';
        text += words[i].text;
    }
    return text;
}

OcrLine make_line(const std::vector<OcrWord>& words, std::size_t from, std::size_t to, float scale,
                  const Region& region) {
    const OcrWord& f = words[from];
    const OcrWord& l = words[to - 1];
    OcrLine line;
    line.text = join_words(words, from, to);
    line.x = ((f.left + l.left + l.width) * 0.5f) * scale + static_cast<float>(region.x);
    line.y = (f.top + f.height * 0.5f) * scale + static_cast<float>(region.y);
    return line;
}

}  // namespace

OcrLinesResult ocr_recognize_region(OcrEngine& engine, const std::uint8_t* pixels,
                                    std::size_t byte_count, const Region& region, bool upscale,
                                    bool split_at_gaps) {
    OcrLinesResult out;
    const std::uint64_t expected = std::uint64_t{region.width} * region.height * 4;
    if (byte_count != expected || (expected != 0 && pixels == nullptr)) {
        out.error = PlatformError{-1, "imagen de la región con tamaño incorrecto"};
        return out;
    }
    if (region.width == 0 || region.height == 0) {
        out.ok = true;
        return out;
    }
    const PreparedBitmap bitmap = ocr_prepare_bitmap(pixels, region.width, region.height, upscale);
    OcrWordsResult words = engine.recognize(bitmap.bgra.data(), bitmap.width, bitmap.height);
    if (!words.ok) {
        out.error = std::move(words.error);
        return out;
    }
    for (const auto& row : ocr_assemble_rows(std::move(words.words))) {
        if (row.empty()) continue;
        if (!split_at_gaps) {
            out.lines.push_back(make_line(row, 0, row.size(), bitmap.scale, region));
            continue;
        }
        std::size_t start = 0;
        for (std::size_t i = 1; i < row.size(); ++i) {
            const OcrWord& prev = row[i - 1];
            const float gap = row[i].left - (prev.left + prev.width);
            if (gap > 1.2f * std::max(prev.height, row[i].height)) {
                out.lines.push_back(make_line(row, start, i, bitmap.scale, region));
                start = i;
            }
        }
        out.lines.push_back(make_line(row, start, row.size(), bitmap.scale, region));
    }
    out.ok = true;
    return out;
}

std::uint32_t ocr_prefilter_radius(std::uint32_t height) {
    return std::min<std::uint32_t>(std::max<std::uint32_t>(height / 12, 6), 16);
}

void ocr_prefilter_region(std::uint8_t* pixels, std::size_t byte_count, std::uint32_t width,
                          std::uint32_t height) {
    if (width == 0 || height == 0) return;
    const std::size_t w = width, h = height;
    if (byte_count < w * h * 4) return;
    // Reused between calls: the detector filters the same band every pass.
    thread_local std::vector<std::uint8_t> grey;
    thread_local std::vector<std::uint64_t> sat;
    grey.resize(w * h);
    for (std::size_t i = 0; i < w * h; ++i) {
        const std::uint8_t* p = pixels + i * 4;
        grey[i] = static_cast<std::uint8_t>((p[0] + p[1] + p[2]) / 3);
    }
    const std::size_t sw = w + 1;
    sat.assign(sw * (h + 1), 0);
    for (std::size_t y = 0; y < h; ++y) {
        std::uint64_t row = 0;
        for (std::size_t x = 0; x < w; ++x) {
            row += grey[y * w + x];
            sat[(y + 1) * sw + x + 1] = sat[y * sw + x + 1] + row;
        }
    }
    const std::int64_t r = ocr_prefilter_radius(height);
    for (std::size_t y = 0; y < h; ++y) {
        const std::size_t y0 =
            static_cast<std::size_t>(std::max<std::int64_t>(0, std::int64_t(y) - r));
        const std::size_t y1 = std::min<std::size_t>(h - 1, y + static_cast<std::size_t>(r));
        for (std::size_t x = 0; x < w; ++x) {
            const std::size_t x0 =
                static_cast<std::size_t>(std::max<std::int64_t>(0, std::int64_t(x) - r));
            const std::size_t x1 = std::min<std::size_t>(w - 1, x + static_cast<std::size_t>(r));
            const std::uint64_t sum = sat[(y1 + 1) * sw + x1 + 1] - sat[y0 * sw + x1 + 1] -
                                      sat[(y1 + 1) * sw + x0] + sat[y0 * sw + x0];
            const std::uint64_t count = (x1 - x0 + 1) * (y1 - y0 + 1);
            const std::int64_t g = grey[y * w + x];
            const std::int64_t d = g - static_cast<std::int64_t>(sum / count);
            std::uint8_t* p = pixels + (y * w + x) * 4;
            const int mx = std::max({p[0], p[1], p[2]});
            const int mn = std::min({p[0], p[1], p[2]});
            const int s = mx - mn;
            bool black;
            if (mn >= 151 && s < 60) {
                black = d > 30;
            } else {
                black = mx >= 171 && s >= 91 && d > 8;
            }
            const std::uint8_t v = black ? 0 : 255;
            p[0] = p[1] = p[2] = v;
            p[3] = 255;
        }
    }
}

namespace {

bool letter_or_digit_at(std::string_view s, std::size_t i, std::size_t& len) {
    char32_t cp = 0;
    len = utf8_decode(s, i, cp);
    if (len == 0) {
        len = 1;
        return false;
    }
    return u_isalnum(static_cast<UChar32>(cp)) != 0;
}

}  // namespace

std::vector<std::string> ocr_normalize_words(const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    for (const std::string& text : texts) {
        std::string t = hud_text_fold(text);
        std::string_view v(t);
        // Leading characters that are neither letters nor digits.
        std::size_t begin = 0;
        while (begin < v.size()) {
            std::size_t len = 0;
            if (letter_or_digit_at(v, begin, len)) break;
            begin += len;
        }
        // The core ends after its last letter or digit.
        std::size_t end = begin;
        for (std::size_t i = begin; i < v.size();) {
            std::size_t len = 0;
            if (letter_or_digit_at(v, i, len)) end = i + len;
            i += len;
        }
        if (end <= begin) continue;
        const std::string_view core = v.substr(begin, end - begin);
        std::size_t letters = 0, digits = 0;
        for (unsigned char c : core) {
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) ++letters;
            if (c >= '0' && c <= '9') ++digits;
        }
        if (letters >= 2 && letters + digits >= 3) out.push_back(std::move(t));
    }
    return out;
}

}  // namespace corvane
