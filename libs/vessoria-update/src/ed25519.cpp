#include "ed25519.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "sha.h"

namespace vessoria {
namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;
constexpr u64 kMask51 = (u64(1) << 51) - 1;

// Five 128-bit limb sums of a product carried back into 51-bit limbs.
FieldElement fe_carry_wide(u128 t0, u128 t1, u128 t2, u128 t3, u128 t4) {
  FieldElement r;
  t1 += static_cast<u64>(t0 >> 51); r.v[0] = static_cast<u64>(t0) & kMask51;
  t2 += static_cast<u64>(t1 >> 51); r.v[1] = static_cast<u64>(t1) & kMask51;
  t3 += static_cast<u64>(t2 >> 51); r.v[2] = static_cast<u64>(t2) & kMask51;
  t4 += static_cast<u64>(t3 >> 51); r.v[3] = static_cast<u64>(t3) & kMask51;
  u64 c = static_cast<u64>(t4 >> 51); r.v[4] = static_cast<u64>(t4) & kMask51;
  r.v[0] += c * 19;
  c = r.v[0] >> 51; r.v[0] &= kMask51; r.v[1] += c;
  return r;
}

// a*a with the symmetric cross products folded: the same value as
// fe_mul(a, a), a third cheaper; exponentiations are almost all squarings.
FieldElement fe_sq(const FieldElement& a) {
  const u64 a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
  const u64 d0 = 2 * a0, d1 = 2 * a1, d2 = 2 * a2, d3 = 2 * a3;
  const u64 a4_19 = 19 * a4, a3_19 = 19 * a3;
  u128 t0 = u128(a0) * a0 + u128(d1) * a4_19 + u128(d2) * a3_19;
  u128 t1 = u128(d0) * a1 + u128(d2) * a4_19 + u128(a3) * a3_19;
  u128 t2 = u128(d0) * a2 + u128(a1) * a1 + u128(d3) * a4_19;
  u128 t3 = u128(d0) * a3 + u128(d1) * a2 + u128(a4) * a4_19;
  u128 t4 = u128(d0) * a4 + u128(d1) * a3 + u128(a2) * a2;
  return fe_carry_wide(t0, t1, t2, t3, t4);
}

FieldElement fe_from_u64(u64 x) { return {{x & kMask51, x >> 51, 0, 0, 0}}; }
FieldElement fe_zero() { return {{0, 0, 0, 0, 0}}; }
FieldElement fe_one() { return fe_from_u64(1); }

FieldElement fe_add(const FieldElement& a, const FieldElement& b) {
  FieldElement r;
  for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] + b.v[i];
  return r;
}

// Propagates carries so every limb is below 2^51 plus a small amount; keeps
// sums and differences safe to feed into further arithmetic.
FieldElement fe_carry(FieldElement r) {
  u64 c;
  c = r.v[0] >> 51; r.v[0] &= kMask51; r.v[1] += c;
  c = r.v[1] >> 51; r.v[1] &= kMask51; r.v[2] += c;
  c = r.v[2] >> 51; r.v[2] &= kMask51; r.v[3] += c;
  c = r.v[3] >> 51; r.v[3] &= kMask51; r.v[4] += c;
  c = r.v[4] >> 51; r.v[4] &= kMask51; r.v[0] += c * 19;
  return r;
}

// a - b, adding 4p first so that no limb goes negative (inputs have limbs
// below 2^53).
FieldElement fe_sub(const FieldElement& a, const FieldElement& b) {
  FieldElement r;
  r.v[0] = a.v[0] + 0x1fffffffffffb4ULL - b.v[0];
  for (int i = 1; i < 5; ++i) r.v[i] = a.v[i] + 0x1ffffffffffffcULL - b.v[i];
  return fe_carry(r);
}

FieldElement fe_neg(const FieldElement& a) { return fe_sub(fe_zero(), a); }

// The unique representative below p, as limbs.
FieldElement fe_reduce(const FieldElement& a) {
  FieldElement r = fe_carry(fe_carry(fe_carry(a)));
  // Three passes leave every limb below 2^51, so r < 2^255; decide by adding 19 whether r >= p.
  u64 q = (r.v[0] + 19) >> 51;
  q = (r.v[1] + q) >> 51;
  q = (r.v[2] + q) >> 51;
  q = (r.v[3] + q) >> 51;
  q = (r.v[4] + q) >> 51;
  r.v[0] += 19 * q;
  u64 c;
  c = r.v[0] >> 51; r.v[0] &= kMask51; r.v[1] += c;
  c = r.v[1] >> 51; r.v[1] &= kMask51; r.v[2] += c;
  c = r.v[2] >> 51; r.v[2] &= kMask51; r.v[3] += c;
  c = r.v[3] >> 51; r.v[3] &= kMask51; r.v[4] += c;
  r.v[4] &= kMask51;
  return r;
}

