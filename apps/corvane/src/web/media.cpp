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

void send_media_not_found(NetSocket s) { ui_send_response(s, "404 Not Found", "text/plain", "?"); }

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

namespace {

// 1*DIGIT, saturating: a position beyond any file is still a position.
std::optional<std::uint64_t> range_number(std::string_view s) {
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c - '0');
        v = v > (kMax - d) / 10 ? kMax : v * 10 + d;
    }
    return v;
}

std::string_view trim_ows(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

UiByteRange ui_parse_range(std::string_view range, std::uint64_t size) {
    const UiByteRange whole{};
    range = trim_ows(range);
    const std::size_t eq = range.find('=');
    if (eq == std::string_view::npos || ascii_lower(trim_ows(range.substr(0, eq))) != "bytes") return whole;
    // A list may hold empty elements ("bytes=0-99,"); more than one range is
    // answered with the whole file rather than a multipart reply.
    std::string_view spec;
    std::size_t ranges = 0;
    for (std::string_view rest = range.substr(eq + 1);;) {
        const std::size_t comma = rest.find(',');
        const std::string_view element = trim_ows(rest.substr(0, comma));
        if (!element.empty()) {
            spec = element;
            ++ranges;
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (ranges != 1) return whole;
    const std::size_t dash = spec.find('-');
    if (dash == std::string_view::npos) return whole;
    const std::string_view left = spec.substr(0, dash), right = spec.substr(dash + 1);
    const auto first = range_number(left);
    const auto last = range_number(right);
    if ((!left.empty() && !first) || (!right.empty() && !last) || (!first && !last)) return whole;
    if (first && last && *last < *first) return whole;

    UiByteRange r;
    r.kind = UiByteRange::Kind::part;
    if (!first) {  // the last *last bytes
        if (*last == 0 || size == 0) return UiByteRange{UiByteRange::Kind::unsatisfiable};
        r.start = size - std::min(*last, size);
    } else {
        if (*first >= size) return UiByteRange{UiByteRange::Kind::unsatisfiable};
        r.start = *first;
    }
    r.end = std::min({saturating_add(r.start, kUiRangeSpan), last && first ? *last : size - 1, size - 1});
    return r;
}

void ui_serve_file(NetSocket s, const fs::path& path, const std::optional<std::string>& range,
                   std::string_view content_type) {
    MediaFile file = media_file_open(path);
    if (!file.valid()) {
        send_media_not_found(s);
        return;
    }
    FileCloser closer{file};
    const std::uint64_t size = file.size;

    // An empty file has no byte to range over: it is sent whole, empty.
    const UiByteRange r = range && size > 0 ? ui_parse_range(*range, size) : UiByteRange{};
    std::string head;
    std::uint64_t start = 0, count = size;
    switch (r.kind) {
        case UiByteRange::Kind::part:
            start = r.start;
            count = r.count();
            head = "HTTP/1.1 206 Partial Content\r\nContent-Type: " + std::string(content_type) +
                   "\r\nAccept-Ranges: bytes\r\nContent-Range: bytes " + std::to_string(r.start) + "-" +
                   std::to_string(r.end) + "/" + std::to_string(size) + "\r\nContent-Length: " +
                   std::to_string(count) + "\r\nConnection: close\r\n\r\n";
            break;
        case UiByteRange::Kind::unsatisfiable:
            count = 0;
            head = "HTTP/1.1 416 Range Not Satisfiable\r\nAccept-Ranges: bytes\r\nContent-Range: bytes */" +
                   std::to_string(size) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            break;
        case UiByteRange::Kind::whole:
            head = "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(content_type) +
                   "\r\nAccept-Ranges: bytes\r\nContent-Length: " + std::to_string(size) +
                   "\r\nConnection: close\r\n\r\n";
            break;
    }
    if (!net_send_all(s, head.data(), head.size(), count > 0)) return;
    if (count == 0) return;
    // A short send (read error, file cut short, peer gone) just ends the body.
    (void)media_file_send(s, file, start, count);
}

std::optional<UiDeferredAction> ui_route_clip_media(const UiExchange& ex) {
    const std::string name = ui_query_param(ex.request.query, "ruta").value_or("");
    const fs::path folder = config_load().general.carpeta_clips;
    const auto clip = ui_resolve_clip_in(folder, name);
    if (!clip) {
        send_media_not_found(ex.socket);
        return std::nullopt;
    }
    const auto range = http_header_get(ex.request.headers, "range");
    if (ui_query_param(ex.request.query, "mic") == std::optional<std::string>("1")) {
        // The voice track is held to the same folder as the clip: a link named
        // like it must not serve a file from elsewhere.
        const auto mic = ui_path_within(folder, clips_mic_path(*clip));
        if (!mic) send_media_not_found(ex.socket);
        else ui_serve_file(ex.socket, *mic, range, "audio/mp4");
    } else {
        ui_serve_file(ex.socket, *clip, range, "video/mp4");
    }
    return std::nullopt;
}

}  // namespace corvane
