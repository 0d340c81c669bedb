#include <gtest/gtest.h>

#include <utility>

#include "morphology_fixtures.h"
#include "platform/heap.h"

namespace {

using namespace img3d::test;
namespace ref = img3d::reference;

TEST(EdgeSmooth, MatchesTheLiteralWindowSumOnRandomVolumes) {
    std::mt19937 rng(13);
    struct Values {
        int object, background;
    };
    const Values values[] = {{255, 0}, {1, 0}, {100, 7}, {0, 255}, {40, 200}, {255, -1 + 256 * 3}};
    int case_number = 0;
    for (const auto& s : odd_shapes())
        for (const auto& val : values)
            for (int radius = 0; radius <= 3; ++radius) {
                if (s.width * s.height * s.depth > 2000 && radius > 1) continue;
                ++case_number;
                const int background = val.background & 0xFF;
                if (background == val.object) continue;
                Volume src = blobby_volume(s, rng, val.object, 0.3, {background, 90});
                const auto before = src.voxels();
                Grid expected;
                const int expected_result =
                    ref::edge_smooth(grid_of(src), expected, val.object, background, radius);
                SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth << " object "
                                                << val.object << " background " << val.background
                                                << " radius " << radius);
                Volume dst = random_volume(s, rng);
                EXPECT_EQ(Img3DEdgeSmooth(src, dst, val.object, val.background, radius), expected_result);
                EXPECT_EQ(dst.voxels(), expected.voxels);
                EXPECT_EQ(src.voxels(), before);
                if (case_number % 3 == 0) {
                    EXPECT_EQ(Img3DEdgeSmooth(src, src, val.object, val.background, radius), expected_result);
                    EXPECT_EQ(src.voxels(), expected.voxels);
                }
            }
}

// Wide windows only decide anything near the surface of objects of their
// own size: rough balls with ragged surfaces, at radii summed along x both
// directly (up to 4) and by a running sum (above).
TEST(EdgeSmooth, WideWindowsMatchTheLiteralWindowSum) {
    std::mt19937 rng(29);
    std::bernoulli_distribution flip(0.15);
    for (int radius = 3; radius <= 6; ++radius)
        for (const auto& [object, background] : {std::pair{255, 0}, std::pair{0, 255}, std::pair{100, 7}}) {
            Volume src(23, 20, 17);
            for (int z = 0; z < 17; ++z)
                for (int y = 0; y < 20; ++y)
                    for (int x = 0; x < 23; ++x) {
                        const int dx = x - 11, dy = y - 9, dz = z - 8;
                        const bool inside = dx * dx + dy * dy + dz * dz <= 64;
                        src.get()[z][y][x] = static_cast<unsigned char>(inside != flip(rng) ? object : background);
                    }
            Grid expected;
            const int expected_result = ref::edge_smooth(grid_of(src), expected, object, background, radius);
            Volume dst(23, 20, 17);
            EXPECT_EQ(Img3DEdgeSmooth(src, dst, object, background, radius), expected_result) << radius;
            EXPECT_EQ(dst.voxels(), expected.voxels) << "radius " << radius << " object " << object;
        }
}

int count_value(const Volume& v, int value) {
    int n = 0;
    for (std::size_t i = 0; i < v.size(); ++i) n += v.data()[i] == value;
    return n;
}

TEST(EdgeSmooth, SolidCubesLoseTheirEdges) {
    Volume three(5, 5, 5), out(5, 5, 5);
    for (int z = 1; z < 4; ++z)
        for (int y = 1; y < 4; ++y)
            for (int x = 1; x < 4; ++x) three.get()[z][y][x] = 255;
    ASSERT_EQ(Img3DEdgeSmooth(three, out, 255, 0, 1), 0);
    EXPECT_EQ(count_value(out, 255), 7);  // the centre and the six face centres
    EXPECT_EQ(out.get()[2][2][2], 255);
    EXPECT_EQ(out.get()[1][2][2], 255);
    EXPECT_EQ(out.get()[1][1][1], 0);

    Volume five(7, 7, 7), out5(7, 7, 7);
    for (int z = 1; z < 6; ++z)
        for (int y = 1; y < 6; ++y)
            for (int x = 1; x < 6; ++x) five.get()[z][y][x] = 1;
    ASSERT_EQ(Img3DEdgeSmooth(five, out5, 1, 0, 1), 0);
    EXPECT_EQ(count_value(out5, 1), 81);

    Volume speck(4, 4, 4), out_speck(4, 4, 4);
    speck.get()[1][2][3] = 255;
    ASSERT_EQ(Img3DEdgeSmooth(speck, out_speck, 255, 0, 1), 0);
    EXPECT_EQ(count_value(out_speck, 0), 64);

    // Object value 0 on background 255: every window passes, each box fills.
    Volume inverse(6, 6, 6), out_inverse(6, 6, 6);
    Img3DClear(inverse, 255);
    inverse.get()[1][1][1] = inverse.get()[1][1][3] = inverse.get()[1][2][3] = 0;
    ASSERT_EQ(Img3DEdgeSmooth(inverse, out_inverse, 0, 255, 1), 0);
    EXPECT_EQ(count_value(out_inverse, 0), 1 + 2);
}

