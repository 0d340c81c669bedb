// Single and band segmentation against the per-voxel definitions, in place,
// into the same size and into a larger destination.
#include "fuzz_input.h"
#include "reference_threshold.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    img3d::fuzz::Input in(data, size);
    const bool band = in.byte() & 1;
    const int mode = in.byte() % 3;  // 0 separate, 1 in place, 2 larger destination
    const int low = in.integer(), high = in.integer();
    const auto a = in.byte(), b = in.byte();
    std::vector<int> palette(256);
    for (int i = 0; i < 256; ++i) palette[i] = i;
    unsigned char*** source = in.volume(12, palette);
    const auto voxels = img3d::fuzz::voxels_of(source);
    const int w = Image3DGetWidth(source), h = Image3DGetHeight(source), d = Image3DGetDepth(source);
    const int grow = mode == 2 ? 2 : 0;
    unsigned char*** destination = mode == 1 ? source : Image3DAlloc(w + grow, h + grow, d + grow);
    if (mode != 1) Img3DClear(destination, 91);

    const int result = band ? Img3DDoubleSegment(source, destination, low, high, a, b)
                            : Img3DSingleSegment(source, destination, low, a, b);
    FUZZ_CHECK(result == 0);
    for (int z = 0; z < d + grow; ++z)
        for (int y = 0; y < h + grow; ++y)
            for (int x = 0; x < w + grow; ++x) {
                const unsigned char got = destination[z][y][x];
                if (x >= w || y >= h || z >= d) {
                    FUZZ_CHECK(got == 91);
                    continue;
                }
                const unsigned char voxel = voxels[(std::size_t(z) * h + y) * w + x];
                FUZZ_CHECK(got == (band ? img3d::test::reference_double(voxel, low, high, a, b)
                                        : img3d::test::reference_single(voxel, low, a, b)));
            }
    if (mode != 1) {
        FUZZ_CHECK(img3d::fuzz::voxels_of(source) == voxels);
        Image3DFree(destination);
    }
    Image3DFree(source);
    return 0;
}
