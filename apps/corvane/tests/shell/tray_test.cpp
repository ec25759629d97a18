#include "shell/tray.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <thread>

#include "../base/base_test_util.h"
#include "base/config_file.h"
#include "base/log.h"
#include "base/save_request.h"
#include "base/settings.h"
#include "base/text.h"

namespace corvane {
namespace {

// A private program folder with its log and a default INI.
class TrayFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        log_reset_for_tests();
        log_open();
        (void)config_load();  // writes the INI from its template
        tray_balloons_clear_for_tests();
        tray_context_reset_for_tests();
        save_request_slot_reset_for_tests();
        game_status_store(std::nullopt);
        status_text_set("");
        DetectorEnabledFlag = true;
    }
    void TearDown() override {
        tray_balloons_clear_for_tests();
        tray_context_reset_for_tests();
        save_request_slot_reset_for_tests();
        log_reset_for_tests();
    }
    std::string log_added() {
        const std::string all = test::read_file(log_file_path());
        std::string out = all.substr(std::min(seen_, all.size()));
        seen_ = all.size();
        return out;
    }
    std::string ini_value(const char* section, const char* key) {
        return config_ini_get(config_parse_ini(test::read_file(app_.ini())), section, key)
            .value_or("<none>");
    }
    test::TempAppDir app_;
    std::size_t seen_ = 0;
};

// Units as the notification area counts them.
std::size_t utf16_units(const std::string& s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const std::size_t len = utf8_decode(s, i, cp);
        if (len == 0) return 0;
        n += cp > 0xFFFF ? 2 : 1;
        i += len;
    }
    return n;
}

TEST_F(TrayFixture, TooltipTextsAndCut) {
    EXPECT_EQ(tray_tooltip_text(), "Corvane v0.10.45\nJuego: ningún Call of Duty abierto");
    status_text_set("Grabando · búfer 30 s · 413 MB");
    game_status_store(GameStatus{"Warzone · Black Ops 7", "cod25.exe", true});
    EXPECT_EQ(tray_tooltip_text(),
              "Corvane v0.10.45\nJuego: Warzone · Black Ops 7 (cod25.exe)\n"
              "Grabando · búfer 30 s · 413 MB");

    // A long status line: cut to 127 units, never inside a character. The
    // prefix before the status is 58 units; an emoji (two units) straddling
    // the limit is left out whole.
    const std::string head = "Corvane v0.10.45\nJuego: Warzone · Black Ops 7 (cod25.exe)\n";
    ASSERT_EQ(utf16_units(head), 58u);
    status_text_set(std::string(68, 'x') + "😀" + "tail");
    const std::string cut = tray_tooltip_text();
    EXPECT_TRUE(utf8_valid(cut));
    EXPECT_EQ(cut, head + std::string(68, 'x'));
    status_text_set(std::string(67, 'x') + "😀" + "tail");
    EXPECT_EQ(tray_tooltip_text(), head + std::string(67, 'x') + "😀");
    EXPECT_EQ(utf16_units(tray_tooltip_text()), 127u);
}

