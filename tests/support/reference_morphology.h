// Deliberately naive references for dilation and the two object filters,
// written from their plain definitions on flat voxel arrays.  They share
// nothing with the library's code.
#pragma once

#include <cstdint>
#include <vector>

#include "grid.h"

namespace img3d::reference {

using test::Grid;

// Every 6-connected object of value as a voxel list, objects in raster order
// of their first voxel (the labelling of reference_objects.h).
struct Voxel {
    int x, y, z;
};
std::vector<std::vector<Voxel>> objects6(const Grid& grid, int value);

// Interior voxels of object spread to their 7 (element 1) or 27 (element 2)
// neighbours; everything else is background.
Grid dilate(const Grid& source, int object, int background, int element);

// Copy of the source with the objects outside [minimum, maximum] painted.
// Returns -1 (destination = copy of the source) when there is no object.
int delete_by_volume(const Grid& source, Grid& destination, int object, int paint, int minimum,
                     int maximum);

// Per object, inside its bounding box: object where the literal sum of the
// (2r+1)^3 window of a scratch holding only that object reaches
// ((w^3 + 1) * object) / 2.  Returns -1 (destination = copy) without objects.
int edge_smooth(const Grid& source, Grid& destination, int object, int background, int radius);

}  // namespace img3d::reference
