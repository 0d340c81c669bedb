// What every operation needs to know about a volume block besides the
// exported accessors: where the voxel array starts and how long it is.
#pragma once

#include <cstddef>

#include "img3d.h"

namespace img3d::detail {

inline unsigned char* first_voxel(unsigned char*** volume) { return volume[0][0]; }

// width * height * depth; fits in int for every volume Image3DAlloc made.
inline std::size_t voxel_count(unsigned char*** volume) {
    return static_cast<std::size_t>(Image3DGetWidth(volume)) * static_cast<std::size_t>(Image3DGetHeight(volume)) *
           static_cast<std::size_t>(Image3DGetDepth(volume));
}

// The checks behind the library's refusals of calls it can see are wrong.
// A null handle has all dimensions 0.

// The destination has at least as many voxels as the source.
inline bool holds_voxels_of(unsigned char*** destination, unsigned char*** source) {
    return destination != nullptr && source != nullptr && voxel_count(destination) >= voxel_count(source);
}

// The destination is at least as wide, as high and as deep as the source.
inline bool covers(unsigned char*** destination, unsigned char*** source) {
    return destination != nullptr && source != nullptr && Image3DGetWidth(destination) >= Image3DGetWidth(source) &&
           Image3DGetHeight(destination) >= Image3DGetHeight(source) &&
           Image3DGetDepth(destination) >= Image3DGetDepth(source);
}

inline bool same_dimensions(unsigned char*** a, unsigned char*** b) {
    return a != nullptr && b != nullptr && Image3DGetWidth(a) == Image3DGetWidth(b) &&
           Image3DGetHeight(a) == Image3DGetHeight(b) && Image3DGetDepth(a) == Image3DGetDepth(b);
}

}  // namespace img3d::detail
