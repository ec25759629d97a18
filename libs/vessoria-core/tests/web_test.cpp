// The GET helper against a real local server (python3, TLS with a certificate
// made by openssl for this run), so libcurl's own behaviour is what is tested.
#include "web.h"

#include "net_error.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace vessoria {
namespace {

namespace fs = std::filesystem;

int run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void make_cert(const fs::path& dir, const std::string& name) {
  ASSERT_EQ(run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                 "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                 (dir / (name + ".key")).string(), "-out", (dir / (name + ".pem")).string()}),
            0);
}

const std::vector<HeaderPair> kHeaders = {{"User-Agent", "Ostrevan/0.10.45 (actualizaciones)"},
                                          {"Cache-Control", "no-cache"}};

class WebGet : public ::testing::Test {
 protected:
  // Started from the first test's SetUp rather than SetUpTestSuite: a
  // failure there would only mark the tests skipped.
  void SetUp() override {
    if (dir_.empty()) start_server();
    ASSERT_GT(tls_port_, 0) << "the local server did not start";
  }
  static void start_server() {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("vessoria-web-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
    fs::create_directories(dir_);
    make_cert(dir_, "server");
    make_cert(dir_, "stranger");
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    const std::string script = std::string(CORVANE_TEST_DATA_DIR) + "/fake_https.py";
    const std::string cert = (dir_ / "server.pem").string(), key = (dir_ / "server.key").string();
    std::vector<char*> argv = {const_cast<char*>("/usr/bin/python3"), const_cast<char*>(script.c_str()),
                               const_cast<char*>(cert.c_str()), const_cast<char*>(key.c_str()), nullptr};
    ASSERT_EQ(posix_spawn(&server_, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    // The server prints its ports once it listens; a loaded machine may take
    // a while to start python.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
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
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static std::string tls(const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(tls_port_) + path;
  }
  static WebConfig trusted() { return WebConfig{(dir_ / "server.pem").string()}; }
  static std::string text(const WebResponse& r) { return std::string(r.body.begin(), r.body.end()); }

  static inline fs::path dir_;
  static inline pid_t server_ = 0;
  static inline int tls_port_ = 0;
  static inline int plain_port_ = 0;
};

TEST(WebUrl, SplitTable) {
  struct Case {
    const char* url;
    bool secure;
    const char* host;
    int port;
    const char* path;
  };
  const Case cases[] = {
      {"https://example.org", true, "example.org", 443, "/"},
      {"http://host:8080/x?y=1", false, "host", 8080, "/x?y=1"},
      {"http://host:8a/p", false, "host:8a", 80, "/p"},
      {"https://[::1]:8443/v.json#f", true, "[::1]", 8443, "/v.json#f"},
      {"https://[::1]/", true, "[::1]", 443, "/"},
      {"https://h:0/", true, "h", 0, "/"},
      {"https://h:65535", true, "h", 65535, "/"},
      {"https:///x", true, "", 443, "/x"},
  };
  for (const auto& c : cases) {
    auto r = web_split_url(c.url);
    ASSERT_TRUE(r.ok()) << c.url;
    EXPECT_EQ(r.value().secure, c.secure) << c.url;
    EXPECT_EQ(r.value().host, c.host) << c.url;
    EXPECT_EQ(r.value().port, c.port) << c.url;
    EXPECT_EQ(r.value().path, c.path) << c.url;
  }
  for (const char* bad : {"HTTPS://h/", "Http://h/", "ftp://h/", "https:/", "http://", "https://h:/x",
                          "https://h:99999/", "https://h:65536", "h/x", ""}) {
    if (std::string(bad) == "http://") {
      // Exactly the scheme: an empty host, refused only when connecting.
      EXPECT_TRUE(web_split_url(bad).ok());
      continue;
    }
    auto r = web_split_url(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error(), "URL no válida") << bad;
  }
}

TEST(WebUrl, UserAgentName) {
  EXPECT_TRUE(web_is_user_agent("user-agent"));
  EXPECT_TRUE(web_is_user_agent("User-Agent"));
  EXPECT_TRUE(web_is_user_agent("USER-AGENT"));
  EXPECT_FALSE(web_is_user_agent("user-agent "));
  EXPECT_FALSE(web_is_user_agent("user_agent"));
  EXPECT_FALSE(web_is_user_agent("useragent"));
  EXPECT_FALSE(web_is_user_agent("user-agenT\x01"));
}

TEST_F(WebGet, SendsTheUserAgentAndOnlyTheOtherHeader) {
  const std::vector<HeaderPair> headers = {{"uSeR-aGeNt", "Ostrevan/0.10.45 (actualizaciones)"},
                                           {"Cache-Control", "no-cache"}};
  auto r = web_http_get(tls("/echo?a=1&b=%20"), headers, 10000, {}, trusted());
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().status, 200);
  const auto echo = nlohmann::json::parse(text(r.value()));
  EXPECT_EQ(echo["path"], "/echo?a=1&b=%20");
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& h : echo["headers"]) got.emplace_back(h[0], h[1]);
  const std::vector<std::pair<std::string, std::string>> want = {
      {"Host", "127.0.0.1:" + std::to_string(tls_port_)},
      {"User-Agent", "Ostrevan/0.10.45 (actualizaciones)"},
      {"Cache-Control", "no-cache"}};
  EXPECT_EQ(got, want);
}

TEST_F(WebGet, DefaultUserAgentAndPlainHttpWithPort) {
  const std::vector<HeaderPair> headers = {{"X-Uno", "1"}, {"Cache-Control", "no-cache"}};
  auto r = web_http_get("http://127.0.0.1:" + std::to_string(plain_port_) + "/echo/x?y=1", headers, 10000);
  ASSERT_TRUE(r.ok()) << r.error();
  const auto echo = nlohmann::json::parse(text(r.value()));
  EXPECT_EQ(echo["path"], "/echo/x?y=1");
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& h : echo["headers"]) got.emplace_back(h[0], h[1]);
  const std::vector<std::pair<std::string, std::string>> want = {
      {"Host", "127.0.0.1:" + std::to_string(plain_port_)},
      {"User-Agent", "Ostrevan"},
      {"X-Uno", "1"},
      {"Cache-Control", "no-cache"}};
  EXPECT_EQ(got, want);
}

TEST_F(WebGet, ErrorStatusesAreReturnedNotFailed) {
  auto r = web_http_get(tls("/missing"), kHeaders, 10000, {}, trusted());
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().status, 404);
  EXPECT_EQ(text(r.value()), "no está");
  // Without a path the request goes to "/", which this server does not know.
  auto root = web_http_get("https://127.0.0.1:" + std::to_string(tls_port_), kHeaders, 10000, {}, trusted());
  ASSERT_TRUE(root.ok()) << root.error();
  EXPECT_EQ(root.value().status, 500);
  EXPECT_EQ(text(root.value()), "unknown");
}

TEST_F(WebGet, SinkGetsEveryPieceInOrderAndCanStop) {
  std::size_t total = 0, largest = 0, calls = 0;
  bool all_x = true;
  WebSink collect = [&](const std::uint8_t* d, std::size_t n) {
    ++calls;
    total += n;
    largest = std::max(largest, n);
    for (std::size_t i = 0; i < n; ++i) all_x = all_x && d[i] == 'x';
    return true;
  };
  auto r = web_http_get(tls("/big/3000000"), kHeaders, 10000, collect, trusted());
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().status, 200);
  EXPECT_TRUE(r.value().body.empty());
  EXPECT_EQ(total, 3000000u);
  EXPECT_GE(largest, 1u);
  EXPECT_LE(largest, 65536u);
  EXPECT_TRUE(all_x);