Ed25519Bytes fe_to_bytes(const FieldElement& a) {
  FieldElement r = fe_reduce(a);
  u64 w0 = r.v[0] | (r.v[1] << 51);
  u64 w1 = (r.v[1] >> 13) | (r.v[2] << 38);
  u64 w2 = (r.v[2] >> 26) | (r.v[3] << 25);
  u64 w3 = (r.v[3] >> 39) | (r.v[4] << 12);
  Ed25519Bytes out;
  u64 w[4] = {w0, w1, w2, w3};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 8; ++j) out[8 * i + j] = static_cast<std::uint8_t>(w[i] >> (8 * j));
  return out;
}

u64 load_le64(const std::uint8_t* p) {
  u64 x = 0;
  for (int i = 7; i >= 0; --i) x = (x << 8) | p[i];
  return x;
}

bool fe_is_zero(const FieldElement& a) {
  FieldElement r = fe_reduce(a);
  return (r.v[0] | r.v[1] | r.v[2] | r.v[3] | r.v[4]) == 0;
}

int fe_low_bit(const FieldElement& a) { return static_cast<int>(fe_reduce(a).v[0] & 1); }

// a^(2^n) by n squarings.
FieldElement fe_sq_n(FieldElement a, int n) {
  for (int i = 0; i < n; ++i) a = fe_sq(a);
  return a;
}

// The exponents needed here (p - 2, (p - 5) / 8, (p - 1) / 4) all share the
// long run of ones 2^250 - 1. A fixed addition chain reaches it with 250
// squarings and 11 multiplications, where plain square-and-multiply would
// spend almost one multiplication per bit. Returns a^(2^250 - 1) and a^11
// (the tail of p - 2).
struct Pow22501 {
  FieldElement run;  // a^(2^250 - 1)
  FieldElement a11;  // a^11
};

Pow22501 fe_pow22501(const FieldElement& a) {
  FieldElement a2 = fe_sq(a);
  FieldElement a9 = fe_mul(fe_sq_n(a2, 2), a);
  FieldElement a11 = fe_mul(a9, a2);
  FieldElement t = fe_mul(fe_sq(a11), a9);           // 2^5 - 1
  t = fe_mul(fe_sq_n(t, 5), t);                       // 2^10 - 1
  FieldElement t10 = t;
  t = fe_mul(fe_sq_n(t, 10), t10);                    // 2^20 - 1
  t = fe_mul(fe_sq_n(t, 20), t);                      // 2^40 - 1
  t = fe_mul(fe_sq_n(t, 10), t10);                    // 2^50 - 1
  FieldElement t50 = t;
  t = fe_mul(fe_sq_n(t, 50), t50);                    // 2^100 - 1
  t = fe_mul(fe_sq_n(t, 100), t);                     // 2^200 - 1
  t = fe_mul(fe_sq_n(t, 50), t50);                    // 2^250 - 1
  return {t, a11};
}

// a^((p - 5) / 8) = a^(2^252 - 3), the core of the square root.
FieldElement fe_pow_p58(const FieldElement& a) {
  return fe_mul(fe_sq_n(fe_pow22501(a).run, 2), a);
}

FieldElement fe_invert_impl(const FieldElement& a) {
  Pow22501 t = fe_pow22501(a);
  return fe_mul(fe_sq_n(t.run, 5), t.a11);  // 2^255 - 32 + 11 = p - 2
}

// The point forms the scalar multiplication moves between. Keeping several
// lets each step skip the products its next step does not read.
//
// Projective (X : Y : Z), without T: enough for a doubling.
struct ProjectivePoint {
  FieldElement X, Y, Z;
};

// "Completed" ((X : Z), (Y : T)), i.e. x = X/Z and y = Y/T: what the addition
// and doubling formulas produce before their last multiplications. Turning it
// into a ProjectivePoint costs three products, into an EdwardsPoint four.
struct CompletedPoint {
  FieldElement X, Y, Z, T;
};

// A point prepared as the second operand of additions: Y + X, Y - X, Z and
// 2·d·T. Negating it is swapping the first two and negating the last.
struct CachedPoint {
  FieldElement YplusX, YminusX, Z, T2d;
};

