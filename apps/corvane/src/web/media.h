// Clip names coming from the pages, and the clip media route: a clip name is
// only ever turned into a file inside the clips folder, and a clip is sent in
// byte ranges so the browser can seek without the file being held in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net.h"
#include "web/routes.h"

namespace corvane {

// The name with "/" separators, or nothing when it is empty, holds a NUL or a
// ":", starts with a separator, has an empty, "." or ".." part, or does not
// end with ".mp4" (any letter case). "\" counts as a separator.
std::optional<std::string> ui_sanitize_rel_path(std::string_view name);

// The canonical path of an existing clip named relative to `clips_folder`
// (links followed), or nothing when the name is refused, the file or folder
// is missing, or the clip lies outside the folder.
std::optional<std::filesystem::path> ui_resolve_clip_in(const std::filesystem::path& clips_folder,
                                                        std::string_view name);

// The same against the clips folder of the configuration as it is now.
std::optional<std::filesystem::path> ui_resolve_clip_path(std::string_view name);

// The canonical path of `path` when it exists and lies inside `folder`
// (compared by whole components after following links); else nothing.
std::optional<std::filesystem::path> ui_path_within(const std::filesystem::path& folder,
                                                    const std::filesystem::path& path);

// Where the files of a clip with a clean relative name are to be removed or
// rewritten: its folder with links followed, checked to lie inside
// `clips_folder`, then its own file name unfollowed (removing a linked clip
// removes the link only); the plain joined path when the folder is missing
// (nothing there to reach). Nothing when the folder lies outside: a linked
// folder must not let a deletion reach files elsewhere.
std::optional<std::filesystem::path> ui_clip_location(const std::filesystem::path& clips_folder,
                                                      const std::string& clean_name);

// Most bytes a range reply covers beyond its start.
inline constexpr std::uint64_t kUiRangeSpan = 16'777'216;

// What a Range header asks of a file of `size` bytes, read as HTTP defines
// it: a single range "bytes=first-[last]" or a suffix "bytes=-count" (the
// last `count` bytes). A header that is not one well-formed byte range (not
// "bytes", bad syntax, last before first, several ranges) is ignored and the
// whole file is sent; a range that starts at or past the end cannot be
// satisfied. A partial reply covers at most kUiRangeSpan bytes past its start;
// the client asks again for the rest.
struct UiByteRange {
    enum class Kind { whole, part, unsatisfiable };
    Kind kind = Kind::whole;
    std::uint64_t start = 0;  // first byte sent (part only)
    std::uint64_t end = 0;    // last byte sent (part only)
    std::uint64_t count() const { return end - start + 1; }
};
UiByteRange ui_parse_range(std::string_view range, std::uint64_t size);

// Sends one regular file as a 200 reply (no range, or a range header that is
// ignored), a 206 reply, or a 416 reply ("Content-Range: bytes */size") for a
// range past the end; the 404 reply when it cannot be opened or is not a
// regular file. An empty file is a 200 with no body, whatever the range.
void ui_serve_file(NetSocket s, const std::filesystem::path& path,
                   const std::optional<std::string>& range, std::string_view content_type);

// GET "/clip": query "ruta" (the clip name), "mic" ("1" = the voice track).
std::optional<UiDeferredAction> ui_route_clip_media(const UiExchange& ex);

}  // namespace corvane
