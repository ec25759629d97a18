#include "base/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "base/paths.h"
#include "base/text.h"
#include "platform/files.h"

namespace corvane {

namespace {

// Lines at "\n", a CR right before it dropped; a last line without an end counts.
std::vector<std::string_view> ini_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t lf = text.find('\n', start);
        std::string_view line =
            lf == std::string_view::npos ? text.substr(start) : text.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (lf == std::string_view::npos) {
            if (!line.empty()) lines.push_back(line);
            break;
        }
        lines.push_back(line);
        start = lf + 1;
    }
    return lines;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// A byte-order mark is not white space: left in place it would hide the first
// header from the reader and make the loader append a second one.
std::string_view without_bom(std::string_view text) {
    if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
    return text;
}

// The section name of a line that is a header once trimmed (the inner text
// trimmed and lower-cased); none for any other line. The reader, the writer and
// the loader all recognise headers through this one rule.
std::optional<std::string> header_name(std::string_view trimmed) {
    if (trimmed.size() < 2 || trimmed.front() != '[' || trimmed.back() != ']') return std::nullopt;
    return utf8_lower(utf8_trim(trimmed.substr(1, trimmed.size() - 2)));
}

}  // namespace

IniTable config_parse_ini(std::string_view text) {
    text = without_bom(text);
    IniTable table;
    std::string section;
    for (std::string_view raw : ini_lines(text)) {
        std::string line = utf8_trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (auto name = header_name(line)) {
            section = std::move(*name);
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = utf8_lower(utf8_trim(std::string_view(line).substr(0, eq)));
        std::string_view value = std::string_view(line).substr(eq + 1);
        size_t semi = value.find(';');
        if (semi != std::string_view::npos) value = value.substr(0, semi);
        std::string v = utf8_trim(value);
        size_t a = 0, e = v.size();
        while (a < e && v[a] == '"') ++a;
        while (e > a && v[e - 1] == '"') --e;
        table[IniKey{section, std::move(key)}] = v.substr(a, e - a);
    }
    return table;
}

std::optional<std::string> config_ini_get(const IniTable& table, std::string_view section,
                                          std::string_view key) {
    auto it = table.find(IniKey{std::string(section), std::string(key)});
    if (it == table.end()) return std::nullopt;
    return it->second;
}

std::uint64_t config_ini_get_uint(const IniTable& table, std::string_view key,
                                  std::uint64_t current, std::uint64_t bound,
                                  std::vector<std::string>& warnings) {
    auto v = config_ini_get(table, "clips", key);
    if (!v || v->empty()) return current;
    if (auto n = parse_decimal(*v, bound)) return *n;
    warnings.push_back(fmt::format("{} '{}' no válido (0 a {})", key, *v, bound));
    return current;
}

}  // namespace corvane

