// Whole-volume transforms and statistics against memcpy/memset of the same
// size, measured in the same run.
#include <cstring>

#include "micro.h"

namespace {

using bench::time_op;
using bench::Volume;

void BM_memset(benchmark::State& state) {
    time_op(state, [](Volume a, Volume) { return std::memset(a[0][0], 7, bench::kVoxels); }, bench::all_zero);
}

void BM_Img3DCopy(benchmark::State& state) { time_op(state, Img3DCopy); }

void BM_Img3DClear(benchmark::State& state) {
    time_op(state, [](Volume a, Volume) { return Img3DClear(a, 7); }, bench::all_zero);
}

void BM_Img3DConvert(benchmark::State& state) {
    unsigned char table[256];
    for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i * 37 + 11);
    time_op(state, [&](Volume a, Volume b) { return Img3DConvert(a, b, table); });
}

void BM_Img3DReverse(benchmark::State& state) { time_op(state, Img3DReverse); }

int histogram(Volume a, Volume) {
    int counts[256];
    return Img3DHisto(a, counts);
}
void BM_Img3DHisto(benchmark::State& state) { time_op(state, histogram); }
// All zero: the worst case for a single table.
void BM_Img3DHisto_constant(benchmark::State& state) { time_op(state, histogram, bench::all_zero); }

void BM_Img3DMean(benchmark::State& state) {
    time_op(state, [](Volume a, Volume) { return Img3DMean(a); });
}

void BM_Img3DLimit(benchmark::State& state) {
    time_op(state, [](Volume a, Volume) {
        int maximum, minimum;
        return Img3DLimit(a, &maximum, &minimum);
    });
}

BENCHMARK(bench::memcpy_baseline)->Name("BM_memcpy");
BENCHMARK(BM_memset);
BENCHMARK(BM_Img3DCopy);
BENCHMARK(BM_Img3DClear);
BENCHMARK(BM_Img3DConvert);
BENCHMARK(BM_Img3DReverse);
BENCHMARK(BM_Img3DHisto);
BENCHMARK(BM_Img3DHisto_constant);
BENCHMARK(BM_Img3DMean);
BENCHMARK(BM_Img3DLimit);

}  // namespace

BENCHMARK_MAIN();
