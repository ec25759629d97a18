#include "ed25519.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "sha.h"

namespace vessoria {
namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;
constexpr u64 kMask51 = (u64(1) << 51) - 1;

struct Ed25519Constants {
  FieldElement d;
  FieldElement d2;  // 2*d, used by every addition
  FieldElement sqrt_m1;
  EdwardsPoint base;
};

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

// Square-and-multiply from the most significant of the 256 exponent bits.
FieldElement fe_pow(const FieldElement& base, const std::array<std::uint8_t, 32>& exponent_le) {
  FieldElement r = fe_one();
  bool started = false;
  for (int i = 255; i >= 0; --i) {
    if (started) r = fe_sq(r);
    if ((exponent_le[i / 8] >> (i % 8)) & 1) {
      r = started ? fe_mul(r, base) : base;
      started = true;
    }
  }
  return r;
}

// p - 2, (p - 1) / 4 and (p + 3) / 8 as little-endian bytes.
std::array<std::uint8_t, 32> exponent_bytes(int which) {
  std::array<std::uint8_t, 32> e{};
  e.fill(0xff);
  e[31] = 0x7f;
  if (which == 0) {  // 2^255 - 21
    e[0] = 0xeb;
  } else if (which == 1) {  // 2^253 - 5
    e[0] = 0xfb;
    e[31] = 0x1f;
  } else {  // 2^252 - 2
    e[0] = 0xfe;
    e[31] = 0x0f;
  }
  return e;
}

FieldElement fe_invert(const FieldElement& a) {
  static const auto e = exponent_bytes(0);
  return fe_pow(a, e);
}

EdwardsPoint neutral() { return {fe_zero(), fe_one(), fe_one(), fe_zero()}; }

const Ed25519Constants& constants();

std::optional<FieldElement> recover_x_with(const FieldElement& y, int sign, const FieldElement& d,
                                           const FieldElement& sqrt_m1) {
  static const auto e38 = exponent_bytes(2);
  FieldElement y2 = fe_sq(y);
  FieldElement u = fe_sub(y2, fe_one());
  FieldElement v = fe_carry(fe_add(fe_mul(d, y2), fe_one()));
  FieldElement w = fe_mul(u, fe_invert(v));
  if (fe_is_zero(w)) {
    if (sign) return std::nullopt;
    return fe_zero();
  }
  FieldElement x = fe_pow(w, e38);
  if (!fe_equal(fe_sq(x), w)) x = fe_mul(x, sqrt_m1);
  if (!fe_equal(fe_sq(x), w)) return std::nullopt;
  if (fe_low_bit(x) != sign) x = fe_neg(x);
  return x;
}

Ed25519Constants build_constants() {
  Ed25519Constants k;
  // d = -121665 / 121666
  k.d = fe_mul(fe_neg(fe_from_u64(121665)), fe_invert(fe_from_u64(121666)));
  k.d2 = fe_carry(fe_add(k.d, k.d));
  k.sqrt_m1 = fe_pow(fe_from_u64(2), exponent_bytes(1));
  FieldElement by = fe_mul(fe_from_u64(4), fe_invert(fe_from_u64(5)));
  auto bx = recover_x_with(by, 0, k.d, k.sqrt_m1);
  if (!bx) std::abort();  // cannot happen: 4/5 is the y of a curve point
  k.base = {*bx, by, fe_one(), fe_mul(*bx, by)};
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

// Right-to-left double-and-add over all 256 bits.
EdwardsPoint scalar_mul(const std::uint8_t* scalar_le, const EdwardsPoint& p) {
  EdwardsPoint acc = neutral();
  EdwardsPoint run = p;
  for (int i = 0; i < 256; ++i) {
    if ((scalar_le[i / 8] >> (i % 8)) & 1) acc = ed25519_point_add(acc, run);
    run = ed25519_point_add(run, run);
  }
  return acc;
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

bool fe_equal(const FieldElement& a, const FieldElement& b) {
  FieldElement x = fe_reduce(a), y = fe_reduce(b);
  return std::memcmp(x.v, y.v, sizeof x.v) == 0;
}

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
  auto r = ed25519_decompress(signature.data());
  if (!a || !r) return false;
  u64 s[4];
  for (int i = 0; i < 4; ++i) s[i] = load_le64(signature.data() + 32 + 8 * i);
  if (!words_less(s, kL)) return false;

  std::vector<std::uint8_t> buf;
  buf.reserve(64 + message.size());
  buf.insert(buf.end(), signature.begin(), signature.begin() + 32);
  buf.insert(buf.end(), public_key.begin(), public_key.end());
  buf.insert(buf.end(), message.begin(), message.end());
  auto k = reduce_mod_l(sha512(buf));

  EdwardsPoint sb = scalar_mul(signature.data() + 32, ed25519_base_point());
  EdwardsPoint rka = ed25519_point_add(*r, scalar_mul(k.data(), *a));
  return ed25519_compress(sb) == ed25519_compress(rka);
}

}  // namespace vessoria
