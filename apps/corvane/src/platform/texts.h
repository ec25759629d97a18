// The few user-visible words that name parts of the desktop.
#pragma once

#include <string_view>

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

// The device lists' entry that follows the sound server's default device.
inline constexpr const char* kDefaultDeviceOptionText = "Predeterminado del sistema";

// The log opens in the desktop's default text editor (xdg-open).
inline constexpr const char* kOpenInEditorText = "Abrir en el editor de texto";

// Balloons are the desktop's own notifications.
inline constexpr const char* kDesktopNotificationText = "una notificación del escritorio";

// X11 has no HDR output: the HDR settings change nothing here.
inline constexpr const char* kHdrNoEffectText = "En X11 no hay HDR: en este escritorio este ajuste no cambia nada.";

// The notices section of the settings page, for the same reason as the banner.
inline constexpr const char* kNoticesInClipsText =
    "En este escritorio también sale en los clips (X11 no deja ocultarlo de la captura); el detector no lee su zona.";

// The pages' placeholders for the words above; the server fills them in.
struct PageDesktopText {
    std::string_view placeholder;
    std::string_view text;
};
inline constexpr PageDesktopText kPageDesktopTexts[] = {
    {"__RELOJ__", kTrayPlaceText},
    {"__DISPOSITIVO_PREDETERMINADO__", kDefaultDeviceOptionText},
    {"__ABRIR_EN_EDITOR__", kOpenInEditorText},
    {"__NOTIFICACION__", kDesktopNotificationText},
    {"__HDR__", kHdrNoEffectText},
    {"__AVISOS_EN_CLIPS__", kNoticesInClipsText},
};

}  // namespace corvane
