// The two threshold selections work on a histogram alone; the exported
// functions on volumes count the volume first, those on histograms check
// the caller's counts.
#pragma once

#include <cstdint>

#include "img3d.h"

namespace img3d::detail {

// Otsu's level for a histogram of 256 counts that sum to voxels (>= 1).
int otsu_level(const std::int64_t histogram[256], std::int64_t voxels);

// The two-mode valley level (1 ... 254), or 0, for a histogram of 256
// non-negative counts whose sum fits in an int64_t.
int two_mode_level(const std::int64_t histogram[256]);

// What both selections on a volume do: choose(histogram, voxels) on the
// volume's histogram, widened; -1 for a NULL volume.
template <class Choose>
int level_of(unsigned char*** volume, Choose choose) {
    if (volume == nullptr) return -1;
    int counts[256];
    Img3DHisto(volume, counts);
    std::int64_t histogram[256];
    std::int64_t voxels = 0;
    for (int i = 0; i < 256; ++i) voxels += histogram[i] = counts[i];
    return choose(histogram, voxels);
}

// What both selections on a caller's histogram do: choose(histogram, voxels)
// once the counts are known to be non-negative with a sum of 1 ...
// INT64_MAX; -1 otherwise.
template <class Choose>
int level_of(const std::int64_t* histogram, Choose choose) {
    if (histogram == nullptr) return -1;
    std::int64_t voxels = 0;
    for (int i = 0; i < 256; ++i) {
        if (histogram[i] < 0 || histogram[i] > INT64_MAX - voxels) return -1;
        voxels += histogram[i];
    }
    return voxels == 0 ? -1 : choose(histogram, voxels);
}

}  // namespace img3d::detail
