// The clip library: file operations on the clips folder shared by the clip
// saver, the web pages and the viewer. Stateless; callers serialise where
// they must (the statistics history under its own lock).
//
// Layout: "{date}/Manual|Bajas|Muertes/CRVN_....mp4" under the clips folder.
// Companions of x.mp4 in the same folder: x.json (sidecar), x.analisis.json
// (analysis result), x_mic.m4a (separate voice track).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane {

// One clip found by the listing.
struct ClipRecord {
    std::filesystem::path path;
    std::uint64_t size = 0;      // the clip's bytes plus its "_mic.m4a" companion's
    std::uint64_t modified = 0;  // last write, 100-ns units since 1601-01-01 UTC
};

// Appends every clip file (extension "mp4", any ASCII case) below `folder`,
// unsorted. Unreadable folders and entries are skipped; never fails. A link
// to a clip file is listed with that file's size and time; folder links are
// never entered, so the walk cannot loop or leave the folder. Half-written
// clips (".mp4.part", ".m4a.part") left by an earlier run that ended mid-save are deleted
// on the way.
void clips_scan_folder(const std::filesystem::path& folder, std::vector<ClipRecord>& out);

// A clip whose parent folder is exactly "Muertes" or "Bajas".
bool clips_is_automatic(const std::filesystem::path& clip);

// {"auto","auto_n","archivados","archivados_n","manuales","manuales_n","limite"}.
nlohmann::ordered_json clips_disk_usage_json(const std::filesystem::path& clips_folder,
                                             std::uint64_t limit_gb);

// Companion paths.
std::filesystem::path clips_sidecar_path(const std::filesystem::path& clip);
std::filesystem::path clips_analysis_path(const std::filesystem::path& clip);
std::filesystem::path clips_mic_path(const std::filesystem::path& clip);

// True only when the sidecar holds an object whose "archivado" is boolean true.
bool clips_is_archived(const std::filesystem::path& clip);

// Writes the archive flag into the sidecar (creating one when none exists).
// nullopt on success, else the message for the user.
std::optional<std::string> clips_set_archived(const std::filesystem::path& clip, bool flag);

// Held while a sidecar is read, changed and written back (the archive flag
// here, an event's entry taken out by the viewer), so one change cannot undo
// another.
std::mutex& clips_sidecar_mutex();

// Deletes the clip, then its sidecar, analysis result and voice track. A clip
// already gone counts as deleted. nullopt on success, else the message.
std::optional<std::string> clips_delete_files(const std::filesystem::path& clip);

// Deletes one file, at most 12 attempts 200 ms apart; "not found" is success.
// nullopt on success, else the system's text of the last error.
std::optional<std::string> clips_remove_retry(const std::filesystem::path& path);

// A JSON document read from a file, or why it could not be.
struct JsonRead {
    std::optional<nlohmann::ordered_json> value;
    std::string error;     // Spanish text when value is absent
    bool missing = false;  // the file does not exist
};

// Reads and parses a whole file as one JSON value of any type. Documents
// nested deeper than 256 levels are refused.
JsonRead json_read_object(const std::filesystem::path& path);

// A JSON-lines file as owned lines, or why it could not be read.
struct HistoryRead {
    std::vector<std::string> lines;
    std::optional<std::string> error;  // set: unreadable or not UTF-8; `lines` is then empty
};

// Splits at "\n" (one "\r" before it removed); no empty line after a final
// "\n". A missing file is an empty history, not an error. A file that cannot
// be read or is not valid UTF-8 is an error, so that no caller rewrites the
// history from nothing.
HistoryRead history_read_jsonl(const std::filesystem::path& path);

// Writes the lines joined by "\n" (plus a final "\n" when not empty) to the
// target with its extension replaced by "jsonl.tmp", then renames it over the
// target. nullopt on success, else the message; after a failure the target
// is untouched and the temporary file is gone.
std::optional<std::string> jsonl_write_atomic(const std::filesystem::path& path,
                                              const std::vector<std::string>& lines);

// Sets "clip" of an object to null (appended when absent); others untouched.
void events_clear_clip_field(nlohmann::ordered_json& value);

// Replaces a file's contents through a temporary file in the same folder
// (`temp`, or the target's name + ".tmp"): write, fsync, rename. Returns the
// step that failed (none on success) and puts the system's text in *error.
// After a failure the temporary file is removed, named or not.
enum class FileWriteStep { none, write, rename };
FileWriteStep file_write_atomic(const std::filesystem::path& target, std::string_view data,
                                std::string* error, const std::filesystem::path& temp = {});

// Test seam: the system calls that cannot be made to fail here (tests run as
// root, and deleting an open file succeeds on Linux). Each returns 0 or errno.
struct ClipsFileOps {
    std::function<int(const std::filesystem::path&)> unlink;
    std::function<void(std::chrono::milliseconds)> sleep;
};
// Replaces the seam; an empty member keeps the real call.
void clips_set_file_ops_for_tests(ClipsFileOps ops);

}  // namespace corvane
