#include "base/settings.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <ostream>

#include "base/paths.h"
#include "base_test_util.h"

namespace corvane {

// Readable failures: every field, one per line, so a diff shows the culprit.
void PrintTo(const Settings& s, std::ostream* os) {
    auto combo = [](const KeyCombo& k) {
        std::string out = "'" + k.text + "' [";
        for (auto c : k.codes) out += fmt::format(" 0x{:02X}", c);
        return out + " ]";
    };
    auto opt = [](const auto& o) { return o ? fmt::format("{}", *o) : std::string("-"); };
    *os << "\n grabacion: perfil=" << int(s.grabacion.perfil)
        << " resolucion=" << opt(s.grabacion.resolucion)
        << "\n avanzado: codec=" << int(s.avanzado.codec) << " fps=" << s.avanzado.fps
        << " bitrate=" << s.avanzado.bitrate_mbps << " buffer=" << s.avanzado.buffer_segundos
        << " max_mb=" << s.avanzado.buffer_max_mb << " bpp=" << s.avanzado.bits_per_pixel
        << " techo=" << s.avanzado.bitrate_ceiling_mbps
        << "\n teclas: guardar=" << combo(s.teclas.guardar) << "\n audio: juego=" << s.audio.juego
        << " vj=" << s.audio.volumen_juego << " mic=" << s.audio.microfono
        << " vm=" << s.audio.volumen_microfono << " en_video=" << s.audio.microfono_en_video
        << " nivelar=" << s.audio.nivelar_microfono << " salida='" << s.audio.salida_id << "'/'"
        << s.audio.salida_nombre << "' mic='" << s.audio.microfono_id << "'/'"
        << s.audio.microfono_nombre << "' preguntar=" << s.audio.preguntar_al_iniciar
        << "\n aviso: sonido=" << s.aviso.sonido << " volumen=" << s.aviso.volumen
        << "\n detector: activo=" << s.detector.activo
        << "\n clips: auto=" << int(s.clips.automaticos) << " antes=" << s.clips.segundos_antes
        << " despues=" << s.clips.segundos_despues << " limite=" << s.clips.limite_disco_gb
        << "\n hdr: corregir=" << s.hdr.corregir << " blanco=" << opt(s.hdr.blanco_sdr)
        << "\n avisos: activo=" << s.avisos.activo << " pos=" << int(s.avisos.posicion)
        << " tamano=" << s.avisos.tamano << " duracion=" << s.avisos.duracion
        << "\n visor: " << combo(s.visor.tecla)
        << "\n actualizaciones: buscar=" << s.actualizaciones.buscar_al_abrir << " "
        << combo(s.actualizaciones.tecla) << "\n ia: clave='" << s.ia.clave_gemini << "' modelo='"
        << s.ia.modelo << "' fps=" << s.ia.fps << "\n general: gamertag=" << opt(s.general.gamertag)
        << " carpeta=" << s.general.carpeta_clips << "\n warnings:";
    for (const auto& w : s.warnings) *os << "\n   " << w;
}

namespace {

using Codes = std::vector<std::uint32_t>;

struct ParseCase {
    const char* name;
    std::string ini;
    std::function<void(Settings&)> expect;  // applied to the defaults
    std::vector<std::string> warnings;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class ConfigParseTable : public ::testing::TestWithParam<ParseCase> {
  protected:
    void SetUp() override { paths_set_app_dir_for_tests("/opt/corvane"); }
    void TearDown() override { paths_set_app_dir_for_tests({}); }
};

TEST_P(ConfigParseTable, FieldsAndWarnings) {
    const ParseCase& c = GetParam();
    Settings got;
    config_parse(got, c.ini);
    Settings want;
    if (c.expect) c.expect(want);
    want.warnings = c.warnings;
    EXPECT_EQ(got, want) << "INI:\n" << c.ini;
}

auto no_change = [](Settings&) {};

const ParseCase kParseCases[] = {
    {"EmptyFile", "", no_change, {}},
    {"OnlyComments", "; comentario\n# otro\r\n   \n;[grabacion]\n", no_change, {}},
    {"UnknownSectionsAndKeys", "[otra]\nfps = 5\n[avanzado]\nfoo = bar\n", no_change, {}},

    // Profiles.
    {"ProfileSuperCalidadWithBlank",
     "[grabacion]\nperfil = Super Calidad\n",
     [](Settings& s) {
         s.grabacion.perfil = 0;
         s.avanzado.fps = 120;
         s.avanzado.bits_per_pixel = 0.2;
         s.avanzado.bitrate_ceiling_mbps = 150;
         s.avanzado.buffer_segundos = 60;
     },
     {}},
    {"ProfileCalidadUpperCase",
     "[GRABACION]\nPERFIL = CALIDAD\n",
     [](Settings& s) {
         s.grabacion.perfil = 1;
         s.avanzado.bits_per_pixel = 0.25;
         s.avanzado.bitrate_ceiling_mbps = 100;
     },
     {}},
    {"ProfileUnknownKeepsEquilibrado",
     "[grabacion]\nperfil = ultra\n",
     no_change,
     {"perfil 'ultra' no existe (usa calidad, equilibrado o ligero)"}},
    {"ProfileEmptyIsRefused",
     "[grabacion]\nperfil =\n",
     no_change,
     {"perfil '' no existe (usa calidad, equilibrado o ligero)"}},
    {"ProfileThenAvanzadoFps",
     "[grabacion]\nperfil = ligero\n[avanzado]\nfps = 50\n",
     [](Settings& s) {
         s.grabacion.perfil = 3;
         s.avanzado.fps = 50;
         s.avanzado.bits_per_pixel = 0.1;
         s.avanzado.bitrate_ceiling_mbps = 15;
         s.avanzado.buffer_segundos = 45;
     },
     {}},
    {"AvanzadoBeforeProfileStillWins",
     "[avanzado]\nfps = 50\nbuffer_segundos = 100\n[grabacion]\nperfil = ligero\n",
     [](Settings& s) {
         s.grabacion.perfil = 3;
         s.avanzado.fps = 50;
         s.avanzado.bits_per_pixel = 0.1;
         s.avanzado.bitrate_ceiling_mbps = 15;
         s.avanzado.buffer_segundos = 100;
     },
     {}},
    {"RefusedFpsKeepsProfileValue",
     "[avanzado]\nfps = 121\n[grabacion]\nperfil = ligero\n",
     [](Settings& s) {
         s.grabacion.perfil = 3;
         s.avanzado.fps = 30;
         s.avanzado.bits_per_pixel = 0.1;
         s.avanzado.bitrate_ceiling_mbps = 15;
         s.avanzado.buffer_segundos = 45;
     },
     {"fps '121' no válido (entre 15 y 120)"}},

    // [avanzado] numbers: inclusive ranges, "+", field width, empty skipped.
    {"FpsOutOfRangeAndSigns",
     "[avanzado]\nfps = 14\n",
     no_change,
     {"fps '14' no válido (entre 15 y 120)"}},
    {"FpsNegative", "[avanzado]\nfps = -60\n", no_change, {"fps '-60' no válido (entre 15 y 120)"}},
    {"FpsLowerBound", "[avanzado]\nfps = 15\n", [](Settings& s) { s.avanzado.fps = 15; }, {}},
    {"FpsUpperBound", "[avanzado]\nfps = 120\n", [](Settings& s) { s.avanzado.fps = 120; }, {}},
    {"FpsPlusSign", "[avanzado]\nfps = +60\n", no_change, {}},
    {"FpsPlusSignChanges", "[avanzado]\nfps = +30\n", [](Settings& s) { s.avanzado.fps = 30; }, {}},
    {"FpsLonePlusAndBlanks",
     "[avanzado]\nfps = +\nbuffer_segundos = 1 0\n",
     no_change,
     {"fps '+' no válido (entre 15 y 120)", "buffer_segundos '1 0' no válido (entre 10 y 300)"}},
    {"EmptyNumbersAreSkipped",
     "[avanzado]\ncodec =\nfps =\nbitrate_mbps =\nbuffer_segundos =\nbuffer_max_mb =\n"
     "[clips]\nsegundos_antes =\n[hdr]\nblanco_sdr =\n[avisos]\nposicion =\ntamano =\nduracion =\n"
     "[ia]\nfps =\n[grabacion]\nresolucion =\n[general]\ncarpeta_clips =\n",
     no_change,
     {}},
    {"BitrateZeroIsAutomatic", "[avanzado]\nbitrate_mbps = 0\n", no_change, {}},
    {"BitrateMaxWidth",
     "[avanzado]\nbitrate_mbps = 4294967295\n",
     [](Settings& s) { s.avanzado.bitrate_mbps = 4294967295u; },
     {}},
    {"BitrateBeyondWidth",
     "[avanzado]\nbitrate_mbps = 4294967296\n",
     no_change,
     {"bitrate_mbps '4294967296' no válido"}},
    {"BufferBounds",
     "[avanzado]\nbuffer_segundos = 300\nbuffer_max_mb = 100\n",
     [](Settings& s) {
         s.avanzado.buffer_segundos = 300;
         s.avanzado.buffer_max_mb = 100;
     },
     {}},
    {"BufferOutOfRange",
     "[avanzado]\nbuffer_segundos = 9\nbuffer_max_mb = 8193\n",
     no_change,
     {"buffer_segundos '9' no válido (entre 10 y 300)",
      "buffer_max_mb '8193' no válido (entre 100 y 8192)"}},
    {"CodecWords",
     "[avanzado]\ncodec = H.264\n",
     [](Settings& s) { s.avanzado.codec = VideoCodec::H264; },
     {}},
    {"CodecAv1",
     "[avanzado]\ncodec = AV1\n",
     [](Settings& s) { s.avanzado.codec = VideoCodec::Av1; },
     {}},
    {"CodecUnknown",
     "[avanzado]\ncodec = vp9\n",
     no_change,
     {"codec 'vp9' no válido (usa hevc, h264 o av1)"}},

    // Hotkeys through config_parse: text kept as written, codes replaced.
    {"GuardarLowerCaseWithBlanks",
     "[teclas]\nguardar = ctrl + shift + s\n",
     [](Settings& s) {
         s.teclas.guardar = {{0x11, 0x10, 0x53}, "ctrl + shift + s"};
     },
     {}},
    {"GuardarF25",
     "[teclas]\nguardar = Ctrl+F25\n",
     no_change,
     {"combinación 'Ctrl+F25' no reconocida, se usa Ctrl+W"}},
    {"GuardarWin",
     "[teclas]\nguardar = Win+W\n",
     no_change,
     {"combinación 'Win+W' no reconocida, se usa Ctrl+W"}},
    {"GuardarDoublePlus",
     "[teclas]\nguardar = Ctrl++W\n",
     no_change,
     {"combinación 'Ctrl++W' no reconocida, se usa Ctrl+W"}},
    {"GuardarEmpty",
     "[teclas]\nguardar =\n",
     no_change,
     {"combinación '' no reconocida, se usa Ctrl+W"}},
    {"GuardarNum5",
     "[teclas]\nguardar = Num5\n",
     [](Settings& s) {
         s.teclas.guardar = {{0x65}, "Num5"};
     },
     {}},
    {"GuardarFPlusDigit",
     "[teclas]\nguardar = F+5\n",
     [](Settings& s) {
         s.teclas.guardar = {{0x74}, "F+5"};
     },
     {}},
    {"GuardarLoneF",
     "[teclas]\nguardar = F\n",
     [](Settings& s) {
         s.teclas.guardar = {{0x46}, "F"};
     },
     {}},
    {"VisorAndUpdateKeys",
     "[visor]\ntecla = Alt+F10\n[actualizaciones]\ntecla = Ctrl+Shift+Inicio\n",
     [](Settings& s) {
         s.visor.tecla = {{0x12, 0x79}, "Alt+F10"};
         s.actualizaciones.tecla = {{0x11, 0x10, 0x24}, "Ctrl+Shift+Inicio"};
     },
     {}},
    {"VisorAndUpdateKeysRefused",
     "[actualizaciones]\ntecla = Ctrl+Ñ\n[visor]\ntecla = Super\n",
     no_change,
     {"tecla del visor 'Super' no reconocida, se usa Ctrl+Shift+E",
      "tecla de actualizaciones 'Ctrl+Ñ' no reconocida, se usa Ctrl+Shift+U"}},

    // [audio], [aviso]: bools and percentages never warn.
    {"VolumeClampedSilently",
     "[audio]\nvolumen_microfono = 500%\nvolumen_juego = alto\n",
     [](Settings& s) { s.audio.volumen_microfono = 4.0f; },
     {}},
    {"VolumeValues",
     "[audio]\nvolumen_juego = 150 %\n[aviso]\nvolumen = 250\n",
     [](Settings& s) {
         s.audio.volumen_juego = 1.5f;
         s.aviso.volumen = 1.0f;
     },
     {}},
    {"BoolUnknownWordKeeps",
     "[audio]\njuego = quizá\nmicrofono = SÍ\n",
     [](Settings& s) { s.audio.microfono = true; },
     {}},
    {"BoolFalseWords",
     "[audio]\njuego = 0\nmicrofono_en_video = OFF\nnivelar_microfono = No\npreguntar_al_iniciar = "
     "false\n"
     "[aviso]\nsonido = no\n[detector]\nactivo = no\n[hdr]\ncorregir = off\n[avisos]\nactivo = 0\n"
     "[actualizaciones]\nbuscar_al_abrir = FALSE\n",
     [](Settings& s) {
         s.audio.juego = false;
         s.audio.microfono_en_video = false;
         s.audio.nivelar_microfono = false;
         s.audio.preguntar_al_iniciar = false;
         s.aviso.sonido = false;
         s.detector.activo = false;
         s.hdr.corregir = false;
         s.avisos.activo = false;
         s.actualizaciones.buscar_al_abrir = false;
     },
     {}},
    {"DeviceTextsStoredAsRead",
     "[audio]\nsalida_id = {0.0.0.00000000}.{abc}\nsalida_nombre = Altavoces (Realtek)\n"
     "microfono_id = alsa_input.usb\nmicrofono_nombre = \"  Micro USB \"\n",
     [](Settings& s) {
         s.audio.salida_id = "{0.0.0.00000000}.{abc}";
         s.audio.salida_nombre = "Altavoces (Realtek)";
         s.audio.microfono_id = "alsa_input.usb";
         s.audio.microfono_nombre = "  Micro USB ";
     },
     {}},

    // [detector] older keys and [clips].
    {"GuardarBajasNo",
     "[detector]\nguardar_bajas = no\n",
     [](Settings& s) { s.clips.automaticos = AutoClipMode::Muertes; },
     {}},
    {"GuardarBajasAndMuertesNo",
     "[detector]\nguardar_bajas = no\nguardar_muertes = no\n",
     [](Settings& s) { s.clips.automaticos = AutoClipMode::Ninguno; },
     {}},
    {"GuardarMuertesNoAlone", "[detector]\nguardar_muertes = no\n", no_change, {}},
    {"AutomaticosWinsOverOlderKeys",
     "[clips]\nautomaticos = todo\n[detector]\nguardar_bajas = no\nguardar_muertes = no\n",
     no_change,
     {}},
    {"AutomaticosWords",
     "[clips]\nautomaticos = NO\n",
     [](Settings& s) { s.clips.automaticos = AutoClipMode::Ninguno; },
     {}},
    {"AutomaticosEmptyIsRefused",
     "[clips]\nautomaticos =\n",
     no_change,
     {"automaticos '' no válido (usa todo, muertes o ninguno)"}},
    {"ClipsNumbersBounds",
     "[clips]\nsegundos_antes = 60\nsegundos_despues = +0\nlimite_disco_gb = 100000\n",
     [](Settings& s) {
         s.clips.segundos_antes = 60;
         s.clips.segundos_despues = 0;
         s.clips.limite_disco_gb = 100000;
     },
     {}},
    {"ClipsNumbersRefused",
     "[clips]\nlimite_disco_gb = 100001\nsegundos_despues = 31\nsegundos_antes = -1\n",
     no_change,
     {"segundos_antes '-1' no válido (0 a 60)", "segundos_despues '31' no válido (0 a 30)",
      "limite_disco_gb '100001' no válido (0 a 100000)"}},

    // [hdr] blanco_sdr.
    {"BlancoSdrBounds",
     "[hdr]\nblanco_sdr = 80\n",
     [](Settings& s) { s.hdr.blanco_sdr = 80.0f; },
     {}},
    {"BlancoSdrUpper",
     "[hdr]\nblanco_sdr = 1000\n",
     [](Settings& s) { s.hdr.blanco_sdr = 1000.0f; },
     {}},
    {"BlancoSdrTooLow",
     "[hdr]\nblanco_sdr = 79\n",
     no_change,
     {"blanco_sdr '79' no válido (entre 80 y 1000 nits)"}},
    {"BlancoSdrTooHigh",
     "[hdr]\nblanco_sdr = 1001\n",
     no_change,
     {"blanco_sdr '1001' no válido (entre 80 y 1000 nits)"}},
    {"BlancoSdrAuto", "[hdr]\nblanco_sdr = Auto\n", no_change, {}},

    // [avisos].
    {"PosicionWithBlank",
     "[avisos]\nposicion = Arriba Derecha\n",
     [](Settings& s) { s.avisos.posicion = NoticePosition::ArribaDerecha; },
     {}},
    {"PosicionWithHyphen",
     "[avisos]\nposicion = arriba-derecha\n",
     [](Settings& s) { s.avisos.posicion = NoticePosition::ArribaDerecha; },
     {}},
    {"PosicionShortWord",
     "[avisos]\nposicion = ABAJO\n",
     [](Settings& s) { s.avisos.posicion = NoticePosition::AbajoCentro; },
     {}},
    {"PosicionUnknown",
     "[avisos]\nposicion = medio\n",
     no_change,
     {"posicion 'medio' no válida (arriba_centro, arriba_derecha, arriba_izquierda o "
      "abajo_centro)"}},
    {"PosicionAccentedKeyAlone",
     "[avisos]\nposición = izquierda\n",
     [](Settings& s) { s.avisos.posicion = NoticePosition::ArribaIzquierda; },
     {}},
    {"PosicionPlainKeyWins",
     "[avisos]\nposicion = abajo\nposición = derecha\n",
     [](Settings& s) { s.avisos.posicion = NoticePosition::AbajoCentro; },
     {}},
    {"TamanoPercent",
     "[avisos]\ntamano = 150 %\n",
     [](Settings& s) { s.avisos.tamano = 1.5f; },
     {}},
    {"TamanoAccentedKey",
     "[avisos]\ntamaño = 50\n",
     [](Settings& s) { s.avisos.tamano = 0.5f; },
     {}},
    {"TamanoBelowRange",
     "[avisos]\ntamano = 49.5\n",
     no_change,
     {"tamano de los avisos '49.5' no válido (50 a 200)"}},
    {"TamanoNotANumber",
     "[avisos]\ntamano = nan\n",
     no_change,
     {"tamano de los avisos 'nan' no válido (50 a 200)"}},
    {"DuracionDecimalComma",
     "[avisos]\nduracion = 2,5 s\n",
     [](Settings& s) { s.avisos.duracion = 2.5f; },
     {}},
    {"DuracionAccentedKey",
     "[avisos]\nduración = 10\n",
     [](Settings& s) { s.avisos.duracion = 10.0f; },
     {}},
    {"DuracionWord",
     "[avisos]\nduracion = 3 seg\n",
     no_change,
     {"duracion de los avisos '3 seg' no válida (1 a 10 segundos)"}},
    {"DuracionTooLong",
     "[avisos]\nduracion = 10.5\n",
     no_change,
     {"duracion de los avisos '10.5' no válida (1 a 10 segundos)"}},

    // [ia], [general].
    {"IaValues",
     "[ia]\nclave_gemini = AIzaXyz\nmodelo = gemini-pro\nfps = 10\n",
     [](Settings& s) {
         s.ia.clave_gemini = "AIzaXyz";
         s.ia.modelo = "gemini-pro";
         s.ia.fps = 10;
     },
     {}},
    {"IaFpsZero", "[ia]\nfps = 0\n", no_change, {"fps de la IA '0' no válido (1 a 10)"}},
    {"GamertagSet",
     "[general]\ngamertag = \"Lobo Gris\"\n",
     [](Settings& s) { s.general.gamertag = "Lobo Gris"; },
     {}},
    {"GamertagEmptyIsAbsent", "[general]\ngamertag =\n", no_change, {}},
    {"CarpetaAbsolute",
     "[general]\ncarpeta_clips = /srv/clips\n",
     [](Settings& s) { s.general.carpeta_clips = "/srv/clips"; },
     {}},
    {"CarpetaRelativeToProgramFolder",
     "[general]\ncarpeta_clips = mis clips/juego\n",
     [](Settings& s) { s.general.carpeta_clips = "/opt/corvane/mis clips/juego"; },
     {}},

    // [grabacion] resolucion.
    {"Resolucion1080p",
     "[grabacion]\nresolucion = 1080p\n",
     [](Settings& s) { s.grabacion.resolucion = 1080u; },
     {}},
    {"Resolucion2160",
     "[grabacion]\nresolucion = 2160\n",
     [](Settings& s) { s.grabacion.resolucion = 2160u; },
     {}},
    {"Resolucion480",
     "[grabacion]\nresolucion = 480P\n",
     [](Settings& s) { s.grabacion.resolucion = 480u; },
     {}},
    {"Resolucion4K",
     "[grabacion]\nresolucion = 4K\n",
     no_change,
     {"resolucion '4k' no válida (nativa, 1440, 1080, 900 o 720)"}},
    {"Resolucion479",
     "[grabacion]\nresolucion = 479\n",
     no_change,
     {"resolucion '479' no válida (nativa, 1440, 1080, 900 o 720)"}},
    {"ResolucionAuto", "[grabacion]\nresolucion = AUTO\n", no_change, {}},

    // The warnings follow the fixed key order, not the order of the file.
    {"WarningOrderIsKeyOrder",
     "[grabacion]\nresolucion = 8K\n"
     "[general]\ncarpeta_clips = /c\n"
     "[visor]\ntecla = Ctrl+Alt+X1\n"
     "[ia]\nfps = 11\n"
     "[avisos]\nduracion = 0\ntamano = 300\nposicion = fuera\n"
     "[hdr]\nblanco_sdr = 5\n"
     "[clips]\nlimite_disco_gb = x\nsegundos_antes = 99\nautomaticos = algunos\n"
     "[teclas]\nguardar = Ctrl+\n"
     "[avanzado]\nbuffer_max_mb = 1\nbuffer_segundos = 1\nbitrate_mbps = -1\nfps = 1\ncodec = "
     "mpeg\n"
     "[grabacion]\nperfil = maximo\n",
     [](Settings& s) { s.general.carpeta_clips = "/c"; },
     {"perfil 'maximo' no existe (usa calidad, equilibrado o ligero)",
      "codec 'mpeg' no válido (usa hevc, h264 o av1)", "fps '1' no válido (entre 15 y 120)",
      "bitrate_mbps '-1' no válido", "buffer_segundos '1' no válido (entre 10 y 300)",
      "buffer_max_mb '1' no válido (entre 100 y 8192)",
      "combinación 'Ctrl+' no reconocida, se usa Ctrl+W",
      "automaticos 'algunos' no válido (usa todo, muertes o ninguno)",
      "segundos_antes '99' no válido (0 a 60)", "limite_disco_gb 'x' no válido (0 a 100000)",
      "blanco_sdr '5' no válido (entre 80 y 1000 nits)",
      "posicion 'fuera' no válida (arriba_centro, arriba_derecha, arriba_izquierda o abajo_centro)",
      "tamano de los avisos '300' no válido (50 a 200)",
      "duracion de los avisos '0' no válida (1 a 10 segundos)",
      "fps de la IA '11' no válido (1 a 10)",
      "tecla del visor 'Ctrl+Alt+X1' no reconocida, se usa Ctrl+Shift+E",
      "resolucion '8k' no válida (nativa, 1440, 1080, 900 o 720)"}},
};

INSTANTIATE_TEST_SUITE_P(Edge, ConfigParseTable, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsRecord, DefaultTemplateParsesToExactlyTheDefaults) {
    Settings s;
    config_parse(s, config_default_template());
    EXPECT_EQ(s, Settings{});
}

TEST(SettingsLoad, CreatesTheFileThenReadsItBack) {
    test::TempAppDir app;
    Settings first = config_load();
    EXPECT_TRUE(std::filesystem::exists(app.ini()));
    EXPECT_EQ(first, settings_defaults());

    test::write_file(app.ini(),
                    "[grabacion]\r\nperfil = calidad\r\n[avisos]\r\nduracion = 99\r\n"
                    "[general]\r\ncarpeta_clips = clips\r\n[teclas]\r\nguardar = Alt+F9\r\n");
    Settings s = config_load();
    Settings want = settings_defaults();
    want.grabacion.perfil = 1;
    want.avanzado.bits_per_pixel = 0.25;
    want.avanzado.bitrate_ceiling_mbps = 100;
    want.general.carpeta_clips = app.dir() / "clips";
    want.teclas.guardar = {{0x12, 0x78}, "Alt+F9"};
    want.warnings = {"duracion de los avisos '99' no válida (1 a 10 segundos)"};
    EXPECT_EQ(s, want);
}

TEST(ConfigParseHotkey, Grammar) {
    struct Case {
        const char* text;
        std::optional<Codes> codes;
    };
    const Case cases[] = {
        {"Ctrl+W", Codes{0x11, 0x57}},
        {" alt + f10 ", Codes{0x12, 0x79}},
        {"F1", Codes{0x70}},
        {"F24", Codes{0x87}},
        {"f05", Codes{0x74}},
        {"Ctrl+F+5", Codes{0x11, 0x74}},
        {"F+5+W", Codes{0x74, 0x57}},
        {"Ctrl+F", Codes{0x11, 0x46}},
        {"F+10", std::nullopt},  // "F" then a two-digit piece: neither F10 nor a key
        {"F+0", std::nullopt},
        {"F0", std::nullopt},
        {"F25", std::nullopt},
        {"F100", std::nullopt},
        {"F+", std::nullopt},
        {"Num0", Codes{0x60}},
        {"num9", Codes{0x69}},
        {"Num10", std::nullopt},
        {"Ctrl+7", Codes{0x11, 0x37}},
        {"A+A", Codes{0x41, 0x41}},
        {"Ctrl", Codes{0x11}},
        {"mayús+Tab", Codes{0x10, 0x09}},
        {"Mayus+Espacio", Codes{0x10, 0x20}},
        {"Control+Space", Codes{0x11, 0x20}},
        {"Ins+Insert+Supr+Delete", Codes{0x2D, 0x2D, 0x2E, 0x2E}},
        {"Home+Inicio+End+Fin", Codes{0x24, 0x24, 0x23, 0x23}},
        {"RePag+PageUp+AvPag+PageDown", Codes{0x21, 0x21, 0x22, 0x22}},
        {"Pausa+Pause+Impr+PrintScreen", Codes{0x13, 0x13, 0x2C, 0x2C}},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"Ctrl+ +W", std::nullopt},
        {"Ctrl+Ñ", std::nullopt},
        {"Win+W", std::nullopt},
        {"Esc", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(config_parse_hotkey(c.text), c.codes) << "'" << c.text << "'";
}

TEST(ConfigParseValues, BoolWords) {
    for (const char* w : {"1", "si", "sí", "SÍ", "On", "yes", "TRUE"}) {
        EXPECT_TRUE(config_parse_bool(w, false)) << w;
    }
    for (const char* w : {"0", "no", "NO", "off", "False"}) {
        EXPECT_FALSE(config_parse_bool(w, true)) << w;
    }
    for (const char* w : {"", "quizá", "s", "2", " si"}) {
        EXPECT_TRUE(config_parse_bool(w, true)) << w;
        EXPECT_FALSE(config_parse_bool(w, false)) << w;
    }
}

TEST(ConfigParseValues, Percent) {
    struct Case {
        const char* text;
        std::uint32_t max;
        float want;
    };
    const Case cases[] = {
        {"500%", 400, 4.0f},
        {"50", 100, 0.5f},
        {"+80 %", 100, 0.8f},
        {"100%%", 100, 1.0f},
        {"0", 200, 0.0f},
        {"33", 100, 0.33f},
        {"4294967295", 100, 1.0f},
        // Not a number: the current value stays.
        {"", 100, 0.7f},
        {"alto", 100, 0.7f},
        {"-5", 100, 0.7f},
        {"4294967296", 100, 0.7f},
        {"5 0", 100, 0.7f},
        {"%", 100, 0.7f},
        {"1.5", 100, 0.7f},
    };
    for (const auto& c : cases)
        EXPECT_EQ(config_parse_percent(c.text, 0.7f, c.max), c.want) << c.text;
}

TEST(SettingsRecord, CloneIsIndependent) {
    Settings original;
    config_parse(original,
                 "[teclas]\nguardar = Alt+F9\n[ia]\nclave_gemini = k1\n[general]\ngamertag = Yo\n"
                 "carpeta_clips = /a/b\n[avisos]\ntamano = 7\n");
    ASSERT_EQ(original.warnings.size(), 1u);
    const Settings before = original;

    Settings copy = settings_clone(original);
    EXPECT_EQ(copy, original);
    copy.teclas.guardar.text += "+X";
    copy.teclas.guardar.codes.push_back(0x58);
    copy.ia.clave_gemini = "otra";
    *copy.general.gamertag += "!";
    copy.general.carpeta_clips /= "c";
    copy.audio.salida_nombre = "x";
    copy.warnings.push_back("más");
    copy.warnings.front().clear();

    EXPECT_EQ(original, before);
}

// Restores an environment variable when the test ends.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SettingsRecord, DefaultClipsFolderFollowsTheDesktopVideosFolder) {
    auto home = std::filesystem::temp_directory_path() /
                fmt::format("corvane_settings_home_{}", ::getpid());
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(home / ".config");
    ScopedEnv h("HOME", home.c_str());
    ScopedEnv x("XDG_CONFIG_HOME", nullptr);
    auto write_user_dirs = [&](const std::string& text) {
        std::ofstream(home / ".config" / "user-dirs.dirs", std::ios::binary) << text;
    };

    EXPECT_EQ(default_clips_folder(), home / "Videos" / "Corvane");  // no user-dirs.dirs

    write_user_dirs(
        "# comentario\nXDG_DESKTOP_DIR=\"$HOME/Escritorio\"\nXDG_VIDEOS_DIR=\"$HOME/Vídeos\"\n");
    EXPECT_EQ(default_clips_folder(), home / "Vídeos" / "Corvane");
    EXPECT_EQ(settings_defaults().general.carpeta_clips, home / "Vídeos" / "Corvane");

    write_user_dirs("XDG_VIDEOS_DIR=\"/media/datos/Pelis\"\n");
    EXPECT_EQ(default_clips_folder(), std::filesystem::path("/media/datos/Pelis/Corvane"));

    write_user_dirs("XDG_VIDEOS_DIR=\"$HOME\"\n");  // switched off
    EXPECT_EQ(default_clips_folder(), home / "Videos" / "Corvane");
    write_user_dirs("XDG_VIDEOS_DIR=\"relativo\"\n");
    EXPECT_EQ(default_clips_folder(), home / "Videos" / "Corvane");

    {
        auto other = home / "otra_config";
        std::filesystem::create_directories(other);
        std::ofstream(other / "user-dirs.dirs") << "XDG_VIDEOS_DIR=\"$HOME/Clips\"\n";
        ScopedEnv xdg("XDG_CONFIG_HOME", other.c_str());
        EXPECT_EQ(default_clips_folder(), home / "Clips" / "Corvane");
    }
    {
        ScopedEnv no_home("HOME", nullptr);
        paths_set_app_dir_for_tests("/opt/corvane");
        EXPECT_EQ(default_clips_folder(), std::filesystem::path("/opt/corvane/Corvane"));
        paths_set_app_dir_for_tests({});
        // The same for a program in another folder (the install step's view
        // of an installation it is not running from).
        EXPECT_EQ(settings_clips_folder(std::nullopt, "/srv/app"), std::filesystem::path("/srv/app/Corvane"));
        EXPECT_EQ(settings_clips_folder("", "/srv/app"), std::filesystem::path("/srv/app/Corvane"));
    }
    EXPECT_EQ(settings_clips_folder(std::nullopt, "/srv/app"), home / "Videos" / "Corvane");
    EXPECT_EQ(settings_clips_folder("Clips/x", "/srv/app"), std::filesystem::path("/srv/app/Clips/x"));
    EXPECT_EQ(settings_clips_folder("/media/c", "/srv/app"), std::filesystem::path("/media/c"));
    std::filesystem::remove_all(home);
}

}  // namespace
}  // namespace corvane
