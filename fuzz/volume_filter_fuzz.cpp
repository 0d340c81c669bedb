// Img3DDelVolume against the reference, with refused calls.
#include "fuzz_input.h"
#include "reference_morphology.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    img3d::fuzz::Input in(data, size);
    const int object = in.integer(), paint = in.integer();
    const int minimum = in.integer(), maximum = in.integer();
    // Rows of up to 140 voxels: the objects are counted 64 columns at a time.
    unsigned char*** source = in.volume(14, {object & 0xFF, paint & 0xFF, 0, 77}, 140);
    const auto voxels = img3d::fuzz::voxels_of(source);
    const int w = Image3DGetWidth(source), h = Image3DGetHeight(source), d = Image3DGetDepth(source);
    unsigned char*** destination = Image3DAlloc(w, h, d);
    Img3DClear(destination, 33);
    const auto untouched = img3d::fuzz::voxels_of(destination);

    const int result = Img3DDelVolume(source, destination, object, paint, minimum, maximum);
    FUZZ_CHECK(img3d::fuzz::voxels_of(source) == voxels);
    if ((paint & 0xFF) == object) {
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(img3d::fuzz::voxels_of(destination) == untouched);
    } else {
        img3d::test::Grid expected;
        const int expected_result = img3d::reference::delete_by_volume(
            {w, h, d, voxels}, expected, object, paint & 0xFF, minimum, maximum);
        FUZZ_CHECK(result == expected_result);
        FUZZ_CHECK(img3d::fuzz::voxels_of(destination) == expected.voxels);
    }
    FUZZ_CHECK(Img3DDelVolume(source, source, object, paint, minimum, maximum) == -1);
    FUZZ_CHECK(img3d::fuzz::voxels_of(source) == voxels);
    Image3DFree(destination);
    Image3DFree(source);
    return 0;
}
