// Runs a python3 script as an independent reference in tests: the script text
// and its input file go into a fresh temporary folder, stdout comes back.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "temp_dir.h"

namespace corvane::test {

// Runs `script` with the path of a file holding `input` as its one argument;
// returns its stdout. A non-zero exit fails the calling test.
inline std::string run_python(const std::string& script, const std::string& input = {}) {
    TempDir dir;
    write_file(dir.path() / "script.py", script);
    write_file(dir.path() / "input", input);
    const std::string cmd = "python3 '" + (dir.path() / "script.py").string() + "' '" +
                            (dir.path() / "input").string() + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        ADD_FAILURE() << "popen python3";
        return {};
    }
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    EXPECT_EQ(rc, 0) << "python3 failed";
    return out;
}

inline std::string to_hex(const std::string& s) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
    return out;
}

inline std::string from_hex(const std::string& h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace corvane::test
