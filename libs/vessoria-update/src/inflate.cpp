// DEFLATE decoder. The rules are those of a bit-serial canonical Huffman walk
// (no completeness check on the codes); a lookup table built by running that
// same walk over every short bit pattern speeds up the common case.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "zip.h"

namespace vessoria {
namespace {

constexpr int kMaxBits = 15;
constexpr std::uint64_t kReserveCap = 268435456;  // 256 MiB

struct InflateError {
  const char* text;
  bool over_limit = false;
};

[[noreturn]] void fail(const char* text) { throw InflateError{text}; }

struct BitReader {
  const std::uint8_t* in;
  std::size_t n;
  std::size_t pos = 0;
  std::uint64_t buf = 0;
  int cnt = 0;

  void refill() {
    if (pos + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, in + pos, 8);  // little-endian host
      buf |= w << cnt;
      pos += static_cast<std::size_t>((63 - cnt) >> 3);
      cnt |= 56;
    } else {
      while (cnt <= 56 && pos < n) {
        buf |= std::uint64_t(in[pos++]) << cnt;
        cnt += 8;
      }
    }
  }
  std::uint32_t bits(int k) {
    if (cnt < k) {
      refill();
      if (cnt < k) fail("datos incompletos");
    }
    std::uint32_t v = static_cast<std::uint32_t>(buf & ((std::uint64_t(1) << k) - 1));
    buf >>= k;
    cnt -= k;
    return v;
  }
};

// One symbol by walking the code a bit at a time.
int decode_slow(BitReader& br, const HuffmanTable& h) {
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= kMaxBits; ++len) {
    code |= static_cast<int>(br.bits(1));
    int count = h.count[len];
    if (code - count < first) {
      std::size_t at = static_cast<std::size_t>(index + (code - first));
      if (at >= h.symbols.size()) fail("invalid code");
      return h.symbols[at];
    }
    index += count;
    first += count;
    first <<= 1;
    code <<= 1;
  }
  fail("invalid code");
}

inline int decode(BitReader& br, const HuffmanTable& h) {
  if (h.fast_bits == 0) return decode_slow(br, h);
  if (br.cnt < h.fast_bits) br.refill();
  if (br.cnt >= h.fast_bits) {
    std::uint16_t e = h.fast[br.buf & ((std::uint64_t(1) << h.fast_bits) - 1)];
    if (e) {
      int len = e & 15;
      br.buf >>= len;
      br.cnt -= len;
      return e >> 4;
    }
  }
  return decode_slow(br, h);
}

constexpr std::uint16_t kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                        31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                         33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                         1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

struct Output {
  std::vector<std::uint8_t> buf;
  std::size_t n = 0;
  std::uint64_t max_output;

  void ensure(std::size_t extra) {
    if (n + extra <= buf.size()) return;
    if (n + extra > max_output) throw InflateError{"", true};
    std::size_t want = std::max<std::size_t>({buf.size() * 2, n + extra, 65536});
    if (want > max_output) want = static_cast<std::size_t>(max_output);
    buf.resize(want);
  }
};

void inflate_codes(BitReader& br, Output& out, const HuffmanTable& lencode, const HuffmanTable& distcode) {
  for (;;) {
    int sym = decode(br, lencode);
    if (sym < 256) {
      if (out.n == out.buf.size()) out.ensure(1);
      out.buf[out.n++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    if (sym == 256) return;
    sym -= 257;
    if (sym >= 29) fail("invalid code");
    std::size_t len = kLenBase[sym] + br.bits(kLenExtra[sym]);
    int dsym = decode(br, distcode);
    if (dsym >= 30) fail("invalid code");
    std::size_t dist = kDistBase[dsym] + br.bits(kDistExtra[dsym]);
    if (dist > out.n) fail("invalid distance too far back");
    out.ensure(len);
    std::uint8_t* to = out.buf.data() + out.n;
    const std::uint8_t* from = to - dist;
    if (dist >= len) {
      std::memcpy(to, from, len);
    } else {
      // Overlapping copy: byte by byte repeats the pattern.
      for (std::size_t i = 0; i < len; ++i) to[i] = from[i];
    }
    out.n += len;
  }
}

void fill_fast(HuffmanTable& h, int fast_bits) {
  h.fast_bits = fast_bits;
  h.fast.assign(std::size_t(1) << fast_bits, 0);
  for (std::uint32_t p = 0; p < h.fast.size(); ++p) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= fast_bits; ++len) {
      code |= static_cast<int>((p >> (len - 1)) & 1);
      int count = h.count[len];
      if (code - count < first) {
        std::size_t at = static_cast<std::size_t>(index + (code - first));
        // A slot past the list stays 0: the slow walk reports it.
        if (at < h.symbols.size()) h.fast[p] = static_cast<std::uint16_t>((h.symbols[at] << 4) | len);
        break;
      }
      index += count;
      first += count;
      first <<= 1;
      code <<= 1;
    }
  }
}

struct FixedTables {
  HuffmanTable lit, dist;
};

const FixedTables& fixed_tables() {
  static const FixedTables t = [] {
    std::uint8_t l[288];
    for (int i = 0; i < 144; ++i) l[i] = 8;
    for (int i = 144; i < 256; ++i) l[i] = 9;
    for (int i = 256; i < 280; ++i) l[i] = 7;
    for (int i = 280; i < 288; ++i) l[i] = 8;
    std::uint8_t d[30];
    for (auto& x : d) x = 5;
    return FixedTables{huffman_build(l, 10), huffman_build(d, 8)};
  }();
  return t;
}

