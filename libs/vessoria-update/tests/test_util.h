// Helpers shared by the update library's tests: scratch folders and running
// reference tools (python3, zip, unzip) as subprocesses.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vessoria::test {

namespace fs = std::filesystem;

// A fresh folder under the system temp dir, removed at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() /
            ("vessoria-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& s) const { return path_ / s; }

 private:
  fs::path path_;
};

inline std::string read_file(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void write_file(const fs::path& p, std::string_view data) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Runs argv (no shell); stdout goes to `out` when given. Returns the exit code.
inline int run(const std::vector<std::string>& argv, const fs::path& out = {}) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!out.empty()) {
      FILE* f = std::fopen(out.c_str(), "wb");
      if (!f) _exit(126);
      dup2(fileno(f), 1);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a python3 script with `input` as its stdin file; returns its stdout.
inline std::string python(const ScratchDir& dir, const std::string& script, std::string_view input) {
  fs::path script_path = dir / "script.py", in_path = dir / "in.txt", out_path = dir / "out.txt";
  write_file(script_path, script);
  write_file(in_path, input);
  int rc = run({"python3", script_path.string(), in_path.string()}, out_path);
  EXPECT_EQ(rc, 0) << "python3 failed";
  return read_file(out_path);
}

}  // namespace vessoria::test
