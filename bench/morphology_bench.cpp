// Dilation and the two object filters on 256^3 inputs.  The edge smoothing
// is set against the literal window sum of the test reference, which costs
// (2r+1)^3 additions per box voxel.
#include <cstring>

#include "bench_volumes.h"
#include "reference_morphology.h"

namespace {

using bench::Owned;

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
    img3d::reference::Grid grid(bench::kSide, bench::kSide, bench::kSide,
                                {src.data(), src.data() + bench::kVoxels});
    img3d::reference::Grid out;
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