void inflate_dynamic(BitReader& br, Output& out) {
  static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  int nlen = static_cast<int>(br.bits(5)) + 257;
  int ndist = static_cast<int>(br.bits(5)) + 1;
  int ncode = static_cast<int>(br.bits(4)) + 4;
  std::uint8_t lengths[320] = {};
  for (int i = 0; i < ncode; ++i) lengths[kOrder[i]] = static_cast<std::uint8_t>(br.bits(3));
  HuffmanTable lencode = huffman_build(std::span<const std::uint8_t>(lengths, 19), 7);
  std::fill(lengths, lengths + 19, 0);
  int index = 0;
  while (index < nlen + ndist) {
    int sym = decode(br, lencode);
    if (sym < 16) {
      lengths[index++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    std::uint8_t len = 0;
    int repeat;
    if (sym == 16) {
      if (index == 0) fail("invalid code");
      len = lengths[index - 1];
      repeat = 3 + static_cast<int>(br.bits(2));
    } else if (sym == 17) {
      repeat = 3 + static_cast<int>(br.bits(3));
    } else {
      repeat = 11 + static_cast<int>(br.bits(7));
    }
    if (index + repeat > nlen + ndist) fail("invalid code");
    while (repeat--) lengths[index++] = len;
  }
  HuffmanTable lit = huffman_build(std::span<const std::uint8_t>(lengths, static_cast<std::size_t>(nlen)), 10);
  HuffmanTable dist = huffman_build(
      std::span<const std::uint8_t>(lengths + nlen, static_cast<std::size_t>(ndist)), 8);
  inflate_codes(br, out, lit, dist);
}

void inflate_stored(BitReader& br, Output& out) {
  // Drop the rest of the current byte, then give the whole bytes still in
  // the bit buffer back to the input.
  int drop = br.cnt & 7;
  br.buf >>= drop;
  br.cnt -= drop;
  br.pos -= static_cast<std::size_t>(br.cnt / 8);
  br.buf = 0;
  br.cnt = 0;
  if (br.pos + 4 > br.n) fail("datos incompletos");
  unsigned len = br.in[br.pos] | (br.in[br.pos + 1] << 8);
  unsigned nlen = br.in[br.pos + 2] | (br.in[br.pos + 3] << 8);
  br.pos += 4;
  if (len != (~nlen & 0xffff)) fail("invalid stored block lengths");
  if (br.pos + len > br.n) fail("datos incompletos");
  out.ensure(len);
  if (len) std::memcpy(out.buf.data() + out.n, br.in + br.pos, len);
  out.n += len;
  br.pos += len;
}

}  // namespace

HuffmanTable huffman_build(std::span<const std::uint8_t> lengths, int fast_bits) {
  HuffmanTable h;
  h.symbols.assign(lengths.size(), 0);
  for (std::uint8_t l : lengths) h.count[l & 15]++;
  std::uint16_t offs[16] = {};
  for (int len = 1; len < kMaxBits; ++len) offs[len + 1] = static_cast<std::uint16_t>(offs[len] + h.count[len]);
  for (std::size_t sym = 0; sym < lengths.size(); ++sym) {
    int l = lengths[sym] & 15;
    if (l != 0) h.symbols[offs[l]++] = static_cast<std::uint16_t>(sym);
  }
  if (fast_bits > 0) fill_fast(h, fast_bits);
  return h;
}

Result<HuffmanSymbol> huffman_decode(std::span<const std::uint8_t> data, std::size_t bit_pos,
                                     const HuffmanTable& table) {
  if (bit_pos > data.size() * 8) return Result<HuffmanSymbol>::failure("datos incompletos");
  BitReader br{data.data(), data.size()};
  br.pos = bit_pos / 8;
  try {
    br.bits(static_cast<int>(bit_pos % 8));
    std::size_t before = br.pos * 8 - static_cast<std::size_t>(br.cnt);
    int sym = decode(br, table);
    std::size_t after = br.pos * 8 - static_cast<std::size_t>(br.cnt);
    return HuffmanSymbol{sym, static_cast<int>(after - before)};
  } catch (const InflateError& e) {
    return Result<HuffmanSymbol>::failure(e.text);
  }
}

Result<std::vector<std::uint8_t>> inflate(std::span<const std::uint8_t> data, std::uint64_t expected_size,
                                          std::uint64_t max_output) {
  Output out;
  out.max_output = max_output;
  std::uint64_t reserve = std::min({expected_size, kReserveCap, max_output});
  out.buf.resize(static_cast<std::size_t>(reserve));
  BitReader br{data.data(), data.size()};
  try {
    int last;
    do {
      last = static_cast<int>(br.bits(1));
      int type = static_cast<int>(br.bits(2));
      if (type == 0) {
        inflate_stored(br, out);
      } else if (type == 1) {
        const auto& f = fixed_tables();
        inflate_codes(br, out, f.lit, f.dist);
      } else if (type == 2) {
        inflate_dynamic(br, out);
      } else {
        fail("invalid block type");
      }
    } while (!last);
  } catch (const InflateError& e) {
    if (e.over_limit) return Result<std::vector<std::uint8_t>>::failure(std::string(kInflateOverLimit));
    return Result<std::vector<std::uint8_t>>::failure(std::string("Error -3 while decompressing data: ") + e.text);
  }
  out.buf.resize(out.n);
  return std::move(out.buf);
}

}  // namespace vessoria
