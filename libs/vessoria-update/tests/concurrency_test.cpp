// First use of the shared tables (Ed25519 constants, CRC-32 table) from
// several threads at once; run under ThreadSanitizer too. ctest starts each
// test in a fresh process, so the first use really happens here.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ed25519.h"
#include "sha.h"
#include "zip.h"

namespace vessoria {
namespace {

TEST(Concurrency, SharedTablesOnFirstUseFromManyThreads) {
  // RFC 8032 test 1 (empty message).
  const std::uint8_t key[32] = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                                0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                                0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
  const std::uint8_t sig[64] = {
      0xe5, 0x56, 0x43, 0x00, 0xc3, 0x60, 0xac, 0x72, 0x90, 0x86, 0xe2, 0xcc, 0x80, 0x6e, 0x82, 0x8a,
      0x84, 0x87, 0x7f, 0x1e, 0xb8, 0xe5, 0xd9, 0x74, 0xd8, 0x73, 0xe0, 0x65, 0x22, 0x49, 0x01, 0x55,
      0x5f, 0xb8, 0x82, 0x15, 0x90, 0xa3, 0x3b, 0xac, 0xc6, 0x1e, 0x39, 0x70, 0x1c, 0xf9, 0xb4, 0x6b,
      0xd2, 0x5b, 0xf5, 0xf0, 0x59, 0x5b, 0xbe, 0x24, 0x65, 0x51, 0x41, 0x43, 0x8e, 0x7a, 0x10, 0x0b};
  const std::uint8_t digits[9] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  const int kThreads = 6;
  std::vector<int> verified(kThreads, 0);
  std::vector<std::uint32_t> crcs(kThreads, 0);
  std::vector<std::string> digests(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      verified[t] = ed25519_verify(key, {}, sig);
      crcs[t] = zip_crc32(digits);
      auto st = sha256_new();
      sha256_update(st, digits);
      digests[t] = sha256_hex(sha256_finish(st));
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(verified[t], 1) << t;
    EXPECT_EQ(crcs[t], 0xCBF43926u) << t;
    EXPECT_EQ(digests[t], "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225") << t;
  }
}

}  // namespace
}  // namespace vessoria
