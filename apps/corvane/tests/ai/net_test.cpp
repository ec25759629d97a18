#include "ai/net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ai/gemini.h"
#include "fake_gemini.h"

namespace corvane {
namespace {

using nlohmann::json;
using test::FakeGemini;

TEST(AiNet, ModelListSendsOnlyTheKeyAndFiltersModels) {
    json models = {{"models",
                    {{{"name", "models/gemini-a"}, {"supportedGenerationMethods", {"generateContent"}}},
                     {{"name", "models/models/gemini-b"}, {"supportedGenerationMethods", {1, "generateContent"}}},
                     {{"name", "models/Gemini-c"}, {"supportedGenerationMethods", {"generateContent"}}},
                     {{"name", "models/gemini-d"}, {"supportedGenerationMethods", {"embedContent"}}},
                     {{"name", 5}, {"supportedGenerationMethods", {"generateContent"}}},
                     "x"}}};
    FakeGemini fake(json{{"GET /v1beta/models?pageSize=200", {{{"status", 200}, {"body", models.dump()}}}}});
    auto r = ai_list_models("  K1  ");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(*r.value, (std::vector<std::string>{"gemini-a", "gemini-b"}));
    auto reqs = fake.requests();
    ASSERT_EQ(reqs.size(), 1u);
    // What the service sees: our one header plus the host and agent only.
    EXPECT_EQ(test::header_lines(reqs[0]),
              (std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(fake.port()), "User-Agent: Corvane/0.10.45",
                                        "x-goog-api-key: K1"}));
    EXPECT_EQ(net_join_headers({"x-goog-api-key: K1"}), "x-goog-api-key: K1\r\n");
}

TEST(AiNet, ModelListErrorsAndRefusalsBeforeAnyRequest) {
    FakeGemini fake(json{{"GET /v1beta/models?pageSize=200",
                      {{{"status", 403}, {"body", "{}"}}, {{"status", 200}, {"body", "no json"}}}}});
    EXPECT_EQ(ai_list_models("   ").error, "escribe tu clave primero");
    // A key with a line break would add header lines of its own.
    EXPECT_EQ(ai_list_models("a\r\nX-Evil: 1").error, "la clave de Gemini no es válida (revísala en Configuración → IA)");
    EXPECT_EQ(fake.requests().size(), 0u);
    EXPECT_EQ(ai_list_models("k").error, "la clave de Gemini no es válida o no tiene permiso (Configuración → IA)");
    auto empty = ai_list_models("k");
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value->empty());
}

TEST(AiNet, TransportRefusalsAndCaps) {
    FakeGemini fake(json{{"GET /big", {{{"status", 200}, {"body", "x"}, {"repeat", 1000}}}},
                     {"GET /gone", {{{"status", 204}, {"body", ""}}}}});
    NetCall call;
    call.method = "GET";
    call.timeouts = {15000, 15000, 30000, 30000};
    call.url = "http://127.0.0.1:" + std::to_string(fake.port()) + "/big";
    EXPECT_EQ(net_request(call).error, "solo se aceptan conexiones https");
    call.url = "https://" + std::string(256, 'a') + "/x";
    EXPECT_EQ(net_request(call).error.rfind("dirección no válida (", 0), 0u) << net_request(call).error;
    EXPECT_EQ(fake.requests().size(), 0u);
    call.url = fake.base() + "/big";
    call.cap = 1000;  // exactly the cap passes
    auto ok = net_request(call);
    ASSERT_TRUE(ok.ok()) << ok.error;
    EXPECT_EQ(ok.value->body.size(), 1000u);
    EXPECT_EQ(ok.value->status, 200u);
    EXPECT_EQ(net_reply_header(ok.value->headers, "CONTENT-length"), "1000");
    call.cap = 999;
    EXPECT_EQ(net_request(call).error, "respuesta demasiado grande");
}

TEST(AiNet, ReplyCutShortAndUploadUrlOverHttp) {
    FakeGemini fake(json{{"GET /cut", {{{"status", 200}, {"headers", {{"Content-Length", "100"}}}, {"chunks", {"abc"}}}}}});
    NetCall call;
    call.method = "GET";
    call.url = fake.base() + "/cut";
    call.timeouts = {15000, 15000, 30000, 30000};
    const auto r = net_request(call);
    EXPECT_EQ(r.error, "se cortó la respuesta: se cortó la conexión (error de red 18)");
    // An upload address handed back over plain HTTP is refused before connecting.
    test::TempDir d;
    test::write_file(d.path() / "a.mp4", "v");
    FakeGemini fake2(json{{"POST /upload/v1beta/files",
                           {{{"status", 200}, {"headers", {{"x-goog-upload-url", "http://127.0.0.1:{port}/up"}}}, {"body", "{}"}}}}});
    EXPECT_EQ(ai_upload_clip("http-up", d.path() / "a.mp4", "k").error, "solo se aceptan conexiones https");
    EXPECT_EQ(fake2.requests().size(), 1u);
}

