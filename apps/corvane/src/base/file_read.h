// Reading a small file whole.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace corvane {

// The first `limit` bytes of the file (all of it when shorter). Nothing when it
// cannot be opened or read. Ask for one byte more than you accept to tell a
// file that is too large.
std::optional<std::string> file_read_up_to(const std::filesystem::path& path, std::size_t limit);

}  // namespace corvane
