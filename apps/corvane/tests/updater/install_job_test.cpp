// The download and install job up to the start of the install step, against
// the local update server: its refusals leave the installation as it was.
#include "updater/install_job.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/tray.h"
#include "updater/jobs.h"
#include "updater/updater.h"
#include "update_server.h"

namespace fs = std::filesystem;

namespace corvane {
namespace {

using Json = nlohmann::ordered_json;

// Every file under `root` but the data folder, with its bytes.
std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const auto rel = fs::relative(it->path(), root);
        if (rel == "data") {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file()) out[rel.string()] = test::read_file(it->path());
        else out[rel.string() + "/"] = "";
    }
    return out;
}

std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

class InstallJob : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new test::UpdateServer;
        start_error_ = server_->start();
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(start_error_, "");
        paths_set_app_dir_for_tests(app_.path());
        log_reset_for_tests();
        log_open();
        updater_reset_for_tests();
        updater_set_web_config_for_tests({server_->ca_file()});
        tray_balloons_clear_for_tests();
        // An installation: the program, a library, the key and the settings.
        test::write_file(app_.path() / "corvane", "programa v0.10.45");
        fs::create_directories(app_.path() / "lib");
        test::write_file(app_.path() / "lib" / "x.txt", "librería vieja");
        test::write_file(app_.path() / "clave_actualizaciones.pub", server_->public_key() + "\n");
        before_ = tree(app_.path());
        ::setenv("KV_UPDATE_URL", server_->url("version.json").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KV_UPDATE_URL");
        updater_reset_for_tests();
        log_reset_for_tests();
        paths_set_app_dir_for_tests({});
    }

    Json manifest(const std::string& version, const std::string& url, const std::string& sha,
                  std::uint64_t size) {
        return Json{{"app", "corvane"},    {"version", version}, {"date", "2026-11-01"},
                    {"url", url},          {"size", size},       {"sha256", sha},
                    {"changes", Json::array({Json{{"version", version}, {"md", "- Nuevo"}}})}};
    }
    // The whole road: a check, then the install of what it found.
    void check_then_install() {
        updater_run_check(app_.path(), "Ctrl+Shift+U", false);
        if (auto info = updater_status_snapshot()) updater_download_and_install(app_.path(), *info);
    }
    std::string status_message() {
        std::string m;
        updater_status_read([&](const char*, const std::string& msg, const std::optional<UpdateInfo>&) {
            m = msg;
        });
        return m;
    }
    fs::path update_folder() { return app_.path() / "data" / "actualizacion"; }

    static test::UpdateServer* server_;
    static std::string start_error_;
    test::TempDir app_{"corvane-upd-install"};
    std::map<std::string, std::string> before_;
};
test::UpdateServer* InstallJob::server_ = nullptr;
std::string InstallJob::start_error_;

