// Binary morphology, hole filling and size selection on raw memory against
// the naive references, on seeded random masks of the odd shapes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>

#include "objects/piece_labels.h"
#include "reference_finishing.h"
#include "test_support.h"

namespace {

namespace ref = img3d::reference;
using img3d::test::Grid;
using Bytes = std::vector<std::uint8_t>;

constexpr int kValue = 7, kBackground = 2, kPaint = 9;
constexpr int kConnectivities[] = {6, 18, 26};
constexpr double kDensities[] = {0.05, 0.5, 0.95};

// Every odd shape at every density, with a grey value (3) that is neither
// value nor zero sprinkled in.
template <class Check>
void for_each_mask(unsigned seed, Check check) {
    std::mt19937 rng(seed);
    for (const Grid& g : img3d::test::odd_shapes())
        for (double density : kDensities) {
            Bytes v = ref::random_mask(g, density, kValue, rng);
            for (std::size_t i = 0; i < v.size(); i += 11) v[i] = v[i] == 0 ? 3 : v[i];
            SCOPED_TRACE(testing::Message() << g.width << "x" << g.height << "x" << g.depth << " " << density);
            check(g, v);
        }
}

// for_each_mask, each mask checked on the kernels numbered in 32-bit indices
// and on those in 64-bit ones, which otherwise only arrays of 2^31 voxels
// and more reach.
template <class Check>
void for_each_mask_and_index_width(unsigned seed, Check check) {
    for_each_mask(seed, [&](const Grid& g, const Bytes& v) {
        for (bool wide : {false, true}) {
            SCOPED_TRACE(wide ? "64-bit indices" : "32-bit indices");
            img3d::detail::test_wide_indices(wide);
            check(g, v);
        }
        img3d::detail::test_wide_indices(false);
    });
}

using Morph = int (*)(const std::uint8_t*, std::uint8_t*, std::int64_t, std::int64_t, std::int64_t, int, int, int, int);

TEST(BinaryMorphology, MatchesTheElementwiseReference) {
    struct Case {
        Morph f;
        bool first_dilates;
        bool composed;
    };
    const Case cases[] = {{Img3DBinaryDilate, true, false},
                          {Img3DBinaryErode, false, false},
                          {Img3DBinaryOpen, false, true},
                          {Img3DBinaryClose, true, true}};
    for_each_mask(1, [&](const Grid& g, const Bytes& v) {
        for (const Case& c : cases)
            for (int connectivity : kConnectivities)
                for (int iterations : {1, 2}) {
                    Bytes set = ref::set_of(v, kValue);
                    for (int i = 0; i < iterations; ++i) set = ref::morph_step(g, set, connectivity, c.first_dilates);
                    for (int i = 0; c.composed && i < iterations; ++i)
                        set = ref::morph_step(g, set, connectivity, !c.first_dilates);
                    Bytes out(v.size(), 0), in_place = v;
                    ASSERT_EQ(c.f(v.data(), out.data(), g.width, g.height, g.depth, kValue, kBackground, connectivity,
                                  iterations),
                              0);
                    ASSERT_EQ(out, ref::paint_set(set, kValue, kBackground)) << connectivity << " " << iterations;
                    c.f(in_place.data(), in_place.data(), g.width, g.height, g.depth, kValue, kBackground, connectivity,
                        iterations);
                    ASSERT_EQ(in_place, out);
                }
    });
}

TEST(FillHoles, MatchesTheFloodFromTheBorder) {
    for_each_mask_and_index_width(2, [&](const Grid& g, const Bytes& v) {
        for (int connectivity : kConnectivities)
            for (int axis = -1; axis <= 2; ++axis) {
                const Bytes set = ref::set_of(v, kValue);
                const Bytes expected = ref::paint_set(ref::fill_holes(g, set, connectivity, axis), kValue, kBackground);
                Bytes out(v.size(), 0);
                ASSERT_GE(Img3DFillHoles(v.data(), out.data(), g.width, g.height, g.depth, kValue, kBackground,
                                         connectivity, axis),
                          0);
                ASSERT_EQ(out, expected) << connectivity << " axis " << axis;
            }
    });
}

TEST(FillHoles, CountsTheHolesOfAHollowCube) {
    Grid g(7, 7, 7, Bytes(343, 0));
    for (int z = 1; z < 6; ++z)
        for (int y = 1; y < 6; ++y)
            for (int x = 1; x < 6; ++x) g.at(x, y, z) = 1;
    g.at(3, 3, 3) = 0;  // a 3-D hole of one voxel
    g.at(2, 2, 2) = 0;  // and another, touching the first at a corner only
    Bytes out(g.size());
    EXPECT_EQ(Img3DFillHoles(g.voxels.data(), out.data(), 7, 7, 7, 1, 0, 6, -1), 2);
    EXPECT_EQ(Img3DFillHoles(g.voxels.data(), out.data(), 7, 7, 7, 1, 0, 26, -1), 1);
    EXPECT_EQ(Img3DFillHoles(g.voxels.data(), out.data(), 7, 7, 7, 1, 0, 6, 0), 2);
}

// The reference's pieces of the set, with their sizes.
struct Pieces {
    std::vector<std::int64_t> label;
    std::vector<std::int64_t> size;  // index 0 unused
};
Pieces pieces_of(const Grid& g, const Bytes& v, int connectivity) {
    const Bytes set = ref::set_of(v, kValue);
    Pieces p;
    std::int64_t n = 0;
    p.label = ref::label_all(g, std::vector<std::int64_t>(set.begin(), set.end()), connectivity, &n);
    p.size.assign(static_cast<std::size_t>(n) + 1, 0);
    for (std::int64_t l : p.label) ++p.size[static_cast<std::size_t>(l)];
    return p;
}

Bytes painted(const Bytes& v, const Pieces& p, const std::vector<bool>& keep) {
    Bytes out = v;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (p.label[i] != 0 && !keep[static_cast<std::size_t>(p.label[i])]) out[i] = kPaint;
    return out;
}

TEST(SizeSelection, KeepsTheLargestAndTheSizesInRange) {
    for_each_mask_and_index_width(3, [&](const Grid& g, const Bytes& v) {
        for (int connectivity : kConnectivities) {
            const Pieces p = pieces_of(g, v, connectivity);
            const auto n = static_cast<std::int64_t>(p.size.size()) - 1;
            std::vector<std::int64_t> order(static_cast<std::size_t>(n));
            std::iota(order.begin(), order.end(), 1);
            std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
                return p.size[static_cast<std::size_t>(a)] > p.size[static_cast<std::size_t>(b)];
            });
            for (std::int64_t k : {std::int64_t{0}, std::int64_t{1}, std::int64_t{3}, n, n + 1}) {
                std::vector<bool> keep(p.size.size(), false);
                for (std::int64_t i = 0; i < std::min(k, n); ++i) keep[static_cast<std::size_t>(order[i])] = true;
                Bytes out(v.size());
                ASSERT_EQ(
                    Img3DKeepLargest(v.data(), out.data(), g.width, g.height, g.depth, kValue, connectivity, k, kPaint),
                    std::max<std::int64_t>(n - k, 0));
                ASSERT_EQ(out, painted(v, p, keep)) << connectivity << " keep " << k;
            }
            for (auto [lo, hi] : {std::pair<std::int64_t, std::int64_t>{2, INT64_MAX}, {1, 3}, {5, 4}}) {
                std::vector<bool> keep(p.size.size(), false);
                std::int64_t removed = 0;
                for (std::size_t l = 1; l < p.size.size(); ++l) {
                    keep[l] = p.size[l] >= lo && p.size[l] <= hi;
                    removed += !keep[l];
                }
                Bytes out = v;
                ASSERT_EQ(Img3DRemoveBySize(out.data(), out.data(), g.width, g.height, g.depth, kValue, connectivity,
                                            lo, hi, kPaint),
                          removed);
                ASSERT_EQ(out, painted(v, p, keep)) << connectivity << " " << lo << " ... " << hi;
            }
        }
    });
}

