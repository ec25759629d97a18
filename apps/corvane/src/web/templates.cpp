#include "web/templates.h"

#include "web/assets.h"
#include "web/http.h"

namespace corvane {

namespace {

// The single pass shared by the fillers: `text` gets the template's text
// between placeholders, `fill(k)` the replacement of placeholder k.
template <class Key, class Text, class Fill>
void fill_pass(std::string_view tpl, std::size_t count, Key key, Text text, Fill fill) {
    // Next occurrence of each placeholder at or after the scan position.
    std::vector<size_t> next(count);
    for (size_t k = 0; k < count; ++k) next[k] = key(k).empty() ? std::string_view::npos : tpl.find(key(k));
    size_t pos = 0;
    for (;;) {
        size_t best = std::string_view::npos, which = 0;
        for (size_t k = 0; k < count; ++k) {
            if (next[k] != std::string_view::npos && next[k] < pos) next[k] = tpl.find(key(k), pos);
            if (next[k] < best) {
                best = next[k];
                which = k;
            }
        }
        if (best == std::string_view::npos) break;
        text(tpl.substr(pos, best - pos));
        fill(which);
        pos = best + key(which).size();
    }
    text(tpl.substr(pos));
}

}  // namespace

std::string ui_fill_template(std::string_view tpl, const UiTemplateFills& fills) {
    // Each placeholder of a page stands once: room for the template and every
    // text spares the copies of growing a page of megabytes.
    size_t room = tpl.size();
    for (const auto& f : fills) room += f.second.size();
    std::string out;
    out.reserve(room);
    fill_pass(
        tpl, fills.size(), [&](size_t k) { return fills[k].first; },
        [&](std::string_view t) { out.append(t); }, [&](size_t k) { out.append(fills[k].second); });
    return out;
}

void ui_fill_template_append(std::string& out, std::string_view tpl, const UiTemplatePieces& fills) {
    size_t room = out.size() + tpl.size();
    for (const auto& f : fills)
        for (std::string_view piece : f.second) room += piece.size();
    out.reserve(room);
    fill_pass(
        tpl, fills.size(), [&](size_t k) { return fills[k].first; },
        [&](std::string_view t) { out.append(t); },
        [&](size_t k) {
            for (std::string_view piece : fills[k].second) out.append(piece);
        });
}

std::string ui_json_for_script(const nlohmann::ordered_json& value) {
    return ui_script_escape(ui_json_text(value));
}

void ui_script_escape_append(std::string& out, std::string_view text) {
    std::size_t pos = 0;
    for (;;) {
        const std::size_t lt = text.find('<', pos);
        out.append(text.substr(pos, lt == std::string_view::npos ? std::string_view::npos : lt - pos));
        if (lt == std::string_view::npos) break;
        if (text.compare(lt, 2, "</") == 0) {
            out += "<\\/";
            pos = lt + 2;
        } else if (text.compare(lt, 4, "<!--") == 0) {
            out += "\\u003C";
            pos = lt + 1;
        } else {
            out += '<';
            pos = lt + 1;
        }
    }
}

std::string ui_script_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    ui_script_escape_append(out, text);
    return out;
}

std::string_view ui_page_template(std::string_view asset_name) {
    return embedded_asset(asset_name).value_or(std::string_view{});
}

}  // namespace corvane