TEST_F(TrayFixture, MenuRowsWithChecksAndKeys) {
    const TrayContext ctx{"Ctrl+W", "Ctrl+Shift+E", "Ctrl+Shift+U", "/tmp/clips"};
    auto rows = tray_menu_rows(ctx, std::nullopt, true);
    struct Want {
        int id;
        const char* text;
        const char* key;
        bool separator, enabled, bold, checked;
    };
    const std::vector<Want> want{
        {0, "Corvane v0.10.45", "", false, false, false, false},
        {0, "🎮 Ningún Call of Duty abierto", "", false, false, false, false},
        {0, "", "", true, false, false, false},
        {4, "Abrir Corvane (Clips)", "Ctrl+Shift+E", false, true, true, false},
        {1, "Ajustes…", "", false, true, false, false},
        {2, "Guardar clip ahora", "Ctrl+W", false, true, false, false},
        {12, "Detector de bajas y muertes", "", false, true, false, true},
        {0, "", "", true, false, false, false},
        {5, "Abrir carpeta de clips", "", false, true, false, false},
        {13, "Ayuda (manual)", "", false, true, false, false},
        {6, "Ver registro", "", false, true, false, false},
        {7, "Buscar actualizaciones", "Ctrl+Shift+U", false, true, false, false},
        {0, "", "", true, false, false, false},
        {9, "Reiniciar Corvane", "", false, true, false, false},
        {10, "Salir", "", false, true, false, false},
    };
    ASSERT_EQ(rows.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].id, want[i].id);
        EXPECT_EQ(rows[i].text, want[i].text);
        EXPECT_EQ(rows[i].key, want[i].key);
        EXPECT_EQ(rows[i].separator, want[i].separator);
        EXPECT_EQ(rows[i].enabled, want[i].enabled);
        EXPECT_EQ(rows[i].bold, want[i].bold);
        EXPECT_EQ(rows[i].checked, want[i].checked);
    }
    rows = tray_menu_rows(ctx, GameStatus{"Warzone · Black Ops 7", "cod25.exe", true}, false);
    EXPECT_EQ(rows[1].text, "🎮 Warzone · Black Ops 7");
    EXPECT_FALSE(rows[6].checked);
}

struct Recorded {
    std::vector<std::string> calls;
    TrayActions actions() {
        TrayActions a;
        a.open_window = [this](const std::string& tab) { calls.push_back("open " + tab); };
        a.updater = [this](const std::string& what) { calls.push_back("updater " + what); };
        a.restart = [this] { calls.push_back("restart"); };
        a.quit = [this] { calls.push_back("quit"); };
        a.open_folder = [this](const std::string& path) { calls.push_back("folder " + path); };
        return a;
    }
};

// One test, in order: the "before" cases need the context and the save slot
// unpublished, as the fixture leaves them.
TEST_F(TrayFixture, CommandsReachTheirActionsOnceTheContextIsPublished) {
    Recorded rec;
    const TrayActions actions = rec.actions();
    for (int id : {1, 2, 4, 5, 6, 7, 9, 10, 12, 13}) tray_command(id, actions);
    EXPECT_TRUE(rec.calls.empty());
    EXPECT_TRUE(DetectorEnabledFlag.load());

    // Saving before the slot exists: refused, nothing logged or stored.
    log_added();
    EXPECT_FALSE(tray_save_clip());
    EXPECT_EQ(log_added(), "");

    const auto clips = app_.dir() / "clips" / "nueva";
    tray_context_publish(TrayContext{"Ctrl+W", "Ctrl+Shift+E", "Ctrl+Shift+U", clips});
    ASSERT_NE(tray_context(), nullptr);
    for (int id : {1, 4, 5, 6, 7, 9, 10, 13, 3, 8, 11, 0, 99}) tray_command(id, actions);
    EXPECT_EQ(rec.calls,
              (std::vector<std::string>{"open ajustes", "open clips", "folder " + clips.string(),
                                        "open ayuda:registro", "open ayuda:actualizaciones",
                                        "updater buscar", "restart", "quit", "open ayuda"}));
    EXPECT_TRUE(std::filesystem::is_directory(clips));  // made before it is opened

    auto slot = save_request_slot_publish();
    tray_command(tray_ids::kSaveClip, actions);
    EXPECT_NE(log_added().find("[BANDEJA] Guardando clip...\r\n"), std::string::npos);
    auto request = save_request_take(*slot);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->kind, "manual");
    EXPECT_EQ(request->automatic, 0);

    // The detector item twice: off, then on again, each with its INI value,
    // its log line and its balloon.
    tray_command(tray_ids::kDetector, actions);
    EXPECT_FALSE(DetectorEnabledFlag.load());
    EXPECT_EQ(ini_value("detector", "activo"), "no");
    EXPECT_NE(log_added().find("[DETECTOR] Apagado (no lee la pantalla; la grabación y Ctrl+W "
                               "siguen funcionando).\r\n"),
              std::string::npos);
    tray_command(tray_ids::kDetector, actions);
    EXPECT_TRUE(DetectorEnabledFlag.load());
    EXPECT_EQ(ini_value("detector", "activo"), "si");
    EXPECT_NE(log_added().find("[DETECTOR] Encendido.\r\n"), std::string::npos);
    const auto balloons = tray_balloons_take();
    ASSERT_EQ(balloons.size(), 2u);
    EXPECT_EQ(balloons[0].title, "Detector apagado");
    EXPECT_EQ(balloons[0].body,
              "No lee la pantalla ni guarda clips automáticos. La grabación y Ctrl+W siguen "
              "funcionando.");
    EXPECT_EQ(balloons[1].title, "Detector encendido");
    EXPECT_EQ(balloons[1].body,
              "Vuelve a leer bajas, derribos y muertes cuando el juego está al frente.");
    EXPECT_EQ(balloons[1].warning, 0);
}

