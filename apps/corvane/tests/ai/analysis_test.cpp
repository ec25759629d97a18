#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "ai/gemini.h"
#include "ai/jobs.h"
#include "ai/run.h"
#include "fake_gemini.h"

namespace corvane {
namespace {

using nlohmann::json;
using Json = nlohmann::ordered_json;
using test::FakeGemini;
using namespace std::chrono;

// A virtual clock: sleeps move it forward at once and are recorded.
struct VirtualClock {
    std::mutex lock;
    steady_clock::time_point now = steady_clock::time_point(hours(1));
    std::vector<long long> sleeps_ms;
    VirtualClock() {
        ai_set_clock_for_tests(AiClock{[this] {
                                           std::lock_guard l(lock);
                                           return now;
                                       },
                                       [this](milliseconds d) {
                                           std::lock_guard l(lock);
                                           sleeps_ms.push_back(d.count());
                                           now += d;
                                       }});
    }
    ~VirtualClock() { ai_set_clock_for_tests(AiClock{}); }
};

std::string sse(const Json& event) { return "data: " + event.dump() + "\n\n"; }

Json parts_event(const Json& parts) { return Json{{"candidates", {{{"content", {{"parts", parts}}}}}}}; }

TEST(AiSse, SameResultAtEverySplitPoint) {
    const std::string stream = ": comment\r\n" + sse(parts_event({{{"text", " piensa 😀 "}, {"thought", true}}})) +
                               "event: x\r\ndata: not json\r\ndata:\r\n" +
                               "data: " + parts_event({{{"text", "{\"a\":\"ñ😀\"}"}}}).dump() + "\r\n" +
                               sse(Json{{"usageMetadata", {{"promptTokenCount", 7}}}}) + "data: {\"dropped\":";
    auto run = [&](const std::string& key, const std::vector<std::size_t>& cuts) {
        SseAccumulator acc(key);
        std::size_t at = 0;
        for (std::size_t c : cuts) {
            acc.feed(std::string_view(stream).substr(at, c - at));
            at = c;
        }
        acc.feed(std::string_view(stream).substr(at));
        auto job = ai_job_get(key);
        return std::make_tuple(acc.answer(), job->thoughts, job->usage->dump(), job->answer_bytes);
    };
    const auto whole = run("sse-whole", {});
    EXPECT_EQ(std::get<0>(whole), "{\"a\":\"ñ😀\"}");
    EXPECT_EQ(std::get<1>(whole), std::vector<std::string>{"piensa 😀"});
    EXPECT_EQ(std::get<2>(whole), R"({"promptTokenCount":7})");
    for (std::size_t cut = 1; cut < stream.size(); ++cut)
        ASSERT_EQ(run("sse-cut-" + std::to_string(cut), {cut}), whole) << cut;
    std::vector<std::size_t> bytes;
    for (std::size_t i = 1; i < stream.size(); ++i) bytes.push_back(i);
    EXPECT_EQ(run("sse-bytes", bytes), whole);
}

TEST(AiSse, ThoughtAndAnswerRules) {
    const std::string key = "sse-rules";
    SseAccumulator acc(key);
    acc.feed(sse(parts_event({{{"text", "   "}, {"thought", true}}, {{"text", "a"}, {"thought", false}},
                              {{"text", "b"}, {"thought", "true"}}, 5, {{"text", 3}}})));
    auto job = ai_job_get(key);
    EXPECT_TRUE(job->thoughts.empty());
    EXPECT_EQ(acc.answer(), "ab");
    EXPECT_EQ(job->percent, 85);
    ai_job_update(key, [](AiJob& j) { j.percent = 95; });
    acc.feed(sse(parts_event({{{"text", "t"}, {"thought", true}}})));
    EXPECT_EQ(ai_job_get(key)->percent, 92);
    for (int i = 0; i < 41; ++i) acc.feed(sse(parts_event({{{"text", fmt::format("t{}", i)}, {"thought", true}}})));
    job = ai_job_get(key);
    ASSERT_EQ(job->thoughts.size(), 40u);
    EXPECT_EQ(job->thoughts.front(), "t1");
    acc.feed(sse(parts_event({{{"text", std::string(398, 'x')}}})));
    EXPECT_GE(ai_job_get(key)->percent, 86);
    acc.feed(sse(parts_event({{{"text", std::string(4400, 'x')}}})));
    EXPECT_EQ(ai_job_get(key)->percent, 97);
    EXPECT_EQ(ai_job_get(key)->answer_bytes, 4800u);
}

AiRequestContext sample_context() {
    AiRequestContext ctx;
    ctx.file_uri = "https://x/files/abc";
    ctx.video_metadata = Json{{"fps", 3}, {"startOffset", "25s"}};
    ctx.clip_path = "/c/2026-01-05/Muertes/CRVN_derribo_x.mp4";
    ctx.sidecar = Json::parse(R"({"duracion":12.0,"eventos":[{"segundo":3.5,"tipo":"derribo","arma":"ñ"}]})");
    ctx.gamertag = "a\"b\\c";
    return ctx;
}

TEST(AiRequest, BodyBytesWithAndWithoutThinking) {
    const AiRequestContext ctx = sample_context();
    const std::string prompt = ai_build_prompt(ctx);
    const std::string head = R"({"contents":[{"parts":[{"fileData":{"mimeType":"video/mp4","fileUri":"https://x/files/abc"},"videoMetadata":{"fps":3,"startOffset":"25s"}},{"text":)";
    const std::string with = ai_build_generate_request(ctx, true);
    const std::string without = ai_build_generate_request(ctx, false);
    EXPECT_EQ(with, head + Json(prompt).dump() +
                        R"(}]}],"generationConfig":{"responseMimeType":"application/json","temperature":0.4,"thinkingConfig":{"includeThoughts":true}}})");
    EXPECT_EQ(without, head + Json(prompt).dump() +
                           R"(}]}],"generationConfig":{"responseMimeType":"application/json","temperature":0.4}})");
    EXPECT_NE(prompt.find("El jugador se llama «a\"b\\c» en el juego. El clip es un DERRIBO del jugador"), std::string::npos);
    EXPECT_NE(prompt.find(R"(etc.): {"duracion":12.0,"eventos":[{"segundo":3.5,"tipo":"derribo","arma":"ñ"}]})" "\n\nAnaliza con detalle"),
              std::string::npos);
    EXPECT_EQ(prompt.rfind("\"nota\": \"1 frase prudente\"}\n}"), prompt.size() - 29);
    EXPECT_EQ(prompt.substr(0, 110),
              "Eres un entrenador experto de Call of Duty: Warzone y analizas el video de un jugador para ayudarle a mejorar.");
    // An independent JSON reader gets the same prompt back.
    test::TempDir d;
    test::write_file(d.path() / "b", with);
    test::write_file(d.path() / "b.p", prompt);
    EXPECT_EQ(test::command_output("python3 -c \"import json,sys; b=json.load(open(sys.argv[1],encoding='utf-8')); "
                                   "print(b['contents'][0]['parts'][1]['text']==open(sys.argv[2],encoding='utf-8').read())\" '" +
                                   (d.path() / "b").string() + "' '" + (d.path() / "b.p").string() + "'"),
              "True\n");
}

TEST(AiRequest, ClipKindAndMissingData) {
    AiRequestContext ctx;
    ctx.sidecar = nullptr;
    struct Case {
        const char* path;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"/c/d/Bajas/a.mp4", "El clip es una o varias BAJAS que hizo el jugador."},
        {"/c/d/Muertes/a_derribo.mp4", "El clip es un DERRIBO del jugador"},
        {"/c/x_derribo/Muertes/a.mp4", "El clip es una MUERTE del jugador"},
        {"/c/d/Manual/a_derribo.mp4", "El clip es un momento que el jugador guardó a mano."},
        {"/c/d/muertes/a.mp4", "El clip es un momento que el jugador guardó a mano."},
        {"a.mp4", "El clip es un momento que el jugador guardó a mano."},
    };
    for (const auto& c : cases) {
        ctx.clip_path = c.path;
        const std::string p = ai_build_prompt(ctx);
        EXPECT_NE(p.find(c.text), std::string::npos) << c.path;
        EXPECT_NE(p.find("jugador. El clip es "), std::string::npos);
        EXPECT_NE(p.find("etc.): (sin datos)\n\n"), std::string::npos);
    }
}

TEST(AiRun, VideoWindowTable) {
    struct Case {
        const char* sidecar;
        std::uint32_t fps;
        const char* metadata;
        const char* message;
    };
    const std::vector<Case> cases = {
        {R"({"duracion":60,"eventos":[{"segundo":30.0,"tipo":"killcam"},{"segundo":33.0,"tipo":"fin_killcam"}]})", 3,
         R"({"fps":3,"startOffset":"25s","endOffset":"42s"})",
         "La IA verá solo el evento: del segundo 25 al 42, a 3 cuadros por segundo"},
        {R"({"eventos":[{"segundo":3.2,"tipo":"baja"}]})", 0, R"({"fps":1,"endOffset":"8s"})",
         "La IA verá solo el evento: del segundo 0 al 7, a 1 cuadros por segundo"},
        {R"({"duracion":60,"eventos":[{"segundo":55.8}]})", 25, R"({"fps":10,"startOffset":"50s"})",
         "La IA verá el video desde el segundo 50 a 10 cuadros por segundo"},
        {R"({"eventos":[{"segundo":3,"tipo":"resultado"},{"segundo":9,"tipo":"fin_killcam"}]})", 3, R"({"fps":3})",
         "La IA verá el video desde el segundo 0 a 3 cuadros por segundo"},
        {"null", 3, R"({"fps":3})", "La IA verá el video desde el segundo 0 a 3 cuadros por segundo"},
        // Seconds outside the clip are left out instead of bending the window.
        {R"({"duracion":20,"eventos":[{"segundo":-10},{"segundo":1e300},{"segundo":12}]})", 3,
         R"({"fps":3,"startOffset":"7s","endOffset":"16s"})",
         "La IA verá solo el evento: del segundo 7 al 16, a 3 cuadros por segundo"},
    };
    for (const auto& c : cases) {
        const AiVideoWindow w = ai_video_window(Json::parse(c.sidecar), c.fps);
        EXPECT_EQ(w.metadata.dump(), c.metadata) << c.sidecar;
        EXPECT_EQ(w.message, c.message) << c.sidecar;
    }
}

TEST(AiRun, AnswerExtraction) {
    EXPECT_EQ(ai_extract_answer("```json\n{\"a\":1}\n```")->dump(), R"({"a":1})");
    EXPECT_EQ(ai_extract_answer("```{\"a\":1}```")->dump(), R"({"a":1})");
    EXPECT_EQ(ai_extract_answer("Aquí va: {\"a\":{\"b\":2}} fin")->dump(), R"({"a":{"b":2}})");
    EXPECT_FALSE(ai_extract_answer("} texto {"));
    EXPECT_EQ(ai_extract_answer("null")->dump(), "null");
}

// Replies for a whole analysis; `generate` is the list of generation replies.
json scenario(const json& generate, const std::string& model = "gemini-3.8-flash") {
    return json{
        {"POST /upload/v1beta/files",
         {{{"status", 200}, {"headers", {{"X-GOOG-Upload-Url", "https://127.0.0.1:{port}/up/1?upload_id=9"}}}, {"body", "{}"}}}},
        {"POST /up/1?upload_id=9",
         {{{"status", 200}, {"body", R"({"file":{"name":"files/abc","uri":"https://x/files/abc"}})"}}}},
        {"GET /v1beta/files/abc",
         {{{"status", 200}, {"body", R"({"state":"PROCESSING"})"}},
          {{"status", 200}, {"body", R"({"state":"PROCESSING"})"}},
          {{"status", 200}, {"body", R"({"state":"ACTIVE","videoMetadata":{"videoDuration":"14s"}})"}}}},
        {"POST /v1beta/models/" + model + ":streamGenerateContent?alt=sse", generate},
        {"DELETE /v1beta/files/abc", {{{"status", 200}, {"body", "{}"}}}},
    };
}

struct ClipFixture {
    test::TempDir dir{"crvn-ai-clip"};
    std::filesystem::path clip;
    explicit ClipFixture(std::size_t size = 1048576) {
        std::filesystem::create_directories(dir.path() / "2026-01-05" / "Bajas");
        clip = dir.path() / "2026-01-05" / "Bajas" / "a.mp4";
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
        test::write_file(clip, bytes);
        test::write_file(dir.path() / "2026-01-05" / "Bajas" / "a.json",
                         R"({"duracion":30.0,"eventos":[{"segundo":12.0,"tipo":"baja"}]})");
    }
};

AiSettings settings(std::string model = "") {
    AiSettings s;
    s.api_key = " KEY ";
    s.model = std::move(model);
    s.gamertag = "Yo";
    s.fps = 3;
    return s;
}

std::vector<std::string> messages(const AiJob& job) {
    std::vector<std::string> out;
    for (const auto& e : job.progress) out.push_back(e.stage + "|" + e.message);
    return out;
}

TEST(AiRunE2e, WholeAnalysisAgainstTheStandIn) {
    VirtualClock vclock;
    const std::string answer = R"({"resumen":"x","_modelo":"viejo","momentos":[{"segundo":12.5,"texto":"ñ"}]})";
    const json stream = {{{"status", 200},
                          {"chunks",
                           {sse(parts_event({{{"text", "Veo la pelea"}, {"thought", true}}})),
                            "data: " + parts_event({{{"text", answer.substr(0, 20)}}}).dump().substr(0, 9),
                            parts_event({{{"text", answer.substr(0, 20)}}}).dump().substr(9) + "\r\n\r\n",
                            sse(parts_event({{{"text", answer.substr(20)}}})),
                            sse(Json{{"usageMetadata",
                                      {{"promptTokenCount", 100}, {"thoughtsTokenCount", 20}, {"candidatesTokenCount", 30}}}})}}}};
    FakeGemini fake(scenario(stream));
    ClipFixture clip;
    const std::string key = "2026-01-05/Bajas/a.mp4";
    ai_set_thread_start_for_tests([](std::function<void()> body) {
        body();
        return std::string();
    });
    EXPECT_EQ(ai_start_analysis(key, clip.clip, settings()), "");
    ai_set_thread_start_for_tests({});
    const auto job = ai_job_get(key);
    ASSERT_TRUE(job);
    EXPECT_FALSE(job->running);
    EXPECT_FALSE(job->error) << *job->error;
    EXPECT_EQ(job->step, "Listo");
    EXPECT_EQ(job->percent, 100);
    EXPECT_EQ(job->thoughts, std::vector<std::string>{"Veo la pelea"});
    EXPECT_EQ(job->upload->sent_bytes, 1048576u);
    const auto log = messages(*job);
    const std::vector<std::string> expected_start = {
        "paso|Análisis de 2026-01-05/Bajas/a.mp4",
        "paso|Subiendo el clip a Google (1 MB)",
    };
    ASSERT_GE(log.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 2), expected_start);
    EXPECT_EQ(log[2].rfind("ok|Clip subido: 1.0 MB en ", 0), 0u) << log[2];
    const std::vector<std::string> expected_rest = {
        "paso|Google está procesando el video",
        "paso|Archivo en Google: PROCESSING",
        "paso|Archivo en Google: ACTIVE, duración 14s",
        "paso|La IA verá solo el evento: del segundo 7 al 16, a 3 cuadros por segundo",
        "paso|Analizando con gemini-3.8-flash",
        "ok|Tokens: 100 de entrada (video y texto), 20 pensando, 30 de respuesta",
        "ok|Clip borrado de Google",
    };
    EXPECT_EQ(std::vector<std::string>(log.begin() + 3, log.end() - 1), expected_rest);
    EXPECT_EQ(log.back().rfind("ok|Análisis listo en ", 0), 0u);
    EXPECT_EQ(vclock.sleeps_ms, (std::vector<long long>{2000, 2000}));

    const std::string saved = test::read_file(clip.dir.path() / "2026-01-05" / "Bajas" / "a.analisis.json");
    const Json result = Json::parse(saved);
    std::vector<std::string> keys;
    for (auto it = result.begin(); it != result.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"resumen", "_modelo", "momentos", "_uso", "_fecha"}));
    EXPECT_EQ(result["_modelo"], "gemini-3.8-flash");
    EXPECT_EQ(result["_uso"]["thoughtsTokenCount"], 20);
    EXPECT_EQ(saved.substr(0, 20), "{\n  \"resumen\": \"x\",\n");
    EXPECT_NE(saved.back(), '\n');

    const auto reqs = fake.requests();
    ASSERT_EQ(reqs.size(), 7u);
    EXPECT_EQ(reqs[0]["body"], R"({"file":{"display_name":"a.mp4"}})");
    EXPECT_EQ(test::header_lines(reqs[0])[2], "x-goog-api-key: KEY");
    // The bytes go to the given URL with exactly two headers of ours, no key.
    EXPECT_EQ(reqs[1]["path"], "/up/1?upload_id=9");
    const auto up = test::header_lines(reqs[1]);
    EXPECT_EQ(std::vector<std::string>(up.begin() + 2, up.end()),
              (std::vector<std::string>{"X-Goog-Upload-Offset: 0", "X-Goog-Upload-Command: upload, finalize",
                                        "Content-Length: 1048576"}));
    EXPECT_EQ(reqs[1]["sha256"], test::command_output("sha256sum '" + clip.clip.string() + "' | cut -c1-64 | tr -d '\\n'"));
    const Json body = Json::parse(reqs[5]["body"].get<std::string>());
    EXPECT_EQ(body["contents"][0]["parts"][0]["videoMetadata"].dump(), R"({"fps":3,"startOffset":"7s","endOffset":"16s"})");
    EXPECT_TRUE(body["generationConfig"].contains("thinkingConfig"));
    EXPECT_EQ(reqs[6]["method"], "DELETE");
}

TEST(AiRunE2e, BusyModelsGetThreePassesWithWaits) {
    VirtualClock vclock;
    json s = scenario(json::array());
    for (const char* m : kAiDefaultModels)
        s[std::string("POST /v1beta/models/") + m + ":streamGenerateContent?alt=sse"] = {{{"status", 503}, {"body", "{}"}}};
    FakeGemini fake(s);
    ClipFixture clip(1000);
    const AiRunOutcome out = ai_run_analysis("busy", clip.clip, settings());
    EXPECT_EQ(out.error, "Gemini está saturado en este momento (pasa con la versión gratis); intenta en unos minutos");
    EXPECT_EQ(vclock.sleeps_ms, (std::vector<long long>{2000, 2000, 20000, 45000}));
    int generations = 0;
    for (const auto& r : fake.requests()) generations += r["path"].get<std::string>().find("streamGenerate") != std::string::npos;
    EXPECT_EQ(generations, 15);
    EXPECT_EQ(fake.requests().back()["method"], "DELETE");
}

TEST(AiRunE2e, MissingModelsOnePassThenStop) {
    VirtualClock vclock;
    json s = scenario(json::array());
    for (const char* m : kAiDefaultModels)
        s[std::string("POST /v1beta/models/") + m + ":streamGenerateContent?alt=sse"] = {
            {{"status", 404}, {"body", std::string(R"({"error":{"message":"no )") + m + "\"}}"}}};
    FakeGemini fake(s);
    ClipFixture clip(1000);
    const AiRunOutcome out = ai_run_analysis("missing", clip.clip, settings());
    EXPECT_EQ(out.error, "Gemini respondió 404: no gemini-3.1-flash-lite");
    EXPECT_EQ(vclock.sleeps_ms, (std::vector<long long>{2000, 2000}));
}

TEST(AiRunE2e, ThinkingRefusedIsRetriedWithout) {
    VirtualClock vclock;
    FakeGemini fake(scenario({{{"status", 400}, {"body", R"({"error":{"message":"Thinking is not supported"}})"}},
                              {{"status", 200}, {"body", sse(parts_event({{{"text", "{\"resumen\":\"r\"}"}}}))}}},
                             "m1"));
    ClipFixture clip(1000);
    const AiRunOutcome out = ai_run_analysis("think", clip.clip, settings("  m1 "));
    ASSERT_TRUE(out.result) << out.error;
    EXPECT_EQ((*out.result)["_uso"], nullptr);
    const auto reqs = fake.requests();
    ASSERT_EQ(reqs.size(), 8u);
    EXPECT_TRUE(Json::parse(reqs[5]["body"].get<std::string>())["generationConfig"].contains("thinkingConfig"));
    EXPECT_EQ(Json::parse(reqs[6]["body"].get<std::string>())["generationConfig"].dump(),
              R"({"responseMimeType":"application/json","temperature":0.4})");
    const auto log = messages(*ai_job_get("think"));
    EXPECT_NE(std::find(log.begin(), log.end(), "aviso|m1 no muestra lo que va pensando"), log.end());
}

TEST(AiRunE2e, FailuresAndTheDeletion) {
    VirtualClock vclock;
    {   // A key refused while generating stops at once; the upload is still deleted.
        FakeGemini fake(scenario({{{"status", 401}, {"body", "{}"}}}, "m"));
        ClipFixture clip(10);
        EXPECT_EQ(ai_run_analysis("f1", clip.clip, settings("m")).error,
                  "la clave de Gemini no es válida o no tiene permiso (Configuración → IA)");
        EXPECT_EQ(fake.requests().back()["method"], "DELETE");
    }
    {   // An answer that is not an object cannot take the added members.
        FakeGemini fake(scenario({{{"status", 200}, {"body", sse(parts_event({{{"text", "[1,2]"}}}))}}}, "m"));
        ClipFixture clip(10);
        EXPECT_EQ(ai_run_analysis("f2", clip.clip, settings("m")).error,
                  "Gemini no devolvió el análisis en el formato esperado");
        EXPECT_EQ(fake.requests().back()["method"], "DELETE");
    }
    {   // A failed upload leaves nothing to delete.
        json s = scenario(json::array(), "m");
        s["POST /up/1?upload_id=9"] = {{{"status", 200}, {"body", "nada"}}};
        FakeGemini fake(s);
        ClipFixture clip(10);
        EXPECT_EQ(ai_run_analysis("f3", clip.clip, settings("m")).error, "respuesta rara al subir el clip");
        EXPECT_EQ(fake.requests().size(), 2u);
    }
    {   // FAILED processing, and an unreadable clip.
        json s = scenario(json::array(), "m");
        s["GET /v1beta/files/abc"] = {{{"status", 200}, {"body", R"({"state":"FAILED"})"}}};
        FakeGemini fake(s);
        ClipFixture clip(10);
        EXPECT_EQ(ai_run_analysis("f4", clip.clip, settings("m")).error,
                  "Gemini no pudo procesar el video (prueba con el codec h264 en Configuración → Grabación)");
        EXPECT_EQ(ai_run_analysis("f5", clip.dir.path() / "no.mp4", settings("m")).error,
                  "no se pudo leer el clip (No such file or directory)");
    }
    {   // Polling that never ends gives up after 300 s; the error reply reads "?".
        json s = scenario(json::array(), "m");
        s["GET /v1beta/files/abc"] = {{{"status", 404}, {"body", "{}"}}};
        s["POST /upload/v1beta/files"] = s["POST /upload/v1beta/files"];
        FakeGemini fake(s);
        ClipFixture clip(10);
        EXPECT_EQ(ai_run_analysis("f6", clip.clip, settings("m")).error, "Gemini tardó demasiado en procesar el video");
        const auto log = messages(*ai_job_get("f6"));
        EXPECT_EQ(std::count(log.begin(), log.end(), "paso|Archivo en Google: ?"), 1);
        EXPECT_EQ(ai_job_get("f6")->percent, 62);
    }
    {   // The start without the upload URL header.
        json s = scenario(json::array(), "m");
        s["POST /upload/v1beta/files"] = {{{"status", 200}, {"body", "{}"}}};
        FakeGemini fake(s);
        ClipFixture clip(10);
        EXPECT_EQ(ai_run_analysis("f7", clip.clip, settings("m")).error, "Gemini no dio dónde subir el clip");
    }
}

TEST(AiRunE2e, ResultThatCannotBeStoredFailsTheJob) {
    VirtualClock vclock;
    FakeGemini fake(scenario({{{"status", 200}, {"body", sse(parts_event({{{"text", "{\"resumen\":\"r\"}"}}}))}}}, "m"));
    ClipFixture clip(10);
    // A folder where the result file belongs makes the rename fail.
    std::filesystem::create_directories(clip.dir.path() / "2026-01-05" / "Bajas" / "a.analisis.json" / "x");
    ai_set_thread_start_for_tests([](std::function<void()> body) {
        body();
        return std::string();
    });
    EXPECT_EQ(ai_start_analysis("store", clip.clip, settings("m")), "");
    ai_set_thread_start_for_tests({});
    const auto job = ai_job_get("store");
    ASSERT_TRUE(job->error);
    EXPECT_EQ(job->error->rfind("no se pudo guardar el análisis (", 0), 0u) << *job->error;
    EXPECT_FALSE(job->running);
    EXPECT_NE(job->step, "Listo");
    EXPECT_EQ(messages(*job).back().rfind("error|No se pudo analizar: no se pudo guardar", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(clip.dir.path() / "2026-01-05" / "Bajas" / "a.analisis.json.tmp"));
}

TEST(AiJobs, TableRules) {
    EXPECT_EQ(ai_start_analysis("j-blank", "/x.mp4", AiSettings{"   ", "", std::nullopt, 3}),
              "Falta tu clave de Gemini: Configuración → IA.");
    EXPECT_FALSE(ai_job_get("j-blank"));
    // A thread that cannot start does not leave the job running for ever.
    ai_set_thread_start_for_tests([](std::function<void()>) { return std::string("Resource temporarily unavailable"); });
    EXPECT_EQ(ai_start_analysis("j-fail", "/x.mp4", settings()), "Resource temporarily unavailable");
    auto job = ai_job_get("j-fail");
    EXPECT_FALSE(job->running);
    EXPECT_EQ(job->error, "Resource temporarily unavailable");
    // A running job is left alone by a second start.
    int started = 0;
    ai_set_thread_start_for_tests([&](std::function<void()>) {
        ++started;
        return std::string();
    });
    EXPECT_EQ(ai_start_analysis("j-run", "/x.mp4", settings()), "");
    ai_job_log("j-run", "paso", "uno");
    EXPECT_EQ(ai_start_analysis("j-run", "/x.mp4", settings()), "");
    EXPECT_EQ(started, 1);
    EXPECT_EQ(ai_job_get("j-run")->progress.size(), 1u);
    // A restart after a failure wipes the old state.
    EXPECT_EQ(ai_start_analysis("j-fail", "/x.mp4", settings()), "");
    job = ai_job_get("j-fail");
    EXPECT_FALSE(job->error);
    EXPECT_EQ(job->step, "Preparando");
    EXPECT_EQ(job->percent, 0);
    ai_set_thread_start_for_tests({});
    // Logged before any start: seconds 0, not running; 61 entries keep the last 60.
    for (int i = 0; i < 61; ++i) ai_job_log("j-log", "paso", std::to_string(i));
    job = ai_job_get("j-log");
    EXPECT_FALSE(job->running);
    ASSERT_EQ(job->progress.size(), 60u);
    EXPECT_EQ(job->progress.front().message, "1");
    EXPECT_EQ(job->progress.front().seconds, 0.0f);
    ai_job_set_step("j-log", "a", 50);
    ai_job_set_step("j-log", "b", 10);
    EXPECT_EQ(ai_job_get("j-log")->step, "b");
    EXPECT_EQ(ai_job_get("j-log")->percent, 50);
}

TEST(AiJobs, ResultFileLayoutAndWriteFailure) {
    test::TempDir d;
    const Json r = Json::parse(R"({"resumen":"ñ","x":[],"_modelo":"m","_uso":null,"_fecha":"2026-01-05 10:00:00"})");
    ASSERT_EQ(ai_write_result(d.path() / "x.mp4", r), "");
    EXPECT_EQ(test::read_file(d.path() / "x.analisis.json"),
              "{\n  \"resumen\": \"ñ\",\n  \"x\": [],\n  \"_modelo\": \"m\",\n  \"_uso\": null,\n  \"_fecha\": \"2026-01-05 10:00:00\"\n}");
    EXPECT_NE(ai_write_result(d.path() / "missing" / "x.mp4", r), "");
}

TEST(AiJobsConcurrency, PollersWhileTheWorkerWrites) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> pollers;
    for (int i = 0; i < 4; ++i)
        pollers.emplace_back([&] {
            while (!stop) (void)ai_job_get("conc");
        });
    SseAccumulator acc("conc");
    for (int i = 0; i < 300; ++i) {
        acc.feed(sse(parts_event({{{"text", "t"}, {"thought", true}}, {{"text", "a"}}})));
        ai_job_log("conc", "paso", "x");
    }
    stop = true;
    for (auto& t : pollers) t.join();
    EXPECT_EQ(ai_job_get("conc")->answer_bytes, 300u);
}

}  // namespace
}  // namespace corvane
