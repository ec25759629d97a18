#include "shell/startup.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <future>

#include "../base/base_test_util.h"
#include "base/log.h"

namespace corvane {
namespace {

Settings banner_settings() {
    Settings s = settings_defaults();
    s.general.carpeta_clips = "/home/ana/Videos/Corvane";
    return s;
}

BannerFacts banner_facts() {
    BannerFacts f;
    f.width = 1920;
    f.height = 1080;
    f.codec = 0;
    f.encoder_name = "libx264";
    f.bit_rate = 12'000'000;
    f.config_path = "/opt/corvane/data/corvane.ini";
    f.log_path = "/opt/corvane/data/corvane.log";
    return f;
}

TEST(StartupBanner, DefaultsLineByLine) {
    const auto lines = startup_banner(banner_settings(), banner_facts());
    const std::string rule(62, '=');
    const std::vector<std::string> expected{
        rule,
        "  Corvane v0.10.45 (2026-10-25)  -  Motor de captura",
        "  Desarrollado por el equipo de Corvane",
        rule,
        "  Perfil     : Equilibrado",
        "  Video      : 1920x1080 @ 60 fps  (H.264)",
        "  Codificador: libx264",
        "  Bitrate    : 12 Mbps promedio, picos hasta 18  (~90 MB por minuto)",
        "  Búfer      : últimos 60 segundos (en RAM, tope 1024 MB)",
        "  Audio juego: predeterminado del sistema (100%)",
        "  Micrófono  : no",
        "  Guardar    : Ctrl+W  (con aviso sonoro)",
        "  Avisos     : en pantalla al guardar cada clip (salen en la grabación; el detector "
        "no lee su zona)",
        "  Clips      : Ctrl+Shift+E (abre Corvane en Clips)",
        "  Actualizar : Ctrl+Shift+U (buscar / instalar, fuera de partida)",
        "  Carpeta    : /home/ana/Videos/Corvane",
        "  Ajustes    : /opt/corvane/data/corvane.ini",
        "  Registro   : /opt/corvane/data/corvane.log",
        rule,
    };
    EXPECT_EQ(lines, expected);  // an SDR monitor: no HDR line
}

TEST(StartupBanner, VariableLines) {
    struct Case {
        const char* what;
        std::function<void(Settings&, BannerFacts&)> change;
        std::size_t line;
        std::string text;
    };
    const std::vector<Case> cases{
        {"profile 0", [](Settings& s, BannerFacts&) { s.grabacion.perfil = 0; }, 4,
         "  Perfil     : Super calidad (120 fps)"},
        {"profile 3", [](Settings& s, BannerFacts&) { s.grabacion.perfil = 3; }, 4,
         "  Perfil     : Ligero"},
        {"hevc", [](Settings&, BannerFacts& f) { f.codec = 1; }, 5,
         "  Video      : 1920x1080 @ 60 fps  (HEVC (H.265))"},
        {"av1 at 30 fps",
         [](Settings& s, BannerFacts& f) {
             f.codec = 2;
             s.avanzado.fps = 30;
         },
         5, "  Video      : 1920x1080 @ 30 fps  (AV1 (experimental))"},
        {"rate rounds", [](Settings&, BannerFacts& f) { f.bit_rate = 7'400'000; }, 7,
         "  Bitrate    : 7 Mbps promedio, picos hasta 11  (~56 MB por minuto)"},
        {"game sound off", [](Settings& s, BannerFacts&) { s.audio.juego = false; }, 9,
         "  Audio juego: no"},
        {"named output",
         [](Settings& s, BannerFacts&) {
             s.audio.salida_nombre = "Auriculares";
             s.audio.volumen_juego = 1.5f;
         },
         9, "  Audio juego: Auriculares (150%)"},
        {"mic apart, levelled",
         [](Settings& s, BannerFacts&) {
             s.audio.microfono = true;
             s.audio.microfono_en_video = false;
         },
         10,
         "  Micrófono  : predeterminado del sistema (100%) · aparte (X_mic.m4a) · voz nivelada"},
        {"mic in video, not levelled",
         [](Settings& s, BannerFacts&) {
             s.audio.microfono = true;
             s.audio.microfono_nombre = "USB";
             s.audio.volumen_microfono = 2.0f;
             s.audio.nivelar_microfono = false;
         },
         10, "  Micrófono  : USB (200%) · dentro del video"},
        {"silent save", [](Settings& s, BannerFacts&) { s.aviso.sonido = false; }, 11,
         "  Guardar    : Ctrl+W  (sin aviso sonoro)"},
        {"notices off", [](Settings& s, BannerFacts&) { s.avisos.activo = false; }, 12,
         "  Avisos     : apagados"},
        {"buffer",
         [](Settings& s, BannerFacts&) {
             s.avanzado.buffer_segundos = 45;
             s.avanzado.buffer_max_mb = 300;
         },
         8, "  Búfer      : últimos 45 segundos (en RAM, tope 300 MB)"},
    };
    for (const auto& c : cases) {
        Settings s = banner_settings();
        BannerFacts f = banner_facts();
        c.change(s, f);
        const auto lines = startup_banner(s, f);
        ASSERT_EQ(lines.size(), 19u) << c.what;
        EXPECT_EQ(lines[c.line], c.text) << c.what;
    }
}

TEST(StartupBanner, HdrLineComesLast) {
    BannerFacts f = banner_facts();
    f.hdr_line =
        "  HDR        : monitor en HDR, corrección APAGADA (los clips pueden verse lavados)";
    const auto lines = startup_banner(banner_settings(), f);
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines[18], std::string(62, '='));
    EXPECT_EQ(lines[19], f.hdr_line);
}

TEST(UpdateReport, ResultTable) {
    struct Case {
        std::string text;
        bool warning;
        std::string log;
        std::string balloon;
    };
    const std::vector<Case> cases{
        {R"({"ok":true,"version":"0.10.46"})", false,
         "[ACTUALIZACIÓN] Corvane se actualizó a la v0.10.46.", "Ya tienes la v0.10.46."},
        {R"({"ok":true})", false, "[ACTUALIZACIÓN] Corvane se actualizó a la v?.",
         "Ya tienes la v?."},
        {R"({"ok":true,"version":46})", false, "[ACTUALIZACIÓN] Corvane se actualizó a la v?.",
         "Ya tienes la v?."},
        {R"({"ok":false,"version":"0.10.46","error":"firma inválida"})", true,
         "[ACTUALIZACIÓN] No se pudo instalar la v0.10.46: firma inválida. Sigues con la versión "
         "anterior.",
         "v0.10.46: firma inválida. Sigues con la versión anterior."},
        {R"({"ok":false,"version":"0.10.46"})", true,
         "[ACTUALIZACIÓN] No se pudo instalar la v0.10.46: error desconocido. Sigues con la "
         "versión anterior.",
         "v0.10.46: error desconocido. Sigues con la versión anterior."},
        // "ok" must be the boolean true.
        {R"({"ok":"true","version":"1"})", true,
         "[ACTUALIZACIÓN] No se pudo instalar la v1: error desconocido. Sigues con la versión "
         "anterior.",
         "v1: error desconocido. Sigues con la versión anterior."},
        {"esto no es json", true,
         "[ACTUALIZACIÓN] No se pudo instalar la v?: error desconocido. Sigues con la versión "
         "anterior.",
         "v?: error desconocido. Sigues con la versión anterior."},
        {R"([{"ok":true,"version":"1"}])", true,
         "[ACTUALIZACIÓN] No se pudo instalar la v?: error desconocido. Sigues con la versión "
         "anterior.",
         "v?: error desconocido. Sigues con la versión anterior."},
        {"", true,
         "[ACTUALIZACIÓN] No se pudo instalar la v?: error desconocido. Sigues con la versión "
         "anterior.",
         "v?: error desconocido. Sigues con la versión anterior."},
    };
    for (const auto& c : cases) {
        const UpdateReport r = update_result_report(c.text);
        EXPECT_EQ(r.warning, c.warning) << c.text;
        EXPECT_EQ(r.log_line, c.log) << c.text;
        EXPECT_EQ(r.balloon_text, c.balloon) << c.text;
        EXPECT_EQ(r.balloon_title, c.warning ? "No se pudo actualizar" : "Corvane actualizado");
    }
}

TEST(UpdateReport, FileIsTakenOnceAndDeleted) {
    test::TempAppDir app;
    const auto dir = app.dir();
    EXPECT_FALSE(update_result_take(dir).has_value());  // missing: not reported
    test::write_file(dir / "resultado.json", R"({"ok":true,"version":"2"})");
    auto text = update_result_take(dir);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, R"({"ok":true,"version":"2"})");
    EXPECT_FALSE(std::filesystem::exists(dir / "resultado.json"));
    EXPECT_FALSE(update_result_take(dir).has_value());
    // A file far larger than any result counts as a failed install.
    test::write_file(dir / "resultado.json",
                    R"({"ok":true,"version":"2","x":")" + std::string(70000, 'a') + "\"}");
    text = update_result_take(dir);
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(update_result_report(*text).warning);
    EXPECT_FALSE(std::filesystem::exists(dir / "resultado.json"));
    // A folder where the file should be cannot be read: not reported.
    std::filesystem::create_directory(dir / "resultado.json");
    EXPECT_FALSE(update_result_take(dir).has_value());
}

