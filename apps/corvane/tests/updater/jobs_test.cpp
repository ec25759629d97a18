// The updater's status, its jobs and the threads that start them, with the
// check and the install replaced by scripted outcomes.
#include "updater/jobs.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/tray.h"
#include "updater/updater.h"
#include "updater/web_api.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace corvane {
namespace {

using Kind = UpdateCheckOutcome::Kind;
using Json = nlohmann::ordered_json;

UpdateCheckOutcome newer(const std::string& version) {
    UpdateCheckOutcome o;
    o.kind = Kind::newer;
    o.info.version = version;
    o.info.url = "https://corvane.example/p.zip";
    o.info.sha256 = std::string(64, 'a');
    o.info.page = "https://corvane.example/corvane/";
    o.info.size = 1234;
    o.info.changes = {{version, "- uno"}};
    return o;
}
UpdateCheckOutcome up_to_date() {
    UpdateCheckOutcome o;
    o.kind = Kind::up_to_date;
    return o;
}
UpdateCheckOutcome failure(const std::string& text) {
    UpdateCheckOutcome o;
    o.kind = Kind::error;
    o.error = text;
    return o;
}

struct State {
    std::string state;
    std::string message;
    std::optional<UpdateInfo> info;
};
State read_status() {
    State s;
    updater_status_read([&](const char* st, const std::string& m, const std::optional<UpdateInfo>& i) {
        s.state = st;
        s.message = m;
        s.info = i;
    });
    return s;
}

class Updater : public ::testing::Test {
  protected:
    void SetUp() override {
        paths_set_app_dir_for_tests(app_.path());
        log_reset_for_tests();
        log_open();
        updater_reset_for_tests();
        tray_balloons_clear_for_tests();
        GameInFrontFlag.store(false);
        UpdaterHooks hooks;
        hooks.check = [this](const fs::path& folder) {
            ++checks_;
            EXPECT_EQ(folder, app_.path());
            if (outcomes_.empty()) return failure("sin guion");
            auto o = outcomes_.front();
            outcomes_.pop_front();
            return o;
        };
        hooks.install = [this](const fs::path& folder, const UpdateInfo& info) {
            EXPECT_EQ(folder, app_.path());
            // The job runs while the flag is held.
            EXPECT_TRUE(UpdaterBusy.load());
            installed_.push_back(info.version);
        };
        hooks.sleep = [this](std::chrono::milliseconds d) { slept_.push_back(d); };
        hooks.start_worker = [this](std::function<void()> body) -> std::string {
            if (!worker_error_.empty()) return worker_error_;
            body();
            return {};
        };
        updater_set_hooks_for_tests(hooks);
    }
    void TearDown() override {
        updater_reset_for_tests();
        GameInFrontFlag.store(false);
        log_reset_for_tests();
        paths_set_app_dir_for_tests({});
    }
    std::string log_text() { return test::read_file(log_file_path()); }
    void publish_context() { updater_context_publish({app_.path(), "Ctrl+Shift+U"}); }

