// The object table of a volume: one row per 6-connected object of a value.
#pragma once

#include <img3d.h>

#include <cstdio>
#include <string>
#include <vector>

namespace img3d_tool {

struct ObjectRow {
    int index;         // 1-based position in raster order of the seeds
    int voxels;
    int x_min, x_max, y_min, y_max, z_min, z_max;
    int seed_x, seed_y, seed_z;  // the object's first voxel in raster order
};

enum class TableOrder { size, raster };

// Rows of every object of value; largest first (ties in raster order) or in
// raster order.  Throws RunError when memory runs out.
std::vector<ObjectRow> object_table(unsigned char*** volume, int value, TableOrder order);

void print_csv(std::FILE* out, const std::vector<ObjectRow>& rows);
void print_table(std::FILE* out, const std::vector<ObjectRow>& rows, std::size_t limit);
std::string table_json(const std::vector<ObjectRow>& rows, const std::string& input, unsigned char*** volume,
                       int value);

}  // namespace img3d_tool
