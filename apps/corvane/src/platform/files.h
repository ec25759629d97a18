// Files the program replaces whole (settings, the interface file, sidecars,
// the statistics history) and the few other file-system calls the core makes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

struct FileReplaceOptions {
    // Where the new text is written first, in the target's folder; empty: a
    // fresh unique name there ("<name>.XXXXXX").
    std::filesystem::path temp;
    // Permission bits of the new file; none: those of the file it replaces,
    // or 0644 when there was none.
    std::optional<unsigned> mode;
    // A symbolic link at the path: replace the file it leads to, not the link.
    bool follow_links = false;
    // After a failure the temporary file stays for the user to recover.
    bool keep_temp_on_failure = false;
};

enum class FileReplaceStep { none, write, rename };

struct FileReplaceResult {
    FileReplaceStep failed = FileReplaceStep::none;  // none on success
    std::string error;                               // the system's text of the failure
};

// Replaces the file at `path` with `data`: the temporary file is written,
// put on disk, then renamed over the target and the folder put on disk, so a
// reader or a crash sees the old file or the new one, never half of one.
// On failure: the step that failed (write: creating, writing or syncing the
// temporary file; rename: putting it in place) and the system's text; the
// target is untouched.
FileReplaceResult file_replace(const std::filesystem::path& path, std::string_view data,
                               const FileReplaceOptions& options = {});

// Creates the folder and its missing parents; a folder this call creates last
// is given mode 0700 (it will hold secrets). False when it does not exist
// afterwards.
bool folder_create_private(const std::filesystem::path& folder);

// Gives a file mode 0600. False when that failed.
bool file_make_private(const std::filesystem::path& path);

// Renames a file or folder within one file system, replacing a file at `to`
// (log rotation, a finished clip put in place). 0 on success, else the
// system's error number.
int file_rename(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file (never a folder). 0 on success or when it was already gone,
// else the system's error number, for callers that retry.
int file_remove(const std::filesystem::path& path);

}  // namespace corvane