    test::TempDir app_{"corvane-upd-jobs"};
    std::deque<UpdateCheckOutcome> outcomes_;
    int checks_ = 0;
    std::vector<std::string> installed_;
    std::vector<std::chrono::milliseconds> slept_;
    std::string worker_error_;
};

TEST_F(Updater, CheckJobMovesTheStatusAndDropsWhatTheServerNoLongerOffers) {
    EXPECT_EQ(read_status().state, "idle");

    outcomes_ = {newer("0.10.46")};
    updater_run_check(app_.path(), "Ctrl+Shift+U", false);
    State s = read_status();
    EXPECT_EQ(s.state, "disponible");
    EXPECT_EQ(s.message, "Hay una versión nueva: v0.10.46");
    ASSERT_TRUE(s.info);
    EXPECT_EQ(s.info->version, "0.10.46");
    // The banner's balloon comes even from a check without balloons.
    auto balloons = tray_balloons_take();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].title, "Corvane v0.10.46 disponible");

    // A failed check keeps the version found before, for "instalar".
    outcomes_ = {failure("error de red 7")};
    updater_run_check(app_.path(), "Ctrl+Shift+U", true);
    s = read_status();
    EXPECT_EQ(s.state, "error");
    EXPECT_EQ(s.message, "No se pudo buscar actualizaciones: error de red 7");
    ASSERT_TRUE(s.info);
    balloons = tray_balloons_take();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].title, "No se pudo buscar actualizaciones");
    EXPECT_EQ(balloons[0].body, "error de red 7");
    EXPECT_EQ(balloons[0].warning, 1);

    // Nothing newer any more: the old version is no longer offered, so it is
    // no longer installable.
    outcomes_ = {up_to_date()};
    updater_run_check(app_.path(), "Ctrl+Shift+U", false);
    s = read_status();
    EXPECT_EQ(s.state, "al_dia");
    EXPECT_EQ(s.message, "Ya tienes la versión más reciente (v0.10.45).");
    EXPECT_FALSE(s.info);
    EXPECT_TRUE(tray_balloons_take().empty());

    const std::string log = log_text();
    EXPECT_NE(log.find("[ACTUALIZACIÓN] Buscando actualizaciones…\r\n"), std::string::npos);
    EXPECT_NE(log.find("[ACTUALIZACIÓN] No se pudo buscar: error de red 7\r\n"), std::string::npos);
    EXPECT_NE(log.find("[ACTUALIZACIÓN] Ya tienes la versión más reciente (v0.10.45).\r\n"),
              std::string::npos);
}

TEST_F(Updater, BannerLines) {
    UpdateInfo info;
    info.version = "0.11.0";
    info.page = "https://corvane.example/notas";
    const std::string long_line = "- " + std::string(150, 'x') + "ñ";
    std::string cut = std::string(110, 'x');
    const std::string accented = "- " + std::string(109, 'y') + "ñzz";
    info.changes = {
        {"0.11.0",
         "Intro\r\n- **Nuevo** modo\r\n* estrella\r\n• punto\r\n\xe2\x80\x83- con espacio "
         "Unicode  \n-sin espacio\n- tres\n- cuatro\n- cinco"},
        {"0.10.47", long_line + "\n" + accented},
        {"0.10.46", ""},
        {"0.10.45.1", "- no se muestra"},
        {"0.10.45.2", "- tampoco"},
    };
    const std::vector<std::string> want{
        "\n" + std::string(62, '='),
        "  [ACTUALIZACIÓN] Hay una versión nueva: v0.11.0 (tienes la v0.10.45)",
        "  v0.11.0:",
        "    • Nuevo modo",
        "    • con espacio Unicode  ",
        "    • tres",
        "    • cuatro",
        "  v0.10.47:",
        "    • " + cut,
        "    • " + std::string(109, 'y') + "ñ",
        "  v0.10.46:",
        "  Para instalarla: Ctrl+Alt+F9 o el menú del ícono → Buscar actualizaciones (fuera de "
        "partida). Novedades: https://corvane.example/notas",
        std::string(62, '='),
    };
    EXPECT_EQ(updater_banner_lines(info, "Ctrl+Alt+F9"), want);

    updater_print_banner(info, "Ctrl+Alt+F9");
    const auto balloons = tray_balloons_take();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].title, "Corvane v0.11.0 disponible");
    EXPECT_EQ(balloons[0].body,
              "Para instalarla (fuera de partida): clic derecho en el ícono → Buscar "
              "actualizaciones, o Ctrl+Alt+F9.");
    EXPECT_EQ(balloons[0].warning, 0);
}

