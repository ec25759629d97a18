// A local stand-in for the update server: python's HTTPS (and plain HTTP)
// server on 127.0.0.1 with a certificate made at start, a signing key made
// at start, manifests signed by python and packages zipped by python.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../support/command.h"
#include "../support/temp_dir.h"

namespace corvane::test {

class UpdateServer {
  public:
    // Empty when it started, else why not.
    std::string start() {
        namespace fs = std::filesystem;
        const fs::path d = dir_.path();
        fs::create_directories(d / "www");
        if (run_command({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                         "-subj", "/CN=localhost", "-addext",
                         "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                         (d / "k.pem").string(), "-out", (d / "c.pem").string()}) != 0)
            return "openssl failed";
        seed_ = random_hex();
        pub_ = trim(command_output("python3 '" + signer() + "' " + seed_ + " pub"));
        if (pub_.size() != 64) return "no key: " + pub_;

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return "pipe";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        const std::string server = std::string(CORVANE_SOURCE_DIR) +
                                   "/libs/vessoria-core/tests/data/fake_https.py";
        const std::string cert = (d / "c.pem").string(), key = (d / "k.pem").string(),
                          www = (d / "www").string();
        std::vector<char*> argv = {const_cast<char*>("/usr/bin/python3"),
                                   const_cast<char*>(server.c_str()),
                                   const_cast<char*>(cert.c_str()),
                                   const_cast<char*>(key.c_str()),
                                   const_cast<char*>(www.c_str()), nullptr};
        const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            pid_ = 0;
            return "spawn";
        }
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
        if (std::sscanf(line.c_str(), "PORTS %d %d", &tls_, &plain_) != 2) return "no ports: " + line;
        return {};
    }
    ~UpdateServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    std::string url(const std::string& name) const {
        return "https://127.0.0.1:" + std::to_string(tls_) + "/files/" + name;
    }
    std::string plain_url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(plain_) + "/files/" + name;
    }
    // A body of `bytes` "x" bytes, streamed.
    std::string big_url(std::uint64_t bytes) const {
        return "https://127.0.0.1:" + std::to_string(tls_) + "/big/" + std::to_string(bytes);
    }
    std::string ca_file() const { return (dir_.path() / "c.pem").string(); }
    const std::string& public_key() const { return pub_; }

    void serve(const std::string& name, const std::string& bytes) const {
        write_file(dir_.path() / "www" / name, bytes);
    }
    std::uint64_t size_of(const std::string& name) const {
        return std::filesystem::file_size(dir_.path() / "www" / name);
    }
    // {"manifest": m, "sig": ...} as the publisher signs it, with this
    // server's key or, when `seed` is given, another one.
    nlohmann::ordered_json sign(const nlohmann::ordered_json& manifest,
                                const std::string& seed = {}) const {
        TempDir tmp;
        write_file(tmp.path() / "m.json", manifest.dump());
        const std::string out =
            command_output("python3 '" + signer() + "' " + (seed.empty() ? seed_ : seed) + " '" +
                           (tmp.path() / "m.json").string() + "'");
        return nlohmann::ordered_json::parse(out);
    }
    // Zips `entries` (path inside the zip, text) into the served file `name`;
    // its SHA-256 in hex.
    std::string package(const std::string& name,
                        const std::vector<std::pair<std::string, std::string>>& entries) const {
        std::string cmd = "python3 '" + data("make_package.py") + "' '" +
                          (dir_.path() / "www" / name).string() + "'";
        for (const auto& [path, text] : entries) cmd += " '" + path + "=" + text + "'";
        return trim(command_output(cmd));
    }
    static std::string random_hex() {
        std::random_device rd;
        std::mt19937_64 gen((std::uint64_t(rd()) << 32) ^ rd());
        static const char hex[] = "0123456789abcdef";
        std::string s;
        for (int i = 0; i < 64; ++i) s += hex[gen() % 16];
        return s;
    }

  private:
    static std::string data(const std::string& name) {
        return std::string(CORVANE_TEST_DATA_DIR) + "/" + name;
    }
    static std::string signer() { return data("sign_manifest.py"); }
    static std::string trim(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }

    TempDir dir_{"corvane-upd-server"};
    pid_t pid_ = 0;
    int tls_ = 0;
    int plain_ = 0;
    std::string seed_;
    std::string pub_;
};

}  // namespace corvane::test