// Limb bounds: every product leaves limbs below 2^51 + 2^13 and every
// difference below 2^51 + 2^8, so the sums formed here (at most a product
// plus twice a product) stay below 2^53, which fe_mul, fe_sq and fe_sub take.

EdwardsPoint neutral() { return {fe_zero(), fe_one(), fe_one(), fe_zero()}; }

ProjectivePoint to_projective(const CompletedPoint& c) {
  return {fe_mul(c.X, c.T), fe_mul(c.Y, c.Z), fe_mul(c.Z, c.T)};
}

EdwardsPoint to_extended(const CompletedPoint& c) {
  return {fe_mul(c.X, c.T), fe_mul(c.Y, c.Z), fe_mul(c.Z, c.T), fe_mul(c.X, c.Y)};
}

CachedPoint to_cached(const EdwardsPoint& p, const FieldElement& d2) {
  return {fe_carry(fe_add(p.Y, p.X)), fe_sub(p.Y, p.X), p.Z, fe_mul(p.T, d2)};
}

// Doubling for a = -1: x' = 2xy / (y^2 - x^2), y' = (y^2 + x^2) / (2 - y^2 + x^2),
// in projective form. Four squarings, no d, and T is not read.
CompletedPoint point_dbl(const ProjectivePoint& p) {
  FieldElement xx = fe_sq(p.X);
  FieldElement yy = fe_sq(p.Y);
  FieldElement zz = fe_sq(p.Z);
  FieldElement zz2 = fe_add(zz, zz);
  FieldElement sum = fe_sq(fe_add(p.X, p.Y));  // X^2 + 2XY + Y^2
  CompletedPoint c;
  c.Y = fe_add(yy, xx);
  c.Z = fe_sub(yy, xx);
  c.X = fe_sub(sum, c.Y);  // 2XY
  c.T = fe_sub(zz2, c.Z);
  return c;
}

// p + q and p - q: the same unified formula as ed25519_point_add, with q's
// share of it already computed in the cached form.
CompletedPoint point_add_cached(const EdwardsPoint& p, const CachedPoint& q) {
  FieldElement a = fe_mul(fe_sub(p.Y, p.X), q.YminusX);
  FieldElement b = fe_mul(fe_add(p.Y, p.X), q.YplusX);
  FieldElement c = fe_mul(p.T, q.T2d);
  FieldElement zz = fe_mul(p.Z, q.Z);
  FieldElement d = fe_add(zz, zz);
  return {fe_sub(b, a), fe_add(b, a), fe_add(d, c), fe_sub(d, c)};
}

CompletedPoint point_sub_cached(const EdwardsPoint& p, const CachedPoint& q) {
  FieldElement a = fe_mul(fe_sub(p.Y, p.X), q.YplusX);
  FieldElement b = fe_mul(fe_add(p.Y, p.X), q.YminusX);
  FieldElement c = fe_mul(p.T, q.T2d);
  FieldElement zz = fe_mul(p.Z, q.Z);
  FieldElement d = fe_add(zz, zz);
  return {fe_sub(b, a), fe_add(b, a), fe_sub(d, c), fe_add(d, c)};
}

// Width of the signed-digit windows. The base point's table is built once,
// so it can be wide (64 odd multiples, about 10 KiB); the other point's is
// built on every call, where 8 entries balance table cost against additions.
constexpr int kBaseWindow = 8;
constexpr int kPointWindow = 5;
constexpr int kBaseTableSize = 1 << (kBaseWindow - 2);
constexpr int kPointTableSize = 1 << (kPointWindow - 2);

// The odd multiples P, 3P, 5P, ... of p, as cached points.
template <std::size_t N>
void odd_multiples(const EdwardsPoint& p, const FieldElement& d2, std::array<CachedPoint, N>& table) {
  EdwardsPoint twice = ed25519_point_double(p);
  EdwardsPoint cur = p;
  table[0] = to_cached(cur, d2);
  for (std::size_t i = 1; i < N; ++i) {
    cur = to_extended(point_add_cached(twice, table[i - 1]));
    table[i] = to_cached(cur, d2);
  }
}

struct Ed25519Constants {
  FieldElement d;
  FieldElement d2;  // 2*d, used by every addition
  FieldElement sqrt_m1;
  EdwardsPoint base;
  std::array<CachedPoint, kBaseTableSize> base_odd;  // B, 3B, ..., 127B
};