TEST(AiNet, ForeignCertificateSendsNothing) {
    FakeGemini fake(json{{"GET /v1beta/models?pageSize=200", {{{"status", 200}, {"body", "{}"}}}}}, false);
    auto r = ai_list_models("SECRET");
    EXPECT_EQ(r.error, "el certificado no es válido (error de red 60)");
    EXPECT_EQ(fake.requests().size(), 0u);
}

// A listener that queues connections and never reads or answers.
struct SilentListener {
    int fd = -1;
    int port = 0;
    SilentListener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~SilentListener() {
        if (fd >= 0) ::close(fd);
    }
};

TEST(AiNet, NetworkFailuresInWords) {
    NetCall call;
    call.method = "GET";
    call.timeouts = {15000, 15000, 30000, 30000};
    call.url = "https://generativelanguage.corvane.invalid/v1beta/models";
    EXPECT_EQ(net_request(call).error, "no se encontró el servidor (error de red 6)");

    int free_port = 0;
    {
        SilentListener gone;
        free_port = gone.port;
    }
    ASSERT_GT(free_port, 0);
    call.url = "https://127.0.0.1:" + std::to_string(free_port) + "/v1beta/models";
    EXPECT_EQ(net_request(call).error, "sin conexión (error de red 7)");

    // The TLS handshake never gets an answer: the connect limit ends it.
    SilentListener silent;
    ASSERT_GT(silent.port, 0);
    call.url = "https://127.0.0.1:" + std::to_string(silent.port) + "/v1beta/models";
    call.timeouts = {500, 500, 1000, 1000};
    EXPECT_EQ(net_request(call).error, "se agotó el tiempo (error de red 28)");
}

TEST(AiNet, AnAnswerThatStopsComingTimesOut) {
    // The reply head arrives, then the body stalls past the idle limit.
    FakeGemini fake(json{{"GET /slow", {{{"status", 200}, {"headers", {{"Content-Length", "100"}}}, {"chunks", {"abc"}},
                                         {"pause", 5}}}}});
    NetCall call;
    call.method = "GET";
    call.url = fake.base() + "/slow";
    call.timeouts = {15000, 15000, 1000, 1000};
    EXPECT_EQ(net_request(call).error, "se cortó la respuesta: se agotó el tiempo (error de red 28)");
}

TEST(AiNet, ReplyHeaderLookup) {
    const std::string head = "HTTP/1.1 200 OK\r\nX-Goog-Upload-URL:  https://h/u?x=1 \r\nbad line\r\nA: 1\r\nA: 2\r\n";
    EXPECT_EQ(net_reply_header(head, "x-goog-upload-url"), "https://h/u?x=1");
    EXPECT_EQ(net_reply_header(head, "a"), "1");
    EXPECT_EQ(net_reply_header(head, "b"), std::nullopt);
    EXPECT_TRUE(net_name_is_clean("files/abc-1_2.x"));
    for (const char* bad : {"", "files/a b", "files/../x", "a?b", "a#b", "a%2f"}) EXPECT_FALSE(net_name_is_clean(bad)) << bad;
}

TEST(AiErrors, MessageTable) {
    const std::string long_msg = [] {
        std::string s;
        for (int i = 0; i < 500; ++i) s += "ñ";
        return s;
    }();
    struct Case {
        std::uint32_t status;
        std::string body, text;
    };
    const std::vector<Case> cases = {
        {400, R"({"error":{"message":"API KEY invalid"}})", "la clave de Gemini no es válida (revísala en Configuración → IA)"},
        {400, R"({"error":{"message":"Bad field"}})", "Gemini respondió 400: Bad field"},
        {401, "", "la clave de Gemini no es válida o no tiene permiso (Configuración → IA)"},
        {403, "", "la clave de Gemini no es válida o no tiene permiso (Configuración → IA)"},
        {429, "", "se acabó el límite gratis de Gemini por ahora (espera un minuto o intenta mañana)"},
        {500, "", "Gemini está saturado en este momento (pasa con la versión gratis); intenta en unos minutos"},
        {502, "", "Gemini está saturado en este momento (pasa con la versión gratis); intenta en unos minutos"},
        {503, "", "Gemini está saturado en este momento (pasa con la versión gratis); intenta en unos minutos"},
        {504, "", "Gemini está saturado en este momento (pasa con la versión gratis); intenta en unos minutos"},
        {501, R"({"error":{"message":"x"}})", "Gemini respondió 501: x"},
        {404, "<html>", "Gemini respondió 404: "},
        {0, "", "Gemini respondió 0: "},
        {418, R"({"error":{"message":")" + long_msg + "\"}}", "Gemini respondió 418: " + long_msg.substr(0, 600)},
    };
    for (const auto& c : cases) EXPECT_EQ(ai_error_message(c.status, c.body), c.text) << c.status << " " << c.body;
}

}  // namespace
}  // namespace corvane
