// Object extraction against the step-by-step scan-line fill, run for run,
// and the measures against a breadth-first labelling.
#include "fuzz_input.h"
#include "reference_objects.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace img3d::test;
    img3d::fuzz::Input in(data, size);
    const int value = in.integer(), paint = in.integer();
    unsigned char*** volume = in.volume(14, {value & 0xFF, paint & 0xFF, 3});
    const Grid extent{Image3DGetWidth(volume), Image3DGetHeight(volume), Image3DGetDepth(volume)};
    const auto before = img3d::fuzz::voxels_of(volume);

    int count = -7;
    RunLength3D** list = GetAllRunLength3D(volume, value, paint, &count, 0);
    if ((paint & 0xFF) == value) {
        // Refused: nothing taken, nothing painted.
        FUZZ_CHECK(list == nullptr && count == 0);
        FUZZ_CHECK(img3d::fuzz::voxels_of(volume) == before);
        Image3DFree(volume);
        return 0;
    }
    auto painted = before;
    const auto expected = scanline_objects(painted, extent, value, paint);
    FUZZ_CHECK(img3d::fuzz::voxels_of(volume) == painted);
    FUZZ_CHECK(count == static_cast<int>(expected.size()));
    FUZZ_CHECK((list == nullptr) == expected.empty());

    const Labelling labels = label_objects(before, extent, value);
    FUZZ_CHECK(labels.objects == count);
    for (int i = 0; i < count; ++i) {
        FUZZ_CHECK(list[i] != nullptr);
        FUZZ_CHECK(runs_of(list[i]) == expected[static_cast<std::size_t>(i)]);
        FUZZ_CHECK(ObjVolume(list[i]) == static_cast<int>(labels.voxels[static_cast<std::size_t>(i)]));
        int box[6];
        GetObjectXYLimit3D(list[i], &box[0], &box[1], &box[2], &box[3], &box[4], &box[5]);
        const auto& b = labels.boxes[static_cast<std::size_t>(i)];
        FUZZ_CHECK(box[0] == b.x_min && box[1] == b.x_max && box[2] == b.y_min && box[3] == b.y_max &&
                   box[4] == b.z_min && box[5] == b.z_max);
        Img3DFillObject(volume, list[i], value);
    }
    // Painting every record back restores the volume.
    FUZZ_CHECK(img3d::fuzz::voxels_of(volume) == before);
    FreeRunLength3D(count, list);
    Image3DFree(volume);
    return 0;
}