std::optional<FieldElement> recover_x_with(const FieldElement& y, int sign, const FieldElement& d,
                                           const FieldElement& sqrt_m1) {
  FieldElement y2 = fe_sq(y);
  FieldElement u = fe_sub(y2, fe_one());
  FieldElement v = fe_carry(fe_add(fe_mul(d, y2), fe_one()));  // never 0: d is not a square
  // x = u·v^3·(u·v^7)^((p-5)/8) equals (u/v)^((p+3)/8) without a separate
  // inversion: the root of x^2 = u/v when there is one, up to a factor sqrt(-1).
  FieldElement v3 = fe_mul(fe_sq(v), v);
  FieldElement uv7 = fe_mul(fe_mul(fe_sq(v3), v), u);
  FieldElement x = fe_mul(fe_mul(u, v3), fe_pow_p58(uv7));
  FieldElement vxx = fe_mul(v, fe_sq(x));
  if (!fe_equal(vxx, u)) {
    if (!fe_equal(vxx, fe_neg(u))) return std::nullopt;  // u/v is not a square
    x = fe_mul(x, sqrt_m1);
  }
  if (fe_is_zero(x)) {
    // Only y = ±1 gives x = 0, which has no negative to carry a sign.
    if (sign) return std::nullopt;
    return fe_zero();
  }
  if (fe_low_bit(x) != sign) x = fe_neg(x);
  return x;
}

Ed25519Constants build_constants() {
  Ed25519Constants k;
  // d = -121665 / 121666
  k.d = fe_mul(fe_neg(fe_from_u64(121665)), fe_invert_impl(fe_from_u64(121666)));
  k.d2 = fe_carry(fe_add(k.d, k.d));
  // sqrt(-1) = 2^((p-1)/4) = 2^(2^253 - 5)
  const FieldElement two = fe_from_u64(2);
  k.sqrt_m1 = fe_mul(fe_sq_n(fe_pow22501(two).run, 3), fe_mul(fe_sq(two), two));
  FieldElement by = fe_mul(fe_from_u64(4), fe_invert_impl(fe_from_u64(5)));
  auto bx = recover_x_with(by, 0, k.d, k.sqrt_m1);
  if (!bx) std::abort();  // cannot happen: 4/5 is the y of a curve point
  k.base = {*bx, by, fe_one(), fe_mul(*bx, by)};
  odd_multiples(k.base, k.d2, k.base_odd);
  return k;
}

const Ed25519Constants& constants() {
  static std::once_flag once;
  static Ed25519Constants k;
  std::call_once(once, [] { k = build_constants(); });
  return k;
}

// The group order L as four 64-bit words, least significant first.
constexpr u64 kL[4] = {0x5812631a5cf5d3edULL, 0x14def9dea2f79cd6ULL, 0, 0x1000000000000000ULL};

bool words_less(const u64* a, const u64* b) {
  for (int i = 3; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return false;
}

void words_sub(u64* a, const u64* b) {
  u64 borrow = 0;
  for (int i = 0; i < 4; ++i) {
    u128 t = u128(a[i]) - b[i] - borrow;
    a[i] = static_cast<u64>(t);
    borrow = static_cast<u64>(t >> 64) & 1;
  }
}

// 512-bit little-endian integer modulo L, by long division one bit at a time.
std::array<std::uint8_t, 32> reduce_mod_l(const Sha512Digest& h) {
  u64 r[4] = {0, 0, 0, 0};
  for (int bit = 511; bit >= 0; --bit) {
    // The remainder stays below L < 2^253, so the shift cannot overflow.
    r[3] = (r[3] << 1) | (r[2] >> 63);
    r[2] = (r[2] << 1) | (r[1] >> 63);
    r[1] = (r[1] << 1) | (r[0] >> 63);
    r[0] = (r[0] << 1) | ((h[bit / 8] >> (bit % 8)) & 1);
    if (!words_less(r, kL)) words_sub(r, kL);
  }
  std::array<std::uint8_t, 32> out;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 8; ++j) out[8 * i + j] = static_cast<std::uint8_t>(r[i] >> (8 * j));
  return out;
}

// A 256-bit scalar has a NAF at most one digit longer.
constexpr int kDigits = 257;

