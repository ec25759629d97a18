#include "web/media.h"

#include <algorithm>
#include <limits>

#include "base/settings.h"
#include "base/text.h"
#include "clips/library.h"
#include "platform/media_file.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

void send_not_found(NetSocket s) { ui_send_response(s, "404 Not Found", "text/plain", "?"); }

bool ends_with_mp4(std::string_view name) {
    return name.size() >= 4 && ascii_lower(name.substr(name.size() - 4)) == ".mp4";
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max()
                                                              : a + b;
}

// Closes the file on every way out of the reply.
struct FileCloser {
    MediaFile& file;
    ~FileCloser() { media_file_close(file); }
};

}  // namespace

std::optional<std::string> ui_sanitize_rel_path(std::string_view name) {
    if (name.empty()) return std::nullopt;
    std::string out(name);
    for (char& c : out) {
        // A NUL would end the path early on this system: "x\0.mp4" names "x".
        if (c == '\0' || c == ':') return std::nullopt;
        if (c == '\\') c = '/';
    }
    if (out.front() == '/') return std::nullopt;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = out.find('/', start);
        std::string_view part = std::string_view(out).substr(start, slash == std::string::npos ? std::string::npos
                                                                                               : slash - start);
        if (part.empty() || part == "." || part == "..") return std::nullopt;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (!ends_with_mp4(out)) return std::nullopt;
    return out;
}

std::optional<fs::path> ui_path_within(const fs::path& folder, const fs::path& path) {
    std::error_code ec;
    const fs::path root = fs::canonical(folder, ec);
    if (ec) return std::nullopt;
    fs::path real = fs::canonical(path, ec);
    if (ec) return std::nullopt;
    auto r = root.begin();
    auto p = real.begin();
    for (; r != root.end(); ++r, ++p)
        if (p == real.end() || *p != *r) return std::nullopt;
    return real;
}

std::optional<fs::path> ui_resolve_clip_in(const fs::path& clips_folder, std::string_view name) {
    auto clean = ui_sanitize_rel_path(name);
    if (!clean || clips_folder.empty()) return std::nullopt;
    return ui_path_within(clips_folder, clips_folder / *clean);
}

std::optional<fs::path> ui_clip_location(const fs::path& clips_folder, const std::string& clean_name) {
    if (clips_folder.empty()) return std::nullopt;
    const fs::path clip = clips_folder / clean_name;
    std::error_code ec;
    if (!fs::exists(clip.parent_path(), ec)) return clip;
    auto folder = ui_path_within(clips_folder, clip.parent_path());
    if (!folder) return std::nullopt;
    return *folder / clip.filename();
}

std::optional<fs::path> ui_resolve_clip_path(std::string_view name) {
    if (!ui_sanitize_rel_path(name)) return std::nullopt;
    return ui_resolve_clip_in(config_load().general.carpeta_clips, name);
}

UiByteRange ui_parse_range(std::string_view range, std::uint64_t size) {
    const std::uint64_t last = size == 0 ? 0 : size - 1;
    UiByteRange r{0, last, size};
    if (range.size() < 6 || range.substr(0, 6) != "bytes=") {
        r.count = last + 1;
        return r;
    }
    std::string_view spec = range.substr(6);
    spec = spec.substr(0, spec.find(','));
    const std::size_t dash = spec.find('-');
    if (dash == std::string_view::npos) {
        r.count = last + 1;
        return r;
    }
    const std::string left = utf8_trim(spec.substr(0, dash));
    const std::string right = utf8_trim(spec.substr(dash + 1));
    const std::uint64_t want_start = parse_decimal(left).value_or(0);
    const std::uint64_t want_end = parse_decimal(right).value_or(std::numeric_limits<std::uint64_t>::max());
    r.start = std::min(want_start, last);
    r.end = std::min({saturating_add(want_start, kUiRangeSpan), want_end, last});
    r.count = r.end >= r.start ? r.end - r.start + 1 : 1;
    return r;
}

void ui_serve_file(NetSocket s, const fs::path& path, const std::optional<std::string>& range,
                   std::string_view content_type) {
    MediaFile file = media_file_open(path);
    if (!file.valid()) {
        send_not_found(s);
        return;
    }
    FileCloser closer{file};
    const std::uint64_t size = file.size;

    std::string head;
    std::uint64_t start = 0, count = size;
    if (range && size > 0) {
        const UiByteRange r = ui_parse_range(*range, size);
        start = r.start;
        count = r.count;
        head = "HTTP/1.1 206 Partial Content\r\nContent-Type: " + std::string(content_type) +
               "\r\nAccept-Ranges: bytes\r\nContent-Range: bytes " + std::to_string(r.start) + "-" +
               std::to_string(r.end) + "/" + std::to_string(size) + "\r\nContent-Length: " +
               std::to_string(r.count) + "\r\nConnection: close\r\n\r\n";
    } else {
        head = "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(content_type) +
               "\r\nAccept-Ranges: bytes\r\nContent-Length: " + std::to_string(size) +
               "\r\nConnection: close\r\n\r\n";
    }
    if (!net_send_all(s, head.data(), head.size(), count > 0)) return;
    // A short send (read error, file cut short, peer gone) just ends the body.
    (void)media_file_send(s, file, start, count);
}

std::optional<UiDeferredAction> ui_route_clip_media(const UiExchange& ex) {
    const std::string name = ui_query_param(ex.request.query, "ruta").value_or("");
    const fs::path folder = config_load().general.carpeta_clips;
    const auto clip = ui_resolve_clip_in(folder, name);
    if (!clip) {
        send_not_found(ex.socket);
        return std::nullopt;
    }
    const auto range = http_header_get(ex.request.headers, "range");
    if (ui_query_param(ex.request.query, "mic") == std::optional<std::string>("1")) {
        // The voice track is held to the same folder as the clip: a link named
        // like it must not serve a file from elsewhere.
        const auto mic = ui_path_within(folder, clips_mic_path(*clip));
        if (!mic) send_not_found(ex.socket);
        else ui_serve_file(ex.socket, *mic, range, "audio/mp4");
    } else {
        ui_serve_file(ex.socket, *clip, range, "video/mp4");
    }
    return std::nullopt;
}

}  // namespace corvane
