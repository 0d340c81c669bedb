// The 256^3 inputs every benchmark uses, made deterministically.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
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

inline void report_voxels(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kVoxels);
    state.SetBytesProcessed(state.iterations() * kVoxels);
}

// Baselines that several programs measure beside their own operations.
inline void memcpy_baseline(benchmark::State& state) {
    Owned a, b;
    fill_noise(a);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), kVoxels);
        benchmark::ClobberMemory();
    }
    report_voxels(state);
}

inline void histogram_baseline(benchmark::State& state) {
    Owned a;
    fill_noise(a);
    int histogram[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Img3DHisto(a.v, histogram));
        benchmark::ClobberMemory();
    }
    report_voxels(state);
}

}  // namespace bench
