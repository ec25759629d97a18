#include "ed25519.h"

#include "test_util.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <optional>
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

namespace vessoria {
namespace {

// The straightforward right-to-left double-and-add, every step by the unified
// addition: the reference the faster paths must agree with.
EdwardsPoint reference_mul(const std::uint8_t* k_le, const EdwardsPoint& p) {
  EdwardsPoint acc{{{0}}, {{1}}, {{1}}, {{0}}};
  EdwardsPoint run = p;
  for (int i = 0; i < 256; ++i) {
    if ((k_le[i / 8] >> (i % 8)) & 1) acc = ed25519_point_add(acc, run);
    run = ed25519_point_add(run, run);
  }
  return acc;
}

Bytes enc(const EdwardsPoint& p) {
  auto e = ed25519_compress(p);
  return Bytes(e.begin(), e.end());
}

// A valid point from random bytes (about half of all y are on the curve).
EdwardsPoint random_point(std::mt19937_64& rng) {
  for (;;) {
    Bytes b(32);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    b[31] &= 0x7f;
    b[31] |= static_cast<std::uint8_t>(rng() & 0x80);
    if (auto p = ed25519_decompress(b.data())) return *p;
  }
}

// All eight points of order dividing 8, found as [L]P: L removes the
// prime-order part of a random point and leaves its small-order part.
const std::vector<EdwardsPoint>& small_order_points() {
  static const std::vector<EdwardsPoint> points = [] {
    std::mt19937_64 rng(8);
    std::vector<EdwardsPoint> found;
    std::vector<Bytes> seen;
    const Bytes l = order_l();
    for (int i = 0; i < 200 && found.size() < 8; ++i) {
      EdwardsPoint t = reference_mul(l.data(), random_point(rng));
      Bytes e = enc(t);
      if (std::find(seen.begin(), seen.end(), e) == seen.end()) {
        seen.push_back(e);
        found.push_back(t);
      }
    }
    return found;
  }();
  return points;
}

TEST_F(Ed25519, SmallOrderFixtureHoldsTheWholeTorsionGroup) {
  const auto& t = small_order_points();
  ASSERT_EQ(t.size(), 8u);
  const Bytes neutral = unhex("0100000000000000000000000000000000000000000000000000000000000000");
  int by_order[9] = {};
  for (const auto& p : t) {
    int order = 1;
    EdwardsPoint q = p;
    while (enc(q) != neutral && order <= 8) {
      q = ed25519_point_add(q, p);
      ++order;
    }
    ASSERT_LE(order, 8);
    ++by_order[order];
  }
  EXPECT_EQ(by_order[1], 1);
  EXPECT_EQ(by_order[2], 1);
  EXPECT_EQ(by_order[4], 2);
  EXPECT_EQ(by_order[8], 4);
}

// The doubling formula and the windowed double-scalar multiplication give
// the same group elements as double-and-add with the unified addition, on
// the base point, the eight small-order points, mixed-order points and
// random points, for edge and random scalars.
TEST_F(Ed25519, DoublingAndDoubleScalarMulMatchTheReference) {
  std::mt19937_64 rng(21);
  const EdwardsPoint& b = ed25519_base_point();
  std::vector<EdwardsPoint> points = {b};
  for (const auto& t : small_order_points()) {
    points.push_back(t);
    points.push_back(ed25519_point_add(b, t));                     // mixed order
    points.push_back(ed25519_point_add(random_point(rng), t));     // some other mixed order
  }
  // Z far from 1, as points coming out of earlier arithmetic have.
  points.push_back(reference_mul(unhex("0900000000000000000000000000000000000000000000000000000000000000").data(),
                                 random_point(rng)));

  const Bytes l = order_l();
  std::vector<Bytes> scalars = {
      Bytes(32, 0),
      unhex("0100000000000000000000000000000000000000000000000000000000000000"),
      unhex("0f00000000000000000000000000000000000000000000000000000000000000"),
      unhex("1f00000000000000000000000000000000000000000000000000000000000000"),
      l,
      add_le(l, unhex("0100000000000000000000000000000000000000000000000000000000000000")),
      add_le(l, Bytes(32, 0xff)),  // L - 1 (mod 2^256)
      Bytes(32, 0xff),             // 2^256 - 1: the signed digits run one past bit 255
      unhex("0000000000000000000000000000000000000000000000000000000000000080"),
      Bytes(32, 0x55),
      Bytes(32, 0xaa),
      unhex("ffffffffffffffffffffffffffffffff7fffffffffffffffffffffffffffffff"),
  };
  for (int i = 0; i < 6; ++i) {
    Bytes r(32);
    for (auto& x : r) x = static_cast<std::uint8_t>(rng());
    scalars.push_back(r);
  }

  for (std::size_t pi = 0; pi < points.size(); ++pi) {
    const EdwardsPoint& p = points[pi];
    EdwardsPoint twice = ed25519_point_double(p);
    ASSERT_EQ(enc(twice), enc(ed25519_point_add(p, p))) << "point " << pi;
    ASSERT_EQ(enc(ed25519_point_double(twice)), enc(ed25519_point_add(twice, twice))) << "point " << pi;
    for (std::size_t si = 0; si < scalars.size(); ++si) {
      // Each scalar once against B and once against the point, paired with
      // a different partner each time.
      const Bytes& s = scalars[si];
      const Bytes& k = scalars[(si + pi) % scalars.size()];
      EdwardsPoint want = ed25519_point_add(reference_mul(s.data(), b), reference_mul(k.data(), p));
      ASSERT_EQ(enc(ed25519_double_scalar_mul(s.data(), k.data(), p)), enc(want))
          << "point " << pi << " scalars " << si << ", " << (si + pi) % scalars.size();
    }
  }
}

// The old verification: decode R, compute [S]B and R + [k]A by double-and-add
// and compare their encodings; k from libsodium's hash and reduction.
bool reference_verify(const Bytes& key, const Bytes& msg, const Bytes& sig) {
  auto a = ed25519_decompress(key.data());
  auto r = ed25519_decompress(sig.data());
  if (!a || !r) return false;
  Bytes l = order_l();
  for (int i = 31; i >= 0; --i) {
    if (sig[32 + i] != l[i]) {
      if (sig[32 + i] > l[i]) return false;
      break;
    }
    if (i == 0) return false;  // S = L
  }
  Bytes buf(sig.begin(), sig.begin() + 32);
  buf.insert(buf.end(), key.begin(), key.end());
  buf.insert(buf.end(), msg.begin(), msg.end());
  std::uint8_t h[64], k[32];
  crypto_hash_sha512(h, buf.data(), buf.size());
  crypto_core_ed25519_scalar_reduce(k, h);
  return enc(reference_mul(sig.data() + 32, ed25519_base_point())) ==
         enc(ed25519_point_add(*r, reference_mul(k, *a)));
}

// Keys and R with a small-order part, where the cofactorless equation holds
// only for some messages: A = [a]B + T1 and R = [r]B + T2 with
// S = r + k·a mod L, so [S]B = R + [k]A exactly when T2 + [k]T1 is neutral.
// The verdicts must match the old arithmetic, both ways.
TEST_F(Ed25519, VerifyMatchesTheReferenceForSmallAndMixedOrderKeys) {
  std::mt19937_64 rng(31);
  const auto& torsion = small_order_points();
  ASSERT_EQ(torsion.size(), 8u);
  int accepted = 0, refused = 0;
  auto random_scalar = [&] {
    std::uint8_t wide[64], s[32];
    for (auto& x : wide) x = static_cast<std::uint8_t>(rng());
    crypto_core_ed25519_scalar_reduce(s, wide);
    return Bytes(s, s + 32);
  };
  for (int round = 0; round < 160; ++round) {
    const EdwardsPoint& t1 = torsion[round % 8];
    const EdwardsPoint& t2 = torsion[(round / 8) % 8];
    // Every fourth key is purely small-order (a = 0).
    Bytes a = round % 4 == 0 ? Bytes(32, 0) : random_scalar();
    Bytes r = random_scalar();
    Bytes key = enc(ed25519_point_add(reference_mul(a.data(), ed25519_base_point()), t1));
    Bytes sig = enc(ed25519_point_add(reference_mul(r.data(), ed25519_base_point()), t2));
    Bytes msg(rng() % 40);
    for (auto& x : msg) x = static_cast<std::uint8_t>(rng());

    Bytes buf(sig.begin(), sig.end());
    buf.insert(buf.end(), key.begin(), key.end());
    buf.insert(buf.end(), msg.begin(), msg.end());
    std::uint8_t h[64], k[32], ka[32], s[32];
    crypto_hash_sha512(h, buf.data(), buf.size());
    crypto_core_ed25519_scalar_reduce(k, h);
    crypto_core_ed25519_scalar_mul(ka, k, a.data());
    crypto_core_ed25519_scalar_add(s, r.data(), ka);
    sig.insert(sig.end(), s, s + 32);

    bool want = reference_verify(key, msg, sig);
    ASSERT_EQ(ed25519_verify(key, msg, sig), want) << "round " << round;
    (want ? accepted : refused)++;
    Bytes flipped = sig;
    flipped[32 + rng() % 32] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    ASSERT_EQ(ed25519_verify(key, msg, flipped), reference_verify(key, msg, flipped)) << "round " << round;
  }
  // Both verdicts occur, or the table proves nothing.
  EXPECT_GT(accepted, 10);
  EXPECT_GT(refused, 10);
}

// The square root behind decoding and the inverse behind encoding, against
// python's integers: x from y with each sign (or no x), and 1/a.
TEST_F(Ed25519, SquareRootAndInverseMatchPythonIntegers) {
  test::ScratchDir dir;
  std::mt19937_64 rng(41);
  const std::uint64_t mask51 = (std::uint64_t(1) << 51) - 1;
  std::vector<FieldElement> ys = {
      {{0, 0, 0, 0, 0}},
      {{1, 0, 0, 0, 0}},
      {{mask51 - 19, mask51, mask51, mask51, mask51}},  // -1
      {{2, 0, 0, 0, 0}},
      {{mask51, mask51, mask51, mask51, mask51}},  // 18 past p
  };
  for (int i = 0; i < 400; ++i) {
    FieldElement y;
    for (auto& limb : y.v) limb = rng() & mask51;
    ys.push_back(y);
  }
  std::ostringstream in;
  std::vector<std::optional<FieldElement>> roots;
  std::vector<FieldElement> inverses;
  for (const auto& y : ys) {
    for (int sign = 0; sign < 2; ++sign) {
      for (auto limb : y.v) in << limb << ' ';
      in << sign << '\n';
      roots.push_back(ed25519_recover_x(y, sign));
    }
    inverses.push_back(fe_invert(y));
  }
  std::string out = test::python(dir, R"(
import sys
p = 2**255 - 19
m = 2**51 - 1
d = -121665 * pow(121666, p - 2, p) % p
i = pow(2, (p - 1) // 4, p)
def limbs(r):
    return ' '.join(str((r >> (51 * j)) & m) for j in range(5))
for line in open(sys.argv[1]):
    v = [int(x) for x in line.split()]
    y = sum(v[j] << (51 * j) for j in range(5)) % p
    sign = v[5]
    w = (y * y - 1) * pow(d * y * y + 1, p - 2, p) % p
    x = pow(w, (p + 3) // 8, p)
    if (x * x - w) % p:
        x = x * i % p
    if (x * x - w) % p or (x == 0 and sign):
        print('none', end=' ')
    else:
        if x & 1 != sign:
            x = p - x
        print(limbs(x), end=' ')
    print(limbs(pow(y, p - 2, p)))
)", in.str());
  std::istringstream lines(out);
  int none = 0;
  for (std::size_t n = 0; n < roots.size(); ++n) {
    std::string first;
    ASSERT_TRUE(lines >> first) << n;
    if (first == "none") {
      EXPECT_FALSE(roots[n].has_value()) << n;
      ++none;
    } else {
      FieldElement want;
      want.v[0] = std::stoull(first);
      for (int j = 1; j < 5; ++j) ASSERT_TRUE(lines >> want.v[j]);
      ASSERT_TRUE(roots[n].has_value()) << n;
      EXPECT_TRUE(fe_equal(*roots[n], want)) << n;
    }
    FieldElement inv;
    for (auto& limb : inv.v) ASSERT_TRUE(lines >> limb);
    if (n % 2 == 1) {
      EXPECT_TRUE(fe_equal(inverses[n / 2], inv)) << n;
    }
  }
  // Roughly half the y have no x; y = ±1 refuse the set sign.
  EXPECT_GT(none, 300);
  EXPECT_LT(none, 500);
}

}  // namespace
}  // namespace vessoria