TEST(StartupBalloons, ConfigWarningsAndFirstRun) {
    EXPECT_FALSE(config_warnings_balloon({}).has_value());
    const auto one = config_warnings_balloon({"[avisos] posicion: «lejos» no vale"});
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->title, "Revisa tu configuración");
    EXPECT_EQ(one->body, "[avisos] posicion: «lejos» no vale");
    EXPECT_EQ(one->warning, 1);
    EXPECT_EQ(config_warnings_balloon({"a", "b", "c"})->body, "a · b · c");
    const Balloon greet = first_run_balloon("Ctrl+Alt+G");
    EXPECT_EQ(greet.title, "Corvane está grabando");
    EXPECT_EQ(greet.body,
              "Vive aquí, junto al reloj. Ctrl+Alt+G guarda un clip. Clic en el ícono para abrir "
              "Corvane.");
    EXPECT_EQ(greet.warning, 0);
}

TEST(ThreadTable, EveryRowFailsAsItsPolicySays) {
    test::TempAppDir app;
    log_reset_for_tests();
    log_open();
    using namespace thread_rows;
    struct Case {
        const ThreadRow& row;
        const char* fatal;    // the fatal message, or null
        const char* warning;  // the logged warning, or null
    };
    const std::vector<Case> cases{
        {kCleanup, nullptr,
         "[AVISO] No se pudo iniciar la limpieza de la actualización anterior: sin recursos"},
        {kConfig, nullptr, nullptr},
        {kTray, nullptr, nullptr},
        {kAudioGame, "no se pudo crear el hilo de audio: sin recursos", nullptr},
        {kAudioMic, "no se pudo crear el hilo de audio: sin recursos", nullptr},
        {kClock, "no se pudo crear el hilo del reloj: sin recursos", nullptr},
        {kSaveKey, "no se pudo crear el hilo de la tecla: sin recursos", nullptr},
        {kUpdateCheck, "failed to spawn thread: sin recursos", nullptr},
        {kUpdateKey, "no se pudo crear el hilo del actualizador: sin recursos", nullptr},
        {kViewerKey, "no se pudo crear el hilo del visor: sin recursos", nullptr},
        {kGameWatch, nullptr, nullptr},
        {kNotices, "no se pudo crear el hilo de los avisos: sin recursos", nullptr},
        {kSaver, "no se pudo crear el hilo guardador: sin recursos", nullptr},
        {kStatus, "no se pudo crear el hilo de estado: sin recursos", nullptr},
    };
    for (const auto& c : cases) {
        std::vector<std::string> fatals;
        std::string spawned_name;
        bool body_ran = false;
        const auto before = test::read_file(log_file_path());
        const bool started = thread_row_start(
            c.row, [&] { body_ran = true; },
            [&](std::string name, std::function<void()>) {
                spawned_name = std::move(name);
                return std::string("sin recursos");
            },
            [&](std::string_view m) { fatals.emplace_back(m); });
        EXPECT_FALSE(started);
        EXPECT_FALSE(body_ran);
        EXPECT_EQ(spawned_name, c.row.name);
        const auto added = test::read_file(log_file_path()).substr(before.size());
        if (c.fatal) {
            EXPECT_EQ(fatals, std::vector<std::string>{c.fatal}) << c.row.name;
        } else {
            EXPECT_TRUE(fatals.empty()) << c.row.name;
        }
        if (c.warning) {
            EXPECT_NE(added.find(c.warning), std::string::npos) << added;
        } else {
            EXPECT_EQ(added, "") << c.row.name;
        }
    }
    log_reset_for_tests();
}

TEST(ThreadTable, StartedRowRunsItsBodyOnANamedThread) {
    std::promise<std::string> name;
    auto got = name.get_future();
    ASSERT_TRUE(thread_row_start(thread_rows::kGameWatch, [&] {
        char buf[32] = {};
        pthread_getname_np(pthread_self(), buf, sizeof buf);
        name.set_value(buf);
    }));
    ASSERT_EQ(got.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(got.get(), "crvn-juego");
}

}  // namespace
}  // namespace corvane
