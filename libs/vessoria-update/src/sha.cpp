#include "sha.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define VESSORIA_SHA_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define VESSORIA_SHA_X86 0
#endif

namespace vessoria {
namespace {

constexpr std::uint32_t kK256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint64_t kK512[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

inline std::uint32_t rotr32(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline std::uint64_t rotr64(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

inline std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
inline std::uint64_t load_be64(const std::uint8_t* p) {
  return (std::uint64_t(load_be32(p)) << 32) | load_be32(p + 4);
}

void sha512_compress(std::array<std::uint64_t, 8>& h, const std::uint8_t* block) {
  std::uint64_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = load_be64(block + 8 * i);
  for (int i = 16; i < 80; ++i) {
    std::uint64_t s0 = rotr64(w[i - 15], 1) ^ rotr64(w[i - 15], 8) ^ (w[i - 15] >> 7);
    std::uint64_t s1 = rotr64(w[i - 2], 19) ^ rotr64(w[i - 2], 61) ^ (w[i - 2] >> 6);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint64_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 80; ++i) {
    std::uint64_t t1 = k + (rotr64(e, 14) ^ rotr64(e, 18) ^ rotr64(e, 41)) + ((e & f) ^ (~e & g)) + kK512[i] + w[i];
    std::uint64_t t2 = (rotr64(a, 28) ^ rotr64(a, 34) ^ rotr64(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
  }
  h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += k;
}

}  // namespace

Sha256State sha256_new() {
  Sha256State s;
  s.h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  s.pending.reserve(64);
  return s;
}

// The round is written out with rotating variable names instead of shifting
// eight values each step: this is what lets the compiler keep them in registers.
#define VESSORIA_SHA256_ROUND(a, b, c, d, e, f, g, h, i)                                            \
  do {                                                                                             \
    std::uint32_t t1 = h + (rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25)) + (g ^ (e & (f ^ g))) + \
                       kK256[i] + w[i];                                                            \
    std::uint32_t t2 = (rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22)) + ((a & b) | (c & (a | b))); \
    d += t1;                                                                                       \
    h = t1 + t2;                                                                                   \
  } while (0)

namespace {

void compress_portable(std::array<std::uint32_t, 8>& hv, const std::uint8_t* block, std::size_t blocks);

void compress_one_portable(std::array<std::uint32_t, 8>& hv, const std::uint8_t* block) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 64; ++i) {
    std::uint32_t x = w[i - 15], y = w[i - 2];
    w[i] = w[i - 16] + (rotr32(x, 7) ^ rotr32(x, 18) ^ (x >> 3)) + w[i - 7] +
           (rotr32(y, 17) ^ rotr32(y, 19) ^ (y >> 10));
  }
  std::uint32_t a = hv[0], b = hv[1], c = hv[2], d = hv[3], e = hv[4], f = hv[5], g = hv[6], h = hv[7];
  for (int i = 0; i < 64; i += 8) {
    VESSORIA_SHA256_ROUND(a, b, c, d, e, f, g, h, i + 0);
    VESSORIA_SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1);
    VESSORIA_SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2);
    VESSORIA_SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3);
    VESSORIA_SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4);
    VESSORIA_SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5);
    VESSORIA_SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6);
    VESSORIA_SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7);
  }
  hv[0] += a; hv[1] += b; hv[2] += c; hv[3] += d; hv[4] += e; hv[5] += f; hv[6] += g; hv[7] += h;
}
#undef VESSORIA_SHA256_ROUND

void compress_portable(std::array<std::uint32_t, 8>& hv, const std::uint8_t* block, std::size_t blocks) {
  for (std::size_t i = 0; i < blocks; ++i) compress_one_portable(hv, block + 64 * i);
}

#if VESSORIA_SHA_X86
// The x86 SHA extensions. The state is kept as the instructions want it, in
// two registers holding (A,B,E,F) and (C,D,G,H); each sha256rnds2 does two
// rounds, and sha256msg1/msg2 extend the message schedule four words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_extensions(
    std::array<std::uint32_t, 8>& hv, const std::uint8_t* block, std::size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&hv[0]));     // D C B A
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&hv[4]));  // H G F E
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                                          // C D A B
  state1 = _mm_shuffle_epi32(state1, 0x1B);                                    // E F G H
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);                            // A B E F
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);                                 // C D G H

  for (std::size_t b = 0; b < blocks; ++b, block += 64) {
    const __m128i abef = state0, cdgh = state1;
    __m128i w[4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i)
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), byte_swap);
    // Group g does rounds 4g..4g+3 with w[g % 4]. From group 3 on it finishes the
    // words of group g+1; from group 1 to 12 it starts those of group g+3.
    // Fully unrolled, the four words stay in registers.
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      const __m128i cur = w[g & 3];
      __m128i msg = _mm_add_epi32(cur, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kK256[4 * g])));
      state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
      if (g >= 3 && g < 15) {
        __m128i& next = w[(g + 1) & 3];
        next = _mm_add_epi32(next, _mm_alignr_epi8(cur, w[(g + 3) & 3], 4));
        next = _mm_sha256msg2_epu32(next, cur);
      }
      msg = _mm_shuffle_epi32(msg, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
      if (g >= 1 && g < 13) w[(g + 3) & 3] = _mm_sha256msg1_epu32(w[(g + 3) & 3], cur);
    }
    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);        // F E B A
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // D C H G
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // D C B A
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // H G F E
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&hv[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&hv[4]), state1);
}

