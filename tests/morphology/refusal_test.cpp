// Morphology calls with volumes of other dimensions or null handles are
// refused with -1 before anything is written.
#include <gtest/gtest.h>

#include "morphology_fixtures.h"

namespace {

using namespace img3d::test;

TEST(MorphologyRefusals, OtherDimensionsOrNullHandles) {
    std::mt19937 rng(2);
    Volume src = blobby_volume({8, 7, 6}, rng, 255, 0.3, {0});
    const auto before = src.voxels();
    for (const Grid& other : {Grid{8, 7, 5}, Grid{8, 6, 6}, Grid{7, 7, 6}, Grid{9, 7, 6}, Grid{6, 7, 8}}) {
        Volume dst(other.width, other.height, other.depth);
        Img3DClear(dst, 11);
        const auto untouched = dst.voxels();
        EXPECT_EQ(Img3DDilatation(src, dst, 255, 0, 2), -1);
        EXPECT_EQ(Img3DDelVolume(src, dst, 255, 0, 1, 5), -1);
        EXPECT_EQ(Img3DEdgeSmooth(src, dst, 255, 0, 1), -1);
        EXPECT_EQ(dst.voxels(), untouched);
        EXPECT_EQ(Img3DDilatation(dst, src, 255, 0, 2), -1);
        EXPECT_EQ(Img3DDelVolume(dst, src, 255, 0, 1, 5), -1);
        EXPECT_EQ(Img3DEdgeSmooth(dst, src, 255, 0, 1), -1);
        EXPECT_EQ(src.voxels(), before);
    }
    EXPECT_EQ(Img3DDilatation(nullptr, src, 255, 0, 1), -1);
    EXPECT_EQ(Img3DDilatation(src, nullptr, 255, 0, 1), -1);
    EXPECT_EQ(Img3DDelVolume(nullptr, src, 255, 0, 1, 5), -1);
    EXPECT_EQ(Img3DDelVolume(src, nullptr, 255, 0, 1, 5), -1);
    EXPECT_EQ(Img3DEdgeSmooth(nullptr, src, 255, 0, 1), -1);
    EXPECT_EQ(Img3DEdgeSmooth(src, nullptr, 255, 0, 1), -1);
    EXPECT_EQ(src.voxels(), before);
}

}  // namespace
