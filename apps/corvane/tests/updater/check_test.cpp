// The update check against a local HTTPS server that serves manifests signed
// by python's own Ed25519 and JSON (independent of our canonical form).
#include "updater/check.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "../support/command.h"
#include "../support/temp_dir.h"
#include "updater/updater.h"

namespace fs = std::filesystem;

namespace {

using corvane::UpdateCheckOutcome;
using corvane::test::read_file;
using corvane::test::TempDir;
using corvane::test::write_file;
using Json = nlohmann::ordered_json;
using Kind = UpdateCheckOutcome::Kind;

const std::string kSigner = std::string(CORVANE_TEST_DATA_DIR) + "/sign_manifest.py";
const std::string kServer =
    std::string(CORVANE_SOURCE_DIR) + "/libs/vessoria-core/tests/data/fake_https.py";

std::string trim_line(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

std::int64_t now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class UpdateCheck : public ::testing::Test {
  protected:
    // Started from the first test's SetUp rather than SetUpTestSuite: a
    // failure there would only mark the tests skipped.
    static void start_server() {
        suite_ = new TempDir("corvane-check");
        const fs::path d = suite_->path();
        fs::create_directories(d / "www");
        ASSERT_EQ(
            corvane::test::run_command({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                        "-days", "2", "-subj", "/CN=localhost", "-addext",
                                        "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                                        (d / "k.pem").string(), "-out", (d / "c.pem").string()}),
            0);
        std::random_device rd;
        std::mt19937_64 gen(((std::uint64_t)rd() << 32) ^ rd());
        static const char hex[] = "0123456789abcdef";
        for (int i = 0; i < 64; ++i) seed_ += hex[gen() % 16];
        pub_ =
            trim_line(corvane::test::command_output("python3 '" + kSigner + "' " + seed_ + " pub"));
        ASSERT_EQ(pub_.size(), 64u) << pub_;

        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        const std::string cert = (d / "c.pem").string(), key = (d / "k.pem").string(),
                          www = (d / "www").string();
        std::vector<char*> argv = {
            const_cast<char*>("/usr/bin/python3"), const_cast<char*>(kServer.c_str()),
            const_cast<char*>(cert.c_str()),       const_cast<char*>(key.c_str()),
            const_cast<char*>(www.c_str()),        nullptr};
        ASSERT_EQ(posix_spawn(&server_, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (line.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 500) <= 0) continue;
            char buf[256];
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            line.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        ASSERT_EQ(sscanf(line.c_str(), "PORTS %d %d", &tls_port_, &plain_port_), 2) << line;
    }
    static void TearDownTestSuite() {
        if (server_ > 0) {
            kill(server_, SIGTERM);
            waitpid(server_, nullptr, 0);
            server_ = 0;
        }
        delete suite_;
        suite_ = nullptr;
    }

    void SetUp() override {
        if (suite_ == nullptr) start_server();
        ASSERT_GT(tls_port_, 0) << "the local server did not start";
        write_file(app_.path() / "clave_actualizaciones.pub", "  " + pub_ + "\r\n");
        serve("version.json", "{}");
        ::setenv("KV_UPDATE_URL", url("version.json").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("KV_UPDATE_URL"); }

    static std::string url(const std::string& name) {
        return "https://127.0.0.1:" + std::to_string(tls_port_) + "/files/" + name;
    }
    static void serve(const std::string& name, const std::string& body) {
        write_file(suite_->path() / "www" / name, body);
    }
    // {"manifest": m, "sig": ...} as the publisher makes it.
    static Json signed_doc(const Json& manifest) {
        TempDir tmp;
        write_file(tmp.path() / "m.json", manifest.dump());
        const std::string out = corvane::test::command_output(
            "python3 '" + kSigner + "' " + seed_ + " '" + (tmp.path() / "m.json").string() + "'");
        return Json::parse(out);
    }
    UpdateCheckOutcome check_doc(const std::string& body) {
        serve("version.json", body);
        const auto before = now_seconds();
        auto out = corvane::update_check(app_.path(), config());
        const auto after = now_seconds();
        // Every attempt, whatever its outcome, is recorded.
        const auto last = corvane::updater_read_last_check(app_.path() / "data" / "actualizacion");
        EXPECT_GE(static_cast<std::int64_t>(last), before);
        EXPECT_LE(static_cast<std::int64_t>(last), after);
        return out;
    }
    static corvane::UpdateCheckConfig config() {
        corvane::UpdateCheckConfig c;
        c.web.ca_file = (suite_->path() / "c.pem").string();
        return c;
    }
    static Json base_manifest(const Json& version) {
        Json m = Json::object();
        m["app"] = "corvane";
        m["version"] = version;
        m["date"] = "2026-12-01";
        m["url"] = "https://127.0.0.1/pkg.zip";
        m["size"] = 1234;
        m["sha256"] = std::string(64, 'A');
        return m;
    }

    TempDir app_{"corvane-app"};
    static inline TempDir* suite_ = nullptr;
    static inline std::string seed_, pub_;
    static inline pid_t server_ = 0;
    static inline int tls_port_ = 0, plain_port_ = 0;
};

TEST_F(UpdateCheck, VersionOutcomes) {
    struct Case {
        Json version;
        Kind kind;
        const char* shown;
    };
    const Case cases[] = {
        {"0.10.45", Kind::up_to_date, ""},
        {"0.10.46", Kind::newer, "0.10.46"},
        {1, Kind::newer, "1"},
        {"1.x", Kind::up_to_date, ""},
        {"0.9.99", Kind::up_to_date, ""},
        {"v0.11.0_1", Kind::newer, "v0.11.0_1"},
        {"0.11.0-beta", Kind::up_to_date, ""},
    };
    for (const auto& c : cases) {
        auto out = check_doc(signed_doc(base_manifest(c.version)).dump());
        EXPECT_EQ(out.kind, c.kind) << c.version.dump() << " " << out.error;
        if (c.kind == Kind::newer) {
            EXPECT_EQ(out.info.version, c.shown);
            EXPECT_EQ(out.info.url, "https://127.0.0.1/pkg.zip");
            EXPECT_EQ(out.info.sha256, std::string(64, 'a'));
            EXPECT_EQ(out.info.size, 1234u);
            EXPECT_EQ(out.info.page,
                      std::string("https://") + corvane::kUpdateServerHost + "/corvane/");
        }
    }
}

TEST_F(UpdateCheck, Refusals) {
    Json good = signed_doc(base_manifest("0.10.46"));
    Json no_sig = good;
    no_sig.erase("sig");
    Json flipped = good;
    std::string sig = flipped["sig"];
    sig[10] = sig[10] == '0' ? '1' : '0';
    flipped["sig"] = sig;
    Json list_manifest = good;
    list_manifest["manifest"] = Json::array({1});
    Json app_capital = base_manifest("0.10.46");
    app_capital["app"] = "Corvane";
    Json app_number = base_manifest("0.10.46");
    app_number["app"] = 1;
    Json no_version = base_manifest("");
    Json sig_number = good;
    sig_number["sig"] = 5;
    Json sig_bad_hex = good;
    sig_bad_hex["sig"] = "zz";
    Json unsafe = base_manifest("0.11.0\n");
    Json unsafe_space = base_manifest(" 0.11.0");

    const std::string bad_sig = "la firma de la actualización no es válida; no se instalará nada";
    const std::string not_ours =
        "la actualización publicada no es de Corvane; no se instalará nada";
    const std::pair<std::string, std::string> cases[] = {
        {no_sig.dump(), bad_sig},
        {flipped.dump(), bad_sig},
        {list_manifest.dump(), "'list' object has no attribute 'get'"},
        {"[1]", "'list' object has no attribute 'get'"},
        {signed_doc(app_capital).dump(), not_ours},
        {signed_doc(app_number).dump(), not_ours},
        {signed_doc(no_version).dump(), "respuesta sin versión"},
        {sig_number.dump(), "fromhex() argument must be str, not int"},
        {sig_bad_hex.dump(), "non-hexadecimal number found in fromhex() arg at position 0"},
        {signed_doc(unsafe).dump(), "la versión publicada no es válida; no se instalará nada"},
        {signed_doc(unsafe_space).dump(),
         "la versión publicada no es válida; no se instalará nada"},
        {"{\"manifest\": {\"version\": \"9\"}, \"sig\": \"00\"} x", "?"},
    };
    for (const auto& [body, want] : cases) {
        auto out = check_doc(body);
        EXPECT_EQ(out.kind, Kind::error) << body;
        if (want == "?")
            EXPECT_NE(out.error.find(" at line 1 column "), std::string::npos) << out.error;
        else
            EXPECT_EQ(out.error, want) << body;
    }

    // A different signer is as bad as a broken signature.
    write_file(app_.path() / "clave_actualizaciones.pub", std::string(64, '1'));
    EXPECT_EQ(check_doc(good.dump()).error, bad_sig);
    // The key may also sit in "kv" when the program folder has none that reads.
    fs::create_directories(app_.path() / "kv");
    write_file(app_.path() / "clave_actualizaciones.pub", "no es una llave");
    write_file(app_.path() / "kv" / "clave_actualizaciones.pub", pub_);
    EXPECT_EQ(check_doc(good.dump()).kind, Kind::newer);
    // Without any key nothing in the manifest is looked at.
    fs::remove(app_.path() / "kv" / "clave_actualizaciones.pub");
    EXPECT_EQ(
        check_doc("{\"manifest\": [1], \"sig\": 7}").error,
        std::string("esta copia no trae la llave de actualizaciones: descarga Corvane desde ") +
            corvane::kUpdateServerHost + " una vez");
}

TEST_F(UpdateCheck, AppSizeAndPageValues) {
    Json m = base_manifest("0.10.46");
    m["app"] = nullptr;
    m["page"] = "https://example.org/notas";
    for (const Json& size : {Json(-1), Json(1.5), Json("1"), Json(nullptr)}) {
        m["size"] = size;
        auto out = check_doc(signed_doc(m).dump());
        ASSERT_EQ(out.kind, Kind::newer) << out.error;
        EXPECT_EQ(out.info.size, 0u) << size.dump();
        EXPECT_EQ(out.info.page, "https://example.org/notas");
    }
    m.erase("app");
    m["size"] = 18446744073709551615ull;
    auto out = check_doc(signed_doc(m).dump());
    ASSERT_EQ(out.kind, Kind::newer) << out.error;
    EXPECT_EQ(out.info.size, 18446744073709551615ull);
}

TEST_F(UpdateCheck, Changes) {
    Json m = base_manifest("0.11.0");
    Json changes = Json::array();
    changes.push_back({{"version", "0.10.45"}, {"md", "viejo"}});
    for (int i = 0; i < 15; ++i)
        changes.push_back(
            {{"version", fmt::format("0.10.{}", 46 + i)}, {"md", fmt::format("n{}", i)}});
    m["changes"] = changes;
    auto out = check_doc(signed_doc(m).dump());
    ASSERT_EQ(out.kind, Kind::newer) << out.error;
    ASSERT_EQ(out.info.changes.size(), 12u);
    EXPECT_EQ(out.info.changes.front().version, "0.10.46");
    EXPECT_EQ(out.info.changes.back().md, "n11");

    // Entries without a text md are dropped after the twelve are chosen.
    m["changes"] = Json::array({Json{{"version", "0.11.0"}}, Json{{"version", "0.11.0"}, {"md", 3}},
                                Json{{"version", 1}, {"md", "uno"}}});
    out = check_doc(signed_doc(m).dump());
    ASSERT_EQ(out.kind, Kind::newer) << out.error;
    ASSERT_EQ(out.info.changes.size(), 1u);
    EXPECT_EQ(out.info.changes[0].version, "1");
    EXPECT_EQ(out.info.changes[0].md, "uno");

    const std::pair<Json, std::string> bad[] = {
        {Json("x"), "'str' object has no attribute 'get'"},
        {Json{{"a", 1}}, "'str' object has no attribute 'get'"},
        {Json(5), "'int' object is not iterable"},
        {Json(true), "'bool' object is not iterable"},
        {Json::array({Json("0.11")}), "'str' object has no attribute 'get'"},
    };
    for (const auto& [value, want] : bad) {
        m["changes"] = value;
        EXPECT_EQ(check_doc(signed_doc(m).dump()).error, want) << value.dump();
    }
    for (const Json& none : {Json::array(), Json(nullptr), Json(0)}) {
        m["changes"] = none;
        out = check_doc(signed_doc(m).dump());
        ASSERT_EQ(out.kind, Kind::newer) << out.error;
        EXPECT_TRUE(out.info.changes.empty());
    }
}

TEST_F(UpdateCheck, TransportAndTextFailures) {
    ::setenv("KV_UPDATE_URL", url("nothing-here.json").c_str(), 1);
    EXPECT_EQ(check_doc("").error, "HTTP Error 404");
    ::setenv("KV_UPDATE_URL", "http://127.0.0.1:1/version.json", 1);
    EXPECT_EQ(check_doc("").error, "sin conexión (error de red 7)");
    ::setenv("KV_UPDATE_URL", "https://actualizaciones.corvane.invalid/corvane/version.json", 1);
    EXPECT_EQ(check_doc("").error, "no se encontró el servidor (error de red 6)");
    ::setenv("KV_UPDATE_URL", "ftp://127.0.0.1/version.json", 1);
    EXPECT_EQ(check_doc("").error, "URL no válida");
    // Plain http through the override, as a local test server would be.
    ::setenv("KV_UPDATE_URL",
             ("http://127.0.0.1:" + std::to_string(plain_port_) + "/files/version.json").c_str(),
             1);
    EXPECT_EQ(check_doc(signed_doc(base_manifest("0.10.46")).dump()).kind, Kind::newer);
    ::setenv("KV_UPDATE_URL", url("version.json").c_str(), 1);

    // Only the first 200,000 bytes are read: valid JSON cut there.
    const std::string doc = signed_doc(base_manifest("0.10.46")).dump();
    std::string long_body =
        doc.substr(0, doc.size() - 1) + ",\"pad\":\"" + std::string(250000, 'p') + "\"}";
    auto cut = check_doc(long_body);
    EXPECT_EQ(cut.kind, Kind::error);
    EXPECT_NE(cut.error.find(" at line 1 column "), std::string::npos) << cut.error;

    std::string invalid = std::string(199999, ' ') + "\xC3";
    // A whole character just before the cut is fine for the decoder.
    EXPECT_EQ(check_doc(std::string(199998, ' ') + "\xC3\xA9" + "more").error.find("'utf-8'"),
              std::string::npos);
    EXPECT_EQ(check_doc(invalid).error,
              "'utf-8' codec can't decode bytes: incomplete utf-8 byte sequence from index 199999");
    EXPECT_EQ(check_doc("{\"a\": \"\xE0\x80\"}").error,
              "'utf-8' codec can't decode bytes: invalid utf-8 sequence of 1 bytes from index 7");
    EXPECT_EQ(check_doc("{\"a\": \"\xF0\x9F\x98x\"}").error,
              "'utf-8' codec can't decode bytes: invalid utf-8 sequence of 3 bytes from index 7");

    // A deeply nested manifest is refused, never a crash.
    auto deep =
        check_doc("{\"manifest\": " + std::string(100000, '[') + std::string(100000, ']') + "}");
    EXPECT_EQ(deep.kind, Kind::error);
    EXPECT_NE(deep.error.find(" at line 1 column "), std::string::npos) << deep.error;
    auto ok_depth = check_doc(std::string(127, '[') + "{}" + std::string(127, ']'));
    EXPECT_EQ(ok_depth.error, "'list' object has no attribute 'get'");
}

}  // namespace
