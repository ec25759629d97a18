// The typed configuration: one field per key of "corvane.ini", grouped by
// section exactly as the file is (settings.avanzado.fps is [avanzado] fps),
// each with its built-in default, plus the warnings for refused values.
//
// A Settings value is plain data: copied freely, never shared mutably. Start-up
// loads it once and hands copies to the threads; the clip saver and the web
// handlers call config_load() again whenever they need the current file.
//
// Enumerations are stored as the small integers given here; other modules
// compare against these numbers, so never renumber them.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/config_file.h"

namespace corvane {

// [avanzado] codec.
enum class VideoCodec : std::uint8_t { H264 = 0, Hevc = 1, Av1 = 2 };

// [clips] automaticos: which scenes are saved as clips by themselves.
enum class AutoClipMode : std::uint8_t { Todo = 0, Muertes = 1, Ninguno = 2 };

// [avisos] posicion: where the on-screen notice appears.
enum class NoticePosition : std::uint8_t {
    ArribaCentro = 0,
    ArribaDerecha = 1,
    ArribaIzquierda = 2,
    AbajoCentro = 3,
};

// One recording profile. A known [grabacion] perfil word copies fps,
// bits_per_pixel, bitrate_ceiling_mbps and buffer_segundos into the record
// before [avanzado] is read, so [avanzado] overrides them.
struct QualityProfile {
    std::string_view word;  // the canonical perfil word
    std::uint32_t fps;
    double bits_per_pixel;               // encoded bits per pixel per frame
    std::uint32_t bitrate_ceiling_mbps;  // upper bound of the automatic bit rate
    std::uint64_t buffer_segundos;
    // The encoder's quality-vs-speed figure, 0..100: more is sharper and slower.
    std::uint32_t quality_vs_speed;
};

// Indexed by Settings::grabacion.perfil.
inline constexpr std::uint8_t kProfileSupercalidad = 0;
inline constexpr std::uint8_t kProfileCalidad = 1;
inline constexpr std::uint8_t kProfileEquilibrado = 2;
inline constexpr std::uint8_t kProfileLigero = 3;
inline constexpr std::array<QualityProfile, 4> kQualityProfiles{{
    {"supercalidad", 120, 0.2, 150, 60, 50},
    {"calidad", 60, 0.25, 100, 60, 80},
    {"equilibrado", 60, 0.16, 60, 60, 66},
    {"ligero", 30, 0.1, 15, 45, 33},
}};

// Windows virtual-key codes as the hotkey grammar produces them (letters and
// digits are their upper-case ASCII codes); the keys backend maps them to the
// local keyboard.
namespace vk {
inline constexpr std::uint32_t kTab = 0x09;
inline constexpr std::uint32_t kShift = 0x10;
inline constexpr std::uint32_t kControl = 0x11;
inline constexpr std::uint32_t kAlt = 0x12;
inline constexpr std::uint32_t kPause = 0x13;
inline constexpr std::uint32_t kSpace = 0x20;
inline constexpr std::uint32_t kPageUp = 0x21;
inline constexpr std::uint32_t kPageDown = 0x22;
inline constexpr std::uint32_t kEnd = 0x23;
inline constexpr std::uint32_t kHome = 0x24;
inline constexpr std::uint32_t kPrintScreen = 0x2C;
inline constexpr std::uint32_t kInsert = 0x2D;
inline constexpr std::uint32_t kDelete = 0x2E;
inline constexpr std::uint32_t k0 = 0x30;        // '0'..'9' = 0x30..0x39
inline constexpr std::uint32_t kA = 0x41;        // 'A'..'Z' = 0x41..0x5A
inline constexpr std::uint32_t kNumpad0 = 0x60;  // Num0..Num9 = 0x60..0x69
inline constexpr std::uint32_t kF1 = 0x70;       // F1..F24 = 0x70..0x87
}  // namespace vk

// A key combination: the codes in the order written (repeats kept, never
// empty) and the text as read (trimmed, letter case as written) for menus.
struct KeyCombo {
    std::vector<std::uint32_t> codes;
    std::string text;
    bool operator==(const KeyCombo&) const = default;
};

struct Settings {
    struct Grabacion {
        std::uint8_t perfil = kProfileEquilibrado;  // index into kQualityProfiles
        // Video height in pixels (480..2160); absent = the screen's own size
        // ("nativa"), the width always follows the screen's aspect.
        std::optional<std::uint32_t> resolucion;
        bool operator==(const Grabacion&) const = default;
    } grabacion;

    struct Avanzado {
        VideoCodec codec = VideoCodec::Hevc;
        std::uint32_t fps = 60;              // 15..120; default from the profile
        std::uint32_t bitrate_mbps = 0;      // mean bit rate, 0 = automatic
        std::uint64_t buffer_segundos = 60;  // 10..300; default from the profile
        std::uint64_t buffer_max_mb = 1024;  // replay buffer memory cap, 100..8192
        // No keys of their own: set only by [grabacion] perfil.
        double bits_per_pixel = 0.16;
        std::uint32_t bitrate_ceiling_mbps = 60;
        bool operator==(const Avanzado&) const = default;
    } avanzado;

    struct Teclas {
        KeyCombo guardar{{vk::kControl, std::uint32_t{'W'}}, "Ctrl+W"};
        bool operator==(const Teclas&) const = default;
    } teclas;

