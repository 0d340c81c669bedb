// Object extraction and the label image on the 256^3 inputs, against memcpy
// of the same size, measured in the same run.  Each extraction takes the
// objects of a fresh copy of its input; the copy is not timed, nor the
// release of the list but in BM_GetAllRunLength3D_and_free.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bench_volumes.h"

#if defined(__GLIBC__)
#include <malloc.h>

// Peak heap use over one call: this program's malloc family wraps glibc's
// and, while armed, keeps the bytes in use (the library's blocks come from
// the same malloc).
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

namespace {
bool g_counting = false;
long long g_in_use = 0;
long long g_peak = 0;

void count(long long delta) {
    g_in_use += delta;
    if (g_in_use > g_peak) g_peak = g_in_use;
}
}  // namespace

extern "C" {
void* malloc(std::size_t bytes) {
    void* p = __libc_malloc(bytes);
    if (g_counting && p) count(static_cast<long long>(malloc_usable_size(p)));
    return p;
}
void* calloc(std::size_t n, std::size_t size) {
    void* p = __libc_calloc(n, size);
    if (g_counting && p) count(static_cast<long long>(malloc_usable_size(p)));
    return p;
}
void* realloc(void* old, std::size_t bytes) {
    const long long before =
        g_counting && old ? static_cast<long long>(malloc_usable_size(old)) : 0;
    void* p = __libc_realloc(old, bytes);
    if (g_counting && (p || bytes == 0))
        count((p ? static_cast<long long>(malloc_usable_size(p)) : 0) - before);
    return p;
}
void free(void* p) {
    if (g_counting && p) count(-static_cast<long long>(malloc_usable_size(p)));
    __libc_free(p);
}
}
#define IMG3D_BENCH_PEAK 1
#endif

namespace {

using bench::Owned;

enum Input { kBall, kNoise50, kNoise10 };

void fill(Owned& volume, Input input) {
    switch (input) {
        case kBall:
            bench::fill_ball(volume, 100);
            break;
        case kNoise50:
            bench::fill_binary_noise(volume, 0.5);
            break;
        case kNoise10:
            bench::fill_binary_noise(volume, 0.1);
            break;
    }
}

void BM_GetAllRunLength3D(benchmark::State& state) {
    Owned input, work;
    fill(input, static_cast<Input>(state.range(0)));
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
#if IMG3D_BENCH_PEAK
    // Everything the call holds at its busiest, the records included.
    std::memcpy(work.data(), input.data(), bench::kVoxels);
    g_in_use = g_peak = 0;
    g_counting = true;
    RunLength3D** list = GetAllRunLength3D(work.v, 255, 0, &count, 0);
    const long long kept = g_in_use;
    g_counting = false;
    FreeRunLength3D(count, list);
    state.counters["peak_heap_MB"] = static_cast<double>(g_peak) / (1 << 20);
    state.counters["result_MB"] = static_cast<double>(kept) / (1 << 20);
#endif
    bench::report_voxels(state);
}

// The extraction with the release of its list, as a host pays for it: the
// yardstick of the label image on noise.
void BM_GetAllRunLength3D_and_free(benchmark::State& state) {
    Owned input, work;
    fill(input, static_cast<Input>(state.range(0)));
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
    fill(input, static_cast<Input>(state.range(0)));
    const int connectivity = static_cast<int>(state.range(1));
    std::vector<std::int32_t> labels(bench::kVoxels, 0);
    int objects = 0;
    for (auto _ : state) {
        objects = Img3DLabel(input.v, 255, connectivity, labels.data());
        benchmark::DoNotOptimize(objects);
        benchmark::ClobberMemory();
    }
    state.counters["objects"] = objects;
#if IMG3D_BENCH_PEAK
    g_in_use = g_peak = 0;
    g_counting = true;
    Img3DLabel(input.v, 255, connectivity, labels.data());
    g_counting = false;
    state.counters["peak_heap_MB"] = static_cast<double>(g_peak) / (1 << 20);
#endif
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
