#include "base/settings.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "base/file_read.h"
#include "base/paths.h"
#include "base/text.h"

namespace corvane {

namespace {

// A decimal number that fits T; none otherwise.
template <class T>
std::optional<T> parse_unsigned(std::string_view s) {
    auto n = parse_decimal(s, std::numeric_limits<T>::max());
    if (!n) return std::nullopt;
    return static_cast<T>(*n);
}

// A decimal number as a 32-bit float; NaN is never a value.
std::optional<float> parse_float(std::string_view s) {
    // from_chars takes a "-" but not a "+".
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    float v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || end != s.data() + s.size() || std::isnan(v)) return std::nullopt;
    return v;
}

std::string_view strip_trailing(std::string_view s, char c) {
    while (!s.empty() && s.back() == c) s.remove_suffix(1);
    return s;
}

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<std::uint8_t> profile_word(const std::string& w) {
    if (w == "supercalidad" || w == "super calidad" || w == "super_calidad")
        return kProfileSupercalidad;
    if (w == "calidad") return kProfileCalidad;
    if (w == "equilibrado") return kProfileEquilibrado;
    if (w == "ligero") return kProfileLigero;
    return std::nullopt;
}

std::optional<VideoCodec> codec_word(const std::string& w) {
    if (w == "h264" || w == "h.264") return VideoCodec::H264;
    if (w == "hevc" || w == "h265" || w == "h.265") return VideoCodec::Hevc;
    if (w == "av1") return VideoCodec::Av1;
    return std::nullopt;
}

std::optional<AutoClipMode> auto_clip_word(const std::string& w) {
    if (w == "todo" || w == "todos") return AutoClipMode::Todo;
    if (w == "muertes") return AutoClipMode::Muertes;
    if (w == "ninguno" || w == "no") return AutoClipMode::Ninguno;
    return std::nullopt;
}

std::optional<NoticePosition> position_word(std::string w) {
    for (char& c : w)
        if (c == ' ' || c == '\t' || c == '-') c = '_';
    if (w == "arriba_centro" || w == "arriba" || w == "centro") return NoticePosition::ArribaCentro;
    if (w == "arriba_derecha" || w == "derecha") return NoticePosition::ArribaDerecha;
    if (w == "arriba_izquierda" || w == "izquierda") return NoticePosition::ArribaIzquierda;
    if (w == "abajo_centro" || w == "abajo") return NoticePosition::AbajoCentro;
    return std::nullopt;
}

struct NamedKey {
    std::string_view name;  // upper case
    std::uint32_t code;
};
constexpr NamedKey kNamedKeys[] = {
    {"CTRL", vk::kControl},
    {"CONTROL", vk::kControl},
    {"SHIFT", vk::kShift},
    {"MAYUS", vk::kShift},
    {"MAYÚS", vk::kShift},
    {"ALT", vk::kAlt},
    {"TAB", vk::kTab},
    {"SPACE", vk::kSpace},
    {"ESPACIO", vk::kSpace},
    {"INS", vk::kInsert},
    {"INSERT", vk::kInsert},
    {"SUPR", vk::kDelete},
    {"DELETE", vk::kDelete},
    {"HOME", vk::kHome},
    {"INICIO", vk::kHome},
    {"END", vk::kEnd},
    {"FIN", vk::kEnd},
    {"REPAG", vk::kPageUp},
    {"PAGEUP", vk::kPageUp},
    {"AVPAG", vk::kPageDown},
    {"PAGEDOWN", vk::kPageDown},
    {"PAUSA", vk::kPause},
    {"PAUSE", vk::kPause},
    {"IMPR", vk::kPrintScreen},
    {"PRINTSCREEN", vk::kPrintScreen},
};

// F1..F24; none for any other number.
std::optional<std::uint32_t> function_key(unsigned n) {
    if (n < 1 || n > 24) return std::nullopt;
    return vk::kF1 - 1 + n;
}

// The value of XDG_VIDEOS_DIR in a user-dirs.dirs text, when it names a
// folder: "$HOME/..." or an absolute path (the only forms that file allows).
std::optional<std::filesystem::path> videos_dir_from_user_dirs(std::string_view text,
                                                               const std::filesystem::path& home) {
    std::optional<std::filesystem::path> found;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) lf = text.size();
        std::string line = utf8_trim(text.substr(start, lf - start));
        start = lf + 1;
        constexpr std::string_view kKey = "XDG_VIDEOS_DIR=";
        if (line.rfind(kKey, 0) != 0) continue;
        std::string_view raw = std::string_view(line).substr(kKey.size());
        std::string value;
        if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
            raw = raw.substr(1, raw.size() - 2);
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
            value += raw[i];
        }
        constexpr std::string_view kHome = "$HOME";
        if (value.rfind(kHome, 0) == 0) {
            std::string_view rest = std::string_view(value).substr(kHome.size());
            // "$HOME" alone means the user switched the folder off.
            if (rest.size() > 1 && rest.front() == '/') found = home / rest.substr(1);
        } else if (!value.empty() && value.front() == '/') {
            found = std::filesystem::path(value);
        }
    }
    return found;
}

}  // namespace

