// Test pictures of HUD text: Cairo + Pango draw texts at known places on a
// game-like background and report where each word's ink landed.
#pragma once

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace corvane::test {

struct TextSpec {
    std::string text;
    double x = 0;    // left of the layout, picture pixels
    double y = 0;    // top of the layout
    double px = 24;  // font size in pixels
    double r = 1, g = 1, b = 1;
};

struct InkBox {
    std::string text;
    double left = 0, top = 0, width = 0, height = 0;
};

struct Picture {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> bgra;  // B, G, R, A, tightly packed
    std::vector<InkBox> words;       // every word of every text, in order
};

// A dark gradient with seeded noise, like a dim game scene behind the HUD.
inline void draw_background(cairo_t* cr, std::uint32_t w, std::uint32_t h, unsigned seed) {
    cairo_pattern_t* grad = cairo_pattern_create_linear(0, 0, w, h);
    cairo_pattern_add_color_stop_rgb(grad, 0, 0.10, 0.12, 0.14);
    cairo_pattern_add_color_stop_rgb(grad, 1, 0.22, 0.20, 0.16);
    cairo_set_source(cr, grad);
    cairo_paint(cr);
    cairo_pattern_destroy(grad);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    for (int i = 0; i < static_cast<int>(w * h / 400); ++i) {
        cairo_set_source_rgba(cr, u(rng) * 0.3, u(rng) * 0.3, u(rng) * 0.3, 0.5);
        cairo_rectangle(cr, u(rng) * w, u(rng) * h, 1 + u(rng) * 3, 1 + u(rng) * 3);
        cairo_fill(cr);
    }
}

// A light panel drawn over the background, under the texts.
struct Panel {
    double x = 0, y = 0, width = 0, height = 0;
};

inline Picture render_texts(std::uint32_t w, std::uint32_t h, const std::vector<TextSpec>& texts,
                            unsigned seed = 7, const std::vector<Panel>& panels = {}) {
    Picture pic;
    pic.width = w;
    pic.height = h;
    cairo_surface_t* s =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(w), static_cast<int>(h));
    cairo_t* cr = cairo_create(s);
    draw_background(cr, w, h, seed);
    for (const Panel& p : panels) {
        cairo_set_source_rgb(cr, 0.92, 0.92, 0.90);
        cairo_rectangle(cr, p.x, p.y, p.width, p.height);
        cairo_fill(cr);
    }
    for (const TextSpec& t : texts) {
        PangoLayout* layout = pango_cairo_create_layout(cr);
        PangoFontDescription* font = pango_font_description_from_string("DejaVu Sans Bold");
        pango_font_description_set_absolute_size(font, t.px * PANGO_SCALE);
        pango_layout_set_font_description(layout, font);
        pango_font_description_free(font);
        pango_layout_set_text(layout, t.text.c_str(), -1);
        cairo_set_source_rgb(cr, t.r, t.g, t.b);
        cairo_move_to(cr, t.x, t.y);
        pango_cairo_show_layout(cr, layout);
        // Each word's ink: the extents of its character range.
        std::size_t start = 0;
        while (start < t.text.size()) {
            if (t.text[start] == ' ') {
                ++start;
                continue;
            }
            std::size_t end = t.text.find(' ', start);
            if (end == std::string::npos) end = t.text.size();
            PangoRectangle first, last, ink;
            pango_layout_index_to_pos(layout, static_cast<int>(start), &first);
            pango_layout_index_to_pos(layout, static_cast<int>(end - 1), &last);
            pango_layout_get_pixel_extents(layout, &ink, nullptr);
            InkBox box;
            box.text = t.text.substr(start, end - start);
            box.left = t.x + first.x / double(PANGO_SCALE);
            box.width = (last.x + last.width - first.x) / double(PANGO_SCALE);
            box.top = t.y + ink.y;
            box.height = ink.height;
            pic.words.push_back(box);
            start = end;
        }
        g_object_unref(layout);
    }
    cairo_surface_flush(s);
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    pic.bgra.resize(std::size_t{w} * h * 4);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const unsigned char* p = data + std::size_t{y} * stride + std::size_t{x} * 4;
            std::uint8_t* q = pic.bgra.data() + (std::size_t{y} * w + x) * 4;
            q[0] = p[0];
            q[1] = p[1];
            q[2] = p[2];
            q[3] = 255;
        }
    }
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    return pic;
}

// Writes B, G, R(, A) bytes as an RGB PNG (no alpha channel).
inline bool write_png(const std::filesystem::path& path, const std::uint8_t* bgra, std::uint32_t w,
                      std::uint32_t h) {
    cairo_surface_t* s =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(w), static_cast<int>(h));
    const int stride = cairo_image_surface_get_stride(s);
    unsigned char* data = cairo_image_surface_get_data(s);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint8_t* p = bgra + (std::size_t{y} * w + x) * 4;
            unsigned char* q = data + std::size_t{y} * stride + std::size_t{x} * 4;
            q[0] = p[0];
            q[1] = p[1];
            q[2] = p[2];
            q[3] = 255;
        }
    }
    cairo_surface_mark_dirty(s);
    const bool ok = cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(s);
    return ok;
}

// The pixels of a rectangle of a picture.
inline std::vector<std::uint8_t> crop(const Picture& pic, std::uint32_t x, std::uint32_t y,
                                      std::uint32_t w, std::uint32_t h) {
    std::vector<std::uint8_t> out(std::size_t{w} * h * 4);
    for (std::uint32_t r = 0; r < h; ++r) {
        const std::uint8_t* src = pic.bgra.data() + (std::size_t{y + r} * pic.width + x) * 4;
        std::copy(src, src + std::size_t{w} * 4, out.data() + std::size_t{r} * w * 4);
    }
    return out;
}

}  // namespace corvane::test
