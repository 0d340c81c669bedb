// Scans along one row for a grey value: extending a run to both sides and
// finding the stretches of a neighbour row.  Where SSE2 is available sixteen
// voxels are compared per step; elsewhere plain loops do the same work.  Both
// read only voxels of the row they are given.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define IMG3D_ROW_SCAN_SSE2 1
#endif

namespace img3d::detail {

#if IMG3D_ROW_SCAN_SSE2
// Bit k set when p[k] == value, k = 0 ... 15.
inline unsigned equal_mask16(const std::uint8_t* p, __m128i value) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, value)));
}
#endif

// The first column of the stretch of `value` that reaches leftwards from x
// (row[x] holds the value).
inline int extend_left(const std::uint8_t* row, int x, std::uint8_t value) {
    int i = x;  // row[i ... x] hold the value
#if IMG3D_ROW_SCAN_SSE2
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    while (i >= 16) {
        const unsigned other = ~equal_mask16(row + i - 16, v) & 0xFFFFu;
        if (other != 0) return i - 16 + (31 - __builtin_clz(other)) + 1;
        i -= 16;
    }
#endif
    while (i > 0 && row[i - 1] == value) --i;
    return i;
}

// The last column of the stretch of `value` that reaches rightwards from x
// (row[x] holds the value) in a row of `width` voxels.
inline int extend_right(const std::uint8_t* row, int x, int width, std::uint8_t value) {
    int i = x + 1;  // row[x ... i - 1] hold the value
#if IMG3D_ROW_SCAN_SSE2
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    while (i + 16 <= width) {
        const unsigned other = ~equal_mask16(row + i, v) & 0xFFFFu;
        if (other != 0) return i + __builtin_ctz(other) - 1;
        i += 16;
    }
#endif
    while (i < width && row[i] == value) ++i;
    return i - 1;
}

// Calls emit(i) for every stretch of `value` within columns x_start ...
// x_end of a row of `width` voxels, i being the stretch's rightmost column
// within those columns; stretches are reported from left to right.
template <class Emit>
inline void for_each_stretch_end(const std::uint8_t* row, int x_start, int x_end, int width,
                                 std::uint8_t value, Emit&& emit) {
    const int n = x_end - x_start + 1;
#if IMG3D_ROW_SCAN_SSE2
    if (width >= 16) {
        const __m128i v = _mm_set1_epi8(static_cast<char>(value));
        if (n <= 16) {
            // One load that stays inside the row covers the whole window.
            const int base = x_start + 16 <= width ? x_start : width - 16;
            const int shift = x_start - base;
            unsigned m = equal_mask16(row + base, v) >> shift;
            if (n < 16) m &= (1u << n) - 1u;
            unsigned ends = m & ~(m >> 1);
            while (ends != 0) {
                emit(x_start + __builtin_ctz(ends));
                ends &= ends - 1;
            }
            return;
        }
        // Windows of 16 voxels; the last one ends at x_end and may overlap
        // its predecessor, whose columns are then masked off.
        const std::uint8_t* p = row + x_start;
        int offset = 0;
        unsigned m = equal_mask16(p, v);
        for (;;) {
            const int next = offset + 16;
            if (next >= n) {
                unsigned ends = m & ~(m >> 1);
                while (ends != 0) {
                    emit(x_start + offset + __builtin_ctz(ends));
                    ends &= ends - 1;
                }
                return;
            }
            const int next_offset = next + 16 <= n ? next : n - 16;
            const int skip = next - next_offset;  // columns already seen
            const unsigned following = equal_mask16(p + next_offset, v);
            const unsigned continues = (following >> skip) & 1u;
            unsigned ends = m & ~((m >> 1) | (continues << 15));
            while (ends != 0) {
                emit(x_start + offset + __builtin_ctz(ends));
                ends &= ends - 1;
            }
            m = following & (0xFFFFu << skip) & 0xFFFFu;
            offset = next_offset;
        }
    }
#else
    (void)width;
#endif
    (void)n;
    for (int i = x_start; i <= x_end; ++i) {
        if (row[i] != value) continue;
        while (i < x_end && row[i + 1] == value) ++i;
        emit(i);
    }
}

}  // namespace img3d::detail