namespace {

std::filesystem::path default_clips_folder_in(const std::filesystem::path& program_folder) {
    const char* home_env = std::getenv("HOME");
    // Without a home folder the program folder is the one place that stays
    // the same from one start to the next (the working directory does not).
    if (home_env == nullptr || *home_env == '\0') return program_folder / "Corvane";
    std::filesystem::path home = home_env;

    std::filesystem::path config_home;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/')
        config_home = xdg;
    else
        config_home = home / ".config";

    std::filesystem::path videos = home / "Videos";
    if (auto text = file_read_up_to(config_home / "user-dirs.dirs", 64 * 1024)) {
        if (auto dir = videos_dir_from_user_dirs(*text, home)) videos = *dir;
    }
    return videos / "Corvane";
}

}  // namespace

std::filesystem::path default_clips_folder() { return default_clips_folder_in(app_dir()); }

std::filesystem::path settings_clips_folder(const std::optional<std::string>& value,
                                            const std::filesystem::path& program_folder) {
    if (!value || value->empty()) return default_clips_folder_in(program_folder);
    const std::filesystem::path p(*value);
    return p.is_relative() ? program_folder / p : p;
}

Settings settings_defaults() {
    Settings s;
    s.general.carpeta_clips = default_clips_folder();
    return s;
}

bool config_parse_bool(std::string_view text, bool current) {
    std::string w = utf8_lower(text);
    if (w == "1" || w == "si" || w == "sí" || w == "on" || w == "yes" || w == "true") return true;
    if (w == "0" || w == "no" || w == "off" || w == "false") return false;
    return current;
}

float config_parse_percent(std::string_view text, float current, std::uint32_t max_percent) {
    std::string t = utf8_trim(strip_trailing(text, '%'));
    auto n = parse_unsigned<std::uint32_t>(t);
    if (!n) return current;
    return static_cast<float>(std::min(*n, max_percent)) / 100.0f;
}