TEST_F(Updater, HotkeyAndRequestTable) {
    struct Case {
        const char* name;
        bool game;
        bool busy;
        bool known;     // a newer version is known
        bool pressed;   // the hotkey fired this pass
        bool requested; // UpdateCheckRequested was set
        int checks;
        int installs;
        bool busy_after;
        const char* balloon;  // title of the one balloon, or null
    };
    const Case cases[] = {
        {"nothing", false, false, false, false, false, 0, 0, false, nullptr},
        {"press checks", false, false, false, true, false, 1, 0, false, "Corvane"},
        {"request checks", false, false, false, false, true, 1, 0, false, "Corvane"},
        {"press and request act once", false, false, false, true, true, 1, 0, false, "Corvane"},
        {"known version installs", false, false, true, true, false, 0, 1, false, nullptr},
        {"in game: refused", true, false, true, true, false, 0, 0, false, "Actualización"},
        {"in game, request consumed", true, false, false, false, true, 0, 0, false,
         "Actualización"},
        {"in game leaves a running job's flag", true, true, false, true, false, 0, 0, true,
         "Actualización"},
        {"busy: silent", false, true, false, true, true, 0, 0, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        updater_reset_for_tests();
        SetUp();
        if (c.known) {
            outcomes_ = {newer("0.10.46")};
            updater_run_check(app_.path(), "Ctrl+Shift+U", false);
            tray_balloons_take();
            checks_ = 0;
        }
        checks_ = 0;
        installed_.clear();
        outcomes_ = {up_to_date()};
        GameInFrontFlag.store(c.game);
        UpdaterBusy.store(c.busy);
        UpdateCheckRequested.store(c.requested);
        UpdaterActionContext ctx;
        ctx.program_folder = app_.path();
        ctx.hotkey_text = "Ctrl+Shift+U";
        int polls = 0;
        ctx.hotkey_pressed = [&] {
            ++polls;
            return c.pressed;
        };
        updater_action_pass(ctx);
        EXPECT_EQ(polls, 1);
        EXPECT_FALSE(UpdateCheckRequested.load());
        EXPECT_EQ(checks_, c.checks);
        EXPECT_EQ(static_cast<int>(installed_.size()), c.installs);
        EXPECT_EQ(UpdaterBusy.load(), c.busy_after);
        const auto balloons = tray_balloons_take();
        if (c.balloon) {
            ASSERT_EQ(balloons.size(), 1u);
            EXPECT_EQ(balloons[0].title, c.balloon);
        } else {
            EXPECT_TRUE(balloons.empty());
        }
        if (c.game && (c.pressed || c.requested)) {
            EXPECT_EQ(balloons[0].body, "Estás en partida: termina primero.");
            EXPECT_NE(log_text().find("[ACTUALIZACIÓN] Estás jugando (el juego está al frente): "
                                      "termina primero (no se actualiza mientras juegas).\r\n"),
                      std::string::npos);
        }
        installed_.clear();
        TearDown();
    }
}

TEST_F(Updater, StartupCheckThread) {
    // A job already runs: no check, and the flag stays its.
    UpdaterBusy.store(true);
    updater_startup_check_thread(app_.path(), "Ctrl+Shift+U");
    EXPECT_EQ(slept_, std::vector<std::chrono::milliseconds>{8000ms});
    EXPECT_EQ(checks_, 0);
    EXPECT_TRUE(UpdaterBusy.load());
    UpdaterBusy.store(false);

    // A failure is one log line; the status stays as it was.
    const auto before = log_text().size();
    outcomes_ = {failure("HTTP Error 404")};
    updater_startup_check_thread(app_.path(), "Ctrl+Shift+U");
    EXPECT_EQ(read_status().state, "idle");
    const std::string added = log_text().substr(before);
    EXPECT_NE(added.find(" [ACTUALIZACIÓN] No se pudo buscar actualizaciones: HTTP Error 404\r\n"),
              std::string::npos)
        << added;
    EXPECT_EQ(added.find("\r\n"), added.size() - 2) << added;  // one line only
    EXPECT_TRUE(tray_balloons_take().empty());
    EXPECT_FALSE(UpdaterBusy.load());

    outcomes_ = {newer("0.10.46")};
    updater_startup_check_thread(app_.path(), "Ctrl+Shift+U");
    EXPECT_EQ(read_status().state, "disponible");
    EXPECT_EQ(tray_balloons_take().size(), 1u);

    // Nothing newer: shown quietly, and the old version is dropped.
    const auto quiet = log_text().size();
    outcomes_ = {up_to_date()};
    updater_startup_check_thread(app_.path(), "Ctrl+Shift+U");
    const State s = read_status();
    EXPECT_EQ(s.state, "al_dia");
    EXPECT_FALSE(s.info);
    EXPECT_EQ(log_text().size(), quiet);
    EXPECT_TRUE(tray_balloons_take().empty());
    EXPECT_FALSE(UpdaterBusy.load());
}

TEST(UpdaterCheckDue, DailyRuleOnAnInjectedClock) {
    using std::chrono::system_clock;
    const auto at = [](std::int64_t s) { return system_clock::time_point(std::chrono::seconds(s)); };
    struct Case {
        bool enabled;
        std::int64_t now;
        std::uint64_t last;
        bool due;
    } cases[] = {
        {true, 1767225600, 0, true},                   // never checked
        {false, 1767225600, 0, false},                 // switched off
        {true, 1767225600, 1767225600 - 86400, false}, // exactly a day
        {true, 1767225600, 1767225600 - 86401, true},
        {true, 1767225600, 1767225600 - 3600, false},
        {true, 1767225600, 1767225600 + 3600, false},  // recorded in the future
        {true, -5, 0, false},                          // the clock before 1970
        {true, 0, 0, false},
        {true, 86401, 0, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(updater_check_due(c.enabled, at(c.now), c.last), c.due)
            << c.enabled << " " << c.now << " " << c.last;
    }
}

TEST_F(Updater, StatusJsonBeforeAndAfter) {
    // Before start-up has set the context.
    EXPECT_EQ(updater_status_json().dump(),
              R"({"version":"0.10.45","fecha":"2026-10-25","fase":"idle","mensaje":"","ocupado":false,)"
              R"("nueva":null,"ultima_busqueda":0,"tecla":"","juego_al_frente":false})");

    publish_context();
    test::write_file(updater_data_dir(app_.path()) / "ultima_busqueda.txt", "1767225600");
    UpdateCheckOutcome found = newer("0.11.0");
    found.info.changes = {{"0.11.0", "- a"}, {"0.10.49", "b"}, {"0.10.48", "c"},
                          {"0.10.47", "d \"x\""}};
    outcomes_ = {found};
    updater_run_check(app_.path(), "Ctrl+Shift+U", false);
    GameInFrontFlag.store(true);
    EXPECT_EQ(updater_status_json().dump(),
              R"({"version":"0.10.45","fecha":"2026-10-25","fase":"disponible",)"
              R"("mensaje":"Hay una versión nueva: v0.11.0","ocupado":false,)"
              R"("nueva":{"version":"0.11.0","pagina":"https://corvane.example/corvane/",)"
              R"("tamano":1234,"cambios":[{"version":"0.11.0","md":"- a"},)"
              R"({"version":"0.10.49","md":"b"},{"version":"0.10.48","md":"c"},)"
              R"({"version":"0.10.47","md":"d \"x\""}]},)"
              R"("ultima_busqueda":1767225600,"tecla":"Ctrl+Shift+U","juego_al_frente":true})");
}

