// The program's places: program folder, data folder and the INI path.
#pragma once

#include <filesystem>

namespace corvane {

// Folder of the running executable; "." when it cannot be obtained.
std::filesystem::path app_dir();

// app_dir()/"data", created (mode 0700, with parents) on every call; a failure
// to create it is ignored.
std::filesystem::path data_dir();

// data_dir()/"corvane.ini". When that file is absent (and only then), an
// older one in the program folder is moved into place first.
std::filesystem::path config_ini_path();

// Tests only: makes app_dir() return `dir` (empty = the executable's folder again).
void paths_set_app_dir_for_tests(const std::filesystem::path& dir);

}  // namespace corvane
