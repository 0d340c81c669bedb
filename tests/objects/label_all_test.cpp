// Labelling of every value and per-label intensity statistics against the
// breadth-first and two-pass references.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "objects/intensity_moments.h"
#include "reference_finishing.h"
#include "test_support.h"

namespace {

namespace ref = img3d::reference;
using img3d::test::Grid;

// Values from a few classes, each voxel repeating its left neighbour with
// probability `runs` so pieces have length along x as well as noise.
template <class T>
std::vector<T> random_values(const Grid& g, int classes, double runs, std::mt19937& rng) {
    std::uniform_int_distribution<int> pick(0, classes - 1);
    std::bernoulli_distribution repeat(runs);
    std::vector<T> v(g.size());
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = i % g.width != 0 && repeat(rng) ? v[i - 1] : static_cast<T>(pick(rng) * 1000 - 2000);
    return v;
}

template <class T, class L>
void check_label_all(Img3DType type, Img3DType label_type, unsigned seed) {
    std::mt19937 rng(seed);
    for (const Grid& g : img3d::test::odd_shapes())
        for (int classes : {2, 5})
            for (double runs : {0.0, 0.8})
                for (int connectivity : {6, 18, 26}) {
                    auto values = random_values<T>(g, classes, runs, rng);
                    std::vector<std::int64_t> wide(values.begin(), values.end());
                    std::int64_t n = 0;
                    const auto expected = ref::label_all(g, wide, connectivity, &n);
                    std::vector<L> labels(g.size(), -3);
                    std::vector<std::int64_t> piece_values(static_cast<std::size_t>(n) + 1, -9);
                    const std::int64_t capacity = n > 2 ? n - 1 : n;
                    ASSERT_EQ(Img3DLabelAll(values.data(), type, g.width, g.height, g.depth, connectivity,
                                            labels.data(), label_type, piece_values.data(), capacity),
                              n);
                    ASSERT_EQ(std::vector<std::int64_t>(labels.begin(), labels.end()), expected);
                    for (std::size_t i = 0; i < expected.size(); ++i)
                        if (expected[i] != 0 && expected[i] <= capacity)
                            ASSERT_EQ(piece_values[static_cast<std::size_t>(expected[i] - 1)], wide[i]);
                    ASSERT_EQ(piece_values[static_cast<std::size_t>(capacity)], -9);
                }
}

TEST(LabelAll, MatchesTheBreadthFirstLabelling) {
    check_label_all<std::uint8_t, std::int32_t>(IMG3D_UINT8, IMG3D_INT32, 1);
    check_label_all<std::int16_t, std::int64_t>(IMG3D_INT16, IMG3D_INT64, 2);
    check_label_all<std::uint16_t, std::int32_t>(IMG3D_UINT16, IMG3D_INT32, 3);
    check_label_all<std::int32_t, std::int64_t>(IMG3D_INT32, IMG3D_INT64, 4);
}

template <class G, class L>
void check_stats(Img3DType grey_type, Img3DType label_type, double low, double high, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> grey_value(low, high);
    for (const Grid& g : img3d::test::odd_shapes()) {
        auto labels = random_values<L>(g, 6, 0.7, rng);
        for (auto& l : labels) l = static_cast<L>(l / 1000 + 3);  // -1 ... 6
        std::vector<G> grey(g.size());
        for (auto& v : grey) v = static_cast<G>(grey_value(rng));
        const std::int64_t count = 5;  // label 6 lies beyond the count
        std::vector<Img3DIntensity> stats(count + 1);
        std::int64_t outside = 0;
        for (L l : labels) outside += l < 0 || l > count;
        ASSERT_EQ(Img3DIntensityStats(labels.data(), label_type, grey.data(), grey_type, g.width, g.height, g.depth,
                                      count, stats.data()),
                  outside);
        const auto expected = ref::label_stats(std::vector<std::int64_t>(labels.begin(), labels.end()),
                                               std::vector<double>(grey.begin(), grey.end()), count);
        const bool floating = grey_type == IMG3D_FLOAT32;
        for (std::int64_t k = 0; k < count; ++k) {
            const Img3DIntensity& s = stats[static_cast<std::size_t>(k)];
            const ref::Stats& e = expected[static_cast<std::size_t>(k)];
            ASSERT_EQ(s.count, e.count);
            if (e.count == 0) {
                ASSERT_TRUE(std::isnan(s.mean) && std::isnan(s.deviation));
                ASSERT_TRUE(floating ? std::isnan(s.minimum) : s.minimum == 0);
                continue;
            }
            ASSERT_NEAR(s.mean, e.mean, 1e-12 * std::fabs(e.mean) + 1e-300);
            ASSERT_NEAR(s.deviation, e.deviation, 1e-9);
            ASSERT_EQ(s.minimum, e.minimum);
            ASSERT_EQ(s.maximum, e.maximum);
            if (!floating) ASSERT_EQ(static_cast<double>(s.integerSum), s.sum);
        }
    }
}

TEST(IntensityStats, MatchesTheTwoPassReference) {
    check_stats<std::uint8_t, std::int32_t>(IMG3D_UINT8, IMG3D_INT32, 0, 256, 1);
    check_stats<std::int16_t, std::int64_t>(IMG3D_INT16, IMG3D_INT64, -32768, 32768, 2);
    check_stats<std::uint16_t, std::int32_t>(IMG3D_UINT16, IMG3D_INT32, 60000, 65536, 3);
    check_stats<float, std::int64_t>(IMG3D_FLOAT32, IMG3D_INT64, 1000, 1001, 4);
}

// Labels of 2^32 voxels and more, by their sums: groups of (value, voxels),
// the deviation against the two-pass formula in long double.
TEST(IntensityStats, DeviationOfLabelsOfAnySize) {
    using Groups = std::vector<std::pair<std::int64_t, std::int64_t>>;
    for (std::int64_t count : {(std::int64_t{1} << 32) - 1, std::int64_t{1} << 32, (std::int64_t{1} << 41) + 3}) {
        const Groups cases[] = {{{200, count}},
                                {{-32768, count}},
                                {{7, count - 1}, {8, 1}},
                                {{65535, count - 3}, {0, 3}},
                                {{-5, count / 3}, {100, count / 3}, {-32768, count - 2 * (count / 3)}},
                                {{40000, count / 2}, {40001, count - count / 2}}};
        for (const Groups& groups : cases) {
            std::int64_t sum = 0;
            img3d::detail::U128 squares{0, 0};
            long double exact_sum = 0;
            for (auto [value, voxels] : groups) {
                sum += value * voxels;
                exact_sum += static_cast<long double>(value) * voxels;
                squares = img3d::detail::add(squares, img3d::detail::multiply(static_cast<std::uint64_t>(value * value),
                                                                              static_cast<std::uint64_t>(voxels)));
            }
            const long double mean = exact_sum / count;
            long double spread = 0;
            for (auto [value, voxels] : groups) spread += voxels * (value - mean) * (value - mean);
            const double expected = static_cast<double>(std::sqrt(spread / count));
            EXPECT_NEAR(img3d::detail::integer_deviation(count, sum, squares), expected, 1e-12 * expected)
                << count << " voxels, " << groups.size() << " values from " << groups[0].first;
        }
    }
}

TEST(LabelAllAndStatsRefusals, WriteNothing) {
    std::vector<std::uint8_t> v(24, 1);
    std::vector<std::int32_t> labels(24, -7);
    std::vector<std::int64_t> values(4, -7);
    EXPECT_EQ(Img3DLabelAll(nullptr, IMG3D_UINT8, 4, 3, 2, 6, labels.data(), IMG3D_INT32, nullptr, 0), -1);
    EXPECT_EQ(Img3DLabelAll(v.data(), IMG3D_UINT8, 4, 3, 2, 6, nullptr, IMG3D_INT32, nullptr, 0), -1);
    EXPECT_EQ(Img3DLabelAll(v.data(), IMG3D_FLOAT32, 4, 3, 2, 6, labels.data(), IMG3D_INT32, nullptr, 0), -1);
    EXPECT_EQ(Img3DLabelAll(v.data(), IMG3D_UINT8, 4, 3, 2, 6, labels.data(), IMG3D_UINT16, nullptr, 0), -1);
    EXPECT_EQ(Img3DLabelAll(v.data(), IMG3D_UINT8, 4, 3, 0, 6, labels.data(), IMG3D_INT32, nullptr, 0), -1);
    EXPECT_EQ(Img3DLabelAll(v.data(), IMG3D_UINT8, 4, 3, 2, 7, labels.data(), IMG3D_INT32, nullptr, 0), -1);
    EXPECT_EQ(Img3DLabelAll(v.data(), IMG3D_UINT8, 4, 3, 2, 6, labels.data(), IMG3D_INT32, values.data(), -1), -1);
    EXPECT_EQ(Img3DLabelAll(v.data(), IMG3D_UINT8, 1 << 16, 1 << 16, 1, 6, labels.data(), IMG3D_INT32, nullptr, 0),
              -1);
    EXPECT_EQ(labels, std::vector<std::int32_t>(24, -7));
    EXPECT_EQ(values, std::vector<std::int64_t>(4, -7));

    std::vector<Img3DIntensity> stats(2);
    stats[0].count = -7;
    EXPECT_EQ(Img3DIntensityStats(nullptr, IMG3D_INT32, v.data(), IMG3D_UINT8, 4, 3, 2, 2, stats.data()), -1);
    EXPECT_EQ(Img3DIntensityStats(labels.data(), IMG3D_INT32, nullptr, IMG3D_UINT8, 4, 3, 2, 2, stats.data()), -1);
    EXPECT_EQ(Img3DIntensityStats(labels.data(), IMG3D_INT32, v.data(), IMG3D_UINT8, 4, 3, 2, 2, nullptr), -1);
    EXPECT_EQ(Img3DIntensityStats(labels.data(), IMG3D_INT32, v.data(), IMG3D_UINT8, 4, 3, 2, -1, stats.data()), -1);
    EXPECT_EQ(Img3DIntensityStats(labels.data(), IMG3D_INT16, v.data(), IMG3D_UINT8, 4, 3, 2, 2, stats.data()), -1);
    EXPECT_EQ(Img3DIntensityStats(labels.data(), IMG3D_INT32, v.data(), IMG3D_INT32, 4, 3, 2, 2, stats.data()), -1);
    EXPECT_EQ(Img3DIntensityStats(labels.data(), IMG3D_INT32, v.data(), IMG3D_UINT8, 4, -3, 2, 2, stats.data()), -1);
    EXPECT_EQ(stats[0].count, -7);
    EXPECT_EQ(Img3DIntensityStats(labels.data(), IMG3D_INT32, v.data(), IMG3D_UINT8, 4, 3, 2, 0, nullptr), 24);
}

TEST(LabelAllAndStatsFailure, RefusedMemoryWritesNothing) {
    std::mt19937 rng(5);
    const Grid g(33, 7, 5);
    const auto values = random_values<std::uint16_t>(g, 3, 0.5, rng);
    std::vector<std::int64_t> labels;
    img3d::test::walk_allocation_failures(
        [&] {
            labels.assign(g.size(), -7);
            return Img3DLabelAll(values.data(), IMG3D_UINT16, 33, 7, 5, 18, labels.data(), IMG3D_INT64, nullptr, 0);
        },
        [&](std::int64_t n, bool failed) {
            if (failed) {
                ASSERT_EQ(n, -1);
                ASSERT_EQ(labels, std::vector<std::int64_t>(g.size(), -7));
            } else {
                ASSERT_GT(n, 0);
            }
        });
    std::vector<Img3DIntensity> stats;
    std::int64_t outside = 0;
    for (std::int64_t l : labels) outside += l > 4;
    for (Img3DType grey : {IMG3D_UINT16, IMG3D_FLOAT32}) {
        const std::vector<float> floats(g.size(), 2.5f);
        const void* grey_data = grey == IMG3D_FLOAT32 ? static_cast<const void*>(floats.data()) : values.data();
        img3d::test::walk_allocation_failures(
            [&] {
                stats.assign(4, Img3DIntensity{-7, 0, 0, 0, 0, 0, 0});
                return Img3DIntensityStats(labels.data(), IMG3D_INT64, grey_data, grey, 33, 7, 5, 4, stats.data());
            },
            [&](std::int64_t r, bool failed) {
                ASSERT_EQ(r, failed ? -1 : outside);
                ASSERT_EQ(stats[0].count == -7, failed);
            });
    }
}

}  // namespace
