#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "reference_threshold.h"
#include "test_support.h"

namespace {

using img3d::test::count_levels;
using img3d::test::Histogram;
using img3d::test::odd_shapes;
using img3d::test::reference_otsu;
using img3d::test::reference_two_mode;
using img3d::test::Grid;
using img3d::test::Volume;

// The histogram as the functions on histograms take it.
std::array<std::int64_t, 256> wide(const Histogram& h, std::int64_t scale = 1) {
    std::array<std::int64_t, 256> counts{};
    for (int i = 0; i < 256; ++i) counts[i] = h[i] * scale;
    return counts;
}

// A volume holding count voxels of each (value, count) pair, in storage order.
Volume volume_of(const Grid& shape, const std::vector<std::pair<int, int>>& levels) {
    Volume v(shape.width, shape.height, shape.depth);
    std::vector<std::uint8_t> voxels;
    for (auto [value, count] : levels) voxels.insert(voxels.end(), static_cast<std::size_t>(count),
                                                     static_cast<std::uint8_t>(value));
    EXPECT_EQ(voxels.size(), v.size());
    v.assign(voxels);
    return v;
}

// Histogram shapes the thresholds meet: flat noise, two Gaussian modes,
// three spikes, spikes placed symmetrically (exactly tied splits), a single
// grey value.
enum class Family { uniform, two_modes, three_spikes, symmetric_spikes, single_value };
constexpr Family kFamilies[] = {Family::uniform, Family::two_modes, Family::three_spikes,
                                Family::symmetric_spikes, Family::single_value};

// Fills the volume with voxels drawn from one family with random parameters.
void fill(const Volume& v, Family family, std::mt19937& rng) {
    auto level = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<int> values;
    std::vector<double> weights;
    switch (family) {
        case Family::uniform:
            for (int i = 0; i < 256; ++i) values.push_back(i), weights.push_back(1.0);
            break;
        case Family::two_modes: {
            const double mean[2] = {double(level(0, 150)), double(level(100, 255))};
            const double sd[2] = {1.0 + level(0, 30), 1.0 + level(0, 30)};
            const double share = 0.1 + 0.8 * std::uniform_real_distribution<double>()(rng);
            for (int i = 0; i < 256; ++i) {
                values.push_back(i);
                const double a = (i - mean[0]) / sd[0], b = (i - mean[1]) / sd[1];
                weights.push_back(share * std::exp(-a * a / 2) / sd[0] +
                                  (1 - share) * std::exp(-b * b / 2) / sd[1]);
            }
            break;
        }
        case Family::three_spikes:
            for (int i = 0; i < 3; ++i) values.push_back(level(0, 255)), weights.push_back(level(1, 10));
            break;
        case Family::symmetric_spikes: {
            const int mid = level(1, 254), d = level(1, std::min(mid, 255 - mid));
            values = {mid - d, mid, mid + d};
            const double outer = level(1, 10);
            weights = {outer, double(level(1, 10)), outer};
            break;
        }
        case Family::single_value:
            values.push_back(level(0, 255)), weights.push_back(1.0);
            break;
    }
    std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
    for (std::size_t i = 0; i < v.size(); ++i) v.data()[i] = static_cast<unsigned char>(values[pick(rng)]);
}

TEST(OtsuThreshold, DocumentedLevels) {
    for (int value : {0, 1, 77, 254, 255}) {
        for (const Grid& s : {Grid{1, 1, 1}, Grid{7, 5, 3}}) {
            Volume v(s.width, s.height, s.depth);
            Img3DClear(v, value);
            EXPECT_EQ(Img3DDaJinThreshold(v), 255) << value;
        }
    }
    const Grid cube{4, 4, 4};
    EXPECT_EQ(Img3DDaJinThreshold(volume_of(cube, {{10, 32}, {200, 32}})), 199);
    EXPECT_EQ(Img3DDaJinThreshold(volume_of(cube, {{200, 32}, {10, 32}})), 199);
    EXPECT_EQ(Img3DDaJinThreshold(volume_of(cube, {{10, 48}, {200, 16}})), 199);
    EXPECT_EQ(Img3DDaJinThreshold(volume_of(cube, {{0, 32}, {255, 32}})), 254);
    EXPECT_EQ(Img3DDaJinThreshold(volume_of(cube, {{10, 20}, {100, 24}, {200, 20}})), 199);
}

TEST(TwoModeThreshold, DocumentedLevels) {
    for (int value : {0, 1, 77, 254, 255}) {
        Volume v(7, 5, 3);
        Img3DClear(v, value);
        EXPECT_EQ(Img3D2ModeThreshold(v), 0) << value;
    }
    const Grid cube{4, 4, 4};
    EXPECT_EQ(Img3D2ModeThreshold(volume_of(cube, {{10, 32}, {200, 32}})), 12);
    EXPECT_EQ(Img3D2ModeThreshold(volume_of(cube, {{0, 32}, {255, 32}})), 2);
    EXPECT_EQ(Img3D2ModeThreshold(volume_of(cube, {{10, 20}, {100, 24}, {200, 20}})), 12);
    // Counts 1, 1, 0 at levels 2, 3, 4 smooth to 0 at level 3 and at 2, so
    // candidate 2 already scores 15 * 10; rounding instead of truncating
    // would give level 2 a height of 1 and move the result to 4.
    EXPECT_EQ(Img3D2ModeThreshold(volume_of({31, 2, 1}, {{0, 30}, {2, 1}, {3, 1}, {100, 30}})), 2);
    // Single-moded histograms, rising and falling with flat stretches.
    Histogram h{};
    for (int i = 40; i < 120; ++i) h[i] = std::min(i - 39, 30);
    for (int i = 120; i < 200; ++i) h[i] = std::max(200 - i, 5) / 5 * 5;
    EXPECT_EQ(Img3DHistogram2ModeThreshold(wide(h).data()), 0);
}

// Splits on both sides of a symmetric histogram score the same variance in
// exact arithmetic; which one wins is decided by double rounding alone.
// These levels are what IEEE double in the defined order gives, on every
// target (x87 extended precision picks the other side of most of them).
TEST(OtsuThreshold, TiedSplitsResolveAlikeOnEveryTarget) {
    struct Case {
        int mid, offset, outer, centre, level;
    };
    const Case cases[] = {
        {100, 3, 1, 1, 102},   {100, 3, 14, 1, 99},  {100, 14, 1, 1, 113},  {100, 14, 14, 18, 99},
        {100, 25, 40, 1, 124}, {100, 25, 14, 52, 99}, {100, 36, 53, 35, 135}, {100, 36, 27, 52, 99},
    };
    for (const Case& c : cases) {
        const int n = 2 * c.outer + c.centre;
        const Volume v = volume_of(
            {n, 1, 1}, {{c.mid - c.offset, c.outer}, {c.mid, c.centre}, {c.mid + c.offset, c.outer}});
        EXPECT_EQ(Img3DDaJinThreshold(v), c.level) << c.mid << " " << c.offset << " " << c.outer;
        EXPECT_EQ(reference_otsu(count_levels(v)), c.level);
    }
}

// Mirror-image histograms put exact ties everywhere; any change in the order
// or rounding of the arithmetic shows up on a few percent of them.
TEST(OtsuThreshold, AgreesWithReferenceOnSymmetricHistograms) {
    std::mt19937 rng(3);
    for (int round = 0; round < 1500; ++round) {
        Histogram h{};
        const int mid = 1 + static_cast<int>(rng() % 254);
        const int reach = std::min(mid, 255 - mid);
        const int pairs = 1 + static_cast<int>(rng() % 5);
        const int most = round % 2 ? 3000000 : 30;
        for (int i = 0; i < pairs; ++i) {
            const int d = static_cast<int>(rng() % (reach + 1));
            const int count = 1 + static_cast<int>(rng() % most);
            h[mid - d] += count;
            if (d) h[mid + d] += count;
        }
        ASSERT_EQ(Img3DHistogramDaJinThreshold(wide(h).data()), reference_otsu(h)) << round;
    }
}

TEST(ThresholdSelection, AgreeWithReferencesOnRandomVolumes) {
    std::mt19937 rng(4);
    for (int round = 0; round < 3; ++round) {
        for (Family family : kFamilies) {
            for (const Grid& s : odd_shapes()) {
                SCOPED_TRACE(testing::Message() << "family " << static_cast<int>(family) << ", "
                                                << s.width << "x" << s.height << "x" << s.depth);
                Volume v(s.width, s.height, s.depth);
                fill(v, family, rng);
                const Histogram histogram = count_levels(v);
                const int otsu = Img3DDaJinThreshold(v);
                const int two_mode = Img3D2ModeThreshold(v);
                ASSERT_EQ(otsu, reference_otsu(histogram));
                ASSERT_EQ(two_mode, reference_two_mode(histogram));
                ASSERT_EQ(Img3DHistogramDaJinThreshold(wide(histogram).data()), otsu);
                ASSERT_EQ(Img3DHistogram2ModeThreshold(wide(histogram).data()), two_mode);
                EXPECT_GE(two_mode, 0);
                EXPECT_LE(two_mode, 254);
                EXPECT_EQ(count_levels(v), histogram);  // only read

                // Only the histogram counts, not where the voxels lie.
                auto voxels = v.voxels();
                std::shuffle(voxels.begin(), voxels.end(), rng);
                v.assign(voxels);
                EXPECT_EQ(Img3DDaJinThreshold(v), otsu);
                EXPECT_EQ(Img3D2ModeThreshold(v), two_mode);
            }
        }
    }
}

// Counts near the voxel limit, valley scores far past 32 bits and levels
// with tiny probabilities; then the same histograms scaled by 2^k, up to
// sums near 2^63, where the two-mode scores pass 64 bits.  Scaling by a
// power of two changes no probability of Otsu's computation, and scales
// the two-mode smoothing exactly (so every score by the same square) when
// the counts are multiples of 6.
TEST(ThresholdSelection, AgreeWithReferencesOnLargeCounts) {
    std::mt19937 rng(5), shifts(6);
    Volume sample(64, 8, 8);  // 4096 voxels, scaled up below
    for (int round = 0; round < 20; ++round) {
        for (Family family : kFamilies) {
            fill(sample, family, rng);
            const Histogram small = count_levels(sample);
            const int scale = std::uniform_int_distribution<int>(1 << 10, (1 << 19) - 1)(rng);
            Histogram h{}, sixes{};
            std::int64_t total = 0;
            for (int i = 0; i < 256; ++i) {
                h[i] = small[i] * scale + (small[i] ? static_cast<int>(rng() % scale) : 0);
                sixes[i] = h[i] / 6 * 6;
                total += h[i];
            }
            ASSERT_LT(total, std::int64_t{1} << 31);
            const int shift = std::uniform_int_distribution<int>(1, 32)(shifts);
            SCOPED_TRACE(testing::Message()
                         << "family " << static_cast<int>(family) << ", scale " << scale << ", shift " << shift);
            EXPECT_EQ(Img3DHistogramDaJinThreshold(wide(h).data()), reference_otsu(h));
            EXPECT_EQ(Img3DHistogram2ModeThreshold(wide(h).data()), reference_two_mode(h));
            EXPECT_EQ(Img3DHistogramDaJinThreshold(wide(h, std::int64_t{1} << shift).data()), reference_otsu(h));
            EXPECT_EQ(Img3DHistogram2ModeThreshold(wide(sixes, std::int64_t{1} << shift).data()),
                      reference_two_mode(sixes));
        }
    }
}

}  // namespace