namespace corvane {

namespace {

constexpr std::string_view kTemplate =
    R"(; ==============================================================
;  Corvane - configuración
;  Lo más fácil: clic en el ícono de Corvane (junto al reloj) -> Configuración.
;  Si lo editas a mano: guarda y reinicia Corvane (menú del ícono -> Reiniciar).
; ==============================================================

[grabacion]
; Perfil de grabación:
;   supercalidad = 120 fps, lo más nítido y fluido (PC potentes con monitor de 120 Hz o más)
;   calidad      = 60 fps, lo más nítido; usa más RAM y disco
;   equilibrado  = 60 fps, buena calidad con un uso moderado (recomendado)
;   ligero       = 30 fps, menos RAM y disco, para PC limitados
perfil = equilibrado
; Resolución del video: nativa (la de la pantalla) o 1440, 1080, 900, 720
; (alto en píxeles; el ancho se calcula solo, también en ultrawide).
; Menos resolución = mucho menos trabajo para la tarjeta gráfica y clips más livianos.
; Si el juego da tirones o sube la latencia, prueba 1080.
resolucion = nativa

[avanzado]
; Déjalos vacíos para usar los valores del perfil.
; codec: hevc (predeterminado, un 30-40 % más liviano; si la tarjeta no lo tiene, usa h264),
;        h264 (se reproduce en todas partes) o av1 (experimental, un 40-50 % más liviano;
;        si la tarjeta no lo tiene, usa hevc)
codec =
; fps: de 15 a 120
fps =
; Tasa de bits en Mbps (vacío = automática según la resolución)
bitrate_mbps =
; Segundos que se guardan hacia atrás: de 10 a 300
buffer_segundos =
; Límite de RAM del búfer en MB (vacío = 1024)
buffer_max_mb =

[teclas]
; Ejemplos: Ctrl+W, Alt+F10, Ctrl+Shift+S, F9, Num0
guardar = Ctrl+W

[audio]
; Sonido del juego
juego = si
volumen_juego = 100
; Tu micrófono
microfono = no
; 100 = tal cual (hasta 400)
volumen_microfono = 100
; si = la voz va mezclada en el video junto con el juego
; no = el video lleva solo el juego y la voz se guarda junto al clip (mismo nombre + "_mic.m4a",
;      alineada al segundo 0 del clip), para poder quitarla o ajustarla al editar
microfono_en_video = si
; Nivelar centra la voz (aunque el auricular la envíe por un solo lado) y la sube
; solo cuando hablas bajo, sin pasarse
nivelar_microfono = si
; Dispositivos elegidos en la página de configuración (vacío = predeterminado del sistema)
salida_nombre =
salida_id =
microfono_nombre =
microfono_id =

[aviso]
; Un sonido suave al guardar un clip
sonido = si
volumen = 25

[detector]
; Lee el HUD del juego para detectar tus bajas, derribos y muertes (killcam) y guardar el clip
; solo, con lo que se ve en pantalla (víctima, quien te mató, nivel, arma, medallas como
; HEADSHOT, juego, modo, mapa y lugar). Cada evento va a estadisticas.jsonl (la lista de Clips).
activo = si

[clips]
; Clips automáticos por escena (varios eventos seguidos van en un solo clip, con un .json al lado
; que marca el segundo de cada evento):
;   todo    = escenas de bajas y escenas de muerte
;   muertes = solo las escenas en las que moriste (killcam incluida)
;   ninguno = sin clips automáticos, solo la lista de eventos (la tecla sigue funcionando)
automaticos = todo
; El clip es solo el evento: desde estos segundos antes hasta que termina (toda la killcam)
segundos_antes = 5
; Segundos sin eventos que cierran una escena de bajas
segundos_despues = 5
; Límite de disco en GB para los clips automáticos (0 = sin límite). Al llenarse se borran los
; clips automáticos más antiguos; los archivados y los manuales nunca se borran.
limite_disco_gb = 50

[hdr]
; Cuando el sistema está en HDR, los clips se convierten a SDR para que no se vean lavados
corregir = si
; Blanco SDR en nits; auto = el valor que usa el sistema (brillo del contenido SDR).
; Si el clip se ve más oscuro, prueba un número menor (p. ej. 160); si se ve lavado, uno mayor
; (p. ej. 300)
blanco_sdr = auto

[avisos]
; Aviso animado en pantalla cada vez que se guarda un clip («BAJA», «RACHA x3», «DERRIBO»,
; «MUERTE · KILLCAM», «CLIP MANUAL») con los nombres de los enemigos: aparece, se queda unos
; segundos y se desvanece. Nunca sale en los clips ni en los grabadores de pantalla.
; Necesita el juego en pantalla completa sin bordes y no toca el juego.
activo = si
; arriba_centro, arriba_derecha, arriba_izquierda o abajo_centro
posicion = arriba_centro
; Tamaño en % (100 = normal)
tamano = 100
; Segundos visible
duracion = 3

[visor]
; Abre la lista de Clips (con los detalles de cada evento) en su propia ventana
tecla = Ctrl+Shift+E

[actualizaciones]
; Al abrir, busca versiones nuevas en la web de Corvane (una vez al día). Nunca instala nada
; por su cuenta: te avisa y tú decides, con la tecla o con el menú del ícono (fuera de partida).
buscar_al_abrir = si
tecla = Ctrl+Shift+U

[ia]
; Análisis de clips con IA (botón «Analizar» en Clips), por ahora con Gemini (gratis).
; La clave se consigue en https://aistudio.google.com/apikey (solo hace falta una cuenta
; de Google, sin tarjeta). El clip se sube para el análisis y se borra después.
clave_gemini =
; Modelo (vacío = automático: el mejor gratuito que tenga tu cuenta)
modelo =
; Imágenes por segundo que revisa la IA (1 a 10; más = más detalle y más cuota gratuita)
fps = 3

[general]
; Tu gamertag tal como lo muestra el juego. Vacío = se aprende solo de las primeras bajas
; (tarjeta ELIMINATED + killfeed). Se usa para leer el killfeed.
gamertag =
; Carpeta de los clips (vacío = Vídeos/Corvane)
carpeta_clips =
)";

