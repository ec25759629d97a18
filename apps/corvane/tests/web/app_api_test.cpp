// The status, settings, action, folder and manual routes, through the real
// server and against a private program folder.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "../base/base_test_util.h"
#include "../support/command.h"
#include "base/avisos.h"
#include "base/config_file.h"
#include "base/flags.h"
#include "base/hotkey_pause.h"
#include "base/log.h"
#include "base/settings.h"
#include "clips/library.h"
#include "updater/updater.h"
#include "web/actions.h"
#include "web/app_hooks.h"
#include "web/help.h"
#include "web/settings_save.h"
#include "web/status.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;
using Json = nlohmann::ordered_json;

constexpr const char* kJson = "application/json; charset=utf-8";

Reply post(const std::string& path, const std::string& body) {
    return parse_reply(exchange("POST " + path + " HTTP/1.1\r\nHost: " + host_header() + "\r\n" + key_header() +
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body)
                           .bytes);
}

Json json_of(const Reply& r) { return Json::parse(r.body); }

std::vector<std::string> keys_of(const Json& o) {
    std::vector<std::string> out;
    for (auto it = o.begin(); it != o.end(); ++it) out.push_back(it.key());
    return out;
}

// A program folder with a configuration whose clips folder is private too.
class AppApi : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(server_port(), 0);
        log_reset_for_tests();
        log_open();
        clips_ = app_.dir() / "clips";
        std::filesystem::create_directories(clips_);
        ASSERT_TRUE(config_write_key("general", "carpeta_clips", clips_.string()).ok());
        ui_set_app_hooks({});
        avisos_clear_for_tests();
        UiRestartPending.store(false);
    }
    void TearDown() override {
        ui_set_app_hooks({});
        log_reset_for_tests();
    }
    std::string ini() const { return test::read_file(app_.ini()); }
    std::string log() const { return test::read_file(app_.data() / "corvane.log"); }

    test::TempAppDir app_;
    std::filesystem::path clips_;
};

const std::vector<std::string> kStateKeys{
    "version", "fecha",  "valores",  "avisos",   "salidas",         "microfonos", "reiniciar",
    "avisos_corriendo", "carpeta", "ini",   "registro", "detector", "juego_al_frente", "previa",
    "juego",   "disco",  "primera_vez", "monitor", "codec"};

TEST_F(AppApi, StateKeepsItsKeyOrderWithNoClipsAndWithFiveThousand) {
    // A file that lacks [ia] modelo and holds a key the interface does not show.
    std::string text = ini();
    const auto at = text.find("modelo =");
    ASSERT_NE(at, std::string::npos);
    text.erase(at, text.find('\n', at) + 1 - at);
    text += "[ia]\r\nextra = 1\r\n";
    test::write_file(app_.ini(), text);

    for (int clips : {0, 5000}) {
        if (clips) {
            const auto folder = clips_ / "2026-01-05" / "Bajas";
            std::filesystem::create_directories(folder);
            for (int i = 0; i < clips; ++i) test::write_file(folder / ("CRVN_" + std::to_string(i) + ".mp4"), "x");
        }
        const Reply r = get("/api/estado", key_header());
        ASSERT_EQ(r.status, "200 OK");
        EXPECT_EQ(r.header("Content-Type"), kJson);
        const Json j = json_of(r);
        EXPECT_EQ(keys_of(j), kStateKeys);
        EXPECT_EQ(j["version"], "0.10.45");
        EXPECT_EQ(j["fecha"], "2026-10-25");
        std::vector<std::string> want;
        for (const auto& row : UiSettingsKeys) want.push_back(std::string(row.section) + "." + std::string(row.key));
        EXPECT_EQ(keys_of(j["valores"]), want);
        EXPECT_EQ(j["valores"]["ia.modelo"], "");
        EXPECT_EQ(j["valores"]["general.carpeta_clips"], clips_.string());
        EXPECT_EQ(j["valores"]["grabacion.perfil"], "equilibrado");
        EXPECT_EQ(j["juego"], nullptr);
        EXPECT_EQ(j["monitor"], Json::array({2560, 1440}));
        EXPECT_EQ(j["codec"], nullptr);  // no recorder runs
        EXPECT_EQ(j["carpeta"], clips_.string());
        EXPECT_EQ(j["ini"], app_.ini().string());
        EXPECT_EQ(j["registro"], (app_.data() / "corvane.log").string());
        EXPECT_TRUE(j["salidas"].is_array());
        EXPECT_EQ(keys_of(j["disco"]),
                  (std::vector<std::string>{"auto", "auto_n", "archivados", "archivados_n", "manuales", "manuales_n", "limite"}));
        EXPECT_EQ(j["disco"]["auto_n"], clips);
        EXPECT_EQ(j["disco"]["auto"], clips);
        EXPECT_EQ(j["disco"]["limite"], std::uint64_t{50} << 30);
    }
}

