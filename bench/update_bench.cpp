// Update primitives against their reference libraries: SHA-256 (OpenSSL),
// Ed25519 verification (libsodium) and raw inflate (zlib). Prints
// "NAME ours=X reference=Y ratio=Z" lines; ratio = ours / reference of a
// time, so lower is better.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>
#include <sodium.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ed25519.h"
#include "sha.h"
#include "zip.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes& sha_input() {
  static const Bytes data = [] {
    Bytes d(1 << 20);
    std::mt19937 rng(1);
    for (auto& b : d) b = static_cast<std::uint8_t>(rng());
    return d;
  }();
  return data;
}

void BM_sha256_ours(benchmark::State& st) {
  const Bytes& d = sha_input();
  for (auto _ : st) {
    auto s = vessoria::sha256_new();
    vessoria::sha256_update(s, d);
    benchmark::DoNotOptimize(vessoria::sha256_finish(s));
  }
  st.counters["bytes"] = static_cast<double>(d.size());
}

// The portable code alone, as on a CPU without the SHA instructions.
void BM_sha256_ours_portable(benchmark::State& st) {
  const Bytes& d = sha_input();
  const auto engine = vessoria::sha256_engine();
  vessoria::sha256_set_engine(vessoria::Sha256Engine::portable);
  for (auto _ : st) {
    auto s = vessoria::sha256_new();
    vessoria::sha256_update(s, d);
    benchmark::DoNotOptimize(vessoria::sha256_finish(s));
  }
  vessoria::sha256_set_engine(engine);
  st.counters["bytes"] = static_cast<double>(d.size());
}

void BM_sha256_ref(benchmark::State& st) {
  const Bytes& d = sha_input();
  std::uint8_t out[32];
  for (auto _ : st) {
    SHA256(d.data(), d.size(), out);
    benchmark::DoNotOptimize(out);
  }
  st.counters["bytes"] = static_cast<double>(d.size());
}

struct Signed {
  Bytes key, msg, sig;
};

const Signed& signed_manifest() {
  static const Signed s = [] {
    if (sodium_init() < 0) std::abort();
    Signed r;
    std::uint8_t pk[32], sk[64];
    crypto_sign_keypair(pk, sk);
    // About the size of a manifest's canonical text.
    std::string text(1500, 'm');
    r.key.assign(pk, pk + 32);
    r.msg.assign(text.begin(), text.end());
    r.sig.resize(64);
    crypto_sign_detached(r.sig.data(), nullptr, r.msg.data(), r.msg.size(), sk);
    return r;
  }();
  return s;
}

void BM_ed25519_ours(benchmark::State& st) {
  const Signed& s = signed_manifest();
  for (auto _ : st) {
    bool ok = vessoria::ed25519_verify(s.key, s.msg, s.sig);
    if (!ok) st.SkipWithError("verification failed");
    benchmark::DoNotOptimize(ok);
  }
  st.counters["bytes"] = 1;
}

void BM_ed25519_ref(benchmark::State& st) {
  const Signed& s = signed_manifest();
  for (auto _ : st) {
    int rc = crypto_sign_verify_detached(s.sig.data(), s.msg.data(), s.msg.size(), s.key.data());
    benchmark::DoNotOptimize(rc);
  }
  st.counters["bytes"] = 1;
}

struct Packed {
  Bytes plain, packed;
};

// A package-like mix: text, structured binary and incompressible data.
const Packed& inflate_input() {
  static const Packed p = [] {
    Packed r;
    std::mt19937 rng(2);
    const char* words[] = {"clip ", "partida ", "baja ", "muerte ", "derribo ", "grabación\n", "Corvane ", "0.10.46 "};
    while (r.plain.size() < (4u << 20)) {
      std::string w = words[rng() % 8];
      r.plain.insert(r.plain.end(), w.begin(), w.end());
    }
    for (int i = 0; i < (2 << 20); ++i) r.plain.push_back(static_cast<std::uint8_t>((i * 7) ^ (i >> 9)));
    for (int i = 0; i < (2 << 20); ++i) r.plain.push_back(static_cast<std::uint8_t>(rng()));
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    r.packed.resize(deflateBound(&zs, r.plain.size()));
    zs.next_in = r.plain.data();
    zs.avail_in = static_cast<uInt>(r.plain.size());
    zs.next_out = r.packed.data();
    zs.avail_out = static_cast<uInt>(r.packed.size());
    deflate(&zs, Z_FINISH);
    r.packed.resize(zs.total_out);
    deflateEnd(&zs);
    return r;
  }();
  return p;
}

