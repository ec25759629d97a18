// Update packages: a zip reader with its own DEFLATE decoder and CRC-32.
// Only what the packages need: no zip64, no encryption, methods stored (0)
// and deflated (8). Archive and stream faults are reported in English, path
// and folder refusals in Spanish.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "result.h"

namespace vessoria {

void crc32_table_init();
std::uint32_t zip_crc32(std::span<const std::uint8_t> bytes);

// Canonical Huffman code as the bit-serial decoder walks it. `fast` is a
// lookup over the next `fast_bits` input bits that gives exactly what the
// bit-serial walk would give for codes that short (symbol << 4 | length), or
// 0 where the walk needs more bits; it changes speed, never results.
struct HuffmanTable {
  std::array<std::uint16_t, 16> count{};
  std::vector<std::uint16_t> symbols;
  int fast_bits = 0;
  std::vector<std::uint16_t> fast;
};

HuffmanTable huffman_build(std::span<const std::uint8_t> lengths, int fast_bits = 0);

// One symbol of `table` read from `data` starting at bit `bit_pos`, through
// the lookup when the table has one. Gives the symbol and the bits it took,
// or the decoder's error text ("invalid code", "datos incompletos").
struct HuffmanSymbol {
  int symbol;
  int bits;
};
Result<HuffmanSymbol> huffman_decode(std::span<const std::uint8_t> data, std::size_t bit_pos,
                                     const HuffmanTable& table);

inline constexpr std::uint64_t kInflateNoLimit = ~std::uint64_t(0);
// Error text of `inflate` when the output would pass `max_output`; the zip
// reader turns it into the entry's CRC failure.
inline constexpr std::string_view kInflateOverLimit = "salida mayor que el límite";

// Raw DEFLATE (RFC 1951). `expected_size` only sizes the first reservation
// (at most 256 MiB).
Result<std::vector<std::uint8_t>> inflate(std::span<const std::uint8_t> data, std::uint64_t expected_size,
                                          std::uint64_t max_output = kInflateNoLimit);

// Caps on a whole package, so that a hostile archive can exhaust neither
// memory nor the disk. Checked before the destination is touched.
struct ZipLimits {
  std::uint64_t max_total_bytes = std::uint64_t(1) << 30;
  std::uint32_t max_entries = 20000;
};

// Extracts the files under "Corvane/" into `dest` (emptied first, once every
// path has been checked). Returns the number of files written.
Result<std::size_t> zip_extract(const std::filesystem::path& archive, const std::filesystem::path& dest,
                                const ZipLimits& limits = {});
Result<std::size_t> zip_extract_bytes(std::span<const std::uint8_t> archive, const std::filesystem::path& dest,
                                      const ZipLimits& limits = {});

}  // namespace vessoria
