// Dilation and the two object filters on 256^3 inputs.  The edge smoothing
// is set against the literal window sum of the test reference, which costs
// (2r+1)^3 additions per box voxel, in the same run; against earlier
// revisions of itself by scripts/bench-against.
#include <cstring>

#include "micro.h"
// After the C library's declarations, which it replaces.
#include "heap_peak.h"
#include "reference_morphology.h"

namespace {

using bench::Owned;
using bench::time_op;
using bench::Volume;

void ball(Owned& volume) { bench::fill_ball(volume, 100); }

// Inputs: 0 ball r = 100, 1 noise 50 %, 2 noise 10 %; radius 1.
void BM_Img3DEdgeSmooth(benchmark::State& state) {
    Owned src, dst;
    bench::fill_mask(src, state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(Img3DEdgeSmooth(src.v, dst.v, 255, 0, 1));
    state.counters["peak_heap_MB"] = bench::peak_heap_mib([&] { Img3DEdgeSmooth(src.v, dst.v, 255, 0, 1); });
    bench::report_voxels(state);
}
BENCHMARK(BM_Img3DEdgeSmooth)->Arg(0)->Arg(1)->Arg(2)->ArgName("ball0_noise50_1_noise10_2")->Unit(benchmark::kMillisecond);

void BM_Img3DDilatation(benchmark::State& state) {
    const int element = static_cast<int>(state.range(0));
    time_op(
        state, [element](Volume a, Volume b) { return Img3DDilatation(a, b, 255, 0, element); },
        [](Owned& a) { bench::fill_binary_noise(a, 0.3); });
}
BENCHMARK(BM_Img3DDilatation)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_Img3DEdgeSmooth_ball(benchmark::State& state) {
    const int radius = static_cast<int>(state.range(0));
    time_op(state, [radius](Volume a, Volume b) { return Img3DEdgeSmooth(a, b, 255, 0, radius); }, ball);
}
BENCHMARK(BM_Img3DEdgeSmooth_ball)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

void BM_direct_window_sum_ball(benchmark::State& state) {
    Owned src;
    ball(src);
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
    time_op(
        state, [](Volume a, Volume b) { return Img3DDelVolume(a, b, 255, 0, 100, 1 << 30); },
        [](Owned& a) { bench::fill_mask(a, bench::kNoise50); });
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