constexpr const char* kIniName = "corvane.ini";

// Serialises every whole load and every single-key write in the process: a
// load that read a file while a writer replaced it would otherwise find no
// headers and append the whole template over the user's values.
std::mutex& ini_mutex() {
    static std::mutex* m = new std::mutex;  // leaked: detached threads may still call in
    return *m;
}

std::string errno_text(int err) {
    return std::system_category().message(err);
}

struct ReadResult {
    int err = 0;  // errno of the failure, 0 on success
    std::string text;
};

ReadResult read_file(const std::filesystem::path& p) {
    ReadResult r;
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        r.err = errno;
        return r;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            r.err = errno;
            break;
        }
        if (n == 0) break;
        r.text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return r;
}

// Replaces the file at `path` with `data`, so a reader never sees half a file.
// A symbolic link is followed: the write lands on the file the user linked
// to. The file may hold the AI key: 0600. Returns the error text, empty on
// success.
std::string replace_file(const std::filesystem::path& path, std::string_view data) {
    FileReplaceOptions how;
    how.mode = 0600;
    how.follow_links = true;
    return file_replace(path, data, how).error;
}

// The file is not there: absent, or a folder on its way is not a folder (a data
// folder that could not be made). Creating it then reports the real error.
bool is_missing(int err) {
    return err == ENOENT || err == ENOTDIR;
}



}  // namespace

std::string_view config_default_template() {
    return kTemplate;
}

std::filesystem::path config_ini_path() {
    const std::filesystem::path current = data_dir() / kIniName;
    struct stat st {};
    if (::lstat(current.c_str(), &st) == 0) return current;
    // Only a file that is truly absent may be replaced by the old one; any other
    // error (a folder in the way, no permission) must not lose the current file.
    if (errno != ENOENT) return current;
    const std::filesystem::path legacy = app_dir() / kIniName;
    if (file_rename(legacy, current) == 0) {
        // It may hold the AI key.
        (void)file_make_private(current);
    }
    return current;
}

std::vector<std::string> config_find_section_lines(std::string_view text) {
    std::vector<std::string> headers;
    for (std::string_view raw : ini_lines(without_bom(text))) {
        if (auto name = header_name(utf8_trim(raw))) headers.push_back("[" + *name + "]");
    }
    return headers;
}

