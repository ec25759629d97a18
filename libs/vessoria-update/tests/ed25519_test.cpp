#include "ed25519.h"

#include "test_util.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <random>
#include <sstream>
#include <sstream>
#include <string>
#include <vector>

namespace vessoria {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes unhex(std::string_view h) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return out;
}

struct Vector {
  const char* key;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1, tests 1 to 3.
const Vector kRfc8032[] = {
    {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

// L = 2^252 + 27742317777372353535851937790883648493, little-endian.
Bytes order_l() {
  return unhex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
}

// Little-endian 256-bit addition.
Bytes add_le(const Bytes& a, const Bytes& b) {
  Bytes r(32);
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    unsigned t = a[i] + b[i] + carry;
    r[i] = static_cast<std::uint8_t>(t);
    carry = t >> 8;
  }
  return r;
}

class Ed25519 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_GE(sodium_init(), 0); }
};

TEST_F(Ed25519, DerivedBasePointHasItsStandardEncoding) {
  Bytes expected = unhex("5866666666666666666666666666666666666666666666666666666666666666");
  auto enc = ed25519_compress(ed25519_base_point());
  EXPECT_EQ(Bytes(enc.begin(), enc.end()), expected);
}

TEST_F(Ed25519, Rfc8032VectorsVerifyAndEverySingleBitFlipFails) {
  for (const auto& v : kRfc8032) {
    Bytes key = unhex(v.key), msg = unhex(v.message), sig = unhex(v.signature);
    ASSERT_TRUE(ed25519_verify(key, msg, sig)) << v.key;
    for (std::size_t bit = 0; bit < msg.size() * 8; ++bit) {
      Bytes m = msg;
      m[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_FALSE(ed25519_verify(key, m, sig)) << "message bit " << bit;
    }
    for (std::size_t bit = 0; bit < 512; ++bit) {
      Bytes s = sig;
      s[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_FALSE(ed25519_verify(key, msg, s)) << "signature bit " << bit;
    }
    for (std::size_t bit = 0; bit < 256; ++bit) {
      Bytes k = key;
      k[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_FALSE(ed25519_verify(k, msg, sig)) << "key bit " << bit;
    }
  }
}

TEST_F(Ed25519, DecodingRefusals) {
  Bytes key = unhex(kRfc8032[1].key), msg = unhex(kRfc8032[1].message), sig = unhex(kRfc8032[1].signature);
  // Signature lengths.
  for (std::size_t n : {0, 63, 65}) {
    Bytes s = sig;
    s.resize(n, 0);
    EXPECT_FALSE(ed25519_verify(key, msg, s)) << n;
  }
  // S = L, and S + L for the valid S.
  Bytes s_is_l = sig;
  Bytes l = order_l();
  std::copy(l.begin(), l.end(), s_is_l.begin() + 32);
  EXPECT_FALSE(ed25519_verify(key, msg, s_is_l));
  Bytes s_plus_l = sig;
  Bytes sum = add_le(Bytes(sig.begin() + 32, sig.end()), l);
  std::copy(sum.begin(), sum.end(), s_plus_l.begin() + 32);
  EXPECT_FALSE(ed25519_verify(key, msg, s_plus_l));
  // libsodium agrees on both.
  EXPECT_NE(crypto_sign_verify_detached(s_plus_l.data(), msg.data(), msg.size(), key.data()), 0);

  // y >= p: p itself, p + 1 and all ones, as key and as R.
  Bytes p = unhex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  Bytes p1 = unhex("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  Bytes ones = unhex("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  for (const Bytes& y : {p, p1, ones}) {
    EXPECT_FALSE(ed25519_decompress(y.data()).has_value());
    EXPECT_FALSE(ed25519_verify(y, msg, sig));
    Bytes r = sig;
    std::copy(y.begin(), y.end(), r.begin());
    EXPECT_FALSE(ed25519_verify(key, msg, r));
  }
  // p - 1 (y = -1) decodes: it is a point with x = 0.
  Bytes pm1 = unhex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  EXPECT_TRUE(ed25519_decompress(pm1.data()).has_value());
  // y = 1 gives x = 0, so the sign bit set is refused.
  Bytes y1_signed = unhex("0100000000000000000000000000000000000000000000000000000000000080");
  EXPECT_FALSE(ed25519_decompress(y1_signed.data()).has_value());
  EXPECT_FALSE(ed25519_verify(y1_signed, msg, sig));

  // A y with no x on the curve: the first small one, cross-checked with libsodium.
  Bytes y(32, 0);
  int found = 0;
  for (int v = 2; v < 100 && !found; ++v) {
    y[0] = static_cast<std::uint8_t>(v);
    if (!ed25519_decompress(y.data())) found = v;
  }
  ASSERT_NE(found, 0);
  EXPECT_EQ(crypto_core_ed25519_is_valid_point(y.data()), 0);
  EXPECT_FALSE(ed25519_verify(y, msg, sig));
}

// Where the rules deliberately differ from libsodium: small-order points are
// accepted as A and R when the cofactorless equation holds. A = R = the
// neutral element and S = 0 satisfy it for every message.
TEST_F(Ed25519, SmallOrderPointsFollowTheEquationNotLibsodium) {
  Bytes neutral = unhex("0100000000000000000000000000000000000000000000000000000000000000");
  Bytes sig = neutral;
  sig.resize(64, 0);
  Bytes msg = {'h', 'o', 'l', 'a'};
  EXPECT_TRUE(ed25519_verify(neutral, msg, sig));
  EXPECT_NE(crypto_sign_verify_detached(sig.data(), msg.data(), msg.size(), neutral.data()), 0);
}

TEST_F(Ed25519, AgreesWithLibsodiumOnRandomSignaturesAndFlips) {
  std::mt19937_64 rng(99);
  const int kRounds = 2000;
  for (int round = 0; round < kRounds; ++round) {
    std::uint8_t pk[32], sk[64];
    crypto_sign_keypair(pk, sk);
    Bytes msg(rng() % 300);
    for (auto& b : msg) b = static_cast<std::uint8_t>(rng());
    Bytes sig(64);
    crypto_sign_detached(sig.data(), nullptr, msg.data(), msg.size(), sk);
    Bytes key(pk, pk + 32);
    ASSERT_TRUE(ed25519_verify(key, msg, sig)) << round;

    auto check = [&](const Bytes& k, const Bytes& m, const Bytes& s, const char* what) {
      bool ours = ed25519_verify(k, m, s);
      bool ref = crypto_sign_verify_detached(s.data(), m.data(), m.size(), k.data()) == 0;
      ASSERT_EQ(ours, ref) << what << " round " << round;
      ASSERT_FALSE(ours) << what << " round " << round;
    };
    if (!msg.empty()) {
      Bytes m = msg;
      m[rng() % m.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      check(key, m, sig, "message");
    }
    Bytes r = sig;
    r[rng() % 32] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    check(key, msg, r, "R");
    Bytes s = sig;
    s[32 + rng() % 32] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    check(key, msg, s, "S");
    Bytes k = key;
    k[rng() % 32] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    check(k, msg, sig, "key");
  }
}

// Field arithmetic at the largest limbs the point formulas produce: the
// product of two elements must agree with the product computed from their
// reduced forms.
TEST_F(Ed25519, FieldProductIsIndependentOfRepresentation) {
  std::mt19937_64 rng(5);
  const std::uint64_t mask51 = (std::uint64_t(1) << 51) - 1;
  // Values at and just past p compare by their residue.
  const FieldElement p{{mask51 - 18, mask51, mask51, mask51, mask51}};
  const FieldElement top{{mask51, mask51, mask51, mask51, mask51}};  // 2^255 - 1 = p + 18
  const FieldElement pm1{{mask51 - 19, mask51, mask51, mask51, mask51}};
  EXPECT_TRUE(fe_equal(p, FieldElement{{0, 0, 0, 0, 0}}));
  EXPECT_TRUE(fe_equal(top, FieldElement{{18, 0, 0, 0, 0}}));
  EXPECT_FALSE(fe_equal(pm1, FieldElement{{0, 0, 0, 0, 0}}));
  EXPECT_TRUE(fe_equal(fe_mul(pm1, pm1), FieldElement{{1, 0, 0, 0, 0}}));  // (-1)^2
  for (int i = 0; i < 20000; ++i) {
    FieldElement a, b, a2, b2;
    for (int j = 0; j < 5; ++j) {
      a.v[j] = rng() & mask51;
      b.v[j] = rng() & mask51;
    }
    if (i % 3 == 0)
      for (int j = 0; j < 5; ++j) a.v[j] = mask51;
    // The same values with 2p added: limbs near 2^52, as sums produce.
    a2 = a;
    b2 = b;
    a2.v[0] += 2 * (mask51 - 18);
    b2.v[0] += 2 * (mask51 - 18);
    for (int j = 1; j < 5; ++j) {
      a2.v[j] += 2 * mask51;
      b2.v[j] += 2 * mask51;
    }
    ASSERT_TRUE(fe_equal(a, a2));
    ASSERT_TRUE(fe_equal(fe_mul(a, b), fe_mul(a2, b2))) << i;
    ASSERT_TRUE(fe_equal(fe_mul(a, b), fe_mul(b, a))) << i;
  }
}

}  // namespace
}  // namespace vessoria

namespace vessoria {
namespace {

// The product modulo p against python's integers, with limbs at and near the
// largest the point formulas feed in (sums of sums, just under 2^53).
TEST_F(Ed25519, FieldProductMatchesPythonIntegers) {
  test::ScratchDir dir;
  std::mt19937_64 rng(11);
  std::ostringstream in;
  std::vector<FieldElement> products;
  const std::uint64_t top = (std::uint64_t(1) << 53) - 1;
  for (int i = 0; i < 3000; ++i) {
    FieldElement a, b;
    for (int j = 0; j < 5; ++j) {
      a.v[j] = i % 4 == 0 ? top : rng() & top;
      b.v[j] = i % 4 == 1 ? top : rng() & top;
    }
    for (int j = 0; j < 5; ++j) in << a.v[j] << ' ';
    for (int j = 0; j < 5; ++j) in << b.v[j] << ' ';
    in << '\n';
    products.push_back(fe_mul(a, b));
  }
  std::string out = test::python(dir, R"(
import sys
p = 2**255 - 19
m = 2**51 - 1
for line in open(sys.argv[1]):
    v = [int(x) for x in line.split()]
    a = sum(v[j] << (51 * j) for j in range(5))
    b = sum(v[5 + j] << (51 * j) for j in range(5))
    r = (a * b) % p
    print(' '.join(str((r >> (51 * j)) & m) for j in range(5)))
)", in.str());
  std::istringstream lines(out);
  for (std::size_t i = 0; i < products.size(); ++i) {
    FieldElement want;
    for (auto& limb : want.v) ASSERT_TRUE(lines >> limb);
    ASSERT_TRUE(fe_equal(products[i], want)) << i;
    FieldElement off = want;
    off.v[0] ^= 1;
    ASSERT_FALSE(fe_equal(products[i], off)) << i;
  }
}

}  // namespace
}  // namespace vessoria
