// The set of voxels equal to one value as bit-packed rows, for the binary
// morphology: 64 voxels a word, bit k of word w being column 64*w + k, rows
// in storage order, the bits beyond the last column clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "objects/objects_internal.h"

namespace img3d::detail {

struct BitGrid {
    std::int64_t width, height, depth;
    std::size_t words;  // per row

    BitGrid(std::int64_t w, std::int64_t h, std::int64_t d)
        : width(w), height(h), depth(d), words((static_cast<std::size_t>(w) + 63) / 64) {}

    std::size_t rows() const { return static_cast<std::size_t>(height) * static_cast<std::size_t>(depth); }
    // Every word of the volume; 0 when that many bytes could not be addressed.
    std::size_t words_total() const { return rows() > SIZE_MAX / 8 / words ? 0 : rows() * words; }
    std::size_t row_index(std::int64_t y, std::int64_t z) const {
        return static_cast<std::size_t>(z) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y);
    }
    std::uint64_t last_word_mask() const {
        const unsigned tail = static_cast<unsigned>(width % 64);
        return tail == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << tail) - 1;
    }
};

// bits = the voxels equal to value (none for a value outside 0 ... 255).
inline void pack_set(const std::uint8_t* voxels, const BitGrid& grid, int value, std::uint64_t* bits) {
    const std::size_t rows = grid.rows();
    if (value < 0 || value > 255) {
        std::memset(bits, 0, rows * grid.words * 8);
        return;
    }
    const auto width = static_cast<std::size_t>(grid.width);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint8_t* in = voxels + r * width;
        std::uint64_t* out = bits + r * grid.words;
        for (std::size_t w = 0; w < grid.words; ++w) {
            const std::size_t n = width - 64 * w < 64 ? width - 64 * w : 64;
            out[w] = word_bits(in + 64 * w, static_cast<int>(n), static_cast<std::uint8_t>(value));
        }
    }
}

// For every byte b, eight bytes, byte k 0xFF where bit k of b is set (in
// memory order on a little-endian machine): a row is unpacked eight voxels
// a step by looking them up.
struct ByteMasks {
    std::uint64_t of[256];
    constexpr ByteMasks() : of() {
        for (unsigned b = 0; b < 256; ++b)
            for (unsigned k = 0; k < 8; ++k)
                if ((b >> k & 1) != 0) of[b] |= std::uint64_t{0xFF} << (8 * k);
    }
};
inline constexpr ByteMasks kByteMasks{};

// One row of `width` voxels from its bits: on where the bit is set, off
// elsewhere.
inline void unpack_row(const std::uint64_t* bits, std::size_t width, std::uint8_t on, std::uint8_t off,
                       std::uint8_t* voxels) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr bool kLittleEndian = true;
#else
    constexpr bool kLittleEndian = false;
#endif
    const std::uint64_t on8 = 0x0101010101010101ull * on, off8 = 0x0101010101010101ull * off;
    std::size_t x = 0;
    if (kLittleEndian) {
        for (; x + 64 <= width; x += 64) {
            const std::uint64_t word = bits[x / 64];
            if (word == 0 || word == ~std::uint64_t{0}) {
                // Masks are mostly whole words of one kind.
                const std::uint64_t eight = word == 0 ? off8 : on8;
                for (int k = 0; k < 64; k += 8) std::memcpy(voxels + x + k, &eight, 8);
                continue;
            }
            for (int k = 0; k < 64; k += 8) {
                const std::uint64_t mask = kByteMasks.of[word >> k & 0xFF];
                const std::uint64_t eight = (on8 & mask) | (off8 & ~mask);
                std::memcpy(voxels + x + static_cast<std::size_t>(k), &eight, 8);
            }
        }
        for (; x + 8 <= width; x += 8) {
            const std::uint64_t mask = kByteMasks.of[bits[x / 64] >> (x % 64) & 0xFF];
            const std::uint64_t eight = (on8 & mask) | (off8 & ~mask);
            std::memcpy(voxels + x, &eight, 8);
        }
    }
    for (; x < width; ++x) voxels[x] = (bits[x / 64] >> (x % 64) & 1) != 0 ? on : off;
}

// voxels = value where the bit is set, background elsewhere.
inline void unpack_set(const std::uint64_t* bits, const BitGrid& grid, int value, int background,
                       std::uint8_t* voxels) {
    const auto width = static_cast<std::size_t>(grid.width);
    for (std::size_t r = 0; r < grid.rows(); ++r)
        unpack_row(bits + r * grid.words, width, static_cast<std::uint8_t>(value),
                   static_cast<std::uint8_t>(background), voxels + r * width);
}

}  // namespace img3d::detail
