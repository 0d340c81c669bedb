// The operations that finish a segmentation, on the 256^3 ball, 50 % binary
// noise and the ch2 template's mask (voxels above its Otsu level), against
// memcpy of 256^3 measured in the same run.  Labelling of every value runs
// on the aal atlas and on 256^3 noise of 8 values; the intensity statistics
// on a 128x512x512 grey volume of 2^20 box-shaped labels.
#include <cstdint>
#include <random>
#include <vector>

#include "micro.h"
#include "scans.h"

namespace {

using bench::Owned;

// Inputs 0 ball, 1 noise 50 %, 2 ch2 mask; a mask's voxels are 255 or 0.
struct Mask {
    std::vector<std::uint8_t> voxels;
    std::int64_t width = 0, height = 0, depth = 0;
};

Mask mask_input(long input) {
    Mask m;
    if (input == 2) {
        bench::Scan scan;
        bench::read_scan("ch2", scan);
        if (scan.v == nullptr) return m;
        const int level = Img3DDaJinThreshold(scan.v);
        m.width = Image3DGetWidth(scan.v);
        m.height = Image3DGetHeight(scan.v);
        m.depth = Image3DGetDepth(scan.v);
        m.voxels.assign(scan.v[0][0], scan.v[0][0] + scan.voxels());
        for (auto& v : m.voxels) v = v > level ? 255 : 0;
        return m;
    }
    Owned volume;
    bench::fill_mask(volume, input == 0 ? bench::kBall : bench::kNoise50);
    m.width = m.height = m.depth = bench::kSide;
    m.voxels.assign(volume.data(), volume.data() + bench::kVoxels);
    return m;
}

// Runs call(mask, out) per iteration; skips a missing scan.
template <class Call>
void run_on_mask(benchmark::State& state, Call call) {
    const Mask m = mask_input(state.range(0));
    if (m.voxels.empty()) {
        state.SkipWithError("no /usr/share/mricron/templates/ch2.nii.gz");
        return;
    }
    std::vector<std::uint8_t> out(m.voxels.size(), 0);
    std::int64_t result = 0;
    for (auto _ : state) {
        result = call(m, out.data());
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    state.counters["result"] = static_cast<double>(result);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(m.voxels.size()));
}

using Morph = int (*)(const std::uint8_t*, std::uint8_t*, std::int64_t, std::int64_t, std::int64_t, int, int, int,
                      int);
constexpr Morph kMorph[] = {Img3DBinaryDilate, Img3DBinaryErode, Img3DBinaryOpen, Img3DBinaryClose};

// range(1): 0 dilate, 1 erode, 2 open, 3 close; range(2): connectivity.
void BM_BinaryMorphology(benchmark::State& state) {
    const Morph f = kMorph[state.range(1)];
    const int connectivity = static_cast<int>(state.range(2));
    run_on_mask(state, [&](const Mask& m, std::uint8_t* out) {
        return f(m.voxels.data(), out, m.width, m.height, m.depth, 255, 0, connectivity, 1);
    });
}

void BM_FillHoles(benchmark::State& state) {
    const int connectivity = static_cast<int>(state.range(1));
    run_on_mask(state, [&](const Mask& m, std::uint8_t* out) {
        return Img3DFillHoles(m.voxels.data(), out, m.width, m.height, m.depth, 255, 0, connectivity, -1);
    });
}

void BM_KeepLargest(benchmark::State& state) {
    const int connectivity = static_cast<int>(state.range(1));
    run_on_mask(state, [&](const Mask& m, std::uint8_t* out) {
        return Img3DKeepLargest(m.voxels.data(), out, m.width, m.height, m.depth, 255, connectivity, 1, 0);
    });
}

// remove_small_objects' default min_size, 64.
void BM_RemoveBySize(benchmark::State& state) {
    const int connectivity = static_cast<int>(state.range(1));
    run_on_mask(state, [&](const Mask& m, std::uint8_t* out) {
        return Img3DRemoveBySize(m.voxels.data(), out, m.width, m.height, m.depth, 255, connectivity, 64, INT64_MAX,
                                 0);
    });
}

// range(0): 0 aal, 1 256^3 noise of values 0 ... 7.
void BM_LabelAll(benchmark::State& state) {
    std::vector<std::uint8_t> voxels;
    std::int64_t w = bench::kSide, h = bench::kSide, d = bench::kSide;
    if (state.range(0) == 0) {
        bench::Scan scan;
        bench::read_scan("aal", scan);
        if (scan.v == nullptr) {
            state.SkipWithError("no /usr/share/mricron/templates/aal.nii.gz");
            return;
        }
        w = Image3DGetWidth(scan.v);
        h = Image3DGetHeight(scan.v);
        d = Image3DGetDepth(scan.v);
        voxels.assign(scan.v[0][0], scan.v[0][0] + scan.voxels());
    } else {
        Owned noise;
        bench::fill_value_noise(noise, 8);
        voxels.assign(noise.data(), noise.data() + bench::kVoxels);
    }
    const int connectivity = static_cast<int>(state.range(1));
    std::vector<std::int32_t> labels(voxels.size(), 0);
    std::int64_t pieces = 0;
    for (auto _ : state) {
        pieces = Img3DLabelAll(voxels.data(), IMG3D_UINT8, w, h, d, connectivity, labels.data(), IMG3D_INT32,
                               nullptr, 0);
        benchmark::DoNotOptimize(pieces);
        benchmark::ClobberMemory();
    }
    state.counters["pieces"] = static_cast<double>(pieces);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(voxels.size()));
}

