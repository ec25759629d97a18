// The clips page: the statistics history, the manual clips of the day
// folders, their clips' files and the disk use, written into the page's
// template as script literals on every request.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/routes.h"
#include "web/templates.h"

namespace corvane {

// The name of the page's stored template.
inline constexpr std::string_view kClipsPageAsset = "pages/clips.html";

// A manual clip of a day folder ("{date}/Manual/{file}.mp4").
struct ManualClipEntry {
    std::string key;   // the clip's name relative to the clips folder
    std::string date;  // the day folder's name
    std::string time;  // "HH:MM:SS" from the file name, else "00:00:00"
};

// The day folders' manual clips, in listing order.
std::vector<ManualClipEntry> clips_manual_entries(const std::filesystem::path& clips_folder);

// The "clip" texts of the history lines that are JSON objects, in file order.
std::vector<std::string> clips_collect_entries(std::string_view history_text);

// The texts that replace the page's own placeholders, as (placeholder,
// text) pairs in replacement order. The history is read under HistoryLock;
// an event line that is not valid JSON is written as null, so positions in
// DATA stay those that event deletion counts. What was read is kept for the
// next call and used again only where the files show no change since.
std::vector<std::pair<std::string, std::string>> clips_page_fills(const std::filesystem::path& clips_folder,
                                                                  const std::filesystem::path& history_path,
                                                                  std::string_view viewer_key);

// The filled page from `page_template`; from the stored template when none
// is given (empty when the program holds none).
std::string clips_render_page(const std::filesystem::path& clips_folder, const std::filesystem::path& history_path,
                              std::string_view viewer_key);
// `common` holds further placeholders filled in the same single pass, so
// text taken from the history is never scanned for them.
std::string clips_render_page_from(std::string_view page_template, const std::filesystem::path& clips_folder,
                                   const std::filesystem::path& history_path, std::string_view viewer_key,
                                   const UiTemplateFills& common = {});

// GET "/clips": the page with the common placeholders filled as well.
std::optional<UiDeferredAction> ui_route_clips_page(const UiExchange& ex);

}  // namespace corvane
