// Whole-volume transforms and statistics against memcpy/memset of the same
// size, measured in the same run.
#include <cstring>

#include "bench_volumes.h"

namespace {

using bench::Owned;

void BM_memset(benchmark::State& state) {
    Owned a;
    for (auto _ : state) {
        std::memset(a.data(), 7, bench::kVoxels);
        benchmark::ClobberMemory();
    }
    bench::report_voxels(state);
}

void BM_Img3DCopy(benchmark::State& state) {
    Owned a, b;
    bench::fill_noise(a);
    for (auto _ : state) benchmark::DoNotOptimize(Img3DCopy(a.v, b.v));
    bench::report_voxels(state);
}

void BM_Img3DClear(benchmark::State& state) {
    Owned a;
    for (auto _ : state) benchmark::DoNotOptimize(Img3DClear(a.v, 7));
    bench::report_voxels(state);
}

void BM_Img3DConvert(benchmark::State& state) {
    Owned a, b;
    bench::fill_noise(a);
    unsigned char table[256];
    for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i * 37 + 11);
    for (auto _ : state) benchmark::DoNotOptimize(Img3DConvert(a.v, b.v, table));
    bench::report_voxels(state);
}

void BM_Img3DReverse(benchmark::State& state) {
    Owned a, b;
    bench::fill_noise(a);
    for (auto _ : state) benchmark::DoNotOptimize(Img3DReverse(a.v, b.v));
    bench::report_voxels(state);
}

void BM_Img3DHisto_constant(benchmark::State& state) {
    Owned a;  // all zero: the worst case for a single table
    int histogram[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Img3DHisto(a.v, histogram));
        benchmark::ClobberMemory();
    }
    bench::report_voxels(state);
}

void BM_Img3DMean(benchmark::State& state) {
    Owned a;
    bench::fill_noise(a);
    for (auto _ : state) benchmark::DoNotOptimize(Img3DMean(a.v));
    bench::report_voxels(state);
}

void BM_Img3DLimit(benchmark::State& state) {
    Owned a;
    bench::fill_noise(a);
    int maximum, minimum;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Img3DLimit(a.v, &maximum, &minimum));
        benchmark::ClobberMemory();
    }
    bench::report_voxels(state);
}

BENCHMARK(bench::memcpy_baseline)->Name("BM_memcpy");
BENCHMARK(BM_memset);
BENCHMARK(BM_Img3DCopy);
BENCHMARK(BM_Img3DClear);
BENCHMARK(BM_Img3DConvert);
BENCHMARK(BM_Img3DReverse);
BENCHMARK(bench::histogram_baseline)->Name("BM_Img3DHisto");
BENCHMARK(BM_Img3DHisto_constant);
BENCHMARK(BM_Img3DMean);
BENCHMARK(BM_Img3DLimit);

}  // namespace

BENCHMARK_MAIN();
