#include "web/ai_routes.h"

#include <gtest/gtest.h>

#include "../ai/fake_gemini.h"
#include "ai/jobs.h"
#include "clips_test_util.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;
using JsonDoc = nlohmann::json;

Reply post_json(const std::string& path, const std::string& body) {
    return parse_reply(exchange("POST " + path + " HTTP/1.1\r\nHost: " + host_header() + "\r\n" + key_header() +
                                "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\n\r\n" + body)
                           .bytes);
}

TEST(WebAi, FromTheSettingsToTheStoredAnalysis) {
    ClipsHome home("gamertag = Yo\n[ia]\nclave_gemini = KEY\nmodelo = m1\nfps = 7\n");
    home.put("2026-01-05/Muertes/a.mp4", pattern_bytes(5000));
    const std::string answer = "data: " +
                               JsonDoc{{"candidates", {{{"content", {{"parts", {{{"text", "{\"resumen\":\"r\"}"}}}}}}}}}}.dump() +
                               "\n\n";
    test::FakeGemini fake(JsonDoc{
        {"POST /upload/v1beta/files",
         {{{"status", 200}, {"headers", {{"x-goog-upload-url", "https://127.0.0.1:{port}/up"}}}, {"body", "{}"}}}},
        {"POST /up", {{{"status", 200}, {"body", R"({"file":{"name":"files/z","uri":"https://x/files/z"}})"}}}},
        {"GET /v1beta/files/z", {{{"status", 200}, {"body", R"({"state":"ACTIVE"})"}}}},
        {"POST /v1beta/models/m1:streamGenerateContent?alt=sse", {{{"status", 200}, {"body", answer}}}},
        {"DELETE /v1beta/files/z", {{{"status", 200}, {"body", "{}"}}}},
    });
    const std::string clip = "2026-01-05/Muertes/a.mp4";
    EXPECT_EQ(post_json("/api/analizar", JsonDoc{{"clip", clip}}.dump()).body, R"({"ok":true})");
    JsonDoc state;
    const bool ended = wait_for(
        [&] {
            state = JsonDoc::parse(get("/api/analisis?clip=" + clip, key_header()).body);
            return state["trabajo"].is_object() && !state["trabajo"]["corriendo"].get<bool>();
        },
        60000);
    ASSERT_TRUE(ended) << state.dump();
    const JsonDoc& job = state["trabajo"];
    EXPECT_EQ(job["etapa"], "Listo") << job.dump();
    EXPECT_EQ(job["pct"], 100);
    EXPECT_EQ(job["modelo"], "m1");
    EXPECT_EQ(job["error"], nullptr);
    EXPECT_EQ(job["subida"]["total"], 5000);
    EXPECT_TRUE(job["segundos"].is_number());
    EXPECT_EQ(job["bitacora"][0]["k"], "paso");
    EXPECT_EQ(job["bitacora"][0]["x"], "Análisis de " + clip);
    EXPECT_EQ(state["guardado"]["resumen"], "r");
    EXPECT_EQ(state["guardado"]["_modelo"], "m1");
    const auto reqs = fake.requests();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(test::header_lines(reqs[0])[2], "x-goog-api-key: KEY");
    const JsonDoc body = JsonDoc::parse(reqs[3]["body"].get<std::string>());
    EXPECT_EQ(body["contents"][0]["parts"][0]["videoMetadata"]["fps"], 7);
    EXPECT_NE(body["contents"][0]["parts"][1]["text"].get<std::string>().find("«Yo»"), std::string::npos);
    EXPECT_NE(body["contents"][0]["parts"][1]["text"].get<std::string>().find("una MUERTE del jugador"), std::string::npos);
}

TEST(WebAi, RefusalsAndKeyTest) {
    ClipsHome home("[ia]\nclave_gemini = CONF\n");
    home.put("a.mp4", "v");
    EXPECT_EQ(post_json("/api/analizar", R"({"clip":"../x.mp4"})").body, R"({"ok":false,"error":"clip no encontrado"})");
    EXPECT_EQ(post_json("/api/analizar", R"({})").body, R"({"ok":false,"error":"clip no encontrado"})");
    EXPECT_EQ(post_json("/api/probar_ia", R"({"clave":""})").body, R"({"ok":false,"error":"escribe tu clave primero"})");
    test::FakeGemini fake(JsonDoc{{"GET /v1beta/models?pageSize=200",
                                {{{"status", 200},
                                  {"body", R"({"models":[{"name":"models/gemini-x","supportedGenerationMethods":["generateContent"]}]})"}}}}});
    EXPECT_EQ(post_json("/api/probar_ia", R"({})").body, R"({"ok":true,"modelos":["gemini-x"]})");
    EXPECT_EQ(post_json("/api/probar_ia", R"({"clave":"OTRA"})").body, R"({"ok":true,"modelos":["gemini-x"]})");
    const auto reqs = fake.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(test::header_lines(reqs[0]).back(), "x-goog-api-key: CONF");
    EXPECT_EQ(test::header_lines(reqs[1]).back(), "x-goog-api-key: OTRA");
    // Without a key nothing starts.
    ClipsHome nokey("[ia]\nclave_gemini =  \n");
    nokey.put("a.mp4", "v");
    EXPECT_EQ(post_json("/api/analizar", R"({"clip":"a.mp4"})").body,
              R"({"ok":false,"error":"Falta tu clave de Gemini: Configuración → IA."})");
    EXPECT_EQ(JsonDoc::parse(get("/api/analisis?clip=a.mp4", key_header()).body)["trabajo"], nullptr);
}

// Two spellings of one clip's name are one job: a second worker would upload
// the clip again and race the first for its result file.
TEST(WebAi, OneJobPerClipHoweverItsNameIsSpelt) {
    ClipsHome home("[ia]\nclave_gemini = KEY\n");
    home.put("2026-01-05/Muertes/a.mp4", "v");
    std::vector<std::function<void()>> started;
    ai_set_thread_start_for_tests([&](std::function<void()> body) {
        started.push_back(std::move(body));  // held: the job stays running
        return std::string();
    });
    for (const char* name : {"2026-01-05/Muertes/a.mp4", "2026-01-05\\Muertes\\a.mp4", "2026-01-05\\Muertes/a.mp4"})
        EXPECT_EQ(post_json("/api/analizar", JsonDoc{{"clip", name}}.dump()).body, R"({"ok":true})") << name;
    EXPECT_EQ(started.size(), 1u);
    for (const char* query : {"2026-01-05/Muertes/a.mp4", "2026-01-05%5CMuertes%5Ca.mp4"}) {
        const JsonDoc state = JsonDoc::parse(get(std::string("/api/analisis?clip=") + query, key_header()).body);
        EXPECT_TRUE(state["trabajo"].is_object() && state["trabajo"]["corriendo"] == true) << query << state.dump();
    }
    ai_set_thread_start_for_tests({});
    // The held worker never runs: its job would stay running in the process's
    // table and refuse the next test's analysis of a clip of the same name.
    ai_job_update("2026-01-05/Muertes/a.mp4", [](AiJob& j) { j.running = false; });
}

}  // namespace
}  // namespace corvane
