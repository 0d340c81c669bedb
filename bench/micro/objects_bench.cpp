// Object extraction and the label image on the 256^3 inputs, against memcpy
// of the same size, measured in the same run.  Each extraction takes the
// objects of a fresh copy of its input; the copy is not timed, nor the
// release of the list but in BM_GetAllRunLength3D_and_free.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "micro.h"
// After the C library's declarations, which it replaces.
#include "heap_peak.h"

namespace {

using bench::Owned;

using bench::kBall;
using bench::kNoise10;
using bench::kNoise50;

void BM_GetAllRunLength3D(benchmark::State& state) {
    Owned input, work;
    bench::fill_mask(input, state.range(0));
    int count = 0;
    long long runs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), input.data(), bench::kVoxels);
        state.ResumeTiming();
        RunLength3D** list = GetAllRunLength3D(work.v, 255, 0, &count, 0);
        benchmark::DoNotOptimize(list);
        state.PauseTiming();
        runs = 0;
        for (int i = 0; i < count; ++i) runs += list[i] ? list[i]->count : 0;
        FreeRunLength3D(count, list);
        state.ResumeTiming();
    }
    state.counters["objects"] = count;
    state.counters["runs"] = static_cast<double>(runs);
    // Everything the call holds at its busiest, the records included.
    std::memcpy(work.data(), input.data(), bench::kVoxels);
    RunLength3D** list = nullptr;
    state.counters["peak_heap_MB"] =
        bench::peak_heap_mib([&] { list = GetAllRunLength3D(work.v, 255, 0, &count, 0); });
    FreeRunLength3D(count, list);
    bench::report_voxels(state);
}

// The extraction with the release of its list, as a host pays for it: the
// yardstick of the label image on noise.
void BM_GetAllRunLength3D_and_free(benchmark::State& state) {
    Owned input, work;
    bench::fill_mask(input, state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), input.data(), bench::kVoxels);
        state.ResumeTiming();
        int count = 0;
        FreeRunLength3D(count, GetAllRunLength3D(work.v, 255, 0, &count, 0));
    }
    bench::report_voxels(state);
}

// The label array is the caller's and already written once (resident), as
// any output buffer a host reuses.
void BM_Img3DLabel(benchmark::State& state) {
    Owned input;
    bench::fill_mask(input, state.range(0));
    const int connectivity = static_cast<int>(state.range(1));
    std::vector<std::int32_t> labels(bench::kVoxels, 0);
    int objects = 0;
    for (auto _ : state) {
        objects = Img3DLabel(input.v, 255, connectivity, labels.data());
        benchmark::DoNotOptimize(objects);
        benchmark::ClobberMemory();
    }
    state.counters["objects"] = objects;
    state.counters["peak_heap_MB"] =
        bench::peak_heap_mib([&] { Img3DLabel(input.v, 255, connectivity, labels.data()); });
    bench::report_voxels(state);
}

void inputs(benchmark::internal::Benchmark* b) {
    b->Arg(kBall)->Arg(kNoise50)->Arg(kNoise10)->ArgName("ball0_noise50_1_noise10_2");
}
void inputs_and_connectivities(benchmark::internal::Benchmark* b) {
    for (int input : {kBall, kNoise50, kNoise10})
        for (int connectivity : {6, 18, 26}) b->Args({input, connectivity});
    b->ArgNames({"input", "connectivity"});
}

BENCHMARK(bench::memcpy_baseline)->Name("BM_memcpy");
BENCHMARK(BM_GetAllRunLength3D)->Apply(inputs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetAllRunLength3D_and_free)->Apply(inputs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Img3DLabel)->Apply(inputs_and_connectivities)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
