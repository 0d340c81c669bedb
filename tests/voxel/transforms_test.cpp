#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

using img3d::test::odd_shapes;
using img3d::test::random_volume;
using img3d::test::Volume;

TEST(Transforms, AgreeWithAPerVoxelReferenceOnRandomVolumes) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 4; ++round) {
        for (const auto& s : odd_shapes()) {
            SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth);
            Volume src = random_volume(s, rng);
            const auto in = src.voxels();
            Volume dst = random_volume(s, rng);

            unsigned char table[256];
            for (auto& t : table) t = static_cast<unsigned char>(rng());

            ASSERT_EQ(Img3DConvert(src, dst, table), 0);
            for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(dst.data()[i], table[in[i]]);
            ASSERT_EQ(Img3DReverse(src, dst), 0);
            for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(dst.data()[i], 255 - in[i]);
            const int fill = static_cast<int>(rng() % 1000) - 500;
            ASSERT_EQ(Img3DClear(dst, fill), 0);
            for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(dst.data()[i], fill & 0xFF);
            ASSERT_EQ(Img3DCopy(src, dst), 0);
            ASSERT_EQ(dst.voxels(), in);
            EXPECT_EQ(src.voxels(), in);

            // In place: each voxel is read before it is written.
            ASSERT_EQ(Img3DConvert(src, src, table), 0);
            for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(src.data()[i], table[in[i]]);
            ASSERT_EQ(Img3DCopy(src, src), 0);
            for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(src.data()[i], table[in[i]]);
            ASSERT_EQ(Img3DReverse(dst, dst), 0);
            ASSERT_EQ(Img3DReverse(dst, dst), 0);
            ASSERT_EQ(dst.voxels(), in);
        }
    }
}

TEST(Transforms, DocumentedValues) {
    Volume v(4, 1, 1);
    v.assign({0, 255, 128, 127});
    Img3DReverse(v, v);
    EXPECT_EQ(v.voxels(), (std::vector<std::uint8_t>{255, 0, 127, 128}));
    Img3DClear(v, 300);
    EXPECT_EQ(v.voxels(), (std::vector<std::uint8_t>(4, 44)));
    Img3DClear(v, 255);
    EXPECT_EQ(v.voxels(), (std::vector<std::uint8_t>(4, 255)));
}

TEST(Transforms, VoxelsCorrespondByPositionNotCoordinates) {
    Volume src(4, 2, 1), dst(2, 4, 1);
    src.assign({1, 2, 3, 4, 5, 6, 7, 8});
    Img3DCopy(src, dst);
    EXPECT_EQ(dst.voxels(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(dst.width(), 2);
    EXPECT_EQ(dst.height(), 4);
    EXPECT_EQ(dst.depth(), 1);

    // A larger destination keeps everything past the source's voxel count.
    Volume big(5, 3, 1);
    Img3DClear(big, 9);
    Img3DCopy(src, big);
    Img3DReverse(src, big);
    for (std::size_t i = 0; i < big.size(); ++i) EXPECT_EQ(big.data()[i], i < 8 ? 255 - (i + 1) : 9);
}

}  // namespace
