// The 256^3 inputs every benchmark uses (volumes.h), the throughput report
// and the baselines several programs measure.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>

#include "volumes.h"

namespace bench {

inline void report_voxels(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kVoxels);
    state.SetBytesProcessed(state.iterations() * kVoxels);
}

// The mask inputs of the object benchmarks: one ball, binary noise of 50 %
// and of 10 % (state.range(0) 0, 1, 2).
enum MaskInput { kBall, kNoise50, kNoise10 };

inline void fill_mask(Owned& volume, long input) {
    switch (input) {
        case kBall: fill_ball(volume, 100); break;
        case kNoise50: fill_binary_noise(volume, 0.5); break;
        default: fill_binary_noise(volume, 0.1); break;
    }
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
