// Img3DEdgeSmooth against the literal window sum, radius 0 ... 3.
#include "fuzz_input.h"
#include "reference_morphology.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    img3d::fuzz::Input in(data, size);
    const int object = in.integer(), background = in.integer();
    const std::uint8_t radius_byte = in.byte();
    // Mostly 0 ... 3; now and then a radius outside the accepted range.
    const int radius = radius_byte < 240 ? radius_byte % 4 : (radius_byte % 2 ? -1 : 102);
    const bool in_place = in.byte() & 1;
    unsigned char*** source = in.volume(10, {object & 0xFF, background & 0xFF, 0, 255});
    const auto voxels = img3d::fuzz::voxels_of(source);
    const int w = Image3DGetWidth(source), h = Image3DGetHeight(source), d = Image3DGetDepth(source);
    unsigned char*** destination = in_place ? source : Image3DAlloc(w, h, d);
    if (!in_place) Img3DClear(destination, 33);
    const auto before = img3d::fuzz::voxels_of(destination);

    const int result = Img3DEdgeSmooth(source, destination, object, background, radius);
    if ((background & 0xFF) == object || radius < 0 || radius > 101) {
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(img3d::fuzz::voxels_of(destination) == before);
    } else {
        img3d::test::Grid expected;
        const int expected_result =
            img3d::reference::edge_smooth({w, h, d, voxels}, expected, object, background & 0xFF, radius);
        FUZZ_CHECK(result == expected_result);
        FUZZ_CHECK(img3d::fuzz::voxels_of(destination) == expected.voxels);
    }
    if (!in_place) {
        FUZZ_CHECK(img3d::fuzz::voxels_of(source) == voxels);
        Image3DFree(destination);
    }
    Image3DFree(source);
    return 0;
}
