// Helpers for the base tests: a private program folder per test, whole-file
// reads and writes.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "base/paths.h"

namespace corvane::test {

inline std::string read_all(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_all(const std::filesystem::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << data;
}

inline std::string golden(const std::string& name) {
    return read_all(std::filesystem::path(CORVANE_TEST_DATA_DIR) / name);
}

inline unsigned file_mode(const std::filesystem::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// A fresh program folder that app_dir() returns for the life of the object.
class TempAppDir {
  public:
    TempAppDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvane-test-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        dir_ = pattern;
        paths_set_app_dir_for_tests(dir_);
    }
    ~TempAppDir() {
        paths_set_app_dir_for_tests({});
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempAppDir(const TempAppDir&) = delete;
    TempAppDir& operator=(const TempAppDir&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path data() const { return dir_ / "data"; }
    std::filesystem::path ini() const { return dir_ / "data" / "corvane.ini"; }

  private:
    std::filesystem::path dir_;
};

}  // namespace corvane::test
