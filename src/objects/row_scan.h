// Scans along one row for a grey value: extending a run to both sides and
// finding the stretches of a neighbour row.  Where SSE2 is available sixteen
// voxels are compared per step; elsewhere plain loops do the same work.  Both
// read only voxels of the row they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Sets n voxels to value.  Runs of noisy volumes are a few voxels long,
// too short to be worth a call; longer ones go to memset.
inline void fill_stretch(std::uint8_t* p, std::size_t n, std::uint8_t value) {
    if (n > 16) {
        std::memset(p, value, n);
        return;
    }
    // Two overlapping stores of the largest width that fits.
    const std::uint64_t pattern = 0x0101010101010101ull * value;
    if (n >= 8) {
        std::memcpy(p, &pattern, 8);
        std::memcpy(p + n - 8, &pattern, 8);
    } else if (n >= 4) {
        std::memcpy(p, &pattern, 4);
        std::memcpy(p + n - 4, &pattern, 4);
    } else if (n >= 2) {
        std::memcpy(p, &pattern, 2);
        std::memcpy(p + n - 2, &pattern, 2);
    } else {
        *p = value;
    }
}

// A hint that p will be read soon.
inline void prefetch(const void* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// The first column of the stretch of `value` that reaches leftwards from x
// (row[x] holds the value).  The voxel next to x decides most runs of noisy
// volumes, so it is looked at alone first.
inline int extend_left(const std::uint8_t* row, int x, std::uint8_t value) {
    if (x == 0 || row[x - 1] != value) return x;
    int i = x - 1;  // row[i ... x] hold the value
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
    if (x == width - 1 || row[x + 1] != value) return x;
    int i = x + 2;  // row[x ... i - 1] hold the value
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

#if IMG3D_ROW_SCAN_SSE2
// For a window p[0 ... n-1], n = 1 ... 16, inside the voxel array [begin,
// end) of at least 16 voxels: bit k set when p[k] holds the value and p[k+1]
// does not or lies past the window, i.e. bit k marks the rightmost voxel of a
// stretch.  One load covers the window; it may take in voxels beside it (they
// are masked off) and is placed so as not to touch a second cache line when
// the window lies in one.
inline unsigned short_window_ends(const std::uint8_t* p, int n, const std::uint8_t* begin, const std::uint8_t* end,
                                  __m128i value) {
    const int in_line = static_cast<int>(reinterpret_cast<std::uintptr_t>(p) & 63u);
    const std::uint8_t* load = p;
    if (in_line > 48 && in_line + n <= 64) load = p - (in_line - 48);
    if (load < begin) load = begin;
    if (end - load < 16) load = end - 16;
    unsigned m = equal_mask16(load, value) >> (p - load);
    if (n < 16) m &= (1u << n) - 1u;
    return m & ~(m >> 1);
}
#endif

// Calls emit(i) for every stretch of `value` within columns x_start ...
// x_end of a row, i being the stretch's rightmost column within those
// columns; stretches are reported from left to right.  [begin, end) is the
// whole voxel array around the row (see short_window_ends).
template <class Emit>
inline void for_each_stretch_end(const std::uint8_t* row, int x_start, int x_end, const std::uint8_t* begin,
                                 const std::uint8_t* end, std::uint8_t value, Emit&& emit) {
    const int n = x_end - x_start + 1;
#if IMG3D_ROW_SCAN_SSE2
    if (end - begin >= 16) {
        const __m128i v = _mm_set1_epi8(static_cast<char>(value));
        const std::uint8_t* p = row + x_start;
        if (n <= 16) {
            unsigned ends = short_window_ends(p, n, begin, end, v);
            while (ends != 0) {
                emit(x_start + __builtin_ctz(ends));
                ends &= ends - 1;
            }
            return;
        }
        // Windows of 16 voxels; the last one ends at x_end and may overlap
        // its predecessor, whose columns are then masked off.
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
    (void)begin;
    (void)end;
    (void)n;
#endif
    for (int i = x_start; i <= x_end; ++i) {
        if (row[i] != value) continue;
        while (i < x_end && row[i + 1] == value) ++i;
        emit(i);
    }
}

// Bit k set when p[k] == value, k = 0 ... n-1 (n = 1 ... 64); the bits
// above n are clear.  Reads p[0 ... n-1] only.
inline std::uint64_t word_bits(const std::uint8_t* p, int n, std::uint8_t value) {
#if IMG3D_ROW_SCAN_SSE2
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    if (n == 64) {
        return static_cast<std::uint64_t>(equal_mask16(p, v)) |
               static_cast<std::uint64_t>(equal_mask16(p + 16, v)) << 16 |
               static_cast<std::uint64_t>(equal_mask16(p + 32, v)) << 32 |
               static_cast<std::uint64_t>(equal_mask16(p + 48, v)) << 48;
    }
    if (n >= 16) {
        // Whole blocks of sixteen, then the last sixteen voxels, whose
        // block overlaps the one before.
        std::uint64_t m = 0;
        int k = 0;
        for (; k + 16 <= n; k += 16) m |= static_cast<std::uint64_t>(equal_mask16(p + k, v)) << k;
        if (k < n) m |= static_cast<std::uint64_t>(equal_mask16(p + n - 16, v)) << (n - 16);
        return m;
    }
#endif
    std::uint64_t m = 0;
    for (int k = 0; k < n; ++k) m |= static_cast<std::uint64_t>(p[k] == value) << k;
    return m;
}

// The stretches of one word of bits m whose bit 0 is column x.  `previous`
// is the last bit of the word before (0 at the start of a row) and `start`
// the first column of a stretch still open (-1 when none); both are carried
// to the next word.  Starts and ends alternate, so they are paired up and no
// branch depends on which kind of change comes next.
template <class Run>
inline void runs_of_word(std::uint64_t m, int x, std::uint64_t& previous, int& start, Run&& run) {
    const std::uint64_t shifted = m << 1 | previous;
    std::uint64_t starts = m & ~shifted;
    std::uint64_t ends = ~m & shifted;  // bit k: the stretch ended at k - 1
    previous = m >> 63;
    if (start >= 0 && ends != 0) {
        run(start, x + __builtin_ctzll(ends) - 1);
        ends &= ends - 1;
        start = -1;
    }
    while (ends != 0) {
        run(x + __builtin_ctzll(starts), x + __builtin_ctzll(ends) - 1);
        starts &= starts - 1;
        ends &= ends - 1;
    }
    if (starts != 0) start = x + __builtin_ctzll(starts);
}

// Calls run(x_start, x_end) for every stretch of set bits of a row of
// `width` columns given by its bits (word_bits, (width + 63) / 64 words),
// from left to right.
template <class Run>
inline void for_each_run_in_bits(const std::uint64_t* bits, int width, Run&& run) {
    std::uint64_t previous = 0;
    int start = -1;
    for (int x = 0; x < width; x += 64) runs_of_word(*bits++, x, previous, start, run);
    if (start >= 0) run(start, width - 1);
}

// Calls run(x_start, x_end) for every whole stretch of `value` in a row of
// `width` voxels, from left to right, sixty-four columns per step.  When
// `bits` is not null the row's bits (word_bits) are stored there too,
// (width + 63) / 64 words.
template <class Run>
inline void for_each_run(const std::uint8_t* row, int width, std::uint8_t value, Run&& run,
                         std::uint64_t* bits = nullptr) {
    std::uint64_t previous = 0;
    int start = -1;
    for (int x = 0; x < width; x += 64) {
        const std::uint64_t m = word_bits(row + x, width - x < 64 ? width - x : 64, value);
        if (bits != nullptr) *bits++ = m;
        runs_of_word(m, x, previous, start, run);
    }
    // A stretch still open reaches the end of the row (a last word of fewer
    // than 64 columns has closed it already).
    if (start >= 0) run(start, width - 1);
}

}  // namespace img3d::detail
