// Ed25519 signature verification (pure Ed25519, strict decoding, the group
// equation checked without the cofactor). Verification only: nothing here
// signs, and nothing is secret, so plain variable-time arithmetic is used.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace vessoria {

// GF(2^255 - 19) as five 51-bit limbs; limbs may run a little past 51 bits
// between operations and are fully reduced only for encoding and comparison.
struct FieldElement {
  std::uint64_t v[5];
};

// Extended twisted Edwards coordinates: x = X/Z, y = Y/Z, x*y = T/Z.
struct EdwardsPoint {
  FieldElement X, Y, Z, T;
};

using Ed25519Bytes = std::array<std::uint8_t, 32>;

// False for every rejection; never fails otherwise.
bool ed25519_verify(std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> message,
                    std::span<const std::uint8_t> signature);

std::optional<EdwardsPoint> ed25519_decompress(const std::uint8_t* bytes32);
Ed25519Bytes ed25519_compress(const EdwardsPoint& p);
EdwardsPoint ed25519_point_add(const EdwardsPoint& p, const EdwardsPoint& q);
// The same group element as ed25519_point_add(p, p), by the cheaper formula
// that needs no T and no d.
EdwardsPoint ed25519_point_double(const EdwardsPoint& p);
// [s]B + [k]P for 256-bit little-endian scalars of any value, in one pass.
EdwardsPoint ed25519_double_scalar_mul(const std::uint8_t* s_le32, const std::uint8_t* k_le32,
                                       const EdwardsPoint& p);
std::optional<FieldElement> ed25519_recover_x(const FieldElement& y, int sign);

FieldElement fe_mul(const FieldElement& a, const FieldElement& b);
bool fe_equal(const FieldElement& a, const FieldElement& b);
// a^(p-2), the inverse of a non-zero a (0 for 0).
FieldElement fe_invert(const FieldElement& a);

// The base point, derived at first use from y = 4/5.
const EdwardsPoint& ed25519_base_point();

}  // namespace vessoria