  calls = 0;
  WebSink stop = [&](const std::uint8_t*, std::size_t) {
    ++calls;
    return false;
  };
  auto s = web_http_get(tls("/big/3000000"), kHeaders, 10000, stop, trusted());
  ASSERT_TRUE(s.ok()) << s.error();
  EXPECT_EQ(s.value().status, 200);
  EXPECT_TRUE(s.value().body.empty());
  EXPECT_EQ(calls, 1u);
}

TEST_F(WebGet, BodyInMemoryStopsJustPast64MiB) {
  auto r = web_http_get(tls("/big/70000000"), kHeaders, 30000, {}, trusted());
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().status, 200);
  EXPECT_GT(r.value().body.size(), 67108864u);
  EXPECT_LE(r.value().body.size(), 67108864u + 65536u);
}

TEST_F(WebGet, RedirectsOnlyToHttpsAndAtMostTen) {
  auto ok = web_http_get(tls("/to-https"), kHeaders, 10000, {}, trusted());
  ASSERT_TRUE(ok.ok()) << ok.error();
  EXPECT_EQ(nlohmann::json::parse(text(ok.value()))["path"], "/echo?via=redirect");

  auto ten = web_http_get(tls("/hop/9"), kHeaders, 10000, {}, trusted());
  ASSERT_TRUE(ten.ok()) << ten.error();
  EXPECT_EQ(nlohmann::json::parse(text(ten.value()))["path"], "/echo?hops=done");

  auto eleven = web_http_get(tls("/hop/10"), kHeaders, 10000, {}, trusted());
  ASSERT_FALSE(eleven.ok());
  EXPECT_EQ(eleven.error(), "demasiadas redirecciones (error de red 47)");

  auto down = web_http_get(tls("/to-http"), kHeaders, 10000, {}, trusted());
  ASSERT_FALSE(down.ok());
  EXPECT_EQ(down.error(), "dirección no admitida (error de red 1)");

  // A plain address may move to a secure one.
  auto up = web_http_get("http://127.0.0.1:" + std::to_string(plain_port_) + "/to-https", kHeaders, 10000, {},
                         trusted());
  ASSERT_TRUE(up.ok()) << up.error();
  EXPECT_EQ(nlohmann::json::parse(text(up.value()))["path"], "/echo?via=redirect");
}