TEST_F(Updater, ActionRefusalTable) {
    struct Case {
        const char* action;
        bool context;
        bool busy;
        bool game;
        bool known;
        std::optional<std::string> reply;
        bool busy_after;
    };
    const Case cases[] = {
        {"buscar", false, false, false, false, "el actualizador todavía no arranca", false},
        {"instalar", false, true, false, true, "el actualizador todavía no arranca", true},
        {"instalar", true, true, true, true, "ya se está buscando o instalando una actualización",
         true},
        {"instalar", true, false, true, true,
         "estás jugando (el juego está al frente): termina primero", false},
        {"instalar", true, false, false, false, "primero busca actualizaciones", false},
        {"Buscar", true, false, false, false, "acción desconocida", false},
        {"buscar ", true, false, false, false, "acción desconocida", false},
        {"", true, false, false, false, "acción desconocida", false},
        // Searching is allowed in game; the worker releases the flag.
        {"buscar", true, false, true, false, std::nullopt, false},
        {"instalar", true, false, false, true, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.action) + (c.context ? " ctx" : "") + (c.busy ? " busy" : "") +
                     (c.game ? " game" : "") + (c.known ? " known" : ""));
        TearDown();
        SetUp();
        if (c.known) {
            outcomes_ = {newer("0.10.46")};
            updater_run_check(app_.path(), "Ctrl+Shift+U", false);
        }
        checks_ = 0;
        installed_.clear();
        outcomes_ = {up_to_date()};
        if (c.context) publish_context();
        UpdaterBusy.store(c.busy);
        GameInFrontFlag.store(c.game);
        EXPECT_EQ(updater_handle_action(c.action), c.reply);
        EXPECT_EQ(UpdaterBusy.load(), c.busy_after);
        EXPECT_EQ(updater_status_json()["ocupado"], c.busy_after);
        if (!c.reply) {
            EXPECT_EQ(checks_, std::string(c.action) == "buscar" ? 1 : 0);
            EXPECT_EQ(installed_.size(), std::string(c.action) == "instalar" ? 1u : 0u);
        } else {
            EXPECT_EQ(checks_, 0);
            EXPECT_TRUE(installed_.empty());
        }
    }
}

