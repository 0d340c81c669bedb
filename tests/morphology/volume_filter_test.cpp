#include <gtest/gtest.h>

#include <climits>

#include "morphology_fixtures.h"
#include "platform/heap.h"

namespace {

using namespace img3d::test;
namespace ref = img3d::reference;

TEST(VolumeFilter, MatchesTheReferenceOnRandomVolumes) {
    std::mt19937 rng(11);
    const int ranges[][2] = {{0, INT_MAX}, {1, 1}, {3, 10}, {2, 6}, {10, 3}, {5, INT_MAX}, {INT_MIN, 4}};
    for (int round = 0; round < 2; ++round)
        for (const auto& s : odd_shapes())
            for (const auto& range : ranges) {
                const int object = round == 0 ? 255 : 3;
                const int paint = round == 0 ? 0 : -2;  // stored as 254
                Volume src = blobby_volume(s, rng, object, 0.25, {0, 7, 254});
                const auto before = src.voxels();
                Grid expected;
                const int expected_result =
                    ref::delete_by_volume(grid_of(src), expected, object, paint & 0xFF, range[0], range[1]);
                SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth
                                                << " range " << range[0] << ".." << range[1]);
                Volume dst = random_volume(s, rng);
                EXPECT_EQ(Img3DDelVolume(src, dst, object, paint, range[0], range[1]), expected_result);
                EXPECT_EQ(dst.voxels(), expected.voxels);
                EXPECT_EQ(src.voxels(), before);
            }
}

TEST(VolumeFilter, KeepsObjectsAtEitherBoundAndSeparatesDiagonalNeighbours) {
    // Objects of 1, 2, 3 and 10 voxels along separate rows; two single voxels
    // that touch only at a corner.
    Volume v(12, 11, 1), out(12, 11, 1);
    v.get()[0][0][0] = 1;
    v.get()[0][2][0] = v.get()[0][2][1] = 1;
    for (int x = 0; x < 3; ++x) v.get()[0][4][x] = 1;
    for (int x = 0; x < 10; ++x) v.get()[0][6][x] = 1;
    v.get()[0][9][5] = v.get()[0][10][6] = 1;
    ASSERT_EQ(Img3DDelVolume(v, out, 1, 0, 1, 1), 0);
    EXPECT_EQ(out.get()[0][0][0], 1);
    EXPECT_EQ(out.get()[0][2][0], 0);
    EXPECT_EQ(out.get()[0][9][5], 1);
    EXPECT_EQ(out.get()[0][10][6], 1);
    ASSERT_EQ(Img3DDelVolume(v, out, 1, 0, 3, 10), 0);
    EXPECT_EQ(out.get()[0][4][0], 1);
    EXPECT_EQ(out.get()[0][6][9], 1);
    EXPECT_EQ(out.get()[0][2][1], 0);
    EXPECT_EQ(out.get()[0][0][0], 0);
}

TEST(VolumeFilter, RefusesCallsThatWouldDestroyData) {
    std::mt19937 rng(5);
    Volume v = blobby_volume({8, 7, 6}, rng, 9, 0.3, {0, 4});
    const auto before = v.voxels();
    Volume out(8, 7, 6);
    Img3DClear(out, 33);
    const auto untouched = out.voxels();
    EXPECT_EQ(Img3DDelVolume(v, v, 9, 0, 2, 5), -1);  // same volume twice
    EXPECT_EQ(v.voxels(), before);
    EXPECT_EQ(Img3DDelVolume(v, out, 9, 9, 2, 5), -1);    // paint equals the object
    EXPECT_EQ(Img3DDelVolume(v, out, 9, 265, 2, 5), -1);  // ... in its low 8 bits
    EXPECT_EQ(out.voxels(), untouched);

    // No object: -1 and an exact copy.
    EXPECT_EQ(Img3DDelVolume(v, out, 200, 0, 2, 5), -1);
    EXPECT_EQ(out.voxels(), before);
    EXPECT_EQ(Img3DDelVolume(v, out, 9 + 256, 0, 2, 5), -1);
    EXPECT_EQ(out.voxels(), before);

    // Rows longer than 32768 voxels: objects there could not be recorded,
    // and the filter gives up the same way, with an exact copy.
    Volume wide(40000, 1, 1), wide_out(40000, 1, 1);
    wide.get()[0][0][5] = wide.get()[0][0][39990] = 9;
    EXPECT_EQ(Img3DDelVolume(wide, wide_out, 9, 0, 2, 5), -1);
    EXPECT_EQ(wide_out.voxels(), wide.voxels());
}

TEST(VolumeFilter, EveryAllocationFailureLeavesASoundResult) {
    std::mt19937 rng(21);
    // A few runs, and thousands of them.
    for (const Grid& shape : {Grid{13, 9, 7}, Grid{96, 40, 12}}) {
        Volume src = blobby_volume(shape, rng, 1, 0.3, {0});
        const auto before = src.voxels();
        Grid expected;
        ref::delete_by_volume(grid_of(src), expected, 1, 0, 3, 12);
        Volume dst(shape.width, shape.height, shape.depth);
        const long allocations = walk_allocation_failures(
            [&] { return Img3DDelVolume(src, dst, 1, 0, 3, 12); },
            [&](int result, bool failed) {
                ASSERT_EQ(src.voxels(), before);
                // Either the whole filter, or -1 and an exact copy when memory
                // ran out while the objects were counted.
                if (result == 0) {
                    EXPECT_EQ(dst.voxels(), expected.voxels);
                } else {
                    EXPECT_TRUE(failed);
                    EXPECT_EQ(result, -1);
                    EXPECT_EQ(dst.voxels(), before);
                }
            });
        EXPECT_GT(allocations, 1);
    }
}

}  // namespace
