// The objects of a volume: a label image and one row per 6-connected object.
#pragma once

#include <img3d.h>

#include <cstdint>
#include <cstdio>
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

// Labels the 6-connected objects of value and measures them.  Throws
// RunError when memory runs out.
ObjectLabels label_objects(unsigned char*** volume, int value);

// Removes the objects whose voxel count lies outside min_volume ...
// max_volume from the labels and from volume (set to background there),
// renumbering the others in the same order.  Returns how many it removed.
int remove_outside(ObjectLabels& labels, unsigned char*** volume, int background, int min_volume, int max_volume);

struct ObjectRow {
    int index;         // the object's label
    int voxels;
    int x_min, x_max, y_min, y_max, z_min, z_max;
    int seed_x, seed_y, seed_z;  // the object's first voxel in raster order
};

enum class TableOrder { size, raster };

// One row per object; largest first (ties in raster order) or in raster order.
std::vector<ObjectRow> object_table(const ObjectLabels& labels, TableOrder order);

void print_csv(std::FILE* out, const std::vector<ObjectRow>& rows);
std::string csv_text(const std::vector<ObjectRow>& rows);
void print_table(std::FILE* out, const std::vector<ObjectRow>& rows, std::size_t limit);
std::string table_json(const std::vector<ObjectRow>& rows, const std::string& input, const ObjectLabels& labels,
                       const std::string& value);

}  // namespace img3d_tool
