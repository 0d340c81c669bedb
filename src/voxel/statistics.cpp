// Histogram, mean and grey-level limits: one pass over the voxel array each.
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "img3d.h"
#include "volume/volume_internal.h"

using img3d::detail::first_voxel;
using img3d::detail::voxel_count;

namespace {

std::uint64_t voxel_sum(const unsigned char* v, std::size_t n) {
    std::uint64_t sum = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        acc = _mm_add_epi64(acc, _mm_sad_epu8(block, zero));
    }
    std::uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
    sum = lanes[0] + lanes[1];
#endif
    for (; i < n; ++i) sum += v[i];
    return sum;
}

void voxel_limits(const unsigned char* v, std::size_t n, unsigned char& lo, unsigned char& hi) {
    lo = 255;
    hi = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    if (n >= 16) {
        __m128i vmin = _mm_set1_epi8(static_cast<char>(0xFF));
        __m128i vmax = _mm_setzero_si128();
        for (; i + 16 <= n; i += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
            vmin = _mm_min_epu8(vmin, block);
            vmax = _mm_max_epu8(vmax, block);
        }
        unsigned char mins[16], maxs[16];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mins), vmin);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(maxs), vmax);
        for (int k = 0; k < 16; ++k) {
            if (mins[k] < lo) lo = mins[k];
            if (maxs[k] > hi) hi = maxs[k];
        }
    }
#endif
    for (; i < n; ++i) {
        if (v[i] > hi) hi = v[i];
        if (v[i] < lo) lo = v[i];
    }
}

// The histogram's counts in four partial tables, which break the
// store-to-load dependency between neighbouring voxels of the same value.
struct Counts {
    std::uint32_t part[4][256] = {};

    void add8(const unsigned char* p) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        ++part[0][word & 0xFF];
        ++part[1][(word >> 8) & 0xFF];
        ++part[2][(word >> 16) & 0xFF];
        ++part[3][(word >> 24) & 0xFF];
        ++part[0][(word >> 32) & 0xFF];
        ++part[1][(word >> 40) & 0xFF];
        ++part[2][(word >> 48) & 0xFF];
        ++part[3][word >> 56];
    }
};

#if defined(__SSE2__)
// Whether the sixteen voxels from p on are equal: each to its right neighbour.
bool uniform16(const unsigned char* p) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return (_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_srli_si128(block, 1))) & 0x7FFF) == 0x7FFF;
}
#endif

// Counts the voxels of v in blocks of sixteen and returns how many it
// counted.  A third to a half of a scan is often uniform background, the
// slowest input of the tables (every voxel hits one counter): a block of
// sixteen equal voxels -- each equal to its right neighbour -- is counted at
// once, and a stretch of such blocks of one value in a register.
std::size_t count_blocks(const unsigned char* v, std::size_t n, Counts& counts) {
    std::size_t i = 0;
#if defined(__SSE2__)
    std::size_t stretch = 0;  // voxels of `stretch_value` not yet counted
    unsigned stretch_value = 0;
    for (; i + 16 <= n; i += 16) {
        // The block's two ends tell most mixed blocks from uniform ones
        // before the whole block is compared.
        if (v[i] != v[i + 15] || !uniform16(v + i)) {
            counts.add8(v + i);
            counts.add8(v + i + 8);
            continue;
        }
        if (v[i] != stretch_value) {
            counts.part[0][stretch_value] += static_cast<std::uint32_t>(stretch);
            stretch = 0;
            stretch_value = v[i];
        }
        stretch += 16;
    }
    counts.part[0][stretch_value] += static_cast<std::uint32_t>(stretch);
#else
    (void)v;
    (void)n;
    (void)counts;
#endif
    return i;
}

}  // namespace

extern "C" {

IMG3D_API int Img3DHisto(unsigned char*** volume, int* histogram) {
    if (volume == nullptr || histogram == nullptr) return -1;
    const unsigned char* v = first_voxel(volume);
    const std::size_t n = voxel_count(volume);
    Counts counts;
    std::size_t i = count_blocks(v, n, counts);
    for (; i + 8 <= n; i += 8) counts.add8(v + i);
    for (; i < n; ++i) ++counts.part[0][v[i]];
    for (int b = 0; b < 256; ++b)
        histogram[b] = static_cast<int>(counts.part[0][b] + counts.part[1][b] + counts.part[2][b] + counts.part[3][b]);
    return 0;
}

IMG3D_API int Img3DMean(unsigned char*** volume) {
    if (volume == nullptr) return -1;
    const std::size_t n = voxel_count(volume);
    return static_cast<int>(voxel_sum(first_voxel(volume), n) / n);
}

IMG3D_API int Img3DLimit(unsigned char*** volume, int* maximum, int* minimum) {
    if (volume == nullptr || maximum == nullptr || minimum == nullptr) return -1;
    unsigned char lo, hi;
    voxel_limits(first_voxel(volume), voxel_count(volume), lo, hi);
    *maximum = hi;
    *minimum = lo;
    return 0;
}

}  // extern "C"
