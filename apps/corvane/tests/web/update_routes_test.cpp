// "/api/actualizacion" through the real server: the status object and the
// action replies, with the update check itself scripted.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../base/base_test_util.h"
#include "base/flags.h"
#include "base/log.h"
#include "updater/jobs.h"
#include "updater/updater.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;
using Json = nlohmann::ordered_json;

Reply post_update(const std::string& body) {
    return parse_reply(exchange("POST /api/actualizacion HTTP/1.1\r\nHost: " + host_header() +
                                "\r\n" + key_header() + "Content-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body)
                           .bytes);
}

class UpdateRoutes : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(server_port(), 0);
        log_reset_for_tests();
        log_open();
        updater_reset_for_tests();
        GameInFrontFlag.store(false);
        UpdaterHooks hooks;
        hooks.check = [this](const std::filesystem::path&) {
            ++checks_;
            UpdateCheckOutcome o;
            o.kind = UpdateCheckOutcome::Kind::newer;
            o.info.version = "0.10.46";
            o.info.page = "https://corvane.example/corvane/";
            o.info.size = 7;
            o.info.changes = {{"0.10.46", "- a\n- b"}};
            return o;
        };
        hooks.install = [](const std::filesystem::path&, const UpdateInfo&) {};
        updater_set_hooks_for_tests(hooks);
    }
    void TearDown() override {
        updater_reset_for_tests();
        GameInFrontFlag.store(false);
        log_reset_for_tests();
    }

    test::TempAppDir app_;
    std::atomic<int> checks_{0};
};

TEST_F(UpdateRoutes, StatusAndActionRepliesTable) {
    // Before start-up has set the context every action is refused.
    Reply r = post_update(R"({"a":"buscar"})");
    EXPECT_EQ(r.status, "200 OK");
    EXPECT_EQ(r.body, R"({"ok":false,"error":"el actualizador todavía no arranca"})");
    r = get("/api/actualizacion", key_header());
    EXPECT_EQ(r.status, "200 OK");
    EXPECT_EQ(r.header("content-type"), "application/json; charset=utf-8");
    EXPECT_EQ(r.body,
              R"({"version":"0.10.45","fecha":"2026-10-25","fase":"idle","mensaje":"","ocupado":false,)"
              R"("nueva":null,"ultima_busqueda":0,"tecla":"","juego_al_frente":false})");

    updater_context_publish({app_.dir(), "Ctrl+Shift+U"});
    test::write_file(updater_data_dir(app_.dir()) / "ultima_busqueda.txt", "1767225600\n");
    struct Case {
        std::string body;
        std::string reply;
    } cases[] = {
        {R"({"a":"Buscar"})", R"({"ok":false,"error":"acción desconocida"})"},
        {R"({"a":"buscar "})", R"({"ok":false,"error":"acción desconocida"})"},
        {R"({})", R"({"ok":false,"error":"acción desconocida"})"},
        {R"({"a":5})", R"({"ok":false,"error":"acción desconocida"})"},
        {"", R"({"ok":false,"error":"acción desconocida"})"},
        {"[[[[", R"({"ok":false,"error":"acción desconocida"})"},
        {R"({"a":"instalar"})", R"({"ok":false,"error":"primero busca actualizaciones"})"},
    };
    for (const auto& c : cases) {
        r = post_update(c.body);
        EXPECT_EQ(r.body, c.reply) << c.body;
        EXPECT_FALSE(UpdaterBusy.load()) << c.body;
    }
    EXPECT_EQ(checks_.load(), 0);

    // A search on a worker; the page polls until it is done.
    r = post_update(R"({"a":"buscar"})");
    EXPECT_EQ(r.body, R"({"ok":true})");
    ASSERT_TRUE(wait_for([] { return !UpdaterBusy.load(); }, 30000));
    EXPECT_EQ(checks_.load(), 1);
    const Json status = Json::parse(get("/api/actualizacion", key_header()).body);
    EXPECT_EQ(status["fase"], "disponible");
    EXPECT_EQ(status["nueva"].dump(),
              R"({"version":"0.10.46","pagina":"https://corvane.example/corvane/","tamano":7,)"
              R"("cambios":[{"version":"0.10.46","md":"- a\n- b"}]})");
    EXPECT_EQ(status["tecla"], "Ctrl+Shift+U");
    EXPECT_EQ(status["ultima_busqueda"], 1767225600u);

    GameInFrontFlag.store(true);
    EXPECT_EQ(post_update(R"({"a":"instalar"})").body,
              R"({"ok":false,"error":"estás jugando (el juego está al frente): termina primero"})");
    EXPECT_FALSE(UpdaterBusy.load());

    // Without the session key the route is closed.
    r = parse_reply(exchange("GET /api/actualizacion HTTP/1.1\r\nHost: " + host_header() + "\r\n\r\n").bytes);
    EXPECT_EQ(r.status, "403 Forbidden");
}

}  // namespace
}  // namespace corvane
