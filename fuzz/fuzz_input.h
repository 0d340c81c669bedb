// Decoding of fuzz inputs into volumes and arguments.
//
// Every target reads its arguments from the front of the input and the
// voxels from the rest, mapped through a small palette so that the values
// the operation looks for are common enough to form objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "img3d.h"

namespace img3d::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // A value in lo ... hi (inclusive).
    int range(int lo, int hi) {
        const std::uint32_t span = static_cast<std::uint32_t>(hi - lo) + 1;
        std::uint32_t raw = 0;
        for (int i = 0; i < 4; ++i) raw = raw << 8 | byte();
        return lo + static_cast<int>(raw % span);
    }
    // Any int, biased toward the interesting ones.
    int integer() {
        static const int special[] = {0, 1, -1, 255, 256, -256, 2147483647, -2147483647 - 1, 128, 127};
        const std::uint8_t pick = byte();
        if (pick < 64) return special[pick % 10];
        return range(-300, 600);
    }
    std::size_t remaining() const { return size_ - pos_; }

    // A volume of 1 ... max_side voxels along each axis (1 ... max_width
    // along x when given) whose voxels are palette[next byte % palette
    // size]; missing bytes read as palette[0].
    unsigned char*** volume(int max_side, const std::vector<int>& palette, int max_width = 0) {
        const int w = range(1, max_width > 0 ? max_width : max_side), h = range(1, max_side),
                  d = range(1, max_side);
        unsigned char*** v = Image3DAlloc(w, h, d);
        if (v == nullptr) std::abort();
        const std::size_t n = static_cast<std::size_t>(w) * h * d;
        for (std::size_t i = 0; i < n; ++i)
            v[0][0][i] = static_cast<unsigned char>(palette[byte() % palette.size()]);
        return v;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline std::vector<std::uint8_t> voxels_of(unsigned char*** v) {
    const std::size_t n = static_cast<std::size_t>(Image3DGetWidth(v)) * Image3DGetHeight(v) *
                          Image3DGetDepth(v);
    return {v[0][0], v[0][0] + n};
}

// A finding: the library and its reference disagree.
#define FUZZ_CHECK(condition)                                                  \
    do {                                                                       \
        if (!(condition)) {                                                    \
            std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                      \
        }                                                                      \
    } while (0)

}  // namespace img3d::fuzz
