// Img3DDilatation against the reference, separate and in place.
#include "fuzz_input.h"
#include "reference_morphology.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    img3d::fuzz::Input in(data, size);
    const int object = in.integer(), background = in.integer();
    const int element = in.range(-1, 3);
    unsigned char*** source = in.volume(12, {object & 0xFF, background & 0xFF, 0, 200});
    const auto voxels = img3d::fuzz::voxels_of(source);
    const img3d::test::Grid grid(Image3DGetWidth(source), Image3DGetHeight(source),
                                      Image3DGetDepth(source), voxels);
    const auto expected = img3d::reference::dilate(grid, object, background & 0xFF, element);

    unsigned char*** destination =
        Image3DAlloc(Image3DGetWidth(source), Image3DGetHeight(source), Image3DGetDepth(source));
    FUZZ_CHECK(Img3DDilatation(source, destination, object, background, element) == 0);
    FUZZ_CHECK(img3d::fuzz::voxels_of(destination) == expected.voxels);
    FUZZ_CHECK(img3d::fuzz::voxels_of(source) == voxels);
    FUZZ_CHECK(Img3DDilatation(source, source, object, background, element) == 0);
    FUZZ_CHECK(img3d::fuzz::voxels_of(source) == expected.voxels);
    Image3DFree(destination);
    Image3DFree(source);
    return 0;
}
