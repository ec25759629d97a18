#include "detection/detect_slow.h"

#include <algorithm>
#include <cmath>

#include "base/log.h"
#include "base/text.h"
#include "detection/hud.h"
#include "platform/priority.h"

namespace corvane {

namespace {

// A span [left, right) of the frame's width with at least `min_width` pixels,
// then kept inside the frame.
Region span(std::uint32_t left, std::uint32_t right, std::uint32_t min_width, float top,
            float height, std::uint32_t frame_w, std::uint32_t frame_h) {
    Region r;
    r.x = std::min(left, frame_w);
    const std::uint32_t right_c = std::min(right, frame_w);
    r.width = std::max(min_width, right_c > r.x ? right_c - r.x : 0u);
    r.width = std::min(r.width, frame_w - r.x);
    r.y = std::min(detect_float_to_u32(top), frame_h);
    r.height = std::min(detect_float_to_u32(height), frame_h - r.y);
    return r;
}

std::string join_single_spaces(std::string_view text) {
    std::string out;
    for (std::string_view w : utf8_split_white_space(text)) {
        if (!out.empty()) out += ' ';
        out.append(w);
    }
    return out;
}

}  // namespace

SlowRegions slow_regions(std::uint32_t width, std::uint32_t height) {
    const float h = static_cast<float>(height);
    const float cx = static_cast<float>(width) * 0.5f;
    SlowRegions r;
    r.killfeed = span(detect_float_to_u32(cx - 0.97f * h), detect_float_to_u32(cx - 0.1f * h), 16,
                      0.28f * h, 0.4f * h, width, height);
    const std::uint32_t menu_left = std::min(detect_float_to_u32(cx - 0.89f * h), width);
    const std::uint32_t menu_right = std::max(detect_float_to_u32(cx - 0.15f * h), menu_left + 16);
    r.menu = span(menu_left, menu_right, 0, 0.55f * h, 0.3f * h, width, height);
    r.objectives = span(detect_float_to_u32(cx - 0.92f * h), detect_float_to_u32(cx + 0.1f * h), 16,
                        0.03f * h, 0.17f * h, width, height);
    return r;
}

std::vector<KillfeedPair> slow_killfeed_pairs(const std::vector<OcrLine>& segments,
                                              std::uint32_t frame_height) {
    std::vector<OcrLine> sorted = segments;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const OcrLine& a, const OcrLine& b) { return a.y < b.y; });
    const float tolerance = 0.008f * static_cast<float>(frame_height);
    std::vector<std::vector<OcrLine>> rows;
    for (OcrLine& s : sorted) {
        if (!rows.empty() && std::fabs(s.y - rows.back().front().y) < tolerance) {
            rows.back().push_back(std::move(s));
        } else {
            rows.push_back({std::move(s)});
        }
    }
    std::vector<KillfeedPair> pairs;
    for (auto& row : rows) {
        std::stable_sort(row.begin(), row.end(),
                         [](const OcrLine& a, const OcrLine& b) { return a.x < b.x; });
        std::vector<std::string> texts;
        for (const OcrLine& s : row) texts.push_back(s.text);
        const std::vector<std::string> words = ocr_normalize_words(texts);
        if (words.size() < 2) continue;
        KillfeedPair pair{words.front(), words.back()};
        if (hud_name_key(pair.first) == hud_name_key(pair.second)) continue;
        if (std::find(pairs.begin(), pairs.end(), pair) != pairs.end()) continue;
        pairs.push_back(std::move(pair));
    }
    return pairs;
}

std::optional<MenuSelection> slow_menu_selection(const std::vector<OcrLine>& lines,
                                                 std::uint32_t frame_height) {
    const float h = static_cast<float>(frame_height);
    for (const OcrLine& mode_line : lines) {
        std::optional<std::string> mode = hud_mode_name(mode_line.text);
        if (!mode) continue;
        MenuSelection out{*mode, std::nullopt};
        for (const OcrLine& c : lines) {
            const float below = c.y - mode_line.y;
            if (!(below > 0.0f && below < 0.06f * h)) continue;
            if (!(std::fabs(c.x - mode_line.x) < 0.25f * h)) continue;
            std::optional<std::string> cleaned = detect_clean_ocr_text(c.text);
            if (!cleaned || hud_letters_upper(*cleaned).size() < 4) continue;
            if (hud_find_keyword(*cleaned, "MAP ROTATION")) continue;
            out.map = hud_join_words(*cleaned);
            break;
        }
        return out;
    }
    return std::nullopt;
}

