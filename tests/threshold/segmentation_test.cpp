#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include "reference_threshold.h"
#include "test_support.h"

namespace {

using img3d::test::odd_shapes;
using img3d::test::random_volume;
using img3d::test::reference_double;
using img3d::test::reference_single;
using img3d::test::Grid;
using img3d::test::Volume;

// Thresholds around both ends of the grey range and far past them.
const int kThresholds[] = {INT_MIN, -300, -1, 0, 1, 2, 100, 254, 255, 256, 300, INT_MAX};

// Runs one segmentation out of place and in place on the volume and checks
// both against the per-voxel reference.
template <class Segment, class Reference>
void expect_segmentation(const Volume& source, Segment segment, Reference reference) {
    const auto voxels = source.voxels();
    std::vector<std::uint8_t> expected(voxels.size());
    for (std::size_t i = 0; i < voxels.size(); ++i) expected[i] = reference(voxels[i]);

    Volume destination(source.width(), source.height(), source.depth());
    ASSERT_EQ(segment(source.get(), destination.get()), 0);
    ASSERT_EQ(destination.voxels(), expected);
    ASSERT_EQ(source.voxels(), voxels);

    Volume in_place(source.width(), source.height(), source.depth());
    in_place.assign(voxels);
    ASSERT_EQ(segment(in_place.get(), in_place.get()), 0);
    ASSERT_EQ(in_place.voxels(), expected);
}

TEST(Segmentation, SingleAgreesWithPerVoxelReference) {
    std::mt19937 rng(31);
    for (const Grid& s : odd_shapes()) {
        SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth);
        const Volume source = random_volume(s, rng);
        for (int threshold : kThresholds) {
            SCOPED_TRACE(threshold);
            const auto high = static_cast<unsigned char>(rng()), low = static_cast<unsigned char>(rng());
            for (auto [h, l] : {std::pair{high, low}, std::pair{high, high}, std::pair{low, high}}) {
                expect_segmentation(
                    source,
                    [&, h = h, l = l](auto in, auto out) { return Img3DSingleSegment(in, out, threshold, h, l); },
                    [&, h = h, l = l](std::uint8_t v) { return reference_single(v, threshold, h, l); });
            }
        }
    }
}

TEST(Segmentation, DoubleAgreesWithPerVoxelReference) {
    std::mt19937 rng(32);
    for (const Grid& s : odd_shapes()) {
        SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth);
        const Volume source = random_volume(s, rng);
        // Every pair: bands inside, across and beyond the grey range, equal
        // ends and crossed ends.
        for (int low : kThresholds) {
            for (int high : kThresholds) {
                SCOPED_TRACE(testing::Message() << "band " << low << " " << high);
                const auto inside = static_cast<unsigned char>(rng());
                const auto outside = rng() % 4 ? static_cast<unsigned char>(rng()) : inside;
                expect_segmentation(
                    source,
                    [&](auto in, auto out) { return Img3DDoubleSegment(in, out, low, high, inside, outside); },
                    [&](std::uint8_t v) { return reference_double(v, low, high, inside, outside); });
            }
        }
    }
}

TEST(Segmentation, EveryThresholdOnEveryGreyValue) {
    // All 256 grey values, each once, in a shape whose rows are not a
    // multiple of any vector width.
    Volume source(37, 7, 1);
    for (std::size_t i = 0; i < source.size(); ++i) source.data()[i] = static_cast<unsigned char>(i * 7);
    for (int t = -2; t <= 258; ++t) {
        expect_segmentation(
            source, [&](auto in, auto out) { return Img3DSingleSegment(in, out, t, 9, 4); },
            [&](std::uint8_t v) { return reference_single(v, t, 9, 4); });
        const int width = t % 5;
        expect_segmentation(
            source, [&](auto in, auto out) { return Img3DDoubleSegment(in, out, t, t + width, 1, 200); },
            [&](std::uint8_t v) { return reference_double(v, t, t + width, 1, 200); });
    }
}

// A destination larger than the source is written only in the source's
// extent, addressed through its own rows; everything else keeps its value.
TEST(Segmentation, LargerDestinationGetsOnlyItsCornerBlock) {
    std::mt19937 rng(33);
    const Grid shapes[] = {{7, 5, 3}, {1, 1, 1}, {33, 2, 4}};
    for (const Grid& s : shapes) {
        const Volume source = random_volume(s, rng);
        for (int which = 0; which < 2; ++which) {
            Volume destination(s.width + 3, s.height + 2, s.depth + 1);
            const Volume before = random_volume({destination.width(), destination.height(), destination.depth()}, rng);
            destination.assign(before.voxels());
            if (which == 0)
                Img3DSingleSegment(source, destination, 128, 255, 0);
            else
                Img3DDoubleSegment(source, destination, 50, 150, 255, 0);
            for (int z = 0; z < destination.depth(); ++z)
                for (int y = 0; y < destination.height(); ++y)
                    for (int x = 0; x < destination.width(); ++x) {
                        const bool corner = x < s.width && y < s.height && z < s.depth;
                        const unsigned char expected =
                            !corner      ? before.get()[z][y][x]
                            : which == 0 ? reference_single(source.get()[z][y][x], 128, 255, 0)
                                         : reference_double(source.get()[z][y][x], 50, 150, 255, 0);
                        ASSERT_EQ(destination.get()[z][y][x], expected) << x << " " << y << " " << z;
                    }
        }
    }
}

}  // namespace
