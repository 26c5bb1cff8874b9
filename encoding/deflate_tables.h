#pragma once
// The constant tables of the DEFLATE format (RFC 1951), shared by the compressor and
// the inflater.
#include <array>
#include <cstddef>
#include <cstdint>

namespace encoding {

// Base lengths and extra-bit counts of the length codes 257 to 285; code 285 means
// exactly 258 and has no extra bits.
inline constexpr std::array<std::uint16_t, 29> len_bases = {
    3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<std::uint8_t, 29> len_extra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Base distances and extra-bit counts of the distance codes 0 to 29.
inline constexpr std::array<std::uint16_t, 30> dist_bases = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::array<std::uint8_t, 30> dist_extra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The order in which a dynamic block sends the lengths of the code-length code.
inline constexpr std::array<std::uint8_t, 19> cl_order = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// Most bytes one DEFLATE stream may inflate to; a stream that would produce more is
// refused whole, so a small hostile input cannot make the router allocate without bound.
inline constexpr std::size_t inflate_max_output = 8388608;

}  // namespace encoding
