// The objects command's table: one row per object, as CSV, text or JSON.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "geometry.h"
#include "intensity.h"
#include "object_labels.h"

namespace img3d_tool {

struct ObjectRow {
    int index;  // the object's label
    int voxels;
    int x_min, x_max, y_min, y_max, z_min, z_max;
    int seed_x, seed_y, seed_z;  // the object's first voxel in raster order
    double centroid_mm[3];       // the voxels' mean index times the voxel size, along x, y, z
    double millilitres;
    bool has_grey;
    GreyOfObject grey;
};

enum class TableOrder { size, raster };

// One row per object; largest first (ties in raster order) or in raster
// order.  grey, when not empty, holds label k's values at k - 1.
std::vector<ObjectRow> object_table(const ObjectLabels& labels, TableOrder order, const Geometry& geometry,
                                    const std::vector<GreyOfObject>& grey = {});

// with_grey: the grey columns, which the rows then carry.
void print_csv(std::FILE* out, const std::vector<ObjectRow>& rows, bool with_grey = false);
std::string csv_text(const std::vector<ObjectRow>& rows, bool with_grey = false);
void print_table(std::FILE* out, const std::vector<ObjectRow>& rows, std::size_t limit);

struct TableHeading {
    std::string input, value, grey;  // grey: the file of the grey values, or ""
    int connectivity = 6;
    bool unit_assumed = false;  // the file's units unknown, taken as mm
};
std::string table_json(const std::vector<ObjectRow>& rows, const ObjectLabels& labels, const TableHeading& heading);

}  // namespace img3d_tool
