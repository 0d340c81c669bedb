// The objects of a volume: a label image of its objects (6-, 18- or
// 26-connected) and their measures.
#pragma once

#include <img3d.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace img3d_tool {

// Object k (1 ... count) of one grey value: its voxels carry label k, every
// other voxel 0, numbered by the raster order of the objects' first voxels.
struct ObjectLabels {
    int width = 0, height = 0, depth = 0;
    std::unique_ptr<std::int32_t[]> labels;  // x fastest
    std::vector<Img3DObject> objects;        // objects[k - 1] describes label k
    int count() const { return static_cast<int>(objects.size()); }
};

// Labels the objects of value (connectivity 6, 18 or 26) and measures them.
// Throws RunError when memory runs out.
ObjectLabels label_objects(unsigned char*** volume, int value, int connectivity);

// Removes the objects whose voxel count lies outside min_volume ...
// max_volume from the labels and from volume (set to background there),
// renumbering the others in the same order.  Returns how many it removed.
int remove_outside(ObjectLabels& labels, unsigned char*** volume, int background, int min_volume, int max_volume);

// Keeps the keep objects of most voxels (ties: the lower label), likewise.
// Returns how many it removed.
int keep_largest(ObjectLabels& labels, unsigned char*** volume, int background, int keep);

}  // namespace img3d_tool
