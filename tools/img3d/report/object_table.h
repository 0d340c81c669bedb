// The objects command's table: one row per object, as CSV, text or JSON.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "object_labels.h"

namespace img3d_tool {

struct ObjectRow {
    int index;  // the object's label
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