TEST_F(TrayFixture, SettingTheDetectorToItsValueDoesNothing) {
    const std::string ini_before = test::read_file(app_.ini());
    log_added();
    EXPECT_TRUE(detector_set_enabled(true));
    EXPECT_TRUE(DetectorEnabledFlag.load());
    EXPECT_EQ(log_added(), "");
    EXPECT_EQ(test::read_file(app_.ini()), ini_before);
    // A change returns the value it replaced.
    EXPECT_TRUE(detector_set_enabled(false));
    EXPECT_FALSE(detector_set_enabled(true));
}

// Two threads toggling at once (the tray and the web interface): whatever
// order they run in, the file ends up saying what the flag says, and posts
// racing with the tray's takes lose nothing beyond the cap.
TEST_F(TrayFixture, TrayConcurrencyTogglesAndPosts) {
    std::atomic<bool> go{false};
    auto toggler = [&](bool first) {
        while (!go.load()) {
        }
        for (int i = 0; i < 40; ++i) detector_set_enabled(((i % 2) == 0) != first);
    };
    std::vector<Balloon> taken;
    std::thread a(toggler, true), b(toggler, false);
    std::thread poster([&] {
        while (!go.load()) {
        }
        for (int i = 0; i < 200; ++i) tray_post(std::to_string(i), "", 0);
    });
    go = true;
    for (int i = 0; i < 200; ++i) {
        for (auto& bl : tray_balloons_take()) taken.push_back(std::move(bl));
    }
    a.join();
    b.join();
    poster.join();
    for (auto& bl : tray_balloons_take()) taken.push_back(std::move(bl));
    EXPECT_EQ(ini_value("detector", "activo"), DetectorEnabledFlag.load() ? "si" : "no");
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(taken.back().title, "199");
    for (std::size_t i = 1; i < taken.size(); ++i) {
        EXPECT_LT(std::stoi(taken[i - 1].title), std::stoi(taken[i].title));
    }
}

class FakeNotifier : public Notifier {
  public:
    std::string notify(const std::string& title, const std::string& body, bool warning) override {
        shown.push_back(Balloon{title, body, static_cast<std::uint8_t>(warning)});
        return fail;
    }
    std::vector<Balloon> shown;
    std::string fail;
};

TEST_F(TrayFixture, BalloonsInOrderCutAndCapped) {
    tray_post("uno", "a", 0);
    tray_post("dos", "b", 1);
    tray_post("tres", "c", 0);
    FakeNotifier n;
    tray_show_balloons(&n);
    ASSERT_EQ(n.shown.size(), 3u);
    EXPECT_EQ(n.shown[0].title, "uno");
    EXPECT_EQ(n.shown[1].title, "dos");
    EXPECT_EQ(n.shown[1].warning, 1);
    EXPECT_EQ(n.shown[2].title, "tres");
    EXPECT_TRUE(tray_balloons_take().empty());

    // Cuts at 63 and 255 units, on character boundaries, and invalid bytes
    // from the settings never reach the bus.
    n.shown.clear();
    tray_post(std::string(70, 'T'), std::string(300, 'b'), 0);
    tray_post(std::string(62, 'T') + "😀", std::string(254, 'b') + "é\xff", 0);
    tray_show_balloons(&n);
    ASSERT_EQ(n.shown.size(), 2u);
    EXPECT_EQ(n.shown[0].title, std::string(63, 'T'));
    EXPECT_EQ(n.shown[0].body, std::string(300, 'b').substr(0, 255));
    EXPECT_EQ(n.shown[1].title, std::string(62, 'T'));
    EXPECT_EQ(n.shown[1].body, std::string(254, 'b') + "é");

    // A tray that never takes them keeps only the newest 16.
    for (int i = 0; i < 20; ++i) tray_post(std::to_string(i), "", 0);
    const auto kept = tray_balloons_take();
    ASSERT_EQ(kept.size(), kPendingBalloonsMax);
    EXPECT_EQ(kept.front().title, "4");
    EXPECT_EQ(kept.back().title, "19");

    // A missing notification service is logged once, not per balloon.
    n.fail = "sin servicio";
    log_added();
    tray_post("a", "", 0);
    tray_post("b", "", 0);
    tray_show_balloons(&n);
    tray_post("c", "", 0);
    tray_show_balloons(&n);
    const std::string added = log_added();
    const std::string line = "[AVISO] Los avisos del escritorio no se muestran: sin servicio";
    ASSERT_NE(added.find(line), std::string::npos);
    EXPECT_EQ(added.find(line, added.find(line) + 1), std::string::npos);
}

