// The label image of every connectivity, from a volume and from plain voxel
// memory in either label type, and the object statistics against the
// breadth-first labelling; and the label image renumbered through a table,
// also as a held labelling writes a box of it.
#include "fuzz_input.h"
#include "reference_objects.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace img3d::test;
    img3d::fuzz::Input in(data, size);
    const int value = in.integer();
    static const int kConnectivities[] = {6, 18, 26};
    const int connectivity = in.byte() % 8 == 7 ? in.integer() : kConnectivities[in.byte() % 3];
    const bool wide = in.byte() % 2 == 1;
    unsigned char*** volume = in.volume(12, {value & 0xFF, 0, 3}, 70);
    const Grid extent{Image3DGetWidth(volume), Image3DGetHeight(volume), Image3DGetDepth(volume)};
    const auto before = img3d::fuzz::voxels_of(volume);

    std::vector<std::int32_t> labels(extent.size(), -5);
    const int n = Img3DLabel(volume, value, connectivity, labels.data());
    FUZZ_CHECK(img3d::fuzz::voxels_of(volume) == before);
    std::vector<std::int64_t> wide_labels(extent.size(), -5);
    std::vector<std::int32_t> narrow_labels(extent.size(), -5);
    std::vector<std::int64_t> begun(static_cast<std::size_t>(extent.height) * extent.depth, -5);
    const std::int64_t n_voxels =
        wide ? Img3DLabelVoxelsStrided(before.data(), extent.width, extent.height, extent.depth, 0, 0, value,
                                       connectivity, wide_labels.data(), IMG3D_INT64, 0, 0, begun.data())
             : Img3DLabelVoxels(before.data(), extent.width, extent.height, extent.depth, value, connectivity,
                                narrow_labels.data(), IMG3D_INT32);
    FUZZ_CHECK(n_voxels == n);
    if (connectivity != 6 && connectivity != 18 && connectivity != 26) {
        FUZZ_CHECK(n == -1 && labels == std::vector<std::int32_t>(extent.size(), -5));
        FUZZ_CHECK(wide_labels == std::vector<std::int64_t>(extent.size(), -5));
        FUZZ_CHECK(narrow_labels == std::vector<std::int32_t>(extent.size(), -5));
        FUZZ_CHECK(begun == std::vector<std::int64_t>(begun.size(), -5));
        Image3DFree(volume);
        return 0;
    }
    const Labelling expected = label_objects(before, extent, value, connectivity);
    FUZZ_CHECK(n == expected.objects);
    FUZZ_CHECK(std::vector<int>(labels.begin(), labels.end()) == expected.label);
    FUZZ_CHECK(wide ? std::vector<int>(wide_labels.begin(), wide_labels.end()) == expected.label
                    : narrow_labels == labels);
    if (wide) {
        std::vector<std::int64_t> rows(begun.size(), 0);
        for (const std::size_t first : expected.first_voxel) ++rows[first / static_cast<std::size_t>(extent.width)];
        FUZZ_CHECK(begun == rows);
    }

    // Renumbered through a table that reverses the numbering.
    std::vector<std::int32_t> reverse(static_cast<std::size_t>(n) + 1, 0);
    for (int k = 1; k <= n; ++k) reverse[static_cast<std::size_t>(k)] = n + 1 - k;
    std::vector<std::int32_t> renumbered = labels, into(labels.size(), -5);
    FUZZ_CHECK(Img3DRelabelVoxels(renumbered.data(), static_cast<std::int64_t>(renumbered.size()), IMG3D_INT32,
                                  reverse.data(), n + 1) == 0);
    FUZZ_CHECK(Img3DRelabelVoxelsInto(labels.data(), into.data(), static_cast<std::int64_t>(into.size()), IMG3D_INT32,
                                      reverse.data(), n + 1) == 0);
    FUZZ_CHECK(into == renumbered);
    for (std::size_t i = 0; i < labels.size(); ++i)
        FUZZ_CHECK(renumbered[i] == reverse[static_cast<std::size_t>(labels[i])]);

    // Held between the passes, a box of the labels written through that table.
    std::int64_t held = -1;
    Img3DRunLabels* runs = Img3DLabelRuns(before.data(), extent.width, extent.height, extent.depth, 0, 0, value,
                                          connectivity, &held, nullptr);
    FUZZ_CHECK(runs != nullptr && held == n);
    const int x0 = in.byte() % extent.width, y0 = in.byte() % extent.height, z0 = in.byte() % extent.depth;
    const Grid box{1 + in.byte() % (extent.width - x0), 1 + in.byte() % (extent.height - y0),
                   1 + in.byte() % (extent.depth - z0)};
    std::vector<std::int32_t> boxed(box.size(), -5);
    FUZZ_CHECK(Img3DWriteRunLabels(runs, x0, y0, z0, box.width, box.height, box.depth, boxed.data(), IMG3D_INT32, 0, 0,
                                   reverse.data(), n + 1) == 0);
    Img3DFreeRunLabels(runs);
    for (int z = 0; z < box.depth; ++z)
        for (int y = 0; y < box.height; ++y)
            for (int x = 0; x < box.width; ++x)
                FUZZ_CHECK(boxed[box.index(x, y, z)] == renumbered[extent.index(x + x0, y + y0, z + z0)]);

    std::vector<Img3DObject> objects(static_cast<std::size_t>(n) + 1);
    FUZZ_CHECK(Img3DObjectStats(labels.data(), extent.width, extent.height, extent.depth, n, objects.data()) == 0);
    for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k) {
        const Img3DObject& o = objects[k];
        const auto& box = expected.boxes[k];
        FUZZ_CHECK(static_cast<std::size_t>(o.voxels) == expected.voxels[k]);
        FUZZ_CHECK(o.sumX == expected.sums[k][0] && o.sumY == expected.sums[k][1] && o.sumZ == expected.sums[k][2]);
        FUZZ_CHECK(o.xMin == box.x_min && o.xMax == box.x_max && o.yMin == box.y_min && o.yMax == box.y_max &&
                   o.zMin == box.z_min && o.zMax == box.z_max);
        FUZZ_CHECK(extent.index(o.firstX, o.firstY, o.firstZ) == expected.first_voxel[k]);
    }
    Image3DFree(volume);
    return 0;
}