TEST_F(Updater, WorkerThatCannotStartReleasesTheFlag) {
    publish_context();
    worker_error_ = "Resource temporarily unavailable";
    EXPECT_EQ(updater_handle_action("buscar"),
              "no se pudo iniciar la actualización (Resource temporarily unavailable)");
    EXPECT_FALSE(UpdaterBusy.load());
    worker_error_.clear();
    EXPECT_EQ(updater_handle_action("buscar"), std::nullopt);
    EXPECT_EQ(checks_, 1);
}

TEST_F(Updater, WorkerOnARealThreadReleasesTheFlagWhenDone) {
    publish_context();
    // The real starter; the check stays scripted.
    UpdaterHooks hooks = updater_hooks();
    hooks.start_worker = {};
    updater_set_hooks_for_tests(hooks);
    outcomes_ = {newer("0.10.46")};
    ASSERT_EQ(updater_handle_action("buscar"), std::nullopt);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (UpdaterBusy.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(UpdaterBusy.load());
    EXPECT_EQ(read_status().state, "disponible");
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// Many callers at once (web connections, the tray, the hotkey thread): never
// two jobs at a time, and every start is answered with ok or the busy refusal.
TEST(UpdaterConcurrency, OneJobAtATimeWhateverTheCallers) {
    test::TempDir app("corvane-upd-conc");
    paths_set_app_dir_for_tests(app.path());
    log_reset_for_tests();
    log_open();
    updater_reset_for_tests();
    std::atomic<int> running{0}, most{0}, jobs{0};
    UpdaterHooks hooks;
    hooks.check = [&](const fs::path&) {
        const int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        ++jobs;
        std::this_thread::sleep_for(1ms);
        --running;
        return up_to_date();
    };
    updater_set_hooks_for_tests(hooks);
    updater_context_publish({app.path(), "Ctrl+Shift+U"});
    std::atomic<int> started{0}, refused{0}, other{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&, t] {
            UpdaterActionContext ctx;
            ctx.program_folder = app.path();
            ctx.hotkey_pressed = [] { return true; };
            for (int i = 0; i < 40; ++i) {
                if (t == 0) {
                    updater_action_pass(ctx);  // the hotkey thread, inline
                    continue;
                }
                if (t == 1) {
                    (void)updater_status_json();
                    continue;
                }
                auto r = updater_handle_action("buscar");
                if (!r) ++started;
                else if (*r == "ya se está buscando o instalando una actualización") ++refused;
                else ++other;
            }
        });
    }
    for (auto& c : callers) c.join();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (UpdaterBusy.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(UpdaterBusy.load());
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(started.load() + refused.load(), 4 * 40);
    // Every accepted start ran its check; the hotkey's own checks come on top.
    EXPECT_GE(jobs.load(), started.load());
    EXPECT_GE(jobs.load(), 1);
    updater_reset_for_tests();
    log_reset_for_tests();
    paths_set_app_dir_for_tests({});
}

}  // namespace
}  // namespace corvane
