// Helpers for the base tests: a private program folder per test, golden
// files, file modes.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "../support/temp_dir.h"
#include "base/paths.h"

namespace corvane::test {

inline std::string golden(const std::string& name) {
    return read_file(std::filesystem::path(CORVANE_TEST_DATA_DIR) / name);
}

inline unsigned file_mode(const std::filesystem::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// A fresh program folder that app_dir() returns for the life of the object.
class TempAppDir {
  public:
    TempAppDir() { paths_set_app_dir_for_tests(dir_.path()); }
    ~TempAppDir() { paths_set_app_dir_for_tests({}); }
    TempAppDir(const TempAppDir&) = delete;
    TempAppDir& operator=(const TempAppDir&) = delete;

    const std::filesystem::path& dir() const { return dir_.path(); }
    std::filesystem::path data() const { return dir_.path() / "data"; }
    std::filesystem::path ini() const { return dir_.path() / "data" / "corvane.ini"; }

  private:
    TempDir dir_;
};

}  // namespace corvane::test