void BM_inflate_ours(benchmark::State& st) {
  const Packed& p = inflate_input();
  for (auto _ : st) {
    auto r = vessoria::inflate(p.packed, p.plain.size());
    if (!r || r.value().size() != p.plain.size()) st.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(r);
  }
  st.counters["bytes"] = static_cast<double>(p.plain.size());
}

void BM_inflate_ref(benchmark::State& st) {
  const Packed& p = inflate_input();
  Bytes out;
  for (auto _ : st) {
    // Same work as ours: a fresh output buffer of the expected size.
    out.assign(p.plain.size(), 0);
    z_stream zs{};
    inflateInit2(&zs, -15);
    zs.next_in = const_cast<Bytef*>(p.packed.data());
    zs.avail_in = static_cast<uInt>(p.packed.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    if (inflate(&zs, Z_FINISH) != Z_STREAM_END) st.SkipWithError("zlib failed");
    inflateEnd(&zs);
    benchmark::DoNotOptimize(out.data());
  }
  st.counters["bytes"] = static_cast<double>(p.plain.size());
}

BENCHMARK(BM_sha256_ours);
BENCHMARK(BM_sha256_ours_portable);
BENCHMARK(BM_sha256_ref);
BENCHMARK(BM_ed25519_ours);
BENCHMARK(BM_ed25519_ref);
BENCHMARK(BM_inflate_ours);
BENCHMARK(BM_inflate_ref);

// Collects nanoseconds per unit (byte or verification) of each run.
class Collector : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.error_occurred || r.iterations == 0) continue;
      double ns = r.real_accumulated_time * 1e9 / static_cast<double>(r.iterations);
      auto it = r.counters.find("bytes");
      double units = it == r.counters.end() ? 1.0 : static_cast<double>(it->second);
      per_unit[r.run_name.function_name] = ns / units;
    }
  }
  std::map<std::string, double> per_unit;
};

void line(const char* name, double ours, double ref) {
  if (ours <= 0 || ref <= 0) return;  // filtered out of this run
  std::printf("%s ours=%.4g reference=%.4g ratio=%.3g\n", name, ours, ref, ours / ref);
}

}  // namespace

int main(int argc, char** argv) {
  // A child run measuring only OpenSSL's SHA-256 without the SHA extensions
  // (the parent sets OPENSSL_ia32cap for it), to set beside our portable code.
  if (argc > 1 && std::string(argv[1]) == "--sha256-reference-only") {
    char* args[] = {argv[0], const_cast<char*>("--benchmark_filter=BM_sha256_ref$"),
                    const_cast<char*>("--benchmark_min_time=0.2"), nullptr};
    int n = 3;
    benchmark::Initialize(&n, args);
    Collector c;
    benchmark::RunSpecifiedBenchmarks(&c);
    std::printf("%.6g\n", c.per_unit["BM_sha256_ref"]);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  Collector c;
  benchmark::RunSpecifiedBenchmarks(&c);
  auto& m = c.per_unit;
  // Both with the CPU's SHA instructions where it has them.
  line("sha256_ns_per_byte", m["BM_sha256_ours"], m["BM_sha256_ref"]);

  double no_shani = 0;
  char self[4096];
  ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  self[len > 0 ? len : 0] = '\0';
  std::string cmd = std::string("OPENSSL_ia32cap=':~0x20000000' '") + self + "' --sha256-reference-only";
  if (FILE* f = popen(cmd.c_str(), "r")) {
    if (std::fscanf(f, "%lf", &no_shani) != 1) no_shani = 0;
    pclose(f);
  }
  if (no_shani > 0)
    line("sha256_portable_ns_per_byte_vs_openssl_without_sha_ext", m["BM_sha256_ours_portable"], no_shani);
  line("ed25519_ns_per_verify", m["BM_ed25519_ours"], m["BM_ed25519_ref"]);
  line("inflate_ns_per_output_byte", m["BM_inflate_ours"], m["BM_inflate_ref"]);
  return 0;
}