// Width-w non-adjacent form: digits d[i] that are 0 or odd with
// |d[i]| < 2^(w-1), sum d[i]·2^i = the scalar, and any two non-zero digits at
// least w positions apart, so a scalar costs about 256/(w+1) additions of
// table entries instead of 128.
std::array<std::int8_t, kDigits> signed_digits(const std::uint8_t* scalar_le, int w) {
  std::array<std::int8_t, kDigits> digits{};
  // One spare word: subtracting a negative digit can carry past bit 255.
  u64 k[5] = {0, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) k[i] = load_le64(scalar_le + 8 * i);
  const u64 window = u64(1) << w;
  for (int i = 0; i < kDigits; ++i) {
    if (k[0] & 1) {
      long digit = static_cast<long>(k[0] & (window - 1));
      if (digit >= static_cast<long>(window / 2)) digit -= static_cast<long>(window);
      digits[i] = static_cast<std::int8_t>(digit);
      // k -= digit, which leaves the low w bits zero.
      if (digit > 0) {
        u64 borrow = static_cast<u64>(digit);
        for (int j = 0; j < 5 && borrow; ++j) {
          u64 before = k[j];
          k[j] -= borrow;
          borrow = k[j] > before;
        }
      } else {
        u64 carry = static_cast<u64>(-digit);
        for (int j = 0; j < 5 && carry; ++j) {
          k[j] += carry;
          carry = k[j] < carry;
        }
      }
    }
    for (int j = 0; j < 4; ++j) k[j] = (k[j] >> 1) | (k[j + 1] << 63);
    k[4] >>= 1;
  }
  return digits;
}

CompletedPoint add_digit(const EdwardsPoint& p, int digit, const CachedPoint* odd) {
  return digit > 0 ? point_add_cached(p, odd[digit / 2]) : point_sub_cached(p, odd[-digit / 2]);
}

}  // namespace

FieldElement fe_mul(const FieldElement& a, const FieldElement& b) {
  const u64 a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
  const u64 b0 = b.v[0], b1 = b.v[1], b2 = b.v[2], b3 = b.v[3], b4 = b.v[4];
  const u64 b1_19 = b1 * 19, b2_19 = b2 * 19, b3_19 = b3 * 19, b4_19 = b4 * 19;
  u128 t0 = u128(a0) * b0 + u128(a1) * b4_19 + u128(a2) * b3_19 + u128(a3) * b2_19 + u128(a4) * b1_19;
  u128 t1 = u128(a0) * b1 + u128(a1) * b0 + u128(a2) * b4_19 + u128(a3) * b3_19 + u128(a4) * b2_19;
  u128 t2 = u128(a0) * b2 + u128(a1) * b1 + u128(a2) * b0 + u128(a3) * b4_19 + u128(a4) * b3_19;
  u128 t3 = u128(a0) * b3 + u128(a1) * b2 + u128(a2) * b1 + u128(a3) * b0 + u128(a4) * b4_19;
  u128 t4 = u128(a0) * b4 + u128(a1) * b3 + u128(a2) * b2 + u128(a3) * b1 + u128(a4) * b0;
  return fe_carry_wide(t0, t1, t2, t3, t4);
}

bool fe_equal(const FieldElement& a, const FieldElement& b) {
  FieldElement x = fe_reduce(a), y = fe_reduce(b);
  return std::memcmp(x.v, y.v, sizeof x.v) == 0;
}

FieldElement fe_invert(const FieldElement& a) { return fe_invert_impl(a); }

const EdwardsPoint& ed25519_base_point() { return constants().base; }

std::optional<FieldElement> ed25519_recover_x(const FieldElement& y, int sign) {
  const auto& k = constants();
  return recover_x_with(y, sign, k.d, k.sqrt_m1);
}

EdwardsPoint ed25519_point_add(const EdwardsPoint& p, const EdwardsPoint& q) {
  const auto& k = constants();
  FieldElement a = fe_mul(fe_sub(p.Y, p.X), fe_sub(q.Y, q.X));
  FieldElement b = fe_mul(fe_add(p.Y, p.X), fe_add(q.Y, q.X));
  FieldElement c = fe_mul(fe_mul(k.d2, p.T), q.T);
  FieldElement zz = fe_mul(p.Z, q.Z);
  FieldElement d = fe_add(zz, zz);
  FieldElement e = fe_sub(b, a);
  FieldElement f = fe_sub(d, c);
  FieldElement g = fe_add(d, c);
  FieldElement h = fe_add(b, a);
  return {fe_mul(e, f), fe_mul(g, h), fe_mul(f, g), fe_mul(e, h)};
}

EdwardsPoint ed25519_point_double(const EdwardsPoint& p) {
  return to_extended(point_dbl({p.X, p.Y, p.Z}));
}

