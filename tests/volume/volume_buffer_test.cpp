#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/heap.h"
#include "test_support.h"

namespace {

using img3d::test::odd_shapes;
using img3d::test::Volume;

constexpr std::ptrdiff_t P = sizeof(void*);

std::int32_t word_before_first_voxel(unsigned char*** v, int offset) {
    std::int32_t word;
    std::memcpy(&word, v[0][0] - offset, sizeof word);
    return word;
}

TEST(VolumeBuffer, LayoutOfEveryShape) {
    for (const auto& s : odd_shapes()) {
        Volume v(s.width, s.height, s.depth);
        ASSERT_NE(v.get(), nullptr);
        SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth);
        EXPECT_EQ(v.width(), s.width);
        EXPECT_EQ(v.height(), s.height);
        EXPECT_EQ(v.depth(), s.depth);
        EXPECT_EQ(word_before_first_voxel(v, 12), s.width);
        EXPECT_EQ(word_before_first_voxel(v, 8), s.height);
        EXPECT_EQ(word_before_first_voxel(v, 4), s.depth);

        auto* block = reinterpret_cast<unsigned char*>(v.get());
        unsigned char** row_tables = reinterpret_cast<unsigned char**>(block + s.depth * P);
        unsigned char* voxels = block + s.depth * P + std::ptrdiff_t{s.depth} * s.height * P + 12;
        EXPECT_EQ(v.data(), voxels);
        for (int z = 0; z < s.depth; ++z) {
            EXPECT_EQ(v.get()[z], row_tables + std::ptrdiff_t{z} * s.height);
            for (int y = 0; y < s.height; ++y)
                EXPECT_EQ(v.get()[z][y], voxels + (std::ptrdiff_t{z} * s.height + y) * s.width);
        }
        for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(voxels[i], 0) << i;
    }
}

TEST(VolumeBuffer, BlockSizesOfTheDocumentedExamples) {
    // 1x1x1 is 21 bytes with 4-byte pointers; 3x2x2 is 48.
    Volume one(1, 1, 1), small(3, 2, 2);
    auto offset = [](const Volume& v) {
        return v.data() - reinterpret_cast<unsigned char*>(v.get());
    };
    EXPECT_EQ(offset(one) + 1, 1 * P + 1 * P + 12 + 1);
    EXPECT_EQ(offset(small) + 12, 2 * P + 4 * P + 12 + 12);
    if (P == 4) {
        EXPECT_EQ(offset(one) + 1, 21);
        EXPECT_EQ(offset(small) + 12, 48);
    }
    EXPECT_EQ(&small.get()[1][1][2], small.data() + 11);
    EXPECT_EQ(small.get()[1][0], small.data() + 6);
}

TEST(VolumeBuffer, WritingAVoxelChangesExactlyThatByte) {
    Volume v(7, 5, 3);
    for (int z = 0; z < 3; ++z)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) {
                v.get()[z][y][x] = 1;
                for (std::size_t i = 0; i < v.size(); ++i)
                    ASSERT_EQ(v.data()[i], i == std::size_t((z * 5 + y) * 7 + x) ? 1 : 0);
                v.get()[z][y][x] = 0;
            }
    EXPECT_EQ(v.width(), 7);
    EXPECT_EQ(v.height(), 5);
    EXPECT_EQ(v.depth(), 3);
}

TEST(VolumeBuffer, NullHandle) {
    EXPECT_EQ(Image3DGetWidth(nullptr), 0);
    EXPECT_EQ(Image3DGetHeight(nullptr), 0);
    EXPECT_EQ(Image3DGetDepth(nullptr), 0);
    Image3DFree(nullptr);
}

TEST(VolumeBuffer, RefusesDimensionsThatCannotBeStored) {
    const int bad[][3] = {{0, 1, 1},     {1, 0, 1},          {1, 1, 0},          {-1, 5, 5},
                          {5, 5, INT_MIN}, {65536, 65536, 1}, {2, INT_MAX, 1},    {1291, 1291, 1291},
                          {INT_MAX, 1, 1}, {1, 1, INT_MAX},   {1, INT_MAX / 4, 2},
                          {INT_MAX, INT_MAX, 3}, {INT_MAX, INT_MAX, INT_MAX}};
    for (const auto& d : bad) EXPECT_EQ(Image3DAlloc(d[0], d[1], d[2]), nullptr) << d[0] << " " << d[1] << " " << d[2];
}

TEST(VolumeBuffer, FailedAllocationReturnsNull) {
    img3d::detail::heap_fail_at(1);
    EXPECT_EQ(Image3DAlloc(4, 4, 4), nullptr);
    Volume v(4, 4, 4);
    EXPECT_NE(v.get(), nullptr);
}

}  // namespace