// An in-memory icon: records what the tray loop asks of it.
class FakeIcon : public TrayIcon {
  public:
    TrayEvent wait(std::chrono::milliseconds) override { return TrayEvent::timeout; }
    void set_tooltip(const std::string& text) override { tooltips.push_back(text); }
    int run_menu(const std::vector<TrayMenuItem>& items) override {
        menus.push_back(items);
        return choice;
    }
    void remove() override { ++removed; }
    void wake() override {}
    void request_remove() override {}
    bool has_host() const override { return true; }
    std::vector<std::string> tooltips;
    std::vector<std::vector<TrayMenuItem>> menus;
    int choice = 0;
    int removed = 0;
};

TEST_F(TrayFixture, LoopEventsRefreshOpenAndEndAtQuit) {
    tray_context_publish(TrayContext{"Ctrl+W", "Ctrl+Shift+E", "Ctrl+Shift+U", "/tmp"});
    Recorded rec;
    const TrayActions actions = rec.actions();
    FakeIcon icon;
    FakeNotifier n;
    status_text_set("Grabando · búfer 1 s · 2 MB");
    EXPECT_TRUE(tray_handle_event(icon, TrayEvent::timeout, &n, actions));
    ASSERT_EQ(icon.tooltips.size(), 1u);
    EXPECT_EQ(icon.tooltips[0], tray_tooltip_text());

    EXPECT_TRUE(tray_handle_event(icon, TrayEvent::left_click, &n, actions));
    icon.choice = tray_ids::kSettings;
    EXPECT_TRUE(tray_handle_event(icon, TrayEvent::right_click, &n, actions));
    ASSERT_EQ(icon.menus.size(), 1u);
    EXPECT_EQ(icon.menus[0].size(), 15u);
    icon.choice = 0;  // dismissed
    EXPECT_TRUE(tray_handle_event(icon, TrayEvent::right_click, &n, actions));
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"open clips", "open ajustes"}));

    tray_post("hola", "mundo", 0);
    EXPECT_TRUE(tray_handle_event(icon, TrayEvent::woken, &n, actions));
    ASSERT_EQ(n.shown.size(), 1u);

    EXPECT_FALSE(tray_handle_event(icon, TrayEvent::lost, &n, actions));
    EXPECT_EQ(icon.removed, 0);
    quit_flag_publish()->set = true;
    EXPECT_FALSE(tray_handle_event(icon, TrayEvent::timeout, &n, actions));
    EXPECT_EQ(icon.removed, 1);
}

TEST(TrayOpenFolder, OnlyAFolderIsOpened) {
    test::TempDir dir;
    const auto file = dir.path() / "clip.mp4";
    test::write_file(file, "x");
    EXPECT_EQ(tray_open_folder(file.string()), "no es una carpeta: " + file.string());
    EXPECT_EQ(tray_open_folder((dir.path() / "falta").string()),
              "no es una carpeta: " + (dir.path() / "falta").string());
}

}  // namespace
}  // namespace corvane
