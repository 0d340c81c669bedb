// Calls the library can see are wrong are refused with -1 and write nothing.
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

using img3d::test::random_volume;
using img3d::test::Volume;

TEST(VoxelRefusals, DestinationWithFewerVoxelsOrNullHandles) {
    std::mt19937 rng(1);
    Volume src = random_volume({7, 5, 3}, rng);
    Volume small = random_volume({7, 5, 2}, rng);
    const auto src_before = src.voxels(), small_before = small.voxels();
    unsigned char table[256] = {};
    EXPECT_EQ(Img3DCopy(src, small), -1);
    EXPECT_EQ(Img3DConvert(src, small, table), -1);
    EXPECT_EQ(Img3DReverse(src, small), -1);
    EXPECT_EQ(Img3DConvert(src, src, nullptr), -1);
    EXPECT_EQ(Img3DCopy(nullptr, small), -1);
    EXPECT_EQ(Img3DCopy(src, nullptr), -1);
    EXPECT_EQ(Img3DReverse(nullptr, nullptr), -1);
    EXPECT_EQ(Img3DClear(nullptr, 3), -1);
    EXPECT_EQ(small.voxels(), small_before);
    EXPECT_EQ(src.voxels(), src_before);

    // Same voxel count, other shape: allowed, voxels go by position.
    Volume flat(35, 3, 1);
    EXPECT_EQ(Img3DCopy(src, flat), 0);
    EXPECT_EQ(flat.voxels(), src_before);
}

TEST(VoxelRefusals, StatisticsWithNullArguments) {
    Volume v(4, 4, 4);
    int histogram[256];
    std::fill(std::begin(histogram), std::end(histogram), 9);
    int maximum = 7, minimum = 8;
    EXPECT_EQ(Img3DHisto(nullptr, histogram), -1);
    EXPECT_EQ(Img3DHisto(v, nullptr), -1);
    for (int count : histogram) EXPECT_EQ(count, 9);
    EXPECT_EQ(Img3DMean(nullptr), -1);
    EXPECT_EQ(Img3DLimit(nullptr, &maximum, &minimum), -1);
    EXPECT_EQ(Img3DLimit(v, nullptr, &minimum), -1);
    EXPECT_EQ(Img3DLimit(v, &maximum, nullptr), -1);
    EXPECT_EQ(maximum, 7);
    EXPECT_EQ(minimum, 8);
}

}  // namespace