// Rows of whole 64-voxel words, where a run can reach the row's end with no
// partial word to close it; the fill in place.
TEST(FillHolesAndSizeSelection, RowsOfWholeWords) {
    std::mt19937 rng(6);
    const Grid g(128, 6, 5);
    for (double density : {0.5, 0.95}) {
        const Bytes v = ref::random_mask(g, density, kValue, rng);
        for (int connectivity : kConnectivities) {
            Bytes filled = v;
            ASSERT_GE(Img3DFillHoles(filled.data(), filled.data(), 128, 6, 5, kValue, kBackground, connectivity, -1),
                      0);
            ASSERT_EQ(filled, ref::paint_set(ref::fill_holes(g, ref::set_of(v, kValue), connectivity, -1), kValue,
                                             kBackground));
            const Pieces p = pieces_of(g, v, connectivity);
            std::vector<bool> keep(p.size.size());
            for (std::size_t l = 1; l < p.size.size(); ++l) keep[l] = p.size[l] >= 3;
            Bytes out(v.size());
            ASSERT_GE(Img3DRemoveBySize(v.data(), out.data(), 128, 6, 5, kValue, connectivity, 3, INT64_MAX, kPaint),
                      0);
            ASSERT_EQ(out, painted(v, p, keep)) << density << " " << connectivity;
        }
    }
}

