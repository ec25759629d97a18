// The few user-visible words that name parts of the desktop.
#pragma once

namespace corvane {

// Where the desktop shows the status icons ("... búscalo en los íconos {}.").
inline constexpr const char* kTrayPlaceText = "junto al reloj del escritorio";

// What the banner names a sound device as when none is chosen.
inline constexpr const char* kDefaultDeviceText = "predeterminado del sistema";

}  // namespace corvane