std::optional<std::vector<std::uint32_t>> config_parse_hotkey(std::string_view text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        size_t plus = text.find('+', start);
        std::string_view piece =
            text.substr(start, plus == std::string_view::npos ? text.npos : plus - start);
        pieces.push_back(utf8_upper(utf8_trim(piece)));
        if (plus == std::string_view::npos) break;
        start = plus + 1;
    }

    std::vector<std::uint32_t> codes;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::string& p = pieces[i];
        if (p.empty()) return std::nullopt;
        // "F+5": splitting at "+" leaves "F" and "5", which together are F5.
        if (p == "F" && i + 1 < pieces.size() && pieces[i + 1].size() == 1 &&
            is_ascii_digit(pieces[i + 1][0])) {
            auto code = function_key(static_cast<unsigned>(pieces[i + 1][0] - '0'));
            if (!code) return std::nullopt;
            codes.push_back(*code);
            ++i;
            continue;
        }
        if (p.size() == 1 && ((p[0] >= 'A' && p[0] <= 'Z') || is_ascii_digit(p[0]))) {
            codes.push_back(static_cast<unsigned char>(p[0]));
            continue;
        }
        if ((p.size() == 2 || p.size() == 3) && p[0] == 'F' &&
            std::all_of(p.begin() + 1, p.end(), is_ascii_digit)) {
            auto code = function_key(static_cast<unsigned>(std::stoul(p.substr(1))));
            if (!code) return std::nullopt;
            codes.push_back(*code);
            continue;
        }
        if (p.size() == 4 && p.compare(0, 3, "NUM") == 0 && is_ascii_digit(p[3])) {
            codes.push_back(vk::kNumpad0 + static_cast<std::uint32_t>(p[3] - '0'));
            continue;
        }
        auto named = std::find_if(std::begin(kNamedKeys), std::end(kNamedKeys),
                                  [&](const NamedKey& k) { return k.name == p; });
        if (named == std::end(kNamedKeys)) return std::nullopt;
        codes.push_back(named->code);
    }
    return codes;
}

Settings settings_clone(const Settings& settings) {
    // Every member owns its storage, so the copy shares nothing.
    return Settings(settings);
}

void config_parse(Settings& settings, std::string_view ini_text) {
    config_parse(settings, config_parse_ini(ini_text));
}

