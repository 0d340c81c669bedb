// What every operation needs to know about a volume block besides the
// exported accessors: where the voxel array starts and how long it is.
#pragma once

#include <cstddef>

#include "img3d.h"

namespace img3d::detail {

inline unsigned char* first_voxel(unsigned char*** volume) { return volume[0][0]; }

// width * height * depth; fits in int for every volume Image3DAlloc made.
inline std::size_t voxel_count(unsigned char*** volume) {
    return static_cast<std::size_t>(Image3DGetWidth(volume)) *
           static_cast<std::size_t>(Image3DGetHeight(volume)) *
           static_cast<std::size_t>(Image3DGetDepth(volume));
}

}  // namespace img3d::detail
