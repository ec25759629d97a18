// End to end on loopback: a manifest signed with a key made here and a
// package zipped here, served over HTTPS (and over plain HTTP with
// "KV_UPDATE_URL"); the updater finds the version, downloads and verifies
// it, starts a copy of the running program as the install step with its
// arguments, and ends with code 0.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"
#include "update_server.h"

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

namespace {

struct DriverRun {
    int exit_code = -1;  // -1: did not end in time (killed)
    std::string output;
};

// Runs the driver with `env` added to ours (DISPLAY removed: no windows).
DriverRun run_driver(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.rfind("DISPLAY=", 0) == 0 || v.rfind("KV_UPDATE_URL=", 0) == 0) continue;
        envs.push_back(v);
    }
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& v : envs) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> all = {UPDATE_DRIVER};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    DriverRun run;
    if (pipe2(out, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + 180s;
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            char buf[4096];
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n > 0) run.output.append(buf, static_cast<size_t>(n));
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
    }
    close(out[0]);
    return run;
}

bool wait_for_file(const fs::path& p) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!fs::exists(p)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The positions of `lines` in `text`, which must come in that order.
void expect_in_order(const std::string& text, const std::vector<std::string>& lines) {
    std::size_t at = 0;
    for (const auto& l : lines) {
        const std::size_t found = text.find(l, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << l << "\n" << text;
        at = found + l.size();
    }
}

TEST(UpdateEndToEnd, FindsDownloadsVerifiesAndStartsTheInstallStep) {
    corvane::test::UpdateServer server;
    ASSERT_EQ(server.start(), "");
    const std::string sha = server.package(
        "Corvane_v0.10.46.zip", {{"Corvane/corvane", "programa v0.10.46"},
                                 {"Corvane/lib/x.txt", "librería nueva"},
                                 {"Corvane/data/evil.txt", "no se extrae"}});

    struct Case {
        const char* name;
        bool plain;
    } cases[] = {{"https", false}, {"plain http with KV_UPDATE_URL", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        corvane::test::TempDir app("corvane-upd-e2e");
        corvane::test::write_file(app.path() / "corvane", "programa v0.10.45");
        corvane::test::write_file(app.path() / "clave_actualizaciones.pub",
                                  server.public_key() + "\n");
        const auto pkg_url = c.plain ? server.plain_url("Corvane_v0.10.46.zip")
                                     : server.url("Corvane_v0.10.46.zip");
        const Json manifest = {{"app", "corvane"},
                               {"version", "0.10.46"},
                               {"date", "2026-11-01"},
                               {"url", pkg_url},
                               {"size", server.size_of("Corvane_v0.10.46.zip")},
                               {"sha256", sha},
                               {"page", "https://corvane.example/notas"},
                               {"changes", Json::array({Json{{"version", "0.10.46"},
                                                             {"md", "- **Nuevo** modo"}}})}};
        server.serve("version.json", server.sign(manifest).dump());
        const fs::path record = app.path() / "arranque.json";
        const auto manifest_url = c.plain ? server.plain_url("version.json") : server.url("version.json");

        const DriverRun run = run_driver({"--e2e", app.path().string(), server.ca_file()},
                                   {"KV_UPDATE_URL=" + manifest_url,
                                    "CRVN_DRIVER_RECORD=" + record.string()});
        ASSERT_EQ(run.exit_code, 0) << run.output;
        // What the page saw after the search.
        const Json seen = Json::parse(run.output.substr(0, run.output.find('\n')));
        EXPECT_EQ(seen["fase"], "disponible");
        EXPECT_EQ(seen["nueva"]["version"], "0.10.46");

        ASSERT_TRUE(wait_for_file(record));
        const Json started = Json::parse(corvane::test::read_file(record));
        const fs::path folder = app.path() / "data" / "actualizacion";
        const std::vector<std::string> args = started["args"];
        ASSERT_EQ(args.size(), 8u);
        EXPECT_EQ(args[0], "--apply-update");
        EXPECT_EQ(args[1], (folder / "nuevo").string());
        EXPECT_EQ(args[2], app.path().string());
        EXPECT_GT(std::stoul(args[3]), 0u);  // the driver's id; it has ended
        EXPECT_EQ(kill(static_cast<pid_t>(std::stoul(args[3])), 0), -1);
        EXPECT_EQ(std::vector<std::string>(args.begin() + 4, args.end()),
                  (std::vector<std::string>{"--version", "0.10.46", "--from-version", "0.10.45"}));
        EXPECT_EQ(started["cwd"], folder.string());
        EXPECT_EQ(started["session_leader"], true);
        EXPECT_EQ(started["exe"], (folder / "corvane").string());
        EXPECT_EQ(corvane::test::read_file(folder / "corvane"),
                  corvane::test::read_file(UPDATE_DRIVER));

        // The unpacked version waits for the install step; the package is gone.
        EXPECT_EQ(corvane::test::read_file(folder / "nuevo" / "corvane"), "programa v0.10.46");
        EXPECT_EQ(corvane::test::read_file(folder / "nuevo" / "lib" / "x.txt"), "librería nueva");
        EXPECT_FALSE(fs::exists(folder / "nuevo" / "data" / "evil.txt"));
        EXPECT_FALSE(fs::exists(folder / "Corvane_v0.10.46.zip"));
        // The installation itself is the install step's to change.
        EXPECT_EQ(corvane::test::read_file(app.path() / "corvane"), "programa v0.10.45");

        const std::string log = corvane::test::read_file(app.path() / "data" / "corvane.log");
        expect_in_order(log, {
                                 " [ACTUALIZACIÓN] Buscando actualizaciones…\r\n",
                                 " [ACTUALIZACIÓN] Hay una versión nueva: v0.10.46 (tienes la v0.10.45)\r\n",
                                 "     • Nuevo modo\r\n",
                                 " [ACTUALIZACIÓN] Descargando v0.10.46…\r\n",
                                 " [ACTUALIZACIÓN] Descargando… ",
                                 " [ACTUALIZACIÓN] Descarga completa.\r\n",
                                 " [ACTUALIZACIÓN] Paquete verificado (2 archivos).\r\n",
                                 " [ACTUALIZACIÓN] Listo: instalando v0.10.46. Corvane se cierra y se vuelve a abrir…\r\n",
                             });
    }
}

}  // namespace
