// The histogram on grey noise and the MRI templates; threshold selection
// against the histogram pass it is built on; the segmentations against
// memcpy of the same size; all measured in the same run.
#include <cstdint>

#include "micro.h"
#include "scans.h"

namespace {

using bench::Owned;
using bench::time_op;
using bench::Volume;

// Inputs: 0 grey noise (256^3), 1 ch2, 2 ch2better.
void BM_Img3DHisto(benchmark::State& state) {
    Owned noise;
    bench::Scan scan;
    unsigned char*** volume = noise.v;
    std::int64_t voxels = bench::kVoxels;
    if (state.range(0) == 0) {
        bench::fill_noise(noise);
    } else {
        bench::read_scan(state.range(0) == 1 ? "ch2" : "ch2better", scan);
        if (scan.v == nullptr) {
            state.SkipWithError("mricron-data is not installed");
            return;
        }
        volume = scan.v;
        voxels = scan.voxels();
    }
    int histogram[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Img3DHisto(volume, histogram));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * voxels);
}

void BM_Img3DDaJinThreshold(benchmark::State& state) {
    time_op(state, [](Volume a, Volume) { return Img3DDaJinThreshold(a); });
}

void BM_Img3D2ModeThreshold(benchmark::State& state) {
    time_op(state, [](Volume a, Volume) { return Img3D2ModeThreshold(a); });
}

void BM_Img3DSingleSegment(benchmark::State& state) {
    time_op(state, [](Volume a, Volume b) { return Img3DSingleSegment(a, b, 128, 255, 0); });
}

void BM_Img3DDoubleSegment(benchmark::State& state) {
    time_op(state, [](Volume a, Volume b) { return Img3DDoubleSegment(a, b, 60, 190, 255, 0); });
}

// In place the source rows are the destination rows: the vector loop must
// still be taken.  Segmenting a binary volume into the same two values keeps
// the input identical from one iteration to the next.
void BM_Img3DDoubleSegment_in_place(benchmark::State& state) {
    time_op(
        state, [](Volume a, Volume) { return Img3DDoubleSegment(a, a, 1, 255, 255, 0); },
        [](Owned& a) { bench::fill_binary_noise(a, 0.5); });
}

BENCHMARK(bench::memcpy_baseline)->Name("BM_memcpy");
BENCHMARK(BM_Img3DHisto)->Arg(0)->Arg(1)->Arg(2)->ArgName("noise0_ch2_1_ch2better_2");
BENCHMARK(BM_Img3DDaJinThreshold);
BENCHMARK(BM_Img3D2ModeThreshold);
BENCHMARK(BM_Img3DSingleSegment);
BENCHMARK(BM_Img3DDoubleSegment);
BENCHMARK(BM_Img3DDoubleSegment_in_place);

}  // namespace

BENCHMARK_MAIN();
