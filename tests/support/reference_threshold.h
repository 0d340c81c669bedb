// Deliberately naive references for threshold selection and segmentation:
// each follows the plain definition with no shortcut, so that the library's
// faster formulations can be compared with them.
#pragma once

#include <array>

#include "test_support.h"

namespace img3d::test {

using Histogram = std::array<int, 256>;

// Counts the voxels of each grey value, one voxel at a time.
Histogram count_levels(const Volume& volume);

// Otsu: for every split t, the class probability and moment of 0 ... t are
// summed from level 0 again; the highest of the largest between-class
// variances wins.  The counts must sum to at least 1.
int reference_otsu(const Histogram& histogram);

// Two-mode: every (even left level, valley, other-parity right level)
// triple of the smoothed histogram is scored; the lowest valley of the
// largest positive score wins, 0 when none is positive.
int reference_two_mode(const Histogram& histogram);

// One voxel of the single and band segmentations, compared as ints.
unsigned char reference_single(unsigned char voxel, int threshold, unsigned char high,
                               unsigned char low);
unsigned char reference_double(unsigned char voxel, int low_threshold, int high_threshold,
                               unsigned char inside, unsigned char outside);

}  // namespace img3d::test
