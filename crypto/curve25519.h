#pragma once
// The twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2 under Ed25519, and arithmetic
// modulo its group order L.
#include <array>
#include <cstdint>
#include <optional>

#include "crypto/field.h"
#include "encoding/bytes.h"

namespace crypto {

// A point in extended coordinates: x = X/Z, y = Y/Z, x*y = T/Z.
struct EdPoint {
  Gf x, y, z, t;
};

// d = -121665 / 121666 mod p.
inline constexpr Gf ed_d =
    gf_unpack({0xa3, 0x78, 0x59, 0x13, 0xca, 0x4d, 0xeb, 0x75, 0xab, 0xd8, 0x41, 0x41, 0x4d, 0x0a, 0x70, 0x00,
               0x98, 0xe8, 0x79, 0x77, 0x79, 0x40, 0xc7, 0x8c, 0x73, 0xfe, 0x6f, 0x2b, 0xee, 0x6c, 0x03, 0x52});

// 2d, as the addition formula uses it.
inline constexpr Gf ed_d2 =
    gf_unpack({0x59, 0xf1, 0xb2, 0x26, 0x94, 0x9b, 0xd6, 0xeb, 0x56, 0xb1, 0x83, 0x82, 0x9a, 0x14, 0xe0, 0x00,
               0x30, 0xd1, 0xf3, 0xee, 0xf2, 0x80, 0x8e, 0x19, 0xe7, 0xfc, 0xdf, 0x56, 0xdc, 0xd9, 0x06, 0x24});

// The neutral element (0, 1, 1, 0).
inline constexpr EdPoint ed_neutral = {Gf{}, gf_from_u64(1), gf_from_u64(1), Gf{}};

// The base point B (y = 4/5, x even) with Z = 1 and T = X*Y.
inline constexpr EdPoint ed_basepoint = {
    gf_unpack({0x1a, 0xd5, 0x25, 0x8f, 0x60, 0x2d, 0x56, 0xc9, 0xb2, 0xa7, 0x25, 0x95, 0x60, 0xc7, 0x2c, 0x69,
               0x5c, 0xdc, 0xd6, 0xfd, 0x31, 0xe2, 0xa4, 0xc0, 0xfe, 0x53, 0x6e, 0xcd, 0xd3, 0x36, 0x69, 0x21}),
    gf_unpack({0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
               0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66}),
    gf_from_u64(1),
    gf_unpack({0xa3, 0xdd, 0xb7, 0xa5, 0xb3, 0x8a, 0xde, 0x6d, 0xf5, 0x52, 0x51, 0x77, 0x80, 0x9f, 0xf0, 0x20,
               0x7d, 0xe3, 0xab, 0x64, 0x8e, 0x4e, 0xea, 0x66, 0x65, 0x76, 0x8b, 0xd7, 0x0f, 0x5f, 0x87, 0x67}),
};

// The group order L = 2^252 + 27742317777372353535851937790883648493, little-endian.
inline constexpr std::array<std::uint8_t, 32> ed_l = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                                      0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// P + Q by the unified extended-coordinates formula; it serves for doubling too.
EdPoint ed_add(const EdPoint& p, const EdPoint& q);

// 2P, the same point as ed_add(p, p) with fewer multiplications.
EdPoint ed_double(const EdPoint& p);

// In place: swaps p and q when bit is 1, with the same operations either way.
void ed_cswap(EdPoint& p, EdPoint& q, std::uint32_t bit);

// scalar * P for a 32-byte little-endian scalar, all 256 bits walked by a ladder that
// runs the same operations for every bit.
EdPoint ed_scalarmult(const EdPoint& p, const std::array<std::uint8_t, 32>& scalar);

// scalar * B for the base point B, from a table of multiples of B built once per
// process. The scalar's top bit must be clear (a clamped or reduced scalar). Constant
// time: every table row is read in full and picked by masks, and no branch looks at the
// scalar.
EdPoint ed_scalarmult_base(const std::array<std::uint8_t, 32>& scalar);

// a * P + b * B, both scalars with the top bit clear. Variable time: for public values
// only (signature verification).
EdPoint ed_double_scalarmult_vartime(const std::array<std::uint8_t, 32>& a, const EdPoint& p,
                                     const std::array<std::uint8_t, 32>& b);

// -P.
EdPoint ed_negate(const EdPoint& p);

// The 32-byte encoding: y canonical, bit 255 the low bit of x.
std::array<std::uint8_t, 32> ed_pack(const EdPoint& p);

// The encodings of two points, with one field inversion shared between them.
std::array<std::array<std::uint8_t, 32>, 2> ed_pack_pair(const EdPoint& p, const EdPoint& q);

// The point of an encoding, or none when it is not 32 bytes, y is not canonical
// (y >= p), no x exists, or x = 0 with the sign bit set.
std::optional<EdPoint> ed_unpack(ByteView encoding);

// The secret scalar from a seed's SHA-512 digest: its first 32 bytes with the three
// low bits and bit 255 cleared and bit 254 set.
std::array<std::uint8_t, 32> clamp_ed25519_scalar(const std::array<std::uint8_t, 64>& digest);

// 64 little-endian bytes reduced modulo L.
std::array<std::uint8_t, 32> reduce_64_mod_l(const std::array<std::uint8_t, 64>& bytes);

// (a * b + c) mod L for 32-byte little-endian numbers (any 256-bit values).
std::array<std::uint8_t, 32> mul_add_mod_l(const std::array<std::uint8_t, 32>& a, const std::array<std::uint8_t, 32>& b,
                                           const std::array<std::uint8_t, 32>& c);

}  // namespace crypto