TEST(EdgeSmooth, RefusesArgumentsOutsideItsRange) {
    std::mt19937 rng(17);
    Volume v = blobby_volume({9, 8, 7}, rng, 255, 0.3, {0});
    Volume out(9, 8, 7);
    Img3DClear(out, 5);
    const auto untouched = out.voxels();
    EXPECT_EQ(Img3DEdgeSmooth(v, out, 255, 255, 1), -1);
    EXPECT_EQ(Img3DEdgeSmooth(v, out, 255, -1, 1), -1);
    EXPECT_EQ(Img3DEdgeSmooth(v, out, 255, 0, -1), -1);
    EXPECT_EQ(Img3DEdgeSmooth(v, out, 255, 0, 102), -1);
    EXPECT_EQ(out.voxels(), untouched);
    // The largest radius is still accepted: the window covers the whole box.
    EXPECT_EQ(Img3DEdgeSmooth(v, out, 255, 0, 101), 0);
    // No object: -1 and an exact copy.
    EXPECT_EQ(Img3DEdgeSmooth(v, out, 7, 0, 1), -1);
    EXPECT_EQ(out.voxels(), v.voxels());
}

TEST(EdgeSmooth, EveryAllocationFailureLeavesASoundResult) {
    std::mt19937 rng(23);
    Volume src = blobby_volume({11, 10, 9}, rng, 255, 0.3, {0});
    const auto before = src.voxels();
    Grid expected;
    ref::edge_smooth(grid_of(src), expected, 255, 0, 1);
    Volume dst(11, 10, 9);
    walk_allocation_failures([&] { return Img3DEdgeSmooth(src, dst, 255, 0, 1); },
                             [&](int result, bool failed) {
                                 ASSERT_EQ(src.voxels(), before);
                                 if (!failed) EXPECT_EQ(dst.voxels(), expected.voxels);
                                 // Out of memory while finding the objects: -1 and an
                                 // exact copy.  An object whose working memory cannot be
                                 // had is skipped, which only takes voxels away.
                                 if (result == -1) {
                                     EXPECT_TRUE(failed);
                                     EXPECT_EQ(dst.voxels(), before);
                                 } else {
                                     ASSERT_EQ(result, 0);
                                     for (std::size_t i = 0; i < before.size(); ++i)
                                         if (dst.data()[i] == 255) ASSERT_EQ(expected.voxels[i], 255);
                                 }
                             });
}

TEST(EdgeSmooth, InPlaceAllocationFailuresLeaveTheVolumeOrSkipObjects) {
    // Large objects among other grey values, smoothed in place: a failure
    // either reports -1 with the volume as it was, or skips objects, which
    // only takes voxels away.
    std::mt19937 rng(29);
    Volume src = blobby_volume({40, 33, 30}, rng, 255, 0.55, {0, 7, 200});
    const auto before = src.voxels();
    Grid expected;
    ref::edge_smooth(grid_of(src), expected, 255, 0, 2);
    Volume work(40, 33, 30);
    int refused = 0;
    const long runs = walk_allocation_failures(
        [&] {
            std::copy(before.begin(), before.end(), work.data());
            return Img3DEdgeSmooth(work, work, 255, 0, 2);
        },
        [&](int result, bool failed) {
            if (!failed) {
                ASSERT_EQ(result, 0);
                EXPECT_EQ(work.voxels(), expected.voxels);
            } else if (result == -1) {
                ++refused;
                ASSERT_EQ(work.voxels(), before);
            } else {
                ASSERT_EQ(result, 0);
                for (std::size_t i = 0; i < before.size(); ++i)
                    if (work.data()[i] == 255) ASSERT_EQ(expected.voxels[i], 255) << i;
            }
        });
    // Not only the claim mask: finding the objects reports -1 too.
    EXPECT_GT(refused, 1);
    EXPECT_GT(runs, 4);
}

}  // namespace
