#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "test_support.h"

namespace {

using img3d::test::odd_shapes;
using img3d::test::random_volume;
using img3d::test::Volume;

void expect_statistics_match(const Volume& v) {
    const auto voxels = v.voxels();
    int reference[256] = {};
    std::int64_t sum = 0;
    for (auto x : voxels) {
        ++reference[x];
        sum += x;
    }
    int histogram[256];
    std::fill(std::begin(histogram), std::end(histogram), -77);  // stale contents go
    ASSERT_EQ(Img3DHisto(v, histogram), 0);
    for (int b = 0; b < 256; ++b) ASSERT_EQ(histogram[b], reference[b]) << b;
    EXPECT_EQ(Img3DMean(v), static_cast<int>(sum / static_cast<std::int64_t>(voxels.size())));
    int maximum = -1, minimum = -1;
    ASSERT_EQ(Img3DLimit(v, &maximum, &minimum), 0);
    EXPECT_EQ(maximum, *std::max_element(voxels.begin(), voxels.end()));
    EXPECT_EQ(minimum, *std::min_element(voxels.begin(), voxels.end()));
    EXPECT_EQ(v.voxels(), voxels);
}

TEST(Statistics, AgreeWithAReferenceOnRandomVolumes) {
    std::mt19937 rng(99);
    for (int round = 0; round < 4; ++round) {
        for (const auto& s : odd_shapes()) {
            SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth);
            expect_statistics_match(random_volume(s, rng));
            // Narrow palettes put the extremes in odd places and leave most
            // of the range empty.
            const int a = static_cast<int>(rng() % 256), b = static_cast<int>(rng() % 256);
            expect_statistics_match(random_volume(s, rng, {a, b}, {0.9, 0.1}));
            expect_statistics_match(random_volume(s, rng, {a}, {1.0}));
            // Stretches of one value of every length, as the background of
            // a scan: uniform blocks next to mixed ones and to each other.
            Volume stretches(s.width, s.height, s.depth);
            for (std::size_t i = 0; i < stretches.size();) {
                const std::size_t length = 1 + rng() % (rng() % 2 == 0 ? 20 : 200);
                const auto value = static_cast<unsigned char>(rng() % 3 == 0 ? rng() : a);
                for (std::size_t end = std::min(stretches.size(), i + length); i < end; ++i) stretches.data()[i] = value;
            }
            expect_statistics_match(stretches);
        }
    }
}

TEST(Statistics, DocumentedValues) {
    Volume fresh(7, 5, 3);
    expect_statistics_match(fresh);
    int histogram[256];
    Img3DHisto(fresh, histogram);
    EXPECT_EQ(histogram[0], 105);

    Volume two(2, 1, 1);
    two.assign({0, 255});
    EXPECT_EQ(Img3DMean(two), 127);
    int maximum, minimum;
    Img3DLimit(two, &maximum, &minimum);
    EXPECT_EQ(maximum, 255);
    EXPECT_EQ(minimum, 0);

    Volume full(33, 3, 2);
    Img3DClear(full, 255);
    EXPECT_EQ(Img3DMean(full), 255);
    Img3DLimit(full, &maximum, &minimum);
    EXPECT_EQ(maximum, 255);
    EXPECT_EQ(minimum, 255);
}

TEST(Statistics, MeanSumDoesNotOverflow) {
    // 2^25 voxels of 255 sum past 2^32.
    Volume big(256, 256, 512);
    ASSERT_NE(big.get(), nullptr);
    Img3DClear(big, 255);
    big.data()[0] = 0;
    EXPECT_EQ(Img3DMean(big), 254);
}

}  // namespace