// Each folder of the tree last changed at least three seconds ago.
bool folders_settled(const std::filesystem::path& root) {
    const auto now = std::chrono::system_clock::now();
    std::vector<std::filesystem::path> dirs{root};
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_directory()) dirs.push_back(e.path());
    for (const auto& d : dirs) {
        struct stat st {};
        if (::lstat(d.c_str(), &st) != 0) return false;
        const auto changed = std::chrono::system_clock::from_time_t(std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec));
        if (now - changed < std::chrono::seconds(4)) return false;
    }
    return true;
}

TEST_F(AppApi, StateDiskUseFollowsEveryChangeToTheClips) {
    const auto bajas = clips_ / "2026-01-05" / "Bajas";
    const auto manual = clips_ / "2026-01-05" / "Manual";
    std::filesystem::create_directories(bajas);
    std::filesystem::create_directories(manual);
    test::write_file(bajas / "CRVN_1.mp4", "12345");
    test::write_file(bajas / "CRVN_1.json", R"({"clip":"CRVN_1.mp4","archivado":false})");
    test::write_file(manual / "CRVN_2.mp4", "12");
    auto disco = [] { return json_of(get("/api/estado", key_header()))["disco"].dump(); };
    auto expect = [](int auto_b, int auto_n, int arch_b, int arch_n, int man_b, int man_n) {
        return Json{{"auto", auto_b}, {"auto_n", auto_n}, {"archivados", arch_b}, {"archivados_n", arch_n},
                    {"manuales", man_b}, {"manuales_n", man_n}, {"limite", std::uint64_t{50} << 30}}
            .dump();
    };
    auto settle = [&] { ASSERT_TRUE(wait_for([&] { return folders_settled(clips_); }, 30'000)); };

    settle();
    EXPECT_EQ(disco(), expect(5, 1, 0, 0, 2, 1));
    EXPECT_EQ(disco(), expect(5, 1, 0, 0, 2, 1));
    // A new clip arrives the way the saver writes it: aside, then renamed.
    test::write_file(bajas / "CRVN_3.mp4.part", "1234567");
    std::filesystem::rename(bajas / "CRVN_3.mp4.part", bajas / "CRVN_3.mp4");
    test::write_file(bajas / "CRVN_3_mic.m4a", "123");
    EXPECT_EQ(disco(), expect(15, 2, 0, 0, 2, 1));

    settle();
    EXPECT_EQ(disco(), expect(15, 2, 0, 0, 2, 1));
    ASSERT_EQ(clips_set_archived(bajas / "CRVN_1.mp4", true), std::nullopt);
    EXPECT_EQ(disco(), expect(10, 1, 5, 1, 2, 1));

    settle();
    EXPECT_EQ(disco(), expect(10, 1, 5, 1, 2, 1));
    std::filesystem::remove(manual / "CRVN_2.mp4");
    EXPECT_EQ(disco(), expect(10, 1, 5, 1, 0, 0));
    ASSERT_TRUE(config_write_key("clips", "limite_disco_gb", "0").ok());
    EXPECT_EQ(json_of(get("/api/estado", key_header()))["disco"]["limite"], 0);
}

TEST_F(AppApi, StateShowsTheGameTheFlagsAndTheMonitorFromTheDesktopSide) {
    {
        UiAppHooks h;
        h.game_status = [] { return std::optional<UiGameStatus>(UiGameStatus{"Warzone", "cod.exe", true}); };
        h.notices_running = [] { return true; };
        h.warmup_lobby = [] { return true; };
        h.monitor = [] { return std::optional<UiMonitorSize>(UiMonitorSize{640, 360}); };
        h.video_codec = [] { return std::optional<UiVideoCodec>(UiVideoCodec{"hevc", "h264"}); };
        ui_set_app_hooks(std::move(h));
    }
    UiRestartPending.store(true);
    DetectorEnabledFlag.store(false);
    const Json j = json_of(get("/api/estado", key_header()));
    EXPECT_EQ(j["juego"].dump(), R"({"titulo":"Warzone","exe":"cod.exe","warzone":true})");
    EXPECT_EQ(j["avisos_corriendo"], true);
    EXPECT_EQ(j["previa"], true);
    EXPECT_EQ(j["reiniciar"], true);
    EXPECT_EQ(j["detector"], false);
    EXPECT_EQ(j["monitor"], Json::array({640, 360}));
    EXPECT_EQ(j["codec"].dump(), R"({"pedido":"hevc","usado":"h264"})");
    DetectorEnabledFlag.store(true);
}

struct SaveCase {
    const char* name;
    std::string body;
    std::string reply;       // exact reply
    std::string ini_line;    // a line the file must hold afterwards ("" = none)
};

TEST_F(AppApi, SaveRepliesTable) {
    const std::vector<SaveCase> cases{
        {"not JSON", "x", R"({"ok":false,"error":"sin cambios"})", ""},
        {"no list", R"({"cambios":{}})", R"({"ok":false,"error":"sin cambios"})", ""},
        {"no body", "", R"({"ok":false,"error":"sin cambios"})", ""},
        {"empty list", R"({"cambios":[]})", R"({"ok":true,"errores":[],"avisos":[],"reiniciar":false,"en_vivo":false})", ""},
        {"semicolon becomes a space", R"({"cambios":[{"s":"ia","k":"modelo","v":"a;b"}]})",
         R"({"ok":true,"errores":[],"avisos":[],"reiniciar":false,"en_vivo":true})", "modelo = a b\r\n"},
        {"trimmed, line feed dropped", R"({"cambios":[{"s":"general","k":"gamertag","v":"  Fox \n"}]})",
         R"({"ok":true,"errores":[],"avisos":[],"reiniciar":true,"en_vivo":false})", "gamertag = Fox\r\n"},
        {"names are case-sensitive", R"({"cambios":[{"s":"Detector","k":"activo","v":"no"}]})",
         R"({"ok":false,"errores":["opción desconocida Detector.activo"],"avisos":[],"reiniciar":true,"en_vivo":false})", ""},
        {"not in the table", R"({"cambios":[{"s":"audio","k":"preguntar_al_iniciar","v":"no"},{"k":1}]})",
         R"({"ok":false,"errores":["opción desconocida audio.preguntar_al_iniciar","opción desconocida ."],"avisos":[],"reiniciar":true,"en_vivo":false})", ""},
        {"a NUL is refused, the rest written",
         R"({"cambios":[{"s":"ia","k":"modelo","v":"x\u0000y"},{"s":"ia","k":"fps","v":"4"}]})",
         R"({"ok":false,"errores":["no se pudo guardar modelo: valor no válido para [ia] modelo: contiene un salto de línea, un carácter de control o texto que no es UTF-8"],"avisos":[],"reiniciar":true,"en_vivo":true})",
         "fps = 4\r\n"},
        {"bad value comes back as a warning", R"({"cambios":[{"s":"avanzado","k":"fps","v":"999"}]})", "", "fps = 999\r\n"},
    };
    for (const auto& c : cases) {
        const Reply r = post("/api/guardar", c.body);
        EXPECT_EQ(r.status, "200 OK") << c.name;
        EXPECT_EQ(r.header("Content-Type"), kJson) << c.name;
        if (!c.reply.empty()) {
            EXPECT_EQ(r.body, c.reply) << c.name;
        }
        if (!c.ini_line.empty()) {
            EXPECT_NE(ini().find(c.ini_line), std::string::npos) << c.name;
        }
    }
    const Json last = json_of(post("/api/guardar", R"({"cambios":[]})"));
    ASSERT_EQ(last["avisos"].size(), 1u);
    EXPECT_NE(last["avisos"][0].get<std::string>().find("999"), std::string::npos);
    EXPECT_EQ(ini().find("x y"), std::string::npos);
}

TEST_F(AppApi, SaveAppliesTheLiveSettingsAndHidesTheKeyInTheLog) {
    std::vector<bool> detector;
    std::vector<Settings::Avisos> notices;
    {
        UiAppHooks h;
        h.notice_settings = [&](const Settings::Avisos& a) { notices.push_back(a); };
        h.detector_set_enabled = [&](bool on) { detector.push_back(on); };
        ui_set_app_hooks(std::move(h));
    }
    // Size only: the notices follow, no sample card.
    Json r = json_of(post("/api/guardar", R"({"cambios":[{"s":"avisos","k":"tamano","v":"150"}]})"));
    EXPECT_EQ(r["en_vivo"], true);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_FLOAT_EQ(notices[0].tamano, 1.5f);
    EXPECT_FALSE(avisos_waiting());
    // Position: the sample card shows where it will appear.
    post("/api/guardar", R"({"cambios":[{"s":"avisos","k":"posicion","v":"abajo_centro"}]})");
    ASSERT_EQ(notices.size(), 2u);
    auto card = avisos_pop();
    ASSERT_TRUE(card);
    EXPECT_EQ(card->title, "RACHA x2");
    EXPECT_EQ(card->text, "Enemigo1, Enemigo2 · Clip guardado · 14 s (aviso de prueba)");
    EXPECT_EQ(card->kind, 1);
    // Notices off: no sample even for the switch itself.
    post("/api/guardar", R"({"cambios":[{"s":"avisos","k":"activo","v":"no"}]})");
    EXPECT_FALSE(avisos_waiting());
    // The detector follows what the file holds after the writes, even when
    // the posted change itself was refused.
    config_write_key("detector", "activo", "no");
    post("/api/guardar", R"({"cambios":[{"s":"detector","k":"activo","v":"x\u0000"}]})");
    ASSERT_EQ(detector.size(), 1u);
    EXPECT_FALSE(detector[0]);

    post("/api/guardar", R"({"cambios":[{"s":"ia","k":"clave_gemini","v":"AIzaSecreta"}]})");
    EXPECT_NE(ini().find("clave_gemini = AIzaSecreta"), std::string::npos);
    EXPECT_EQ(log().find("AIzaSecreta"), std::string::npos);
    EXPECT_NE(log().find("[CONFIGURACIÓN] [ia] clave_gemini = (oculta, 11 caracteres)"), std::string::npos);
    EXPECT_NE(log().find("[CONFIGURACIÓN] [avisos] tamano = 150"), std::string::npos);
}

// A hostile local page posts a gamertag that would clear the terminal, set
// its title, ring and fake a log line: it is refused, the INI keeps the old
// value, and neither the INI nor the log holds a control character.
TEST_F(AppApi, SaveRefusesControlCharactersAndTheLogStaysClean) {
    ASSERT_TRUE(config_write_key("general", "gamertag", "Fox").ok());
    const std::string hostile =
        R"(Fox\u001b[2J\u001b]0;pwned\u0007\u2028\n2026-10-25 09:05:03.042 [ERROR] falso\r\u0085x)";
    const Reply r = post("/api/guardar", R"({"cambios":[{"s":"general","k":"gamertag","v":")" + hostile +
                                             R"("},{"s":"ia","k":"modelo","v":"mñ"}]})");
    EXPECT_EQ(r.body,
              R"({"ok":false,"errores":["no se pudo guardar gamertag: valor no válido para [general] gamertag: contiene un salto de línea, un carácter de control o texto que no es UTF-8"],"avisos":[],"reiniciar":false,"en_vivo":true})");
    const std::string file = ini();
    EXPECT_NE(file.find("gamertag = Fox\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("modelo = mñ\r\n"), std::string::npos) << file;
    const std::string logged = log();
    EXPECT_NE(logged.find("[CONFIGURACIÓN] [ia] modelo = mñ\r\n"), std::string::npos) << logged;
    for (const std::string* text : {&file, &logged}) {
        for (unsigned char ch : *text) EXPECT_TRUE(ch >= 0x20 || ch == '\r' || ch == '\n') << int(ch);
        for (const char* raw : {"\u2028", "\u0085", "pwned", "[ERROR]"}) EXPECT_EQ(text->find(raw), std::string::npos) << raw;
    }
}

TEST_F(AppApi, FiftyParallelSavesKeepEveryKeyAndTheHandEditedLines) {
    auto save_all = [&](const std::string& round) {
        std::vector<std::thread> threads;
        std::atomic<int> ok{0};
        for (int i = 0; i < 50; ++i) {
            threads.emplace_back([&, i] {
                const auto& row = UiSettingsKeys[static_cast<std::size_t>(i) % UiSettingsKeys.size()];
                Json body;
                body["cambios"] = Json::array({Json{{"s", std::string(row.section)}, {"k", std::string(row.key)}, {"v", round + std::string(row.key)}}});
                if (json_of(post("/api/guardar", body.dump()))["ok"] == true) ++ok;
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(ok.load(), 50);
    };
    save_all("a");
    // A hand edit between two rounds: a comment, a key of its own, a new section.
    test::write_file(app_.ini(), ini() + "; mi nota\r\n[mio]\r\nclave = valor\r\n");
    save_all("b");
    const Json values = json_of(get("/api/estado", key_header()))["valores"];
    for (const auto& row : UiSettingsKeys) {
        EXPECT_EQ(values[fmt::format("{}.{}", row.section, row.key)], fmt::format("b{}", row.key))
            << row.section << "." << row.key;
    }
    EXPECT_NE(ini().find("; mi nota\r\n[mio]\r\nclave = valor\r\n"), std::string::npos);
}

TEST_F(AppApi, ActionRepliesTable) {
    {
        UiAppHooks h;
        h.save_clip = [] { return true; };
        ui_set_app_hooks(std::move(h));
    }
    struct Case {
        std::string body;
        std::string reply;
    };
    const std::vector<Case> cases{
        {"", R"({"ok":false})"},
        {"[]", R"({"ok":false})"},
        {R"({"a":1})", R"({"ok":false})"},
        {R"({"a":"nada"})", R"({"ok":false})"},
        {R"({"a":"Salir"})", R"({"ok":false})"},
        {R"({"a":"guardar_clip"})", R"({"ok":true})"},
        {R"({"a":"pausar_teclas"})", R"({"ok":true})"},
        {R"({"a":"reanudar_teclas"})", R"({"ok":true})"},
        {R"({"a":"detector_on"})", R"({"ok":true})"},
        {R"({"a":"actualizar"})", R"({"ok":true})"},
        {R"({"a":"probar_aviso"})", R"({"ok":false})"},
    };
    for (const auto& c : cases) {
        const Reply r = post("/api/accion", c.body);
        EXPECT_EQ(r.status, "200 OK") << c.body;
        EXPECT_EQ(r.body, c.reply) << c.body;
    }
    EXPECT_TRUE(UpdateCheckRequested.exchange(false));
}

TEST_F(AppApi, ActionsTheirEffectsAndWhatRunsAfterTheReply) {
    // Before start-up has made the save slot.
    EXPECT_FALSE(ui_run_action("guardar_clip").ok);
    EXPECT_FALSE(ui_run_action("").ok);

    for (const char* name : {"clips", "estadisticas"}) {
        auto r = ui_run_action(name);
        EXPECT_TRUE(r.ok);
        ASSERT_TRUE(r.deferred) << name;
        EXPECT_EQ(r.deferred->kind, UiDeferredAction::Kind::open_clips);
    }
    EXPECT_EQ(ui_run_action("salir").deferred->kind, UiDeferredAction::Kind::quit);
    EXPECT_EQ(ui_run_action("reiniciar").deferred->kind, UiDeferredAction::Kind::restart);
    EXPECT_FALSE(ui_run_action("ini").deferred);

    // The pause runs 20 s from the latest request; resuming ends it at once.
    ui_run_action("pausar_teclas");
    const std::uint64_t first = HotkeyPause.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ui_run_action("pausar_teclas");
    EXPECT_GT(HotkeyPause.load(), first);
    EXPECT_GE(HotkeyPause.load(), process_now_ms() + kHotkeyPauseMs - 1000);
    ui_run_action("reanudar_teclas");
    EXPECT_LE(HotkeyPause.load(), process_now_ms());

    std::vector<bool> detector;
    bool running = false;
    int notices = 0;
    {
        UiAppHooks h;
        h.notices_running = [&] { return running; };
        h.notice_settings = [&](const Settings::Avisos&) { ++notices; };
        h.detector_set_enabled = [&](bool on) { detector.push_back(on); };
        ui_set_app_hooks(std::move(h));
    }
    ui_run_action("detector_off");
    ui_run_action("detector_on");
    EXPECT_EQ(detector, (std::vector<bool>{false, true}));

    // The sample card is queued either way; "ok" says whether it will show.
    EXPECT_FALSE(ui_run_action("probar_aviso").ok);  // window not running
    running = true;
    EXPECT_TRUE(ui_run_action("probar_aviso").ok);
    config_write_key("avisos", "activo", "no");
    EXPECT_FALSE(ui_run_action("probar_aviso").ok);  // notices switched off
    EXPECT_EQ(notices, 3);
    int queued = 0;
    while (avisos_pop()) ++queued;
    EXPECT_EQ(queued, 3);
}

// Stand-ins for xdg-open and zenity on PATH that record how they were called.
class DesktopPrograms {
  public:
    explicit DesktopPrograms(const std::filesystem::path& dir) : dir_(dir) {
        std::filesystem::create_directories(dir_);
        old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        ::setenv("PATH", (dir_.string() + ":" + old_path_).c_str(), 1);
    }
    ~DesktopPrograms() { ::setenv("PATH", old_path_.c_str(), 1); }
    void program(const std::string& name, const std::string& body) {
        const auto p = dir_ / name;
        test::write_file(p, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + (dir_ / (name + ".calls")).string() + "\n" + body + "\n");
        std::filesystem::permissions(p, std::filesystem::perms::owner_all);
    }
    std::string calls(const std::string& name) const { return test::read_file(dir_ / (name + ".calls")); }

  private:
    std::filesystem::path dir_;
    std::string old_path_;
};

TEST_F(AppApi, OpeningOnlyHandsRealFilesAndFoldersToTheDesktop) {
    DesktopPrograms progs(app_.dir() / "bin");
    progs.program("xdg-open", "exit 0");
    // The openers run on their own, in any order.
    auto opened = [&] {
        std::vector<std::string> lines;
        std::istringstream in(progs.calls("xdg-open"));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    log_line("[PRUEBA] hay registro");

    EXPECT_TRUE(ui_run_action("ini").ok);
    EXPECT_TRUE(ui_run_action("registro").ok);
    std::filesystem::remove_all(clips_);
    EXPECT_TRUE(ui_run_action("carpeta").ok);  // made again, then opened
    EXPECT_TRUE(std::filesystem::is_directory(clips_));
    std::vector<std::string> want{app_.ini().string(), (app_.data() / "corvane.log").string(), clips_.string()};
    std::sort(want.begin(), want.end());
    ASSERT_TRUE(wait_for([&] { return opened().size() >= 3; }, 20'000));
    EXPECT_EQ(opened(), want);

    // A clips folder setting that names a launcher file is not handed over.
    const auto launcher = app_.dir() / "programa.desktop";
    test::write_file(launcher, "[Desktop Entry]\n");
    ASSERT_TRUE(config_write_key("general", "carpeta_clips", launcher.string()).ok());
    EXPECT_TRUE(ui_run_action("carpeta").ok);
    // Neither is a configuration or log path that is not a file.
    std::filesystem::remove(app_.data() / "corvane.log");
    std::filesystem::create_directory(app_.data() / "corvane.log");
    EXPECT_FALSE(ui_run_action("registro").ok);
    // Without any opener installed nothing starts.
    progs.program("xdg-open", "exit 0");
    ::setenv("PATH", (app_.dir() / "nada").c_str(), 1);
    EXPECT_FALSE(ui_run_action("ini").ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(opened(), want);
}

TEST_F(AppApi, FolderChooserAnswersTheChosenPathOrNull) {
    DesktopPrograms progs(app_.dir() / "bin");
    progs.program("zenity", "echo /home/jugador/Vídeos/Mis clips; exit 0");
    EXPECT_EQ(post("/api/elegir_carpeta", "").body, R"({"ruta":"/home/jugador/Vídeos/Mis clips"})");
    EXPECT_EQ(progs.calls("zenity"), "--file-selection --directory --title=Carpeta de clips de Corvane\n");
    progs.program("zenity", "exit 1");  // cancelled
    EXPECT_EQ(post("/api/elegir_carpeta", "{}").body, R"({"ruta":null})");
    progs.program("zenity", "echo relativa; exit 0");
    EXPECT_EQ(post("/api/elegir_carpeta", "").body, R"({"ruta":null})");
}

class Manual : public AppApi {
  protected:
    void write_manual(const std::string& lang, const std::string& text) {
        std::filesystem::create_directories(app_.dir() / "manual");
        test::write_file(app_.dir() / "manual" / ("manual_" + lang + ".md"), text);
    }
};

TEST_F(Manual, LanguageCommentsAndPlaceholders) {
    write_manual("es", "  <!-- oculto -->\r\n# Manual {{VERSION}}\r\n<!-- a\r\nsigue -->\r\n\tv{{VERSION}} {{DATE}}\r\n"
                       "{{CONTACT}} {{DONATE}}\r\n");
    write_manual("en", "English");
    struct Case {
        std::string query;
        std::string lang;
    };
    for (const auto& c : std::vector<Case>{{"", "es"}, {"?lang=es", "es"}, {"?lang=en", "en"}, {"?lang=EN", "es"},
                                           {"?lang=fr", "es"}, {"?lang=en%20", "es"}}) {
        const Reply r = get("/api/manual" + c.query, key_header());
        EXPECT_EQ(r.status, "200 OK");
        const Json j = json_of(r);
        EXPECT_EQ(keys_of(j), (std::vector<std::string>{"ok", "md", "lang"})) << c.query;
        EXPECT_EQ(j["lang"], c.lang) << c.query;
    }
    const Json es = ui_help_page("");
    EXPECT_EQ(es["md"], std::string("# Manual 0.10.45\nsigue -->\n\tv0.10.45 2026-10-25\n") +
                            std::string(kUiContact) + " " + std::string(kUiDonate));
    EXPECT_EQ(ui_help_page("en")["md"], "English");
}

TEST_F(Manual, MissingManualNamesTheSpanishFile) {
    const Json j = json_of(get("/api/manual?lang=fr", key_header()));
    const std::string path = (app_.dir() / "manual" / "manual_es.md").string();
    EXPECT_EQ(j.dump(), Json({{"ok", false}, {"error", "no se encontró " + path + " (No such file or directory)"}}).dump());
}

TEST(WebAppRoutes, RefusalsAndWrongMethods) {
    struct Case {
        std::string request;
        std::string status, body;
    };
    const std::string H = "Host: " + host_header() + "\r\n";
    const std::vector<Case> cases{
        {"GET /api/estado HTTP/1.1\r\n" + H + "\r\n", "403 Forbidden", "clave"},
        {"POST /api/guardar HTTP/1.1\r\n" + H + "Content-Length: 2\r\n\r\n{}", "403 Forbidden", "clave"},
        {"POST /api/accion HTTP/1.1\r\n" + H + key_header() + "Origin: http://localhost\r\n\r\n", "403 Forbidden", "origen"},
        {"POST /api/estado HTTP/1.1\r\n" + H + key_header() + "\r\n", "404 Not Found", "?"},
        {"GET /api/guardar HTTP/1.1\r\n" + H + key_header() + "\r\n", "404 Not Found", "?"},
        {"GET /api/accion HTTP/1.1\r\n" + H + key_header() + "\r\n", "404 Not Found", "?"},
        {"GET /api/elegir_carpeta HTTP/1.1\r\n" + H + key_header() + "\r\n", "404 Not Found", "?"},
        {"POST /api/manual HTTP/1.1\r\n" + H + key_header() + "\r\n", "404 Not Found", "?"},
        {"DELETE /api/estado HTTP/1.1\r\n" + H + key_header() + "\r\n", "404 Not Found", "?"},
    };
    for (const auto& c : cases) {
        const Reply r = parse_reply(exchange(c.request).bytes);
        EXPECT_EQ(r.status, c.status) << c.request;
        EXPECT_EQ(r.body, c.body) << c.request;
    }
}

}  // namespace
}  // namespace corvane