TEST(FinishingRefusals, WriteNothing) {
    Bytes v(60, kValue), out(60, 42);
    const Bytes untouched = out;
    for (Morph f : {Img3DBinaryDilate, Img3DBinaryErode, Img3DBinaryOpen, Img3DBinaryClose}) {
        EXPECT_EQ(f(nullptr, out.data(), 5, 4, 3, kValue, 0, 6, 1), -1);
        EXPECT_EQ(f(v.data(), nullptr, 5, 4, 3, kValue, 0, 6, 1), -1);
        EXPECT_EQ(f(v.data(), out.data(), 0, 4, 3, kValue, 0, 6, 1), -1);
        EXPECT_EQ(f(v.data(), out.data(), 5, -4, 3, kValue, 0, 6, 1), -1);
        EXPECT_EQ(f(v.data(), out.data(), INT64_MAX, INT64_MAX, 3, kValue, 0, 6, 1), -1);
        EXPECT_EQ(f(v.data(), out.data(), 5, 4, 3, kValue, 0, 8, 1), -1);
        EXPECT_EQ(f(v.data(), out.data(), 5, 4, 3, kValue, 0, 6, 0), -1);
    }
    EXPECT_EQ(Img3DFillHoles(v.data(), out.data(), 5, 4, 3, kValue, 0, 4, -1), -1);
    EXPECT_EQ(Img3DFillHoles(v.data(), out.data(), 5, 4, 3, kValue, 0, 6, 3), -1);
    EXPECT_EQ(Img3DFillHoles(v.data(), out.data(), 5, 4, 3, kValue, 0, 6, -2), -1);
    EXPECT_EQ(Img3DFillHoles(nullptr, out.data(), 5, 4, 3, kValue, 0, 6, -1), -1);
    EXPECT_EQ(Img3DKeepLargest(v.data(), out.data(), 5, 4, 3, kValue, 6, -1, kPaint), -1);
    EXPECT_EQ(Img3DKeepLargest(v.data(), out.data(), 5, 4, 3, kValue, 6, 1, kValue + 256), -1);
    EXPECT_EQ(Img3DKeepLargest(v.data(), out.data(), 5, 4, 3, kValue, 0, 1, kPaint), -1);
    EXPECT_EQ(Img3DRemoveBySize(v.data(), nullptr, 5, 4, 3, kValue, 6, 1, 2, kPaint), -1);
    EXPECT_EQ(Img3DRemoveBySize(v.data(), out.data(), 5, 4, 0, kValue, 6, 1, 2, kPaint), -1);
    EXPECT_EQ(Img3DRemoveBySize(v.data(), out.data(), 5, 4, 3, kValue, 6, 1, 2, kValue), -1);
    EXPECT_EQ(out, untouched);
}

// Every refused allocation gives -1 with the destination untouched; the
// walk ends with the full result.
TEST(FinishingFailure, RefusedMemoryWritesNothing) {
    std::mt19937 rng(4);
    const Grid g(37, 9, 6);
    const Bytes v = ref::random_mask(g, 0.5, kValue, rng);
    using Call = std::function<std::int64_t(std::uint8_t*)>;
    const Call calls[] = {
        [&](std::uint8_t* out) { return Img3DBinaryClose(v.data(), out, 37, 9, 6, kValue, 0, 18, 2); },
        [&](std::uint8_t* out) { return Img3DFillHoles(v.data(), out, 37, 9, 6, kValue, 0, 6, -1); },
        [&](std::uint8_t* out) { return Img3DFillHoles(v.data(), out, 37, 9, 6, kValue, 0, 26, 1); },
        [&](std::uint8_t* out) { return Img3DKeepLargest(v.data(), out, 37, 9, 6, kValue, 6, 3, kPaint); },
        [&](std::uint8_t* out) { return Img3DRemoveBySize(v.data(), out, 37, 9, 6, kValue, 26, 2, 9, kPaint); },
    };
    for (const Call& call : calls) {
        Bytes full(v.size(), 42);
        const std::int64_t expected = call(full.data());
        ASSERT_GE(expected, 0);
        Bytes out;
        const long runs = img3d::test::walk_allocation_failures(
            [&] {
                out.assign(v.size(), 42);
                return call(out.data());
            },
            [&](std::int64_t result, bool failed) {
                if (failed) {
                    ASSERT_EQ(result, -1);
                    ASSERT_EQ(out, Bytes(v.size(), 42));
                } else {
                    ASSERT_EQ(result, expected);
                    ASSERT_EQ(out, full);
                }
            });
        EXPECT_GT(runs, 1);
    }
}

}  // namespace
