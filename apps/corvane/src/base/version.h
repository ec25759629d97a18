// The program's name, version and build date as the user sees them.
#pragma once

namespace corvane {

inline constexpr const char* kDisplayName = "Corvane";
inline constexpr const char* kVersionText = "0.10.45";
inline constexpr const char* kBuildDateText = "2026-10-25";

}  // namespace corvane
