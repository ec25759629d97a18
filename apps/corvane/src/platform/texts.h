// The few user-visible words that name parts of the desktop.
#pragma once

namespace corvane {

// Where the desktop shows the status icons ("... búscalo en los íconos {}.").
inline constexpr const char* kTrayPlaceText = "junto al reloj del escritorio";

// What the banner names a sound device as when none is chosen.
inline constexpr const char* kDefaultDeviceText = "predeterminado del sistema";

// The banner's notices line: X11 cannot keep a window out of a screen
// capture, so the cards are recorded too.
inline constexpr const char* kNoticesBannerText =
    "en pantalla al guardar cada clip (salen en la grabación; el detector no lee su zona)";

// Logged when the notices window starts, for the same reason.
inline constexpr const char* kNoticesInCaptureWarning =
    "\n[AVISO] Tu escritorio no permite ocultar los avisos de la captura: pueden salir en los "
    "clips.";

}  // namespace corvane
