// Unsigned 128-bit integers as two 64-bit words: exact products and sums of
// 64-bit counts on every target, 32-bit ones included, which have no
// 128-bit type.  Arithmetic wraps modulo 2^128.
#pragma once

#include <cstdint>

namespace img3d::detail {

struct U128 {
    std::uint64_t hi, lo;
};

inline U128 multiply(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    return U128{p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & 0xFFFFFFFFu)};
}

inline U128 add(U128 a, U128 b) {
    const std::uint64_t lo = a.lo + b.lo;
    return U128{a.hi + b.hi + (lo < a.lo ? 1u : 0u), lo};
}

inline U128 subtract(U128 a, U128 b) { return U128{a.hi - b.hi - (a.lo < b.lo ? 1u : 0u), a.lo - b.lo}; }

inline bool less(U128 a, U128 b) { return a.hi < b.hi || (a.hi == b.hi && a.lo < b.lo); }

inline double to_double(U128 v) {
    return static_cast<double>(v.hi) * 18446744073709551616.0 + static_cast<double>(v.lo);
}

}  // namespace img3d::detail
