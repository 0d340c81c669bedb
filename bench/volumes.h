// The 256^3 inputs of both sides, the micro-benchmarks and compare_host,
// made deterministically.  Needs only the library, so hosts without Google
// Benchmark can make the same voxels.
#pragma once

#include <cstdint>
#include <random>

#include "img3d.h"

namespace bench {

constexpr int kSide = 256;
constexpr std::int64_t kVoxels = std::int64_t{kSide} * kSide * kSide;

class Owned {
public:
    Owned() : v(Image3DAlloc(kSide, kSide, kSide)) {}
    ~Owned() { Image3DFree(v); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    unsigned char* data() const { return v[0][0]; }
    unsigned char*** v;
};

// Grey-level noise over the whole range.
inline void fill_noise(Owned& volume, unsigned seed = 1) {
    std::mt19937 rng(seed);
    for (std::int64_t i = 0; i < kVoxels; ++i) volume.data()[i] = static_cast<unsigned char>(rng());
}

// Values 0 ... values-1 at random: a multi-valued image whose every value
// makes many small pieces, the hard case of labelling every value at once.
inline void fill_value_noise(Owned& volume, unsigned values, unsigned seed = 1) {
    std::mt19937 rng(seed);
    for (std::int64_t i = 0; i < kVoxels; ++i) volume.data()[i] = static_cast<unsigned char>(rng() % values);
}

// value with the given probability, 0 elsewhere.
inline void fill_binary_noise(Owned& volume, double density, int value = 255, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::bernoulli_distribution on(density);
    for (std::int64_t i = 0; i < kVoxels; ++i)
        volume.data()[i] = on(rng) ? static_cast<unsigned char>(value) : 0;
}

// One solid ball of value in a 0 background.
inline void fill_ball(Owned& volume, int radius, int value = 255) {
    const int c = kSide / 2;
    for (int z = 0; z < kSide; ++z)
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x) {
                const int dx = x - c, dy = y - c, dz = z - c;
                volume.v[z][y][x] =
                    dx * dx + dy * dy + dz * dz <= radius * radius ? static_cast<unsigned char>(value) : 0;
            }
}

// The mask inputs of the object operations: one ball, binary noise of 50 %
// and of 10 %.
enum MaskInput { kBall, kNoise50, kNoise10 };

inline void fill_mask(Owned& volume, long input) {
    switch (input) {
        case kBall: fill_ball(volume, 100); break;
        case kNoise50: fill_binary_noise(volume, 0.5); break;
        default: fill_binary_noise(volume, 0.1); break;
    }
}

}  // namespace bench
