// Deliberately naive references for the operations that finish a
// segmentation: element-wise morphology, hole filling by a flood from the
// border, labelling of every value by breadth-first search, and per-label
// statistics in two passes.  Flat voxel vectors in storage order.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "grid.h"

namespace img3d::reference {

using test::Grid;

// Voxels that are `value` with probability density, else 0.
std::vector<std::uint8_t> random_mask(const Grid& shape, double density, int value, std::mt19937& rng);

// One step of dilation (or erosion) of the voxels equal to value by the
// element of the connectivity, outside the volume being background; the
// result as 0/1.
std::vector<std::uint8_t> morph_step(const Grid& grid, const std::vector<std::uint8_t>& set, int connectivity,
                                     bool dilate);
// The set (voxel == value) as 0/1.
std::vector<std::uint8_t> set_of(const std::vector<std::uint8_t>& voxels, int value);
// 0/1 mapped to background/value.
std::vector<std::uint8_t> paint_set(const std::vector<std::uint8_t>& set, int value, int background);

// The set with every piece of its complement that no flood from the border
// reaches (axis -1: faces of the volume; 0, 1, 2: planes of one z, y, x
// flooded within the plane from its edges), as 0/1.
std::vector<std::uint8_t> fill_holes(const Grid& grid, const std::vector<std::uint8_t>& set, int connectivity,
                                     int axis);

// Pieces of every non-zero value, numbered in raster order of first voxels.
std::vector<std::int64_t> label_all(const Grid& grid, const std::vector<std::int64_t>& values, int connectivity,
                                    std::int64_t* pieces);

// Per label 1 ... count: count, mean, population deviation, min, max.
struct Stats {
    std::int64_t count = 0;
    double mean = 0, deviation = 0, minimum = 0, maximum = 0;
};
std::vector<Stats> label_stats(const std::vector<std::int64_t>& labels, const std::vector<double>& grey,
                               std::int64_t count);

}  // namespace img3d::reference