// Straus' method: one chain of doublings shared by both scalars, each adding
// its table entry where its signed digit is non-zero.
EdwardsPoint ed25519_double_scalar_mul(const std::uint8_t* s_le32, const std::uint8_t* k_le32,
                                       const EdwardsPoint& p) {
  const auto& k = constants();
  const auto s_digits = signed_digits(s_le32, kBaseWindow);
  const auto k_digits = signed_digits(k_le32, kPointWindow);
  std::array<CachedPoint, kPointTableSize> p_odd;
  odd_multiples(p, k.d2, p_odd);

  int top = kDigits - 1;
  while (top >= 0 && s_digits[top] == 0 && k_digits[top] == 0) --top;
  if (top < 0) return neutral();

  ProjectivePoint acc{fe_zero(), fe_one(), fe_one()};
  CompletedPoint step{};
  for (int i = top; i >= 0; --i) {
    step = point_dbl(acc);
    if (k_digits[i]) step = add_digit(to_extended(step), k_digits[i], p_odd.data());
    if (s_digits[i]) step = add_digit(to_extended(step), s_digits[i], k.base_odd.data());
    if (i > 0) acc = to_projective(step);
  }
  return to_extended(step);
}

std::optional<EdwardsPoint> ed25519_decompress(const std::uint8_t* bytes) {
  int sign = bytes[31] >> 7;
  u64 w[4];
  for (int i = 0; i < 4; ++i) w[i] = load_le64(bytes + 8 * i);
  w[3] &= 0x7fffffffffffffffULL;
  FieldElement y;
  y.v[0] = w[0] & kMask51;
  y.v[1] = ((w[0] >> 51) | (w[1] << 13)) & kMask51;
  y.v[2] = ((w[1] >> 38) | (w[2] << 26)) & kMask51;
  y.v[3] = ((w[2] >> 25) | (w[3] << 39)) & kMask51;
  y.v[4] = (w[3] >> 12) & kMask51;
  // y >= p = 2^255 - 19: the four top limbs all ones and the bottom one >= 2^51 - 19.
  if (y.v[1] == kMask51 && y.v[2] == kMask51 && y.v[3] == kMask51 && y.v[4] == kMask51 &&
      y.v[0] >= kMask51 - 18)
    return std::nullopt;
  auto x = ed25519_recover_x(y, sign);
  if (!x) return std::nullopt;
  return EdwardsPoint{*x, y, fe_one(), fe_mul(*x, y)};
}

Ed25519Bytes ed25519_compress(const EdwardsPoint& p) {
  FieldElement zinv = fe_invert(p.Z);
  FieldElement x = fe_mul(p.X, zinv);
  FieldElement y = fe_mul(p.Y, zinv);
  Ed25519Bytes out = fe_to_bytes(y);
  out[31] = static_cast<std::uint8_t>(out[31] | (fe_low_bit(x) << 7));
  return out;
}

bool ed25519_verify(std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> message,
                    std::span<const std::uint8_t> signature) {
  if (signature.size() != 64 || public_key.size() != 32) return false;
  auto a = ed25519_decompress(public_key.data());
  if (!a) return false;
  u64 s[4];
  for (int i = 0; i < 4; ++i) s[i] = load_le64(signature.data() + 32 + 8 * i);
  if (!words_less(s, kL)) return false;

  std::vector<std::uint8_t> buf;
  buf.reserve(64 + message.size());
  buf.insert(buf.end(), signature.begin(), signature.begin() + 32);
  buf.insert(buf.end(), public_key.begin(), public_key.end());
  buf.insert(buf.end(), message.begin(), message.end());
  auto k = reduce_mod_l(sha512(buf));

  // [S]B = R + [k]A holds exactly when [S]B - [k]A is R. R itself is never
  // decoded: decoding accepts precisely the encodings that compression
  // produces (y below p, x on the curve, no sign on x = 0) and is the inverse
  // of compression on them, so "R decodes and equals the point" is the same
  // as "the point compresses to R's 32 bytes", and a bad R simply fails the
  // comparison. That spares R's square root and [S]B's separate encoding.
  EdwardsPoint neg_a{fe_neg(a->X), a->Y, a->Z, fe_neg(a->T)};
  EdwardsPoint check = ed25519_double_scalar_mul(signature.data() + 32, k.data(), neg_a);
  Ed25519Bytes enc = ed25519_compress(check);
  return std::memcmp(enc.data(), signature.data(), 32) == 0;
}

}  // namespace vessoria
