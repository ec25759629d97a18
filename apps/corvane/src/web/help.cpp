#include "web/help.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <fmt/format.h>

#include "base/paths.h"
#include "base/text.h"
#include "base/version.h"
#include "web/templates.h"

namespace corvane {

namespace {

using Json = nlohmann::ordered_json;

// A manual is a few hundred kilobytes at most; anything far beyond is not one.
constexpr std::size_t kManualLimit = 8u << 20;

// The whole file, or the reason it cannot be used.
struct ManualRead {
    std::string text;
    std::string error;
};

ManualRead read_manual(const std::filesystem::path& path) {
    ManualRead r;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        r.error = std::system_category().message(errno);
        return r;
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r.error = std::system_category().message(errno);
            break;
        }
        if (n == 0) break;
        r.text.append(buf, static_cast<std::size_t>(n));
        if (r.text.size() > kManualLimit) {
            r.error = "el archivo es demasiado grande";
            break;
        }
    }
    ::close(fd);
    if (r.error.empty() && !utf8_valid(r.text)) r.error = "no es texto UTF-8 válido";
    return r;
}

bool is_comment_line(std::string_view line) {
    return utf8_trim_start(line).starts_with("<!--");
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

}  // namespace

std::optional<std::string_view> ui_help_line_scan::next() {
    while (!done_) {
        std::string_view line;
        const std::size_t lf = rest_.find('\n');
        if (lf == std::string_view::npos) {
            done_ = true;
            if (rest_.empty()) return std::nullopt;
            line = rest_;
            rest_ = {};
        } else {
            line = rest_.substr(0, lf);
            rest_.remove_prefix(lf + 1);
            if (rest_.empty()) done_ = true;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!is_comment_line(line)) return line;
    }
    return std::nullopt;
}

Json ui_help_page(std::string_view lang) {
    const std::string used = lang == "en" ? "en" : "es";
    const std::filesystem::path path = app_dir() / "manual" / fmt::format("manual_{}.md", used);
    ManualRead file = read_manual(path);
    Json reply = Json::object();
    if (!file.error.empty()) {
        reply["ok"] = false;
        reply["error"] = fmt::format("no se encontró {} ({})", path.string(), file.error);
        return reply;
    }
    std::string md;
    ui_help_line_scan scan(file.text);
    bool first = true;
    while (auto line = scan.next()) {
        if (!first) md += '\n';
        md += *line;
        first = false;
    }
    replace_all(md, "{{VERSION}}", kVersionText);
    replace_all(md, "{{DATE}}", kBuildDateText);
    replace_all(md, "{{CONTACT}}", kUiContact);
    replace_all(md, "{{DONATE}}", kUiDonate);
    reply["ok"] = true;
    reply["md"] = std::move(md);
    reply["lang"] = used;
    return reply;
}

}  // namespace corvane
