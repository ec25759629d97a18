// A program folder whose configuration names a clips folder of its own, for
// the tests of the clip routes; and small builders of clips and histories.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "../support/temp_dir.h"
#include "base/paths.h"

namespace corvane::webtest {

class ClipsHome {
  public:
    explicit ClipsHome(std::string_view extra_ini = "") : clips_(dir_.path() / "clips") {
        std::filesystem::create_directories(dir_.path() / "data");
        std::filesystem::create_directories(clips_);
        test::write_file(dir_.path() / "data" / "corvane.ini",
                         "[general]\ncarpeta_clips = " + clips_.string() + "\n" + std::string(extra_ini));
        paths_set_app_dir_for_tests(dir_.path());
    }
    ~ClipsHome() { paths_set_app_dir_for_tests({}); }

    const std::filesystem::path& root() const { return dir_.path(); }
    const std::filesystem::path& clips() const { return clips_; }
    std::filesystem::path history() const { return clips_ / "estadisticas.jsonl"; }

    // Writes a file below the clips folder, creating its folders.
    std::filesystem::path put(const std::string& rel, std::string_view bytes) const {
        const std::filesystem::path p = clips_ / rel;
        std::filesystem::create_directories(p.parent_path());
        test::write_file(p, bytes);
        return p;
    }

  private:
    test::TempDir dir_{"corvane-clips"};
    std::filesystem::path clips_;
};

// n bytes whose value at position i is i % 251 (so an offset shows in the data).
inline std::string pattern_bytes(std::size_t n, std::size_t from = 0) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((from + i) % 251);
    return s;
}

}  // namespace corvane::webtest
