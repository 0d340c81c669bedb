// Where a volume's voxels lie in space, as its file says: what the preview
// needs to name and orient its planes, without the file format's types.
#pragma once

#include <string>

namespace img3d_tool {

struct Geometry {
    float spacing[3] = {1, 1, 1};  // voxel size along x, y, z in the file's unit
    std::string unit;              // "mm", "um", "m" or empty when unknown
    // Voxel (i, j, k) lies at world (RAS+, millimetres) to_world * (i, j, k, 1),
    // from the sform where its code is set, else from the qform; "" when
    // both codes are 0 (raw input, the phantom): the storage order is all
    // that is known.
    std::string source;
    double to_world[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    bool oriented() const { return !source.empty(); }
};

}  // namespace img3d_tool
