// Both automatic thresholds against their plain definitions.
#include "fuzz_input.h"
#include "reference_threshold.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    img3d::fuzz::Input in(data, size);
    // A few grey levels, so that plateaus, ties and empty gaps are common.
    std::vector<int> palette(1 + in.byte() % 6);
    for (auto& level : palette) level = in.byte();
    unsigned char*** v = in.volume(16, palette);
    img3d::test::Volume volume(Image3DGetWidth(v), Image3DGetHeight(v), Image3DGetDepth(v));
    Img3DCopy(v, volume);
    Image3DFree(v);
    const auto histogram = img3d::test::count_levels(volume);
    FUZZ_CHECK(Img3DDaJinThreshold(volume) == img3d::test::reference_otsu(histogram));
    FUZZ_CHECK(Img3D2ModeThreshold(volume) == img3d::test::reference_two_mode(histogram));
    return 0;
}
