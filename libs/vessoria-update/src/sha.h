// SHA-256 (streamed, for downloaded packages) and SHA-512 (one call, for the
// signature check), both exactly as FIPS 180-4 defines them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vessoria {

using Sha256Digest = std::array<std::uint8_t, 32>;
using Sha512Digest = std::array<std::uint8_t, 64>;

struct Sha256State {
  std::vector<std::uint8_t> pending;  // 0..63 bytes of an incomplete block
  std::array<std::uint32_t, 8> h{};
  std::uint64_t total = 0;
};

Sha256State sha256_new();
// Feeds bytes of any length (also none).
void sha256_update(Sha256State& state, std::span<const std::uint8_t> bytes);
// The FIPS 180-4 compression of one 64-byte block into the chaining value.
void sha256_compress(std::array<std::uint32_t, 8>& h, const std::uint8_t* block);
// How the compression runs: the portable code, or the CPU's SHA instructions
// (the x86 SHA extensions). The fastest the CPU has is chosen at first use;
// both give the same digests.
enum class Sha256Engine { portable, sha_extensions };
bool sha256_engine_supported(Sha256Engine engine);
Sha256Engine sha256_engine();
// Tests and benchmarks: runs every later compression with `engine`; false (and
// nothing changed) when this CPU cannot run it.
bool sha256_set_engine(Sha256Engine engine);

// Pads, finishes and returns the digest; the state is spent afterwards.
Sha256Digest sha256_finish(Sha256State& state);
// Two lower-case hex digits per byte.
std::string sha256_hex(const Sha256Digest& digest);

Sha512Digest sha512(std::span<const std::uint8_t> bytes);

}  // namespace vessoria
