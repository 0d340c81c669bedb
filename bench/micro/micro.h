// What the Google Benchmark programs share: the throughput report, the
// timing loop of a whole-volume operation, and the memcpy baseline several
// programs measure beside their own operations.  The inputs are volumes.h's.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>

#include "volumes.h"

namespace bench {

using Volume = unsigned char***;

inline void report_voxels(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kVoxels);
    state.SetBytesProcessed(state.iterations() * kVoxels);
}

inline void grey_noise(Owned& volume) { fill_noise(volume); }
inline void all_zero(Owned&) {}

// Times op(a, b) on two 256^3 volumes, a made by fill, b zero-filled.  The
// result is kept and memory clobbered after every call, so neither the call
// nor its stores can be dropped.
template <class Op, class Fill = void (*)(Owned&)>
void time_op(benchmark::State& state, Op op, Fill fill = grey_noise) {
    Owned a, b;
    fill(a);
    for (auto _ : state) {
        benchmark::DoNotOptimize(op(a.v, b.v));
        benchmark::ClobberMemory();
    }
    report_voxels(state);
}

inline void memcpy_baseline(benchmark::State& state) {
    time_op(state, [](Volume a, Volume b) { return std::memcpy(b[0][0], a[0][0], kVoxels); });
}

}  // namespace bench
