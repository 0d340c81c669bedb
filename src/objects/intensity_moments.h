// The standard deviation of a label's integer grey values from its exact
// sums, apart from the pass over the voxels so that tests can give it the
// sums of labels of more voxels than any test volume holds.
#pragma once

#include <cmath>
#include <cstdint>

#include "platform/uint128.h"

namespace img3d::detail {

// The population standard deviation of count (>= 1) integer values of
// magnitude below 2^16 with the given sum and sum of squares.
inline double integer_deviation(std::int64_t count, std::int64_t sum, U128 squares) {
    const auto c = static_cast<double>(count);
    if (count < (std::int64_t{1} << 32)) {
        // squares < count * 2^32 < 2^64 (one word), so count * squares and
        // sum^2 stay below 2^96: their difference, count^2 times the
        // variance, is exact and rounded once.
        const U128 scaled = multiply(static_cast<std::uint64_t>(count), squares.lo);
        const auto magnitude = static_cast<std::uint64_t>(sum < 0 ? -sum : sum);
        const double spread = to_double(subtract(scaled, multiply(magnitude, magnitude)));
        return std::sqrt(spread / c / c);
    }
    // Past 128 bits for that difference: the squares about the integer m
    // nearest the mean, D = squares - 2 m sum + count m^2, are exact, and the
    // variance is D / count - f^2 with f = (sum - count m) / count, |f| <= 1/2.
    // No integer lies nearer the mean than m, so the variance is at least
    // f^2: the subtraction cancels at most half of D / count.
    std::int64_t m = sum / count, r = sum % count;
    if (r > count - r) {
        ++m;
        r -= count;
    } else if (-r > count + r) {
        --m;
        r += count;
    }
    const auto m_magnitude = static_cast<std::uint64_t>(m < 0 ? -m : m);
    const auto sum_magnitude = static_cast<std::uint64_t>(sum < 0 ? -sum : sum);
    const U128 cross = multiply(m_magnitude, sum_magnitude);  // m and sum share their sign
    const U128 twice{cross.hi << 1 | cross.lo >> 63, cross.lo << 1};
    const U128 d =
        subtract(add(squares, multiply(static_cast<std::uint64_t>(count), m_magnitude * m_magnitude)), twice);
    const double f = static_cast<double>(r) / c;
    const double variance = to_double(d) / c - f * f;
    return std::sqrt(variance > 0 ? variance : 0.0);
}

}  // namespace img3d::detail
