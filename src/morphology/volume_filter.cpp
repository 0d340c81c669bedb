// Removal of the objects whose voxel count lies outside a range.
//
// Only each object's voxel count decides, so the objects are counted by a
// union-find over the source's runs instead of being extracted into records:
// the same objects and the same voxels painted, without a record per object
// or a flood fill.  A second scan of the source meets the runs in the same
// order and paints those of the objects that go.
#include <cstdint>

#include "img3d.h"
#include "objects/objects_internal.h"

extern "C" IMG3D_API int Img3DDelVolume(unsigned char*** source, unsigned char*** destination, int objectValue,
                                        int paintValue, int minVolume, int maxVolume) {
    // The source is read after the destination is written, so the two must
    // be different volumes.  Volumes whose objects could not be recorded
    // are refused as the object list refuses them, though no record is made
    // here.
    if (source == destination || !img3d::detail::begin_object_filter(source, destination, objectValue, paintValue))
        return -1;
    const int width = Image3DGetWidth(source), height = Image3DGetHeight(source), depth = Image3DGetDepth(source);
    const auto value = static_cast<std::uint8_t>(objectValue);
    const auto* voxels = static_cast<const std::uint8_t*>(source[0][0]);

    img3d::detail::RunLabels labels;
    if (!labels.label(voxels, width, height, depth, value) || labels.runs() == 0) return -1;

    const auto paint = static_cast<std::uint8_t>(paintValue & 0xFF);
    std::uint8_t* out = destination[0][0];
    const std::size_t rows = static_cast<std::size_t>(height) * static_cast<std::size_t>(depth);
    std::size_t run = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t offset = r * static_cast<std::size_t>(width);
        img3d::detail::for_each_run(voxels + offset, width, value, [&](int start, int end) {
            const std::int32_t count = labels.object_voxels(run++);
            if (count > maxVolume || count < minVolume)
                img3d::detail::fill_stretch(out + offset + start, static_cast<std::size_t>(end - start + 1), paint);
        });
    }
    return 0;
}