std::optional<ObjectivesReading> slow_objectives(const std::vector<OcrLine>& lines,
                                                 std::uint32_t frame_height) {
    const float h = static_cast<float>(frame_height);
    for (const OcrLine& mode_line : lines) {
        std::optional<std::string> mode = hud_mode_name(mode_line.text);
        if (!mode) continue;
        ObjectivesReading out{*mode, std::nullopt};
        std::size_t best = 0;
        for (const OcrLine& c : lines) {
            const float above = mode_line.y - c.y;
            if (!(above > 0.0f && above < 0.05f * h)) continue;
            if (!(std::fabs(c.x - mode_line.x) < 0.3f * h)) continue;
            std::optional<std::string> cleaned = detect_clean_ocr_text(c.text);
            if (!cleaned || cleaned->empty()) continue;
            if (cleaned->size() > best) {
                best = cleaned->size();
                out.above = join_single_spaces(*cleaned);
            }
        }
        return out;
    }
    return std::nullopt;
}

namespace {

// The region's lines (none under a notice card), or nothing when its copy or
// recognition returned an error.
std::optional<std::vector<OcrLine>> read_lines(SlowPass& p, StagingRegion& s, bool split) {
    PlatformError error;
    switch (detect_read_region(s, p.frame, p.covered, &error)) {
        case RegionRead::kCovered:
            return std::vector<OcrLine>{};
        case RegionRead::kFailed:
            return std::nullopt;
        case RegionRead::kRead:
            break;
    }
    OcrLinesResult r =
        ocr_recognize_region(*p.ocr, s.pixels.data(), s.pixels.size(), s.region, false, split);
    if (!r.ok) return std::nullopt;
    return std::move(r.lines);
}

}  // namespace

void slow_cycle(SlowPass& p) {
    if (!p.env.enabled->load() || !p.env.in_front->load()) return;
    const bool menu_seen = menu_state_seen(*p.menu_state);
    const DetectorInstant start = p.env.now();
    ++p.cycle;
    SlowReading reading;
    try {
        if (!menu_seen) {
            if (auto lines = read_lines(p, p.staging.killfeed, true)) {
                reading.killfeed_pairs = slow_killfeed_pairs(*lines, p.frame.height);
            }
        }
        if (p.cycle % 3 == 0) {
            if (auto lines = read_lines(p, p.staging.objectives, false)) {
                reading.objectives = slow_objectives(*lines, p.frame.height);
            }
        } else if (p.cycle % 3 == 1 && menu_seen) {
            if (auto lines = read_lines(p, p.staging.menu, false)) {
                reading.menu_selection = slow_menu_selection(*lines, p.frame.height);
            }
        }
    } catch (...) {
        if (!p.failure_reported) {
            p.failure_reported = true;
            p.env.log(
                "\n[AVISO] Detector: una lectura falló y se omitió (el detector sigue "
                "funcionando).");
        }
        return;
    }
    const auto d = p.env.now() - start;
    reading.duration_ms =
        d.count() < 0 ? 0
                      : static_cast<std::uint64_t>(
                            std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    game_context_publish(*p.game_context, std::move(reading));
}

bool slow_prepare(SlowPass& p) {
    const SlowRegions r = slow_regions(p.frame.width, p.frame.height);
    StagingResult a = detect_create_staging_texture(r.killfeed);
    StagingResult b = detect_create_staging_texture(r.menu);
    StagingResult c = detect_create_staging_texture(r.objectives);
    if (!a.staging || !b.staging || !c.staging) return false;
    p.staging = SlowStaging{std::move(*a.staging), std::move(*b.staging), std::move(*c.staging)};
    return true;
}

void detector_slow_run(SlowStart start) {
    thread_set_background_priority();
    SlowPass p;
    p.env = std::move(start.env);
    if (!p.env.log) p.env.log = [](std::string_view m) { log_line(m); };
    p.ocr = start.make_ocr ? start.make_ocr() : nullptr;
    if (!p.ocr) return;
    p.frame = std::move(start.frame);
    p.covered = std::move(start.covered);
    p.game_context = start.game_context ? start.game_context : std::make_shared<GameContext>();
    p.menu_state = start.menu_state ? start.menu_state : std::make_shared<MenuState>();
    if (!slow_prepare(p)) return;
    const auto quit = [&] { return start.quit && start.quit->set.load(); };
    while (!quit()) {
        p.env.sleep(kSlowPeriod);
        slow_cycle(p);
    }
}

}  // namespace corvane