TEST_F(InstallJob, RefusalsLeaveTheInstallationUntouched) {
    const std::string good_sha = server_->package(
        "good.zip", {{"Corvane/corvane", "programa v0.10.46"}, {"Corvane/lib/x.txt", "nueva"}});
    const std::string no_exe_sha = server_->package("noexe.zip", {{"Corvane/lib/x.txt", "nueva"}});
    const std::string escape_sha = server_->package(
        "escape.zip", {{"Corvane/corvane", "p"}, {"Corvane/../../fuera.txt", "malo"}});
    server_->serve("tampered.zip", "PK not the signed package");
    const std::string nested =
        R"({"manifest":{"version":"0.10.46","x":)" + std::string(300, '[') + std::string(300, ']') +
        R"(},"sig":""})";

    struct Case {
        const char* name;
        std::string document;
        std::string message;
    };
    const std::string install = "No se pudo actualizar: ";
    const std::string search = "No se pudo buscar actualizaciones: ";
    const Case cases[] = {
        {"tampered package",
         server_->sign(manifest("0.10.46", server_->url("tampered.zip"), good_sha, 100)).dump(),
         install + "el archivo descargado no coincide con el publicado (SHA-256 distinto)"},
        {"foreign signer",
         server_
             ->sign(manifest("0.10.46", server_->url("good.zip"), good_sha, 100),
                    test::UpdateServer::random_hex())
             .dump(),
         search + "la firma de la actualización no es válida; no se instalará nada"},
        {"equal version",
         server_->sign(manifest("0.10.45", server_->url("good.zip"), good_sha, 100)).dump(),
         "Ya tienes la versión más reciente (v0.10.45)."},
        {"older version",
         server_->sign(manifest("0.9.99", server_->url("good.zip"), good_sha, 100)).dump(),
         "Ya tienes la versión más reciente (v0.10.45)."},
        {"deeply nested manifest", nested, ""},
        {"size bomb",
         server_->sign(manifest("0.10.46", server_->big_url(70u << 20), good_sha, 1000)).dump(),
         install + "el archivo descargado es más grande que el publicado"},
        {"not found",
         server_->sign(manifest("0.10.46", server_->url("missing.zip"), good_sha, 100)).dump(),
         install + "HTTP Error 404"},
        {"no program in the package",
         server_->sign(manifest("0.10.46", server_->url("noexe.zip"), no_exe_sha, 100)).dump(),
         install + "el paquete no trae Corvane/corvane"},
        {"path escaping the folder",
         server_->sign(manifest("0.10.46", server_->url("escape.zip"), escape_sha, 100)).dump(),
         ""},
        {"unsafe version text",
         server_->sign(manifest("0.11.0 ", server_->url("good.zip"), good_sha, 100)).dump(),
         search + "la versión publicada no es válida; no se instalará nada"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        server_->serve("version.json", c.document);
        check_then_install();
        const std::string message = status_message();
        if (!c.message.empty()) {
            EXPECT_EQ(message, c.message);
        } else {
            // Only the reader's own words after the fixed start.
            EXPECT_TRUE(message.rfind(search, 0) == 0 || message.rfind(install, 0) == 0) << message;
        }
        EXPECT_EQ(tree(app_.path()), before_);
        EXPECT_EQ(names_in(update_folder()), std::vector<std::string>{"ultima_busqueda.txt"});
        EXPECT_FALSE(fs::exists(app_.path().parent_path() / "fuera.txt"));
    }
}

TEST_F(InstallJob, DigestMismatchLeavesAnEarlierExtractionAlone) {
    fs::create_directories(update_folder() / "nuevo");
    test::write_file(update_folder() / "nuevo" / "corvane", "antes");
    UpdateInfo info;
    info.version = "0.10.46";
    info.url = server_->url("other.zip");
    server_->serve("other.zip", "otro");
    info.sha256 = std::string(64, '0');
    updater_download_and_install(app_.path(), info);
    EXPECT_EQ(status_message(),
              "No se pudo actualizar: el archivo descargado no coincide con el publicado (SHA-256 "
              "distinto)");
    EXPECT_EQ(test::read_file(update_folder() / "nuevo" / "corvane"), "antes");
    EXPECT_EQ(names_in(update_folder()), std::vector<std::string>{"nuevo"});
    const auto balloons = tray_balloons_take();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].title, "No se pudo actualizar");
    EXPECT_EQ(balloons[0].warning, 1);
    // The version stays known, so the install can be tried again.
    const std::string log = test::read_file(log_file_path());
    EXPECT_NE(log.find("[ACTUALIZACIÓN] Descargando v0.10.46…\r\n"), std::string::npos);
    EXPECT_NE(log.find("[ACTUALIZACIÓN] Descarga completa.\r\n"), std::string::npos);
    EXPECT_NE(log.find("[ACTUALIZACIÓN] No se pudo actualizar: el archivo descargado"),
              std::string::npos);
}

TEST_F(InstallJob, OnlyHttpsUnlessTheUpdateAddressIsOverridden) {
    server_->serve("p.zip", "contenido");
    UpdateInfo info;
    info.version = "0.10.46";
    info.sha256 = std::string(64, '0');
    const std::string refused = "No se pudo actualizar: solo se aceptan descargas por https";
    const std::string downloaded =
        "No se pudo actualizar: el archivo descargado no coincide con el publicado (SHA-256 "
        "distinto)";
    struct Case {
        std::string url;
        const char* env;  // KV_UPDATE_URL, or null for unset
        std::string message;
    } cases[] = {
        {server_->plain_url("p.zip"), nullptr, refused},
        {"HTTPS://127.0.0.1/files/p.zip", nullptr, refused},
        {server_->plain_url("p.zip"), "", downloaded},
        {server_->plain_url("p.zip"), "http://elsewhere/", downloaded},
        {server_->url("p.zip"), nullptr, downloaded},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        if (c.env) ::setenv("KV_UPDATE_URL", c.env, 1);
        else ::unsetenv("KV_UPDATE_URL");
        info.url = c.url;
        updater_download_and_install(app_.path(), info);
        EXPECT_EQ(status_message(), c.message);
        EXPECT_EQ(names_in(update_folder()), std::vector<std::string>{});
    }
}

