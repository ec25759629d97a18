// The application log: "corvane.log" in the data folder, one rotation to
// "corvane.1.log" above 5 MiB, an optional console copy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace corvane {

inline constexpr std::uint64_t kLogRotateBytes = 5'242'880;

// Appends the message as one line with the local time stamp, CR LF ended.
// Line ends before and after it are removed; an empty message writes nothing.
// Control characters, line separators and broken UTF-8 inside it are written
// escaped (text_escape_controls), so a line break inside is "\x0a". Never fails.
// At most once a second the writer checks that its file is still the one at
// the path (another copy may have rotated it) and retries a failed opening.
void log_line(std::string_view message);

// data_dir()/"corvane.log".
std::filesystem::path log_file_path();

// The log's last 400 lines joined with "\n" (invalid UTF-8 becomes U+FFFD);
// "" when it cannot be read.
std::string log_read_tail();

// The start-up opening step: rotates a log above the limit, opens for append.
// `rotate` is false in a copy that does not own the single-instance lock.
void log_open(bool rotate = true);

// Waits for a line being written and puts the file on disk; for the exit path.
void log_flush();

// The "--consola" copy of every line to standard output.
void log_set_console(bool on);

// Tests only: forget the opened file (back to "not initialised") and the
// console lines still owed or counted as dropped.
void log_reset_for_tests();

}  // namespace corvane