void config_parse(Settings& s, const IniTable& table) {
    auto& warnings = s.warnings;
    auto get = [&](std::string_view section, std::string_view key) {
        return config_ini_get(table, section, key);
    };
    // The accented spelling counts only when the plain key is absent.
    auto get_either = [&](std::string_view section, std::string_view key,
                          std::string_view accented) {
        auto v = get(section, key);
        return v ? v : get(section, accented);
    };
    auto read_bool = [&](std::string_view section, std::string_view key, bool& field) {
        if (auto v = get(section, key)) field = config_parse_bool(*v, field);
    };
    auto read_percent = [&](std::string_view section, std::string_view key, float& field,
                            std::uint32_t max_percent) {
        if (auto v = get(section, key)) field = config_parse_percent(*v, field, max_percent);
    };
    auto read_text = [&](std::string_view section, std::string_view key, std::string& field) {
        if (auto v = get(section, key)) field = *v;
    };
    // An empty number is skipped; anything else outside [lo, hi] is refused.
    auto read_number = [&]<class T>(std::string_view section, std::string_view key, T& field, T lo,
                                    T hi, auto&& warning) {
        auto v = get(section, key);
        if (!v || v->empty()) return;
        auto n = parse_unsigned<T>(*v);
        if (n && *n >= lo && *n <= hi)
            field = *n;
        else
            warnings.push_back(warning(*v));
    };
    auto read_combo = [&](std::string_view section, std::string_view key, KeyCombo& field,
                          auto&& warning) {
        auto v = get(section, key);
        if (!v) return;
        if (auto codes = config_parse_hotkey(*v))
            field = KeyCombo{std::move(*codes), utf8_trim(*v)};
        else
            warnings.push_back(warning(*v));
    };

    // [grabacion] perfil first: [avanzado] overrides the profile's values
    // wherever it stands in the file.
    if (auto v = get("grabacion", "perfil")) {
        if (auto idx = profile_word(utf8_lower(*v))) {
            const QualityProfile& p = kQualityProfiles[*idx];
            s.grabacion.perfil = *idx;
            s.avanzado.fps = p.fps;
            s.avanzado.bits_per_pixel = p.bits_per_pixel;
            s.avanzado.bitrate_ceiling_mbps = p.bitrate_ceiling_mbps;
            s.avanzado.buffer_segundos = p.buffer_segundos;
        } else {
            warnings.push_back(
                fmt::format("perfil '{}' no existe (usa calidad, equilibrado o ligero)", *v));
        }
    }

    // [avanzado]
    if (auto v = get("avanzado", "codec"); v && !v->empty()) {
        if (auto c = codec_word(utf8_lower(*v)))
            s.avanzado.codec = *c;
        else
            warnings.push_back(fmt::format("codec '{}' no válido (usa hevc, h264 o av1)", *v));
    }
    read_number("avanzado", "fps", s.avanzado.fps, 15u, 120u, [](const std::string& v) {
        return fmt::format("fps '{}' no válido (entre 15 y 120)", v);
    });
    read_number("avanzado", "bitrate_mbps", s.avanzado.bitrate_mbps, 0u,
                std::numeric_limits<std::uint32_t>::max(),
                [](const std::string& v) { return fmt::format("bitrate_mbps '{}' no válido", v); });
    read_number("avanzado", "buffer_segundos", s.avanzado.buffer_segundos, std::uint64_t{10},
                std::uint64_t{300}, [](const std::string& v) {
                    return fmt::format("buffer_segundos '{}' no válido (entre 10 y 300)", v);
                });
    read_number("avanzado", "buffer_max_mb", s.avanzado.buffer_max_mb, std::uint64_t{100},
                std::uint64_t{8192}, [](const std::string& v) {
                    return fmt::format("buffer_max_mb '{}' no válido (entre 100 y 8192)", v);
                });

    // [teclas]
    read_combo("teclas", "guardar", s.teclas.guardar, [](const std::string& v) {
        return fmt::format("combinación '{}' no reconocida, se usa Ctrl+W", v);
    });

    // [audio]
    read_bool("audio", "juego", s.audio.juego);
    read_percent("audio", "volumen_juego", s.audio.volumen_juego, 200);
    read_bool("audio", "microfono", s.audio.microfono);
    read_percent("audio", "volumen_microfono", s.audio.volumen_microfono, 400);
    read_bool("audio", "microfono_en_video", s.audio.microfono_en_video);
    read_bool("audio", "nivelar_microfono", s.audio.nivelar_microfono);
    read_text("audio", "salida_id", s.audio.salida_id);
    read_text("audio", "salida_nombre", s.audio.salida_nombre);
    read_text("audio", "microfono_id", s.audio.microfono_id);
    read_text("audio", "microfono_nombre", s.audio.microfono_nombre);
    read_bool("audio", "preguntar_al_iniciar", s.audio.preguntar_al_iniciar);

    // [aviso]
    read_bool("aviso", "sonido", s.aviso.sonido);
    read_percent("aviso", "volumen", s.aviso.volumen, 100);

    // [detector]; its two older keys once chose the automatic clips.
    read_bool("detector", "activo", s.detector.activo);
    {
        bool bajas = true, muertes = true;
        read_bool("detector", "guardar_bajas", bajas);
        read_bool("detector", "guardar_muertes", muertes);
        if (!bajas) s.clips.automaticos = muertes ? AutoClipMode::Muertes : AutoClipMode::Ninguno;
    }

    // [clips]
    if (auto v = get("clips", "automaticos")) {
        if (auto m = auto_clip_word(utf8_lower(*v)))
            s.clips.automaticos = *m;
        else
            warnings.push_back(
                fmt::format("automaticos '{}' no válido (usa todo, muertes o ninguno)", *v));
    }
    s.clips.segundos_antes =
        config_ini_get_uint(table, "segundos_antes", s.clips.segundos_antes, 60, warnings);
    s.clips.segundos_despues =
        config_ini_get_uint(table, "segundos_despues", s.clips.segundos_despues, 30, warnings);
    s.clips.limite_disco_gb =
        config_ini_get_uint(table, "limite_disco_gb", s.clips.limite_disco_gb, 100000, warnings);

    // [hdr]
    read_bool("hdr", "corregir", s.hdr.corregir);
    if (auto v = get("hdr", "blanco_sdr"); v && !v->empty() && utf8_lower(*v) != "auto") {
        auto n = parse_unsigned<std::uint32_t>(*v);
        if (n && *n >= 80 && *n <= 1000)
            s.hdr.blanco_sdr = static_cast<float>(*n);
        else
            warnings.push_back(fmt::format("blanco_sdr '{}' no válido (entre 80 y 1000 nits)", *v));
    }

    // [avisos]
    read_bool("avisos", "activo", s.avisos.activo);
    if (auto v = get_either("avisos", "posicion", "posición"); v && !v->empty()) {
        if (auto p = position_word(utf8_lower(*v)))
            s.avisos.posicion = *p;
        else
            warnings.push_back(fmt::format(
                "posicion '{}' no válida (arriba_centro, arriba_derecha, arriba_izquierda o "
                "abajo_centro)",
                *v));
    }
    if (auto v = get_either("avisos", "tamano", "tamaño"); v && !v->empty()) {
        auto n = parse_float(utf8_trim(strip_trailing(*v, '%')));
        if (n && *n >= 50.0f && *n <= 200.0f)
            s.avisos.tamano = *n / 100.0f;
        else
            warnings.push_back(fmt::format("tamano de los avisos '{}' no válido (50 a 200)", *v));
    }
    if (auto v = get_either("avisos", "duracion", "duración"); v && !v->empty()) {
        std::string t = utf8_trim(strip_trailing(utf8_trim(*v), 's'));
        std::replace(t.begin(), t.end(), ',', '.');
        auto n = parse_float(t);
        if (n && *n >= 1.0f && *n <= 10.0f)
            s.avisos.duracion = *n;
        else
            warnings.push_back(
                fmt::format("duracion de los avisos '{}' no válida (1 a 10 segundos)", *v));
    }

    // [ia]
    read_text("ia", "clave_gemini", s.ia.clave_gemini);
    read_text("ia", "modelo", s.ia.modelo);
    read_number("ia", "fps", s.ia.fps, 1u, 10u, [](const std::string& v) {
        return fmt::format("fps de la IA '{}' no válido (1 a 10)", utf8_trim(v));
    });

    // [visor], [actualizaciones]
    read_combo("visor", "tecla", s.visor.tecla, [](const std::string& v) {
        return fmt::format("tecla del visor '{}' no reconocida, se usa Ctrl+Shift+E", v);
    });
    read_bool("actualizaciones", "buscar_al_abrir", s.actualizaciones.buscar_al_abrir);
    read_combo("actualizaciones", "tecla", s.actualizaciones.tecla, [](const std::string& v) {
        return fmt::format("tecla de actualizaciones '{}' no reconocida, se usa Ctrl+Shift+U", v);
    });

    // [general] gamertag
    if (auto v = get("general", "gamertag")) {
        if (v->empty())
            s.general.gamertag.reset();
        else
            s.general.gamertag = *v;
    }

    // [grabacion] resolucion
    if (auto v = get("grabacion", "resolucion")) {
        std::string w = utf8_lower(utf8_trim(*v));
        if (w == "auto" || w == "nativa") {
            s.grabacion.resolucion.reset();
        } else if (!w.empty()) {
            auto n = parse_unsigned<std::uint32_t>(strip_trailing(w, 'p'));
            if (n && *n >= 480 && *n <= 2160)
                s.grabacion.resolucion = *n;
            else
                warnings.push_back(
                    fmt::format("resolucion '{}' no válida (nativa, 1440, 1080, 900 o 720)", w));
        }
    }

    // [general] carpeta_clips. A relative folder is taken against the
    // program folder: the working directory differs between a first start
    // and a restart, which would scatter the clips over two places.
    if (auto v = get("general", "carpeta_clips"); v && !v->empty())
        s.general.carpeta_clips = settings_clips_folder(v, app_dir());
}

}  // namespace corvane
