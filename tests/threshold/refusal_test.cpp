// Threshold and segmentation calls the library can see are wrong are refused
// with -1 and write nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "test_support.h"

namespace {

using img3d::test::random_volume;
using img3d::test::Grid;
using img3d::test::Volume;

TEST(ThresholdRefusals, NullVolume) {
    EXPECT_EQ(Img3DDaJinThreshold(nullptr), -1);
    EXPECT_EQ(Img3D2ModeThreshold(nullptr), -1);
}

TEST(ThresholdRefusals, HistogramsOfNoVoxelOrBadCounts) {
    std::int64_t h[256] = {};
    auto both_refuse = [&](const std::int64_t* histogram) {
        return Img3DHistogramDaJinThreshold(histogram) == -1 && Img3DHistogram2ModeThreshold(histogram) == -1;
    };
    EXPECT_TRUE(both_refuse(nullptr));
    EXPECT_TRUE(both_refuse(h));  // no voxel
    h[3] = 5, h[200] = -1;
    EXPECT_TRUE(both_refuse(h));
    h[200] = INT64_MAX - 5;  // the sum just fits
    EXPECT_EQ(Img3DHistogramDaJinThreshold(h), 199);
    EXPECT_EQ(Img3DHistogram2ModeThreshold(h), 5);
    h[255] = 1;
    EXPECT_TRUE(both_refuse(h));
}

TEST(ThresholdRefusals, DestinationSmallerInAnyDimension) {
    std::mt19937 rng(4);
    Volume src = random_volume({7, 5, 3}, rng);
    const auto before = src.voxels();
    for (const Grid& s : {Grid{6, 5, 3}, Grid{7, 4, 3}, Grid{7, 5, 2}, Grid{105, 1, 1}, Grid{3, 5, 7}}) {
        Volume dst = random_volume(s, rng);
        const auto untouched = dst.voxels();
        EXPECT_EQ(Img3DSingleSegment(src, dst, 100, 255, 0), -1);
        EXPECT_EQ(Img3DDoubleSegment(src, dst, 10, 100, 255, 0), -1);
        EXPECT_EQ(dst.voxels(), untouched);
    }
    EXPECT_EQ(Img3DSingleSegment(nullptr, src, 100, 255, 0), -1);
    EXPECT_EQ(Img3DSingleSegment(src, nullptr, 100, 255, 0), -1);
    EXPECT_EQ(Img3DDoubleSegment(nullptr, src, 1, 100, 255, 0), -1);
    EXPECT_EQ(Img3DDoubleSegment(src, nullptr, 1, 100, 255, 0), -1);
    EXPECT_EQ(src.voxels(), before);
}

}  // namespace
