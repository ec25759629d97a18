// Scratch folders and whole-file reads and writes for the tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane::test {

// A fresh folder of its own under $TMPDIR (else /tmp), removed with all it
// holds at the end of the scope. Unique per object, so tests may run in
// parallel.
class TempDir {
  public:
    explicit TempDir(std::string_view prefix = "corvane-test") {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base && *base ? base : "/tmp") + "/" + std::string(prefix) + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp " + pattern);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The bytes of a file; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Replaces a file with `bytes`; the folder must exist.
inline void write_file(const std::filesystem::path& p, std::string_view bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace corvane::test