// A listener that takes connections into its queue and never reads or
// answers: a server that has stopped responding.
struct SilentListener {
  int fd = -1;
  int port = 0;
  SilentListener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port = ntohs(a.sin_port);
  }
  ~SilentListener() {
    if (fd >= 0) close(fd);
  }
};

// A port nobody listens on: bound for a moment, then let go.
int free_port() {
  SilentListener l;
  return l.port;
}

TEST(NetErrorText, CurlCodesInWords) {
  const std::vector<std::pair<int, std::string>> cases = {
      {CURLE_COULDNT_RESOLVE_HOST, "no se encontró el servidor (error de red 6)"},
      {CURLE_COULDNT_RESOLVE_PROXY, "no se encontró el proxy (error de red 5)"},
      {CURLE_COULDNT_CONNECT, "sin conexión (error de red 7)"},
      {CURLE_OPERATION_TIMEDOUT, "se agotó el tiempo (error de red 28)"},
      {CURLE_PEER_FAILED_VERIFICATION, "el certificado no es válido (error de red 60)"},
      {CURLE_SSL_ISSUER_ERROR, "el certificado no es válido (error de red 83)"},
      {CURLE_SSL_CACERT_BADFILE, "no se pudieron leer los certificados de confianza (error de red 77)"},
      {CURLE_SSL_CONNECT_ERROR, "falló la conexión segura (error de red 35)"},
      {CURLE_GOT_NOTHING, "el servidor no respondió nada (error de red 52)"},
      {CURLE_SEND_ERROR, "se cortó el envío (error de red 55)"},
      {CURLE_RECV_ERROR, "se cortó la conexión (error de red 56)"},
      {CURLE_PARTIAL_FILE, "se cortó la conexión (error de red 18)"},
      {CURLE_TOO_MANY_REDIRECTS, "demasiadas redirecciones (error de red 47)"},
      {CURLE_UNSUPPORTED_PROTOCOL, "dirección no admitida (error de red 1)"},
      {CURLE_FAILED_INIT, "falló la conexión (error de red 2)"},
      {9999, "falló la conexión (error de red 9999)"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(net_error_text(code), text) << code;
}

TEST_F(WebGet, NetworkFailuresInWords) {
  // A certificate nobody vouches for: neither another CA file nor the
  // system's store accept it.
  auto stranger = web_http_get(tls("/echo"), kHeaders, 10000, {}, WebConfig{(dir_ / "stranger.pem").string()});
  ASSERT_FALSE(stranger.ok());
  EXPECT_EQ(stranger.error(), "el certificado no es válido (error de red 60)");
  auto system = web_http_get(tls("/echo"), kHeaders, 10000);
  ASSERT_FALSE(system.ok());
  EXPECT_EQ(system.error(), "el certificado no es válido (error de red 60)");

  // TLS spoken to a plain listener, and a port nobody listens on.
  auto mixed = web_http_get("https://127.0.0.1:" + std::to_string(plain_port_) + "/echo", kHeaders, 10000, {},
                            trusted());
  ASSERT_FALSE(mixed.ok());
  EXPECT_EQ(mixed.error(), "falló la conexión segura (error de red 35)");
  auto refused = web_http_get("http://127.0.0.1:" + std::to_string(free_port()) + "/", kHeaders, 10000);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "sin conexión (error de red 7)");

  // A name no resolver knows (".invalid" is reserved for that).
  auto nowhere = web_http_get("https://actualizaciones.corvane.invalid/corvane/version.json", kHeaders, 10000);
  ASSERT_FALSE(nowhere.ok());
  EXPECT_EQ(nowhere.error(), "no se encontró el servidor (error de red 6)");

  // A server that takes the connection and never answers, with a one-second limit.
  SilentListener silent;
  ASSERT_GT(silent.port, 0);
  for (const char* scheme : {"http", "https"}) {
    const auto t0 = std::chrono::steady_clock::now();
    auto mute = web_http_get(std::string(scheme) + "://127.0.0.1:" + std::to_string(silent.port) + "/", kHeaders,
                             1000, {}, trusted());
    ASSERT_FALSE(mute.ok()) << scheme;
    EXPECT_EQ(mute.error(), "se agotó el tiempo (error de red 28)") << scheme;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << scheme;
  }

  auto bad = web_http_get("HTTPS://127.0.0.1/", kHeaders, 10000);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "URL no válida");
  // Not sent as credentials to another host.
  auto creds = web_http_get("http://u:p@127.0.0.1:" + std::to_string(plain_port_) + "/echo", kHeaders, 10000);
  ASSERT_FALSE(creds.ok());
  EXPECT_EQ(creds.error(), "URL no válida");
}

}  // namespace
}  // namespace vessoria
