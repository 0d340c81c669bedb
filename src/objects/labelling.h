// The label image: every object of one grey value numbered in raster order
// of its first voxel, for 6-, 18- and 26-connectivity.
#pragma once

#include <cstdint>

namespace img3d::detail {

// As Img3DLabel, on a width x height x depth voxel array (x fastest) instead
// of a volume handle, for hosts that hold their voxels elsewhere.  The
// extents are at least 1 and their product fits in an int32.
int label_voxels(const std::uint8_t* voxels, int width, int height, int depth, int value, int connectivity,
                 std::int32_t* labels) noexcept;

}  // namespace img3d::detail