// 128 x 512 x 512 voxels in boxes of 4 x 4 x 2 voxels (x, y, z): 2^20 labels.
void BM_IntensityStats(benchmark::State& state) {
    constexpr std::int64_t w = 512, h = 512, d = 128;
    std::vector<std::uint8_t> grey(static_cast<std::size_t>(w * h * d));
    std::vector<std::int32_t> labels(grey.size());
    std::mt19937 rng(1);
    for (std::int64_t z = 0; z < d; ++z)
        for (std::int64_t y = 0; y < h; ++y)
            for (std::int64_t x = 0; x < w; ++x) {
                const auto i = static_cast<std::size_t>((z * h + y) * w + x);
                grey[i] = static_cast<std::uint8_t>(rng());
                labels[i] = static_cast<std::int32_t>(((z / 2) * (h / 4) + y / 4) * (w / 4) + x / 4 + 1);
            }
    const std::int64_t count = (w / 4) * (h / 4) * (d / 2);
    std::vector<Img3DIntensity> stats(static_cast<std::size_t>(count));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Img3DIntensityStats(labels.data(), IMG3D_INT32, grey.data(), IMG3D_UINT8, w, h, d,
                                                     count, stats.data()));
        benchmark::ClobberMemory();
    }
    state.counters["labels"] = static_cast<double>(count);
    state.SetItemsProcessed(state.iterations() * w * h * d);
}

void masks_and_connectivities(benchmark::internal::Benchmark* b) {
    for (int input : {0, 1, 2})
        for (int connectivity : {6, 26}) b->Args({input, connectivity});
    b->ArgNames({"ball0_noise1_ch2_2", "connectivity"});
}

void morphology_cases(benchmark::internal::Benchmark* b) {
    for (int input : {0, 1, 2})
        for (int op = 0; op < 4; ++op)
            for (int connectivity : {6, 18, 26}) b->Args({input, op, connectivity});
    b->ArgNames({"ball0_noise1_ch2_2", "dilate0_erode1_open2_close3", "connectivity"});
}

BENCHMARK(bench::memcpy_baseline)->Name("BM_memcpy");
BENCHMARK(BM_BinaryMorphology)->Apply(morphology_cases)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillHoles)->Apply(masks_and_connectivities)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeepLargest)->Apply(masks_and_connectivities)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveBySize)->Apply(masks_and_connectivities)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LabelAll)->ArgsProduct({{0, 1}, {6, 26}})->ArgNames({"aal0_noise8_1", "connectivity"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IntensityStats)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
