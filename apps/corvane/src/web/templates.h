// Page templates: the stored pages and the filling of their placeholders.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane {

// (placeholder, replacement); earlier pairs win where two would start at one place.
using UiTemplateFills = std::vector<std::pair<std::string_view, std::string_view>>;

// Replaces every occurrence of each placeholder in one pass over the template:
// inserted text is never scanned again, so data holding a placeholder's name
// stays as it is.
std::string ui_fill_template(std::string_view tpl, const UiTemplateFills& fills);

// (placeholder, replacement given as texts written one after another).
using UiTemplatePieces = std::vector<std::pair<std::string_view, std::vector<std::string_view>>>;

// The same pass, appended to `out`: a page of megabytes is written once,
// straight from the texts it is made of, into a buffer the caller may reuse.
void ui_fill_template_append(std::string& out, std::string_view tpl, const UiTemplatePieces& fills);

// Compact JSON for a script inside a page: "</" is written "<\/" and "<!--"
// "\u003C!--", so no value can end the script or open an HTML comment in it.
std::string ui_json_for_script(const nlohmann::ordered_json& value);

// The same escaping of a JSON text that is already written.
std::string ui_script_escape(std::string_view json_text);
// The same, appended to `out`. Escaping texts one by one gives the bytes of
// escaping them joined, as long as they are joined by characters other than
// "<", "/", "!" and "-".
void ui_script_escape_append(std::string& out, std::string_view json_text);

// The stored template of a page ("pages/ajustes.html"); empty when missing.
std::string_view ui_page_template(std::string_view asset_name);

}  // namespace corvane
