// The local HTTPS stand-in of the AI service: a certificate made for the test,
// the python3 server of tools/fake_gemini.py, and the transport pointed at it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../support/command.h"
#include "../support/temp_dir.h"
#include "ai/net.h"

namespace corvane::test {

// A self-signed certificate for 127.0.0.1 in `dir` (name.pem, name.key).
inline void make_certificate(const std::filesystem::path& dir, const std::string& name) {
    const int rc = run_command({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                                (dir / (name + ".key")).string(), "-out", (dir / (name + ".pem")).string()});
    ASSERT_EQ(rc, 0) << "openssl";
}

class FakeGemini {
  public:
    // `scenario`: "METHOD /path" → list of replies. `trusted`: whether the
    // transport is given this server's certificate.
    explicit FakeGemini(const nlohmann::json& scenario, bool trusted = true) {
        make_certificate(dir_.path(), "fake");
        if (!trusted) make_certificate(dir_.path(), "other");
        write_file(dir_.path() / "scenario.json", scenario.dump());
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        const std::string script = std::string(CORVANE_SOURCE_DIR) + "/apps/corvane/tests/ai/tools/fake_gemini.py";
        std::vector<std::string> args = {"python3", script, (dir_.path() / "fake.pem").string(),
                                         (dir_.path() / "fake.key").string(), (dir_.path() / "scenario.json").string(),
                                         log_path().string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "python3", &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(out[0]);
        port_ = line.empty() ? 0 : std::stoi(line);
        NetConfig cfg;
        cfg.gemini_base = base();
        cfg.ca_file = (dir_.path() / (trusted ? "fake.pem" : "other.pem")).string();
        net_set_config_for_tests(cfg);
    }
    ~FakeGemini() {
        net_set_config_for_tests(NetConfig{});
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int st;
            ::waitpid(pid_, &st, 0);
        }
    }
    FakeGemini(const FakeGemini&) = delete;
    FakeGemini& operator=(const FakeGemini&) = delete;

    int port() const { return port_; }
    std::string base() const { return "https://127.0.0.1:" + std::to_string(port_); }
    std::filesystem::path log_path() const { return dir_.path() / "log.jsonl"; }

    // The requests the server saw, oldest first.
    std::vector<nlohmann::json> requests() const {
        std::vector<nlohmann::json> out;
        std::ifstream in(log_path());
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) out.push_back(nlohmann::json::parse(line));
        return out;
    }

  private:
    TempDir dir_{"crvn-fake-gemini"};
    pid_t pid_ = -1;
    int port_ = 0;
};

// The header lines of a logged request, as "Name: value" texts.
inline std::vector<std::string> header_lines(const nlohmann::json& request) {
    std::vector<std::string> out;
    for (const auto& h : request["headers"]) out.push_back(h[0].get<std::string>() + ": " + h[1].get<std::string>());
    return out;
}

}  // namespace corvane::test
