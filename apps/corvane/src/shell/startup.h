// Pieces of the start-up sequence that are rules rather than wiring: the
// thread table with what a failure to start each thread does, the settings
// summary written to the log, and the report of a finished update.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "base/tray.h"

namespace corvane {

// What a thread that cannot be started does to start-up.
enum class SpawnFailure {
    ignored,  // start-up goes on without it
    warning,  // "[AVISO] {message}: {error}" and start-up goes on
    fatal,    // main_fatal_error("{message}: {error}")
};

struct ThreadRow {
    std::string_view name;  // "" for an unnamed thread
    SpawnFailure on_failure;
    std::string_view message;
};

// The long-lived threads start-up starts, in spawn order. The video and audio
// encoders report their own failures when they start; the audio capture
// threads are started by the sound's start-up, which hands their failure back.
namespace thread_rows {
inline constexpr ThreadRow kCleanup{"", SpawnFailure::warning,
                                    "No se pudo iniciar la limpieza de la actualización anterior"};
inline constexpr ThreadRow kConfig{"crvn-config", SpawnFailure::ignored, ""};
inline constexpr ThreadRow kTray{"crvn-bandeja", SpawnFailure::ignored, ""};
inline constexpr ThreadRow kAudioGame{"crvn-audio-juego", SpawnFailure::fatal,
                                      "no se pudo crear el hilo de audio"};
inline constexpr ThreadRow kAudioMic{"crvn-audio-mic", SpawnFailure::fatal,
                                     "no se pudo crear el hilo de audio"};
inline constexpr ThreadRow kClock{"crvn-reloj", SpawnFailure::fatal,
                                  "no se pudo crear el hilo del reloj"};
inline constexpr ThreadRow kSaveKey{"crvn-tecla", SpawnFailure::fatal,
                                    "no se pudo crear el hilo de la tecla"};
inline constexpr ThreadRow kUpdateCheck{"", SpawnFailure::fatal, "failed to spawn thread"};
inline constexpr ThreadRow kUpdateKey{"crvn-actualizar", SpawnFailure::fatal,
                                      "no se pudo crear el hilo del actualizador"};
inline constexpr ThreadRow kViewerKey{"crvn-visor", SpawnFailure::fatal,
                                      "no se pudo crear el hilo del visor"};
inline constexpr ThreadRow kGameWatch{"crvn-juego", SpawnFailure::ignored, ""};
inline constexpr ThreadRow kNotices{"crvn-avisos", SpawnFailure::fatal,
                                    "no se pudo crear el hilo de los avisos"};
inline constexpr ThreadRow kSlowDetector{"crvn-detector-lento", SpawnFailure::fatal,
                                         "no se pudo crear el hilo lento del detector"};
inline constexpr ThreadRow kDetector{"crvn-detector", SpawnFailure::fatal,
                                     "no se pudo crear el hilo del detector"};
inline constexpr ThreadRow kSaver{"crvn-guardador", SpawnFailure::fatal,
                                  "no se pudo crear el hilo guardador"};
inline constexpr ThreadRow kStatus{"crvn-estado", SpawnFailure::fatal,
                                   "no se pudo crear el hilo de estado"};
}  // namespace thread_rows

// Starts a detached thread named `name`; empty on success, else the system's
// reason.
using ThreadSpawner = std::function<std::string(std::string name, std::function<void()> body)>;
// Ends the process with a message (main_fatal_error); tests record instead.
using FatalHandler = std::function<void(std::string_view message)>;

// Applies the row's policy to a failure to start it with `error`.
void thread_row_failed(const ThreadRow& row, std::string_view error, const FatalHandler& fatal);

// Starts the row's thread through `spawn`; on failure applies the row's
// policy. True when the thread runs.
bool thread_row_start(const ThreadRow& row, std::function<void()> body, const ThreadSpawner& spawn,
                      const FatalHandler& fatal);
// The same with real threads and main_fatal_error.
bool thread_row_start(const ThreadRow& row, std::function<void()> body);

// What the banner shows besides the settings.
struct BannerFacts {
    std::uint32_t width = 0;  // recorded video size
    std::uint32_t height = 0;
    std::uint8_t codec = 0;      // the codec that started: 0 H.264, 1 HEVC, 2 AV1
    std::string encoder_name;    // as the video encoder reported it
    std::uint32_t bit_rate = 0;  // mean video bit rate, bit/s
    std::filesystem::path config_path;
    std::filesystem::path log_path;
    std::string hdr_line;  // "" on an SDR monitor
};

// The settings summary, one entry per log line.
std::vector<std::string> startup_banner(const Settings& settings, const BannerFacts& facts);

// The warning balloon for the settings' warnings, all of them joined with
// " · "; none without warnings.
std::optional<Balloon> config_warnings_balloon(const std::vector<std::string>& warnings);

// The first run's greeting, naming the save key as written in the settings.
Balloon first_run_balloon(std::string_view save_key);

// The report of "resultado.json", left by the install step.
struct UpdateReport {
    std::string log_line;
    std::string balloon_title;
    std::string balloon_text;
    bool warning = false;  // the balloon is a warning, not information
};

// Reads the file's text (at most 64 KiB) and deletes it. Nothing when it
// could not be read.
std::optional<std::string> update_result_take(const std::filesystem::path& update_folder);

// The report of a result file's text.
UpdateReport update_result_report(std::string_view text);

}  // namespace corvane
