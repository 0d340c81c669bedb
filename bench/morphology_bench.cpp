// Dilation and the two object filters on 256^3 inputs.  The edge smoothing
// is set against the literal window sum of the test reference, which costs
// (2r+1)^3 additions per box voxel, and against its own former
// implementation (edge_smooth_before.cpp), in the same run.
#include <cstring>

#include "bench_volumes.h"
#include "heap_peak.h"
#include "reference_morphology.h"

namespace bench {
int edge_smooth_before(unsigned char*** source, unsigned char*** destination, int objectValue, int backgroundValue,
                       int radius);
}  // namespace bench

namespace {

using bench::Owned;

// Inputs: 0 ball r = 100, 1 noise 50 %, 2 noise 10 %; radius 1.
template <class Smooth>
void edge_smooth_of(benchmark::State& state, Smooth smooth) {
    Owned src, dst;
    bench::fill_mask(src, state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(smooth(src.v, dst.v, 255, 0, 1));
    state.counters["peak_heap_MB"] = bench::peak_heap_mib([&] { smooth(src.v, dst.v, 255, 0, 1); });
    bench::report_voxels(state);
}
void BM_Img3DEdgeSmooth(benchmark::State& state) { edge_smooth_of(state, Img3DEdgeSmooth); }
void BM_edge_smooth_before(benchmark::State& state) { edge_smooth_of(state, bench::edge_smooth_before); }
BENCHMARK(BM_Img3DEdgeSmooth)->Arg(0)->Arg(1)->Arg(2)->ArgName("ball0_noise50_1_noise10_2")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_edge_smooth_before)->Arg(0)->Arg(1)->Arg(2)->ArgName("ball0_noise50_1_noise10_2")->Unit(benchmark::kMillisecond);

void BM_Img3DDilatation(benchmark::State& state) {
    Owned src, dst;
    bench::fill_binary_noise(src, 0.3);
    const int element = static_cast<int>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(Img3DDilatation(src.v, dst.v, 255, 0, element));
    bench::report_voxels(state);
}
BENCHMARK(BM_Img3DDilatation)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_Img3DEdgeSmooth_ball(benchmark::State& state) {
    Owned src, dst;
    bench::fill_ball(src, 100);
    const int radius = static_cast<int>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(Img3DEdgeSmooth(src.v, dst.v, 255, 0, radius));
    bench::report_voxels(state);
}
BENCHMARK(BM_Img3DEdgeSmooth_ball)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

void BM_direct_window_sum_ball(benchmark::State& state) {
    Owned src;
    bench::fill_ball(src, 100);
    img3d::test::Grid grid(bench::kSide, bench::kSide, bench::kSide,
                                {src.data(), src.data() + bench::kVoxels});
    img3d::test::Grid out;
    const int radius = static_cast<int>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(img3d::reference::edge_smooth(grid, out, 255, 0, radius));
    bench::report_voxels(state);
}
BENCHMARK(BM_direct_window_sum_ball)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Img3DDelVolume_noise50(benchmark::State& state) {
    Owned src, dst;
    bench::fill_binary_noise(src, 0.5);
    for (auto _ : state) benchmark::DoNotOptimize(Img3DDelVolume(src.v, dst.v, 255, 0, 100, 1 << 30));
    bench::report_voxels(state);
}
BENCHMARK(BM_Img3DDelVolume_noise50)->Unit(benchmark::kMillisecond);

void BM_GetAllRunLength3D_noise50(benchmark::State& state) {
    Owned src, work;
    bench::fill_binary_noise(src, 0.5);
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), src.data(), bench::kVoxels);
        state.ResumeTiming();
        int count = 0;
        RunLength3D** list = GetAllRunLength3D(work.v, 255, 0, &count, 0);
        state.PauseTiming();
        FreeRunLength3D(count, list);
        state.ResumeTiming();
    }
    bench::report_voxels(state);
}
BENCHMARK(BM_GetAllRunLength3D_noise50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
