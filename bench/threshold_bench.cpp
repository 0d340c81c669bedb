// The histogram on grey noise and the MRI templates, against the counting
// it replaced (kept here as the yardstick); threshold selection against the
// histogram pass it is built on; the segmentations against memcpy of the
// same size; all measured in the same run.
#include <cstdint>
#include <cstring>

#include "bench_volumes.h"
#include "scans.h"

namespace {

using bench::Owned;

// The histogram as it was counted before uniform blocks were: eight voxels
// per step into four partial tables.
void histogram_before(unsigned char*** volume, int* histogram) {
    const unsigned char* v = volume[0][0];
    const std::size_t n = static_cast<std::size_t>(Image3DGetWidth(volume)) *
                          static_cast<std::size_t>(Image3DGetHeight(volume)) *
                          static_cast<std::size_t>(Image3DGetDepth(volume));
    std::uint32_t part[4][256];
    std::memset(part, 0, sizeof part);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, v + i, 8);
        ++part[0][word & 0xFF];
        ++part[1][(word >> 8) & 0xFF];
        ++part[2][(word >> 16) & 0xFF];
        ++part[3][(word >> 24) & 0xFF];
        ++part[0][(word >> 32) & 0xFF];
        ++part[1][(word >> 40) & 0xFF];
        ++part[2][(word >> 48) & 0xFF];
        ++part[3][word >> 56];
    }
    for (; i < n; ++i) ++part[0][v[i]];
    for (int b = 0; b < 256; ++b)
        histogram[b] = static_cast<int>(part[0][b] + part[1][b] + part[2][b] + part[3][b]);
}

// Inputs: 0 grey noise (256^3), 1 ch2, 2 ch2better.
template <class Count>
void histogram_of(benchmark::State& state, Count count) {
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
        count(volume, histogram);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * voxels);
}

void BM_Img3DHisto(benchmark::State& state) {
    histogram_of(state, [](unsigned char*** v, int* h) { benchmark::DoNotOptimize(Img3DHisto(v, h)); });
}
void BM_histogram_before(benchmark::State& state) { histogram_of(state, histogram_before); }

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
BENCHMARK(BM_Img3DHisto)->Arg(0)->Arg(1)->Arg(2)->ArgName("noise0_ch2_1_ch2better_2");
BENCHMARK(BM_histogram_before)->Arg(0)->Arg(1)->Arg(2)->ArgName("noise0_ch2_1_ch2better_2");
BENCHMARK(BM_Img3DDaJinThreshold);
BENCHMARK(BM_Img3D2ModeThreshold);
BENCHMARK(BM_Img3DSingleSegment);
BENCHMARK(BM_Img3DDoubleSegment);
BENCHMARK(BM_Img3DDoubleSegment_in_place);

}  // namespace

BENCHMARK_MAIN();
