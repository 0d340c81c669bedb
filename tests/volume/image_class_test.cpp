#include <gtest/gtest.h>

#include <cstring>

#include "platform/heap.h"
#include "test_support.h"

namespace {

bool same_contents(CTarnImage3D& a, CTarnImage3D& b) {
    return a.getWidth() == b.getWidth() && a.getHeight() == b.getHeight() &&
           a.getDepth() == b.getDepth() &&
           std::memcmp(a.getPixels(), b.getPixels(), static_cast<std::size_t>(a.getSize())) == 0;
}

void fill_pattern(CTarnImage3D& image) {
    for (int i = 0; i < image.getSize(); ++i) image.getPixels()[i] = static_cast<unsigned char>(i * 7 + 3);
}

TEST(ImageClass, EmptyObject) {
    CTarnImage3D image;
    EXPECT_EQ(image.getWidth(), 0);
    EXPECT_EQ(image.getHeight(), 0);
    EXPECT_EQ(image.getDepth(), 0);
    EXPECT_EQ(image.getSize(), 0);
    EXPECT_EQ(image.getPixels(), nullptr);
    EXPECT_EQ(static_cast<unsigned char***>(image), nullptr);
    image.clearImage(5);
    image.destroyImage();
    image.destroyImage();
    CTarnImage3D copy(image);
    EXPECT_EQ(static_cast<unsigned char***>(copy), nullptr);
}

TEST(ImageClass, MakeImageHoldsAZeroFilledVolume) {
    CTarnImage3D image;
    ASSERT_EQ(image.makeImage(4, 3, 2), 1);
    unsigned char*** handle = image;
    EXPECT_EQ(image.getSize(), 24);
    EXPECT_EQ(image.getWidth(), 4);
    EXPECT_EQ(image.getHeight(), 3);
    EXPECT_EQ(image.getDepth(), 2);
    EXPECT_EQ(image.getPixels(), handle[0][0]);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(image.getPixels()[i], 0);

    fill_pattern(image);
    ASSERT_EQ(image.makeImage(2, 2, 2), 1);
    EXPECT_EQ(image.getSize(), 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(image.getPixels()[i], 0);

    EXPECT_EQ(image.makeImage(0, 2, 2), 0);
    EXPECT_EQ(static_cast<unsigned char***>(image), nullptr);
    EXPECT_EQ(image.getSize(), 0);
}

TEST(ImageClass, CopiesHoldSeparateBlocks) {
    CTarnImage3D original(4, 3, 2);
    fill_pattern(original);
    CTarnImage3D copy(original);
    const CTarnImage3D& const_original = original;
    CTarnImage3D const_copy(const_original);
    ASSERT_TRUE(same_contents(copy, original));
    ASSERT_TRUE(same_contents(const_copy, original));
    EXPECT_NE(static_cast<unsigned char***>(copy), static_cast<unsigned char***>(original));
    copy.getPixels()[5] ^= 0xFF;
    EXPECT_FALSE(same_contents(copy, original));
}

TEST(ImageClass, AssignmentAlwaysReplacesTheBlock) {
    CTarnImage3D source(4, 3, 2), target(4, 3, 2), other(9, 1, 1);
    fill_pattern(source);
    target = source;
    EXPECT_TRUE(same_contents(target, source));
    EXPECT_NE(static_cast<unsigned char***>(target), static_cast<unsigned char***>(source));

    other = source;
    EXPECT_TRUE(same_contents(other, source));

    unsigned char*** handle = target;
    target = target;  // self-assignment: nothing at all changes
    EXPECT_EQ(static_cast<unsigned char***>(target), handle);
    EXPECT_TRUE(same_contents(target, source));

    CTarnImage3D empty;
    target = empty;
    EXPECT_EQ(static_cast<unsigned char***>(target), nullptr);
    EXPECT_EQ(target.getSize(), 0);
}

TEST(ImageClass, AssignmentMakesANewBlockEvenForEqualDimensions) {
    // With the allocation made to fail, a replacing assignment leaves the
    // target empty: proof that it did not reuse its old block.
    CTarnImage3D source(4, 3, 2), target(4, 3, 2);
    img3d::detail::heap_fail_at(1);
    target = source;
    EXPECT_EQ(static_cast<unsigned char***>(target), nullptr);
    img3d::detail::heap_fail_at(1);
    CTarnImage3D copy(source);
    EXPECT_EQ(copy.getSize(), 0);
    img3d::detail::heap_fail_at(1);
    CTarnImage3D sized(3, 3, 3);
    EXPECT_EQ(sized.getSize(), 0);
}

TEST(ImageClass, ClearImageStoresTheLowByte) {
    CTarnImage3D image(5, 4, 3);
    image.clearImage(7);
    for (int i = 0; i < image.getSize(); ++i) ASSERT_EQ(image.getPixels()[i], 7);
    image.clearImage(263);
    for (int i = 0; i < image.getSize(); ++i) ASSERT_EQ(image.getPixels()[i], 7);
    image.clearImage(-1);
    for (int i = 0; i < image.getSize(); ++i) ASSERT_EQ(image.getPixels()[i], 255);
}

TEST(ImageClass, ConversionPassesTheHandleToTheCApi) {
    CTarnImage3D image(6, 5, 4);
    image.clearImage(3);
    int maximum = 0, minimum = 0;
    Img3DLimit(image, &maximum, &minimum);
    EXPECT_EQ(maximum, 3);
    EXPECT_EQ(minimum, 3);
}

}  // namespace