bool cpu_has_sha_extensions() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return ssse3 && sse41 && (b & (1u << 29));
}
#else
bool cpu_has_sha_extensions() { return false; }
#endif

using CompressFn = void (*)(std::array<std::uint32_t, 8>&, const std::uint8_t*, std::size_t);

CompressFn compress_for(Sha256Engine engine) {
#if VESSORIA_SHA_X86
  if (engine == Sha256Engine::sha_extensions) return compress_sha_extensions;
#else
  (void)engine;
#endif
  return compress_portable;
}

std::atomic<CompressFn>& compress_fn() {
  static std::atomic<CompressFn> fn{compress_for(cpu_has_sha_extensions() ? Sha256Engine::sha_extensions
                                                                           : Sha256Engine::portable)};
  return fn;
}

void compress(std::array<std::uint32_t, 8>& hv, const std::uint8_t* block, std::size_t blocks) {
  compress_fn().load(std::memory_order_relaxed)(hv, block, blocks);
}

}  // namespace

bool sha256_engine_supported(Sha256Engine engine) {
  return engine == Sha256Engine::portable || cpu_has_sha_extensions();
}

Sha256Engine sha256_engine() {
  return compress_fn().load() == compress_portable ? Sha256Engine::portable : Sha256Engine::sha_extensions;
}

bool sha256_set_engine(Sha256Engine engine) {
  if (!sha256_engine_supported(engine)) return false;
  compress_fn().store(compress_for(engine));
  return true;
}

void sha256_compress(std::array<std::uint32_t, 8>& h, const std::uint8_t* block) { compress(h, block, 1); }

void sha256_update(Sha256State& state, std::span<const std::uint8_t> bytes) {
  state.total += bytes.size();
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  if (!state.pending.empty()) {
    std::size_t take = std::min<std::size_t>(64 - state.pending.size(), n);
    state.pending.insert(state.pending.end(), p, p + take);
    p += take;
    n -= take;
    if (state.pending.size() < 64) return;
    compress(state.h, state.pending.data(), 1);
    state.pending.clear();
  }
  if (n >= 64) {
    compress(state.h, p, n / 64);
    p += n / 64 * 64;
    n %= 64;
  }
  if (n > 0) state.pending.insert(state.pending.end(), p, p + n);
}

Sha256Digest sha256_finish(Sha256State& state) {
  std::uint64_t bits = state.total * 8;
  std::uint8_t pad[72] = {0x80};
  std::size_t used = static_cast<std::size_t>(state.total % 64);
  std::size_t zeros = (used < 56 ? 56 - used : 120 - used) - 1;
  for (int i = 0; i < 8; ++i) pad[1 + zeros + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  sha256_update(state, std::span<const std::uint8_t>(pad, 1 + zeros + 8));
  Sha256Digest out;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<std::uint8_t>(state.h[i] >> (24 - 8 * j));
  return out;
}

std::string sha256_hex(const Sha256Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  s.reserve(64);
  for (std::uint8_t b : digest) {
    s.push_back(kHex[b >> 4]);
    s.push_back(kHex[b & 15]);
  }
  return s;
}

Sha512Digest sha512(std::span<const std::uint8_t> bytes) {
  std::size_t n = bytes.size();
  std::size_t padded = (n + 1 + 16 + 127) / 128 * 128;
  std::vector<std::uint8_t> buf(padded, 0);
  if (n) std::memcpy(buf.data(), bytes.data(), n);
  buf[n] = 0x80;
  // 128-bit big-endian bit count: the high part holds what the shift pushes out.
  unsigned __int128 bits = static_cast<unsigned __int128>(n) * 8;
  for (int i = 0; i < 16; ++i) buf[padded - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  std::array<std::uint64_t, 8> h = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                    0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                    0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
  for (std::size_t off = 0; off < padded; off += 128) sha512_compress(h, buf.data() + off);
  Sha512Digest out;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) out[8 * i + j] = static_cast<std::uint8_t>(h[i] >> (56 - 8 * j));
  return out;
}

}  // namespace vessoria
