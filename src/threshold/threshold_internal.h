// The two threshold selections work on a histogram alone; the exported
// functions only count the volume first.  Tests reach these directly to try
// histograms far larger than any test volume.
#pragma once

#include "img3d.h"

namespace img3d::detail {

// Otsu's level for a histogram of 256 counts that sum to voxels (>= 1).
int otsu_level(const int histogram[256], int voxels);

// The two-mode valley level (1 ... 254), or 0, for a histogram of 256
// non-negative counts whose sum fits in an int.
int two_mode_level(const int histogram[256]);

// What both exported selections do: choose(histogram) on the volume's
// histogram; -1 for a NULL volume.
template <class Choose>
int level_of(unsigned char*** volume, Choose choose) {
    if (volume == nullptr) return -1;
    int histogram[256];
    Img3DHisto(volume, histogram);
    return choose(histogram);
}

}  // namespace img3d::detail
