// The few user-visible words that name parts of the desktop.
#pragma once

namespace corvane {

// Where the desktop shows the status icons ("... búscalo en los íconos {}.").
inline constexpr const char* kTrayPlaceText = "junto al reloj del escritorio";

}  // namespace corvane