ConfigStatus config_write_key(std::string_view section, std::string_view key,
                              std::string_view value) {
    // A line break would add keys or sections of its own; other control
    // characters would reach every log and terminal that shows the value, and
    // broken UTF-8 would make the whole file unreadable.
    if (text_has_controls(section) || text_has_controls(key) || text_has_controls(value)) {
        return {fmt::format("valor no válido para [{}] {}: contiene un salto de línea, un carácter "
                            "de control o texto que no es UTF-8",
                            text_escape_controls(section), text_escape_controls(key))};
    }
    std::lock_guard lock(ini_mutex());
    const std::filesystem::path path = config_ini_path();
    ReadResult file = read_file(path);
    std::string_view text;
    if (is_missing(file.err)) {
        text = kTemplate;
    } else if (file.err != 0) {
        return {fmt::format("No se pudo leer {}: {}", kIniName, errno_text(file.err))};
    } else if (!utf8_valid(file.text)) {
        return {fmt::format("No se pudo leer {}: no es texto UTF-8 válido", kIniName)};
    } else {
        text = without_bom(file.text);
    }

    std::vector<std::string_view> lines = ini_lines(text);
    const std::string new_line = fmt::format("{} = {}", key, value);
    const std::string want_section = utf8_lower(section);
    const std::string want_key = utf8_lower(key);

    std::string current;
    std::optional<size_t> last_mark;
    std::optional<size_t> match;
    for (size_t i = 0; i < lines.size() && !match; ++i) {
        const std::string trimmed = utf8_trim(lines[i]);
        if (auto name = header_name(trimmed)) {
            current = std::move(*name);
            continue;
        }
        if (current != want_section) continue;
        last_mark = i;
        size_t eq = trimmed.find('=');
        if (eq == std::string::npos || trimmed[0] == ';') continue;
        if (utf8_lower(utf8_trim(std::string_view(trimmed).substr(0, eq))) == want_key) match = i;
    }

    const std::string header = fmt::format("[{}]", section);
    std::vector<std::string_view> out(lines.begin(), lines.end());
    if (match) {
        out[*match] = new_line;
    } else if (last_mark) {
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(*last_mark) + 1, new_line);
    } else {
        out.insert(out.end(), {std::string_view(), header, new_line});
    }
    std::string joined;
    joined.reserve(text.size() + header.size() + new_line.size() + 2 * out.size() + 8);
    for (auto l : out) {
        joined += l;
        joined += "\r\n";
    }
    std::string err = replace_file(path, joined);
    if (!err.empty()) return {fmt::format("No se pudo escribir {}: {}", kIniName, err)};
    return {};
}

void config_load_file(const std::function<void(const IniTable&)>& parse,
                      std::vector<std::string>& warnings) {
    std::lock_guard lock(ini_mutex());
    const std::filesystem::path path = config_ini_path();
    ReadResult file = read_file(path);
    if (is_missing(file.err)) {
        std::string err = replace_file(path, kTemplate);
        if (!err.empty()) warnings.push_back(fmt::format("No se pudo crear {}: {}", kIniName, err));
        return;
    }
    // An unreadable or garbled file keeps the defaults and is never replaced:
    // the user's values are still in it.
    if (file.err != 0) {
        warnings.push_back(fmt::format("No se pudo leer {}: {}", kIniName, errno_text(file.err)));
        return;
    }
    if (!utf8_valid(file.text)) {
        warnings.push_back(fmt::format(
            "No se pudo leer {}: no es texto UTF-8 válido; se usan los valores predeterminados",
            kIniName));
        return;
    }
    const std::string_view text = without_bom(file.text);
    parse(config_parse_ini(text));

    const std::vector<std::string> have = config_find_section_lines(text);
    std::string missing;
    std::string block;
    bool block_missing = false;
    auto flush = [&] {
        if (block_missing) {
            missing += block;
            missing += "\r\n\r\n";
        }
        block.clear();
    };
    bool in_block = false;
    for (std::string_view line : ini_lines(kTemplate)) {
        if (auto name = header_name(utf8_trim(line))) {
            if (in_block) flush();
            in_block = true;
            const std::string header = "[" + *name + "]";
            block_missing = std::find(have.begin(), have.end(), header) == have.end();
        }
        if (!in_block) continue;  // the banner belongs to no section
        block += line;
        block += "\r\n";
    }
    if (in_block) flush();
    if (missing.empty()) return;

    std::string normalised;
    normalised.reserve(missing.size());
    for (size_t i = 0; i < missing.size(); ++i) {
        if (missing[i] == '\r' && i + 1 < missing.size() && missing[i + 1] == '\n') continue;
        if (missing[i] == '\n') normalised += '\r';
        normalised += missing[i];
    }
    std::string whole(text);
    whole += "\r\n\r\n";
    whole += normalised;
    (void)replace_file(path, whole);
}

}  // namespace corvane
