// The operations on raw memory that finish a segmentation against their
// naive references: a selector byte picks binary morphology, hole filling,
// size selection, labelling of every value or intensity statistics.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "fuzz_input.h"
#include "reference_finishing.h"

namespace {

namespace ref = img3d::reference;
using img3d::test::Grid;
using Bytes = std::vector<std::uint8_t>;

using Morph = int (*)(const std::uint8_t*, std::uint8_t*, std::int64_t, std::int64_t, std::int64_t, int, int, int,
                      int);

void morphology(img3d::fuzz::Input& in, const Grid& g, const Bytes& v, int value, int connectivity) {
    static const Morph kOps[] = {Img3DBinaryDilate, Img3DBinaryErode, Img3DBinaryOpen, Img3DBinaryClose};
    const int op = in.byte() % 4, iterations = 1 + in.byte() % 3;
    Bytes set = ref::set_of(v, value);
    const bool first_dilates = op == 0 || op == 3;
    for (int i = 0; i < iterations; ++i) set = ref::morph_step(g, set, connectivity, first_dilates);
    for (int i = 0; op >= 2 && i < iterations; ++i) set = ref::morph_step(g, set, connectivity, !first_dilates);
    Bytes out = v;
    FUZZ_CHECK(kOps[op](out.data(), out.data(), g.width, g.height, g.depth, value, 1, connectivity, iterations) == 0);
    FUZZ_CHECK(out == ref::paint_set(set, value, 1));
}

void fill_holes(img3d::fuzz::Input& in, const Grid& g, const Bytes& v, int value, int connectivity) {
    const int axis = in.byte() % 4 - 1;
    Bytes out(v.size());
    FUZZ_CHECK(Img3DFillHoles(v.data(), out.data(), g.width, g.height, g.depth, value, 1, connectivity, axis) >= 0);
    FUZZ_CHECK(out == ref::paint_set(ref::fill_holes(g, ref::set_of(v, value), connectivity, axis), value, 1));
}

void size_selection(img3d::fuzz::Input& in, const Grid& g, const Bytes& v, int value, int connectivity) {
    const Bytes set = ref::set_of(v, value);
    std::int64_t n = 0;
    const auto label = ref::label_all(g, std::vector<std::int64_t>(set.begin(), set.end()), connectivity, &n);
    std::vector<std::int64_t> size(static_cast<std::size_t>(n) + 1, 0);
    for (std::int64_t l : label) ++size[static_cast<std::size_t>(l)];
    std::vector<bool> keep(size.size(), false);
    const std::int64_t k = in.byte() % 5;
    Bytes out(v.size());
    std::int64_t result;
    if (in.byte() % 2 == 0) {
        std::vector<std::int64_t> order(static_cast<std::size_t>(n));
        std::iota(order.begin(), order.end(), 1);
        std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
            return size[static_cast<std::size_t>(a)] > size[static_cast<std::size_t>(b)];
        });
        for (std::int64_t i = 0; i < std::min(k, n); ++i) keep[static_cast<std::size_t>(order[i])] = true;
        result = Img3DKeepLargest(v.data(), out.data(), g.width, g.height, g.depth, value, connectivity, k, 4);
    } else {
        const std::int64_t hi = k + in.byte() % 8;
        for (std::size_t l = 1; l < size.size(); ++l) keep[l] = size[l] >= k && size[l] <= hi;
        result = Img3DRemoveBySize(v.data(), out.data(), g.width, g.height, g.depth, value, connectivity, k, hi, 4);
    }
    Bytes expected = v;
    std::int64_t removed = 0;
    for (std::size_t l = 1; l < size.size(); ++l) removed += !keep[l];
    for (std::size_t i = 0; i < v.size(); ++i)
        if (label[i] != 0 && !keep[static_cast<std::size_t>(label[i])]) expected[i] = 4;
    FUZZ_CHECK(result == removed && out == expected);
}

void label_all_and_stats(const Grid& g, const Bytes& v, int connectivity) {
    std::int64_t n = 0;
    const auto expected = ref::label_all(g, std::vector<std::int64_t>(v.begin(), v.end()), connectivity, &n);
    std::vector<std::int64_t> labels(v.size(), -1), values(static_cast<std::size_t>(n) + 1, -1);
    FUZZ_CHECK(Img3DLabelAll(v.data(), IMG3D_UINT8, g.width, g.height, g.depth, connectivity, labels.data(),
                             IMG3D_INT64, values.data(), n) == n);
    FUZZ_CHECK(labels == expected);
    for (std::size_t i = 0; i < v.size(); ++i)
        if (labels[i] != 0) FUZZ_CHECK(values[static_cast<std::size_t>(labels[i] - 1)] == v[i]);
    std::vector<Img3DIntensity> stats(static_cast<std::size_t>(n) + 1);
    std::vector<std::int16_t> grey(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) grey[i] = static_cast<std::int16_t>((v[i] * 7919 + i * 131) % 65536 - 32768);
    FUZZ_CHECK(Img3DIntensityStats(labels.data(), IMG3D_INT64, grey.data(), IMG3D_INT16, g.width, g.height, g.depth,
                                   n, stats.data()) == 0);
    const auto e = ref::label_stats(labels, std::vector<double>(grey.begin(), grey.end()), n);
    for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k) {
        FUZZ_CHECK(stats[k].count == e[k].count && stats[k].minimum == e[k].minimum && stats[k].maximum == e[k].maximum);
        FUZZ_CHECK(std::fabs(stats[k].mean - e[k].mean) <= 1e-12 * std::fabs(e[k].mean) + 1e-300);
        FUZZ_CHECK(std::fabs(stats[k].deviation - e[k].deviation) <= 1e-9);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    img3d::fuzz::Input in(data, size);
    const int selector = in.byte() % 5;
    static const int kConnectivities[] = {6, 18, 26};
    const int connectivity = kConnectivities[in.byte() % 3];
    const int value = 2 + in.byte() % 2;
    unsigned char*** volume = in.volume(10, {0, 2, 3}, 70);
    const Grid g{Image3DGetWidth(volume), Image3DGetHeight(volume), Image3DGetDepth(volume)};
    const Bytes v = img3d::fuzz::voxels_of(volume);
    Image3DFree(volume);
    switch (selector) {
        case 0: morphology(in, g, v, value, connectivity); break;
        case 1: fill_holes(in, g, v, value, connectivity); break;
        case 2: size_selection(in, g, v, value, connectivity); break;
        default: label_all_and_stats(g, v, connectivity); break;
    }
    return 0;
}
