#include "shell/startup.h"

#include <array>
#include <system_error>

#include <fmt/format.h>

#include "base/file_read.h"
#include "base/json.h"
#include "base/log.h"
#include "base/version.h"
#include "platform/texts.h"
#include "platform/thread.h"
#include "shell/fatal.h"

namespace corvane {

void thread_row_failed(const ThreadRow& row, std::string_view error, const FatalHandler& fatal) {
    switch (row.on_failure) {
        case SpawnFailure::ignored:
            return;
        case SpawnFailure::warning:
            log_line(fmt::format("[AVISO] {}: {}", row.message, error));
            return;
        case SpawnFailure::fatal:
            fatal(main_error_text(row.message, error));
            return;
    }
}

bool thread_row_start(const ThreadRow& row, std::function<void()> body, const ThreadSpawner& spawn,
                      const FatalHandler& fatal) {
    const std::string error = spawn(std::string(row.name), std::move(body));
    if (error.empty()) return true;
    thread_row_failed(row, error, fatal);
    return false;
}

bool thread_row_start(const ThreadRow& row, std::function<void()> body) {
    return thread_row_start(row, std::move(body), thread_start_detached,
                            [](std::string_view message) { main_fatal_error(message); });
}

namespace {

const std::string kRule(62, '=');

std::string_view profile_name(std::uint8_t profile) {
    static constexpr std::array<std::string_view, 4> kNames{"Super calidad (120 fps)", "Calidad",
                                                            "Equilibrado", "Ligero"};
    return profile < kNames.size() ? kNames[profile] : kNames[kProfileEquilibrado];
}

std::string_view codec_label(std::uint8_t codec) {
    switch (codec) {
        case 1:
            return "HEVC (H.265)";
        case 2:
            return "AV1 (experimental)";
        default:
            return "H.264";
    }
}

std::string device_text(bool on, const std::string& name, float volume) {
    if (!on) return "no";
    const double percent = static_cast<double>(volume) * 100.0;
    if (name.empty()) return fmt::format("{} ({:.0f}%)", kDefaultDeviceText, percent);
    return fmt::format("{} ({:.0f}%)", name, percent);
}

}  // namespace

std::vector<std::string> startup_banner(const Settings& s, const BannerFacts& f) {
    const double mbps = static_cast<double>(f.bit_rate) / 1'000'000.0;
    std::string mic_suffix;
    if (s.audio.microfono) {
        mic_suffix = s.audio.microfono_en_video ? " · dentro del video" : " · aparte (X_mic.m4a)";
        if (s.audio.nivelar_microfono) mic_suffix += " · voz nivelada";
    }
    std::vector<std::string> lines{
        kRule,
        fmt::format("  {} v{} ({})  -  Motor de captura", kDisplayName, kVersionText,
                    kBuildDateText),
        fmt::format("  Desarrollado por {}", "el equipo de Corvane"),
        kRule,
        fmt::format("  Perfil     : {}", profile_name(s.grabacion.perfil)),
        fmt::format("  Video      : {}x{} @ {} fps  ({})", f.width, f.height, s.avanzado.fps,
                    codec_label(f.codec)),
        fmt::format("  Codificador: {}", f.encoder_name),
        fmt::format(
            "  Bitrate    : {:.0f} Mbps promedio, picos hasta {:.0f}  (~{:.0f} MB por minuto)",
            mbps, mbps * 1.5, mbps * 60 * 0.125),
        fmt::format("  Búfer      : últimos {} segundos (en RAM, tope {} MB)",
                    s.avanzado.buffer_segundos, s.avanzado.buffer_max_mb),
        fmt::format("  Audio juego: {}",
                    device_text(s.audio.juego, s.audio.salida_nombre, s.audio.volumen_juego)),
        fmt::format(
            "  Micrófono  : {}{}",
            device_text(s.audio.microfono, s.audio.microfono_nombre, s.audio.volumen_microfono),
            mic_suffix),
        fmt::format("  Guardar    : {}  ({})", s.teclas.guardar.text,
                    s.aviso.sonido ? "con aviso sonoro" : "sin aviso sonoro"),
        fmt::format("  Avisos     : {}", s.avisos.activo ? kNoticesBannerText : "apagados"),
        fmt::format("  Clips      : {} (abre Corvane en Clips)", s.visor.tecla.text),
        fmt::format("  Actualizar : {} (buscar / instalar, fuera de partida)",
                    s.actualizaciones.tecla.text),
        fmt::format("  Carpeta    : {}", s.general.carpeta_clips.string()),
        fmt::format("  Ajustes    : {}", f.config_path.string()),
        fmt::format("  Registro   : {}", f.log_path.string()),
        kRule,
    };
    if (!f.hdr_line.empty()) lines.push_back(f.hdr_line);
    return lines;
}

std::optional<Balloon> config_warnings_balloon(const std::vector<std::string>& warnings) {
    if (warnings.empty()) return std::nullopt;
    std::string joined;
    for (const auto& w : warnings) joined += joined.empty() ? w : " · " + w;
    return Balloon{"Revisa tu configuración", std::move(joined), 1};
}

Balloon first_run_balloon(std::string_view save_key) {
    return {"Corvane está grabando",
            fmt::format("Vive aquí, junto al reloj. {} guarda un clip. Clic en el ícono para abrir "
                        "Corvane.",
                        save_key),
            0};
}

std::optional<std::string> update_result_take(const std::filesystem::path& update_folder) {
    constexpr std::size_t kMaxBytes = 64 * 1024;
    const auto path = update_folder / "resultado.json";
    auto text = file_read_up_to(path, kMaxBytes + 1);
    if (!text) return std::nullopt;
    std::error_code ec;
    std::filesystem::remove(path, ec);
    // A result larger than any install step writes is not one of ours.
    if (text->size() > kMaxBytes) text->clear();
    return text;
}

UpdateReport update_result_report(std::string_view text) {
    const auto j = json_parse_untrusted(text);
    std::string version = "?";
    std::string error = "error desconocido";
    bool ok = false;
    if (j.is_object()) {
        if (auto it = j.find("version"); it != j.end() && it->is_string()) {
            version = it->get<std::string>();
        }
        if (auto it = j.find("error"); it != j.end() && it->is_string()) {
            error = it->get<std::string>();
        }
        if (auto it = j.find("ok"); it != j.end() && it->is_boolean()) ok = it->get<bool>();
    }
    if (ok) {
        return {fmt::format("[ACTUALIZACIÓN] Corvane se actualizó a la v{}.", version),
                "Corvane actualizado", fmt::format("Ya tienes la v{}.", version), false};
    }
    return {fmt::format("[ACTUALIZACIÓN] No se pudo instalar la v{}: {}. Sigues con la versión "
                        "anterior.",
                        version, error),
            "No se pudo actualizar",
            fmt::format("v{}: {}. Sigues con la versión anterior.", version, error), true};
}

}  // namespace corvane
