#include <gtest/gtest.h>

#include "morphology_fixtures.h"

namespace {

using namespace img3d::test;
namespace ref = img3d::reference;

TEST(Dilation, MatchesTheReferenceOnRandomVolumes) {
    std::mt19937 rng(7);
    const int elements[] = {1, 2, 0, 3, -1};
    for (int round = 0; round < 3; ++round)
        for (const auto& s : odd_shapes())
            for (int element : elements) {
                const int object = round == 2 ? 0 : 200;
                const int background = round == 1 ? 300 : 0;  // stored as 44
                Volume src = blobby_volume(s, rng, object, 0.3, {0, 17, 255});
                const auto expected = ref::dilate(grid_of(src), object, background & 0xFF, element);
                SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth
                                                << " element " << element);
                Volume dst = random_volume(s, rng);
                ASSERT_EQ(Img3DDilatation(src, dst, object, background, element), 0);
                EXPECT_EQ(dst.voxels(), expected.voxels);
                // In place gives the same result as a separate destination.
                ASSERT_EQ(Img3DDilatation(src, src, object, background, element), 0);
                EXPECT_EQ(src.voxels(), expected.voxels);
            }
}

TEST(Dilation, SingleVoxelGivesCrossOrCube) {
    for (int element : {1, 2}) {
        Volume v(5, 5, 5), out(5, 5, 5);
        v.get()[2][2][2] = 9;
        Img3DDilatation(v, out, 9, 1, element);
        int set = 0;
        for (int z = 0; z < 5; ++z)
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 5; ++x) {
                    const int d = std::abs(x - 2) + std::abs(y - 2) + std::abs(z - 2);
                    const bool inside = element == 1 ? d <= 1
                                                     : std::abs(x - 2) <= 1 && std::abs(y - 2) <= 1 &&
                                                           std::abs(z - 2) <= 1;
                    EXPECT_EQ(out.get()[z][y][x], inside ? 9 : 1);
                    set += inside;
                }
        EXPECT_EQ(set, element == 1 ? 7 : 27);
    }
    Volume two(7, 5, 5), out(7, 5, 5);
    two.get()[2][2][2] = two.get()[2][2][4] = 1;
    Img3DDilatation(two, out, 1, 0, 1);
    int set = 0;
    for (std::size_t i = 0; i < out.size(); ++i) set += out.data()[i];
    EXPECT_EQ(set, 13);
}

TEST(Dilation, FaceVoxelsAndThinVolumesDoNotSpread) {
    Volume faces(6, 6, 6), out(6, 6, 6);
    for (int y = 0; y < 6; ++y)
        for (int z = 0; z < 6; ++z) faces.get()[z][y][0] = faces.get()[z][y][5] = 255;
    Img3DDilatation(faces, out, 255, 0, 2);
    EXPECT_EQ(out.voxels(), std::vector<std::uint8_t>(out.size(), 0));

    Volume thin(9, 2, 9), thin_out(9, 2, 9);
    Img3DClear(thin, 4);
    Img3DDilatation(thin, thin_out, 4, 3, 2);
    EXPECT_EQ(thin_out.voxels(), std::vector<std::uint8_t>(thin_out.size(), 3));
}

// Without working memory a separate destination still gets the dilation;
// in place the volume is left as it was.
TEST(Dilation, WorkingMemoryFailure) {
    std::mt19937 rng(3);
    for (const auto& s : odd_shapes())
        for (int element : {1, 2}) {
            const Volume src = blobby_volume(s, rng, 1, 0.3, {0, 9});
            const auto expected = ref::dilate(grid_of(src), 1, 4, element);
            SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth << " element " << element);
            Volume dst(s.width, s.height, s.depth);
            walk_allocation_failures([&] { return Img3DDilatation(src, dst, 1, 4, element); },
                                     [&](int result, bool) {
                                         EXPECT_EQ(result, 0);
                                         EXPECT_EQ(dst.voxels(), expected.voxels);
                                     });
            const auto before = src.voxels();
            walk_allocation_failures([&] { return Img3DDilatation(src, src, 1, 4, element); },
                                     [&](int result, bool failed) {
                                         EXPECT_EQ(result, failed ? -1 : 0);
                                         EXPECT_EQ(src.voxels(), failed ? before : expected.voxels);
                                         if (!failed) src.assign(before);
                                     });
        }
}

}  // namespace
