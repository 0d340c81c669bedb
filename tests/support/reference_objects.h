// Deliberately naive references for the connected-object operations, shared
// by the unit tests and fuzz targets.  They work on plain voxel vectors in
// storage order (x fastest, then y, then z) and favour obviousness over speed.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <vector>

#include "grid.h"
#include "img3d.h"

namespace img3d::test {

// One run as plain ints, for comparisons and readable failure messages.
struct RefRun {
    int y, z, x_start, x_end;
    bool operator==(const RefRun& o) const {
        return y == o.y && z == o.z && x_start == o.x_start && x_end == o.x_end;
    }
    bool operator!=(const RefRun& o) const { return !(*this == o); }
};
std::ostream& operator<<(std::ostream& out, const RefRun& run);

// The runs of a record (none for a null record).
std::vector<RefRun> runs_of(const RunLength3D* record);

// Breadth-first labelling of the voxels equal to value, 6-, 18- or
// 26-connected: label 0 for other voxels, objects numbered 1, 2, ... in
// raster order of their first voxel.
struct Labelling {
    std::vector<int> label;
    int objects = 0;
    struct Box {
        int x_min, x_max, y_min, y_max, z_min, z_max;
    };
    std::vector<std::size_t> voxels;       // per object
    std::vector<Box> boxes;                // per object, inclusive
    std::vector<std::array<long long, 3>> sums;  // per object, of x, y and z
    std::vector<std::size_t> first_voxel;  // per object, storage index
};
Labelling label_objects(const std::vector<std::uint8_t>& voxels, const Grid& extent, int value,
                        int connectivity = 6);

// The scan-line fill written out step by step, with a std::vector as the
// stack: runs in the order the fill takes them.  Paints `voxels`.
std::vector<RefRun> scanline_fill(std::vector<std::uint8_t>& voxels, const Grid& extent, int x,
                                  int y, int z, int value, int paint);

// Every object in raster order of seeds, each by scanline_fill.  Paints
// `voxels`.
std::vector<std::vector<RefRun>> scanline_objects(std::vector<std::uint8_t>& voxels,
                                                  const Grid& extent, int value, int paint);

}  // namespace img3d::test
