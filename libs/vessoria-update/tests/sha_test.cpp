#include "sha.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vessoria {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

std::string hex(std::span<const std::uint8_t> d) {
  std::string s;
  char buf[3];
  for (auto b : d) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    s += buf;
  }
  return s;
}

std::string sha256_of(std::string_view s) {
  auto st = sha256_new();
  sha256_update(st, bytes_of(s));
  return sha256_hex(sha256_finish(st));
}

// Every SHA-256 test runs on each way of compressing the CPU can run; the SHA
// instructions are skipped (and say so) on a CPU without them.
class Sha : public ::testing::TestWithParam<Sha256Engine> {
 protected:
  void SetUp() override {
    if (!sha256_set_engine(GetParam())) GTEST_SKIP() << "this CPU has no SHA instructions";
  }
  void TearDown() override { sha256_set_engine(initial_); }

 private:
  Sha256Engine initial_ = sha256_engine();
};

INSTANTIATE_TEST_SUITE_P(Engines, Sha,
                         ::testing::Values(Sha256Engine::portable, Sha256Engine::sha_extensions),
                         [](const auto& info) {
                           return info.param == Sha256Engine::portable ? std::string("Portable")
                                                                       : std::string("ShaExtensions");
                         });

// What cpuid reports agrees with the kernel's view of the CPU, and the
// instructions are used by default wherever they exist.
TEST(ShaDispatch, UsesTheCpuInstructionsWhenPresent) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string text((std::istreambuf_iterator<char>(cpuinfo)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(text.empty());
  const bool kernel_says = text.find(" sha_ni") != std::string::npos;
  EXPECT_EQ(sha256_engine_supported(Sha256Engine::sha_extensions), kernel_says);
  EXPECT_TRUE(sha256_engine_supported(Sha256Engine::portable));
  EXPECT_EQ(sha256_engine(), kernel_says ? Sha256Engine::sha_extensions : Sha256Engine::portable);
}

TEST_P(Sha, Fips180KnownAnswers) {
  EXPECT_EQ(sha256_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex(sha512(bytes_of(""))),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
  EXPECT_EQ(hex(sha512(bytes_of("abc"))),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  EXPECT_EQ(hex(sha512(bytes_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                                "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"))),
            "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
            "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909");
}

TEST_P(Sha, ByteWiseUpdatesEqualOneUpdate) {
  auto st = sha256_new();
  for (char c : std::string("abc")) sha256_update(st, bytes_of(std::string(1, c)));
  sha256_update(st, {});
  EXPECT_EQ(sha256_hex(sha256_finish(st)), sha256_of("abc"));
}

// Every length 0..4096 (so every pad boundary of both digests), the
// SHA-256 input fed in random pieces (empty ones included), against OpenSSL.
TEST_P(Sha, MatchesOpenSslForEveryLengthAndSplit) {
  std::mt19937_64 rng(1234);
  std::vector<std::uint8_t> data(4097);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  for (std::size_t len = 0; len <= 4096; ++len) {
    std::span<const std::uint8_t> msg(data.data(), len);
    std::uint8_t ref256[32], ref512[64];
    SHA256(msg.data(), len, ref256);
    SHA512(msg.data(), len, ref512);

    auto st = sha256_new();
    std::size_t at = 0;
    while (at < len) {
      std::size_t piece = rng() % 4 == 0 ? 0 : rng() % (len - at + 1);
      sha256_update(st, msg.subspan(at, piece));
      at += piece;
      ASSERT_LT(st.pending.size(), 64u);
    }
    auto d = sha256_finish(st);
    ASSERT_EQ(sha256_hex(d), hex(ref256)) << "length " << len;
    ASSERT_EQ(hex(sha512(msg)), hex(ref512)) << "length " << len;
  }
}

TEST_P(Sha, HexKeepsLeadingZeros) {
  Sha256Digest d{};
  d[0] = 0x00;
  d[1] = 0x0f;
  d[31] = 0x01;
  std::string h = sha256_hex(d);
  EXPECT_EQ(h.size(), 64u);
  EXPECT_EQ(h.substr(0, 4), "000f");
  EXPECT_EQ(h.substr(62), "01");
}

TEST_P(Sha, OneMebibyteInChunks) {
  std::vector<std::uint8_t> data(1 << 20);
  std::mt19937 rng(7);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  auto st = sha256_new();
  for (std::size_t at = 0; at < data.size(); at += 65537)
    sha256_update(st, std::span<const std::uint8_t>(data).subspan(at, std::min<std::size_t>(65537, data.size() - at)));
  std::uint8_t ref[32];
  SHA256(data.data(), data.size(), ref);
  EXPECT_EQ(sha256_hex(sha256_finish(st)), hex(ref));
}

}  // namespace
}  // namespace vessoria
