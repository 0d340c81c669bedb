// Threshold selection against the histogram pass it is built on, and the
// segmentations against memcpy of the same size, measured in the same run.
#include "bench_volumes.h"

namespace {

using bench::Owned;

void BM_Img3DDaJinThreshold(benchmark::State& state) {
    Owned a;
    bench::fill_noise(a);
    for (auto _ : state) benchmark::DoNotOptimize(Img3DDaJinThreshold(a.v));
    bench::report_voxels(state);
}

void BM_Img3D2ModeThreshold(benchmark::State& state) {
    Owned a;
    bench::fill_noise(a);
    for (auto _ : state) benchmark::DoNotOptimize(Img3D2ModeThreshold(a.v));
    bench::report_voxels(state);
}

void BM_Img3DSingleSegment(benchmark::State& state) {
    Owned a, b;
    bench::fill_noise(a);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Img3DSingleSegment(a.v, b.v, 128, 255, 0));
        benchmark::ClobberMemory();
    }
    bench::report_voxels(state);
}

void BM_Img3DDoubleSegment(benchmark::State& state) {
    Owned a, b;
    bench::fill_noise(a);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Img3DDoubleSegment(a.v, b.v, 60, 190, 255, 0));
        benchmark::ClobberMemory();
    }
    bench::report_voxels(state);
}

// In place the source rows are the destination rows: the vector loop must
// still be taken.  Segmenting a binary volume into the same two values keeps
// the input identical from one iteration to the next.
void BM_Img3DDoubleSegment_in_place(benchmark::State& state) {
    Owned a;
    bench::fill_binary_noise(a, 0.5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Img3DDoubleSegment(a.v, a.v, 1, 255, 255, 0));
        benchmark::ClobberMemory();
    }
    bench::report_voxels(state);
}

BENCHMARK(bench::memcpy_baseline)->Name("BM_memcpy");
BENCHMARK(bench::histogram_baseline)->Name("BM_Img3DHisto");
BENCHMARK(BM_Img3DDaJinThreshold);
BENCHMARK(BM_Img3D2ModeThreshold);
BENCHMARK(BM_Img3DSingleSegment);
BENCHMARK(BM_Img3DDoubleSegment);
BENCHMARK(BM_Img3DDoubleSegment_in_place);

}  // namespace

BENCHMARK_MAIN();