TEST(DownloadSink, ProgressLimitAndWriteErrors) {
    test::TempDir dir;
    paths_set_app_dir_for_tests(dir.path());
    log_reset_for_tests();
    log_open();
    const std::string piece(100, 'x');
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(piece.data());
    struct Case {
        std::uint64_t expected;
        std::uint64_t limit;
        std::size_t pieces;  // of 100 bytes
        std::size_t piece_size;
        std::vector<std::string> lines;  // progress lines logged
        bool ok;
    } cases[] = {
        {0, 1u << 20, 10, 100, {}, true},
        {1000, 1u << 20, 10, 100, {"30%", "60%", "90%"}, true},
        {1000, 1u << 20, 1, 1000, {"99%"}, true},
        {1000, 250, 3, 100, {}, false},  // the third piece passes the limit
    };
    const std::string big(1000, 'y');
    for (const auto& c : cases) {
        const fs::path file = dir.path() / "p.zip";
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        const auto before = test::read_file(log_file_path()).size();
        DownloadSinkState s;
        s.fd = fd;
        s.expected = c.expected;
        s.limit = c.limit;
        bool ok = true;
        for (std::size_t i = 0; i < c.pieces && ok; ++i) {
            ok = download_sink(s, c.piece_size == 100 ? bytes
                                                      : reinterpret_cast<const std::uint8_t*>(big.data()),
                               c.piece_size);
        }
        ::close(fd);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(s.over_limit, !c.ok);
        EXPECT_EQ(s.received, test::read_file(file).size());
        const std::string added = test::read_file(log_file_path()).substr(before);
        std::vector<std::string> got;
        for (std::size_t at = 0; (at = added.find("Descargando… ", at)) != std::string::npos;) {
            at += std::string("Descargando… ").size();
            got.push_back(added.substr(at, added.find('\r', at) - at));
        }
        EXPECT_EQ(got, c.lines) << c.expected << " " << c.pieces;
    }

    // A file that cannot be written stops the download with the system's text;
    // the piece is neither counted nor hashed.
    const int ro = ::open((dir.path() / "p.zip").c_str(), O_RDONLY | O_CLOEXEC);
    DownloadSinkState s;
    s.fd = ro;
    s.limit = 1u << 20;
    EXPECT_FALSE(download_sink(s, bytes, 100));
    ::close(ro);
    ASSERT_TRUE(s.error);
    EXPECT_EQ(*s.error, "Bad file descriptor (os error 9)");
    EXPECT_EQ(s.received, 0u);
    EXPECT_EQ(vessoria::sha256_hex(vessoria::sha256_finish(s.hash)),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    log_reset_for_tests();
    paths_set_app_dir_for_tests({});
}

TEST(DownloadLimit, TwiceTheSizePlus64MiB) {
    const std::uint64_t mib = 1 << 20;
    EXPECT_EQ(updater_download_limit(0), 4096 * mib);
    EXPECT_EQ(updater_download_limit(1), 2 + 64 * mib);
    EXPECT_EQ(updater_download_limit(100 * mib), 264 * mib);
    EXPECT_EQ(updater_download_limit(~std::uint64_t(0)), ~std::uint64_t(0));
    EXPECT_EQ(updater_download_limit(std::uint64_t(1) << 63), ~std::uint64_t(0));
}

TEST(InstallerArgs, EightArgumentsTheFourthOurId) {
    EXPECT_EQ(updater_installer_args("/opt/c v/data/actualizacion/nuevo", "/opt/c v", 4242,
                                     "0.11.0-rc.1+b_2"),
              (std::vector<std::string>{"--apply-update", "/opt/c v/data/actualizacion/nuevo",
                                        "/opt/c v", "4242", "--version", "0.11.0-rc.1+b_2",
                                        "--from-version", "0.10.45"}));
}

}  // namespace
}  // namespace corvane