    struct Audio {
        bool juego = true;               // record the game's sound
        float volumen_juego = 1.0f;      // fraction, at most 2.0
        bool microfono = false;          // record the microphone
        float volumen_microfono = 1.0f;  // fraction, at most 4.0
        bool microfono_en_video = true;  // false = the voice goes to "_mic.m4a"
        bool nivelar_microfono = true;   // voice levelling
        // Chosen endpoints; empty = the system default.
        std::string salida_id;
        std::string salida_nombre;
        std::string microfono_id;
        std::string microfono_nombre;
        bool preguntar_al_iniciar = true;  // not in the template
        bool operator==(const Audio&) const = default;
    } audio;

    struct Aviso {
        bool sonido = true;     // chime when a clip is saved
        float volumen = 0.25f;  // chime volume, fraction, at most 1.0
        bool operator==(const Aviso&) const = default;
    } aviso;

    struct Detector {
        bool activo = true;  // game-event detection on
        bool operator==(const Detector&) const = default;
    } detector;

    struct Clips {
        AutoClipMode automaticos = AutoClipMode::Todo;
        std::uint64_t segundos_antes = 5;    // 0..60: clip time before an event
        std::uint64_t segundos_despues = 5;  // 0..30: quiet seconds that close a scene
        std::uint64_t limite_disco_gb = 50;  // 0..100000, 0 = no limit
        bool operator==(const Clips&) const = default;
    } clips;

    struct Hdr {
        bool corregir = true;             // HDR to SDR correction
        std::optional<float> blanco_sdr;  // SDR white in nits (80..1000); absent = auto
        bool operator==(const Hdr&) const = default;
    } hdr;

    struct Avisos {
        bool activo = true;  // on-screen notice on each saved clip
        NoticePosition posicion = NoticePosition::ArribaCentro;
        float tamano = 1.0f;    // size factor, 0.5..2.0
        float duracion = 3.0f;  // seconds visible, 1..10
        bool operator==(const Avisos&) const = default;
    } avisos;

    struct Visor {
        KeyCombo tecla{{vk::kControl, vk::kShift, std::uint32_t{'E'}}, "Ctrl+Shift+E"};
        bool operator==(const Visor&) const = default;
    } visor;

    struct Actualizaciones {
        bool buscar_al_abrir = true;
        KeyCombo tecla{{vk::kControl, vk::kShift, std::uint32_t{'U'}}, "Ctrl+Shift+U"};
        bool operator==(const Actualizaciones&) const = default;
    } actualizaciones;

    struct Ia {
        std::string clave_gemini;  // the user's key for the AI service
        std::string modelo;        // empty = automatic
        std::uint32_t fps = 3;     // frames per second sampled, 1..10
        bool operator==(const Ia&) const = default;
    } ia;

    struct General {
        std::optional<std::string> gamertag;  // absent = learnt from the game
        // Always absolute once loaded: a relative value in the file is taken
        // against the program folder. Empty only in a bare Settings{}; use
        // settings_defaults() for a record with the default folder.
        std::filesystem::path carpeta_clips;
        bool operator==(const General&) const = default;
    } general;

    // Texts of refused values, in the order the keys are read.
    std::vector<std::string> warnings;

    bool operator==(const Settings&) const = default;
};

// Every default, including the default clips folder.
Settings settings_defaults();

// The default clips folder: "Corvane" in the desktop's videos folder
// (XDG_VIDEOS_DIR of user-dirs.dirs, else $HOME/Videos); without a home
// folder, "Corvane" in the program folder.
std::filesystem::path default_clips_folder();

// The clips folder a [general] carpeta_clips value names for a program kept in
// `program_folder`: a relative value is taken against that folder (the working
// directory differs between a first start and a restart), an empty or missing
// one gives the default, which without a home folder lies in the program
// folder too.
std::filesystem::path settings_clips_folder(const std::optional<std::string>& value,
                                            const std::filesystem::path& program_folder);

// Applies an INI text to `settings` (which holds the defaults): every key is
// validated in a fixed order, a refused value keeps the field and may append
// one text to settings.warnings. A key absent from the text changes nothing.
void config_parse(Settings& settings, std::string_view ini_text);
void config_parse(Settings& settings, const IniTable& table);

// "1", "si", "sí", "on", "yes", "true" -> true; "0", "no", "off", "false" ->
// false (any letter case); any other text returns `current`.
bool config_parse_bool(std::string_view text, bool current);

// "150", "150%", "+80 %" ... as a fraction (150 -> 1.5), clamped to
// `max_percent` without complaint; text that is not a number returns `current`.
float config_parse_percent(std::string_view text, float current, std::uint32_t max_percent);

// "Ctrl+Shift+S", "Alt+F10", "Num0", "F9" ... as virtual-key codes in the order
// written; none when any piece is not a key. "F" followed by a one-digit piece
// ("F+5") is the function key F1..F9; a lone "F" is the letter.
std::optional<std::vector<std::uint32_t>> config_parse_hotkey(std::string_view text);

// An independent deep copy (texts, lists and path included).
Settings settings_clone(const Settings& settings);

// Reads "corvane.ini" (creating or completing it, see config_file.h) into a
// record of defaults. Never fails: problems become settings.warnings.
Settings config_load();

}  // namespace corvane
