#include "web/analysis_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ai/jobs.h"

#include "clips_test_util.h"
#include "web_test_util.h"

namespace corvane {
namespace {

using namespace webtest;
namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

std::string state(const std::string& clip_query) {
    Reply r = get("/api/analisis?clip=" + clip_query, key_header());
    EXPECT_EQ(r.status, "200 OK");
    EXPECT_EQ(r.header("Content-Type"), "application/json; charset=utf-8");
    return r.body;
}

TEST(WebAnalysisView, RepliesTable) {
    ClipsHome home("[ia]\nclave_gemini = abc\n");
    const std::string a = "2026-01-05/Bajas/a.mp4";
    home.put(a, "v");
    home.put("2026-01-05/Bajas/a.json", R"({"duracion":14.0,"eventos":[]})");
    home.put("2026-01-05/Bajas/a.analisis.json", R"({"texto":"</b>"})");
    home.put("2026-01-05/Bajas/b.mp4", "v");
    home.put("2026-01-05/Bajas/b.json", "{\"roto\":");
    home.put("2026-01-05/Bajas/b.analisis.json", "\"\xff\"");
    test::write_file(home.root() / "fuera.mp4", "v");
    struct Case {
        std::string query, body;
    };
    const std::vector<Case> cases = {
        {a, R"({"clip":"2026-01-05/Bajas/a.mp4","eventos":{"duracion":14.0,"eventos":[]},"guardado":{"texto":"</b>"},"tiene_clave":true,"trabajo":null})"},
        {"2026-01-05%5CBajas%5Ca.mp4", R"({"clip":"2026-01-05\\Bajas\\a.mp4","eventos":{"duracion":14.0,"eventos":[]},"guardado":{"texto":"</b>"},"tiene_clave":true,"trabajo":null})"},
        {"2026-01-05/Bajas/b.mp4", R"({"clip":"2026-01-05/Bajas/b.mp4","eventos":null,"guardado":null,"tiene_clave":true,"trabajo":null})"},
        {"../fuera.mp4", R"({"error":"clip no encontrado"})"},
        {"2026-01-05/Bajas/c.mp4", R"({"error":"clip no encontrado"})"},
        {"", R"({"error":"clip no encontrado"})"},
    };
    for (const auto& c : cases) EXPECT_EQ(state(c.query), c.body) << c.query;
    // The route is behind the header token, not the page token.
    EXPECT_EQ(get(std::string("/api/analisis?clip=") + a + "&t=" + kToken).body, "clave");
}

TEST(WebAnalysisView, NoKeyConfigured) {
    ClipsHome home("[ia]\nclave_gemini =\n");
    home.put("a.mp4", "v");
    EXPECT_EQ(state("a.mp4"), R"({"clip":"a.mp4","eventos":null,"guardado":null,"tiene_clave":false,"trabajo":null})");
}

TEST(WebAnalysisView, JobUnderTheNameAsGiven) {
    ClipsHome home("[ia]\nclave_gemini = k\n");
    home.put("d/j.mp4", "v");
    // A job made by a log line has no start: "segundos" and "subida" are null.
    ai_job_log("d/j.mp4", "aviso", "hola </script>");
    ai_job_update("d/j.mp4", [](AiJob& job) { job.thoughts = {"p"}; job.answer_bytes = 12; });
    EXPECT_EQ(state("d/j.mp4"),
              R"({"clip":"d/j.mp4","eventos":null,"guardado":null,"tiene_clave":true,"trabajo":{"etapa":"","pct":0,)"
              R"("corriendo":false,"error":null,"modelo":null,"segundos":null,"bitacora":[{"t":0.0,"k":"aviso","x":"hola </script>"}],)"
              R"("pensamientos":["p"],"caracteres":12,"uso":null,"subida":null}})");
    // Another spelling of the same clip finds the same job.
    EXPECT_EQ(json::parse(state("d%5Cj.mp4"))["trabajo"]["caracteres"], 12);
    ai_job_update("d/j.mp4", [](AiJob& job) {
        job.upload = AiUploadProgress{1, 2, 0.5};
        job.started_at = std::chrono::steady_clock::now() + std::chrono::hours(1);
    });
    const auto t = json::parse(state("d/j.mp4"))["trabajo"];
    EXPECT_EQ(t["subida"].dump(), R"({"enviado":1,"total":2,"mbps":0.5})");
    EXPECT_EQ(t["segundos"], 0.0);
}

// A worker writes the result, then marks its job finished. A poll that sees
// the job finished must also see that result, or the page stops polling with
// the old one on screen.
TEST(WebAnalysisView, FinishedJobComesWithItsResult) {
    ClipsHome home("[ia]\nclave_gemini = k\n");
    const auto clip = home.put("d/r.mp4", "v");
    const std::string key = "d/r.mp4";
    constexpr int kRuns = 200;
    std::atomic<bool> done{false};
    std::atomic<int> polls{0};
    std::thread worker([&] {
        for (int run = 1; run <= kRuns; ++run) {
            ai_job_update(key, [&](AiJob& job) {
                job.running = true;
                job.step = std::to_string(run);
            });
            EXPECT_EQ(ai_write_result(clip, json{{"run", run}}), "");
            ai_job_update(key, [](AiJob& job) { job.running = false; });
            // Each finished run is seen by a few polls before the next starts.
            const int seen = polls;
            while (polls < seen + 2) std::this_thread::yield();
        }
        done = true;
    });
    int checked = 0;
    while (!done) {
        const json r = ui_analysis_state(key);
        ++polls;
        const json& t = r["trabajo"];
        if (!t.is_object() || t["corriendo"] == true) continue;
        ++checked;
        ASSERT_TRUE(r["guardado"].is_object()) << r.dump();
        ASSERT_GE(r["guardado"]["run"].get<int>(), std::stoi(t["etapa"].get<std::string>())) << r.dump();
    }
    worker.join();
    EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace corvane
