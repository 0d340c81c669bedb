// Voxel values in the file's units, and the 8-bit levels the automatic
// thresholds need.
#pragma once

#include <img3d.h>

#include <cstddef>
#include <vector>

#include "object_labels.h"
#include "volume_io.h"

namespace img3d_tool {

// The value of raw voxel value x in file units.
inline double file_units(const FileVoxels& voxels, double x) {
    return voxels.scaled ? x * voxels.slope + voxels.inter : x;
}

struct ValueStatistics {
    double minimum = 0, maximum = 0, mean = 0;  // over the finite values
    std::size_t non_finite = 0;                 // NaN and infinite voxels
};

ValueStatistics value_statistics(const FileVoxels& voxels);

// How file units become the levels 0 ... 255 of an 8-bit volume.  Either the
// file's own bytes (8-bit unsigned data whose slope is positive or absent),
// or the linear map
//     level = round((value - low) * 255 / (high - low)), clamped to 0 ... 255,
// rounding halves up, with every non-finite value at level 0 and everything
// at level 0 when high <= low.
struct LevelMap {
    bool raw = true;
    double low = 0, high = 255;  // the window of the linear map
    // The file value of a level: exact for raw bytes, the centre of the
    // level's interval for the linear map.
    double value_of(const FileVoxels& voxels, int level) const;
    // The smallest file value at the given level or above (the linear map's
    // rounding boundary; exact for raw bytes).
    double lower_bound(const FileVoxels& voxels, int level) const;
};

// The raw bytes where the data allow them and no window is given, else the
// window (default: the finite values' minimum ... maximum).
LevelMap choose_levels(const FileVoxels& voxels, const ValueStatistics& statistics, const double* window);

// Fills levels, a volume of the file's dimensions, by the linear map (for
// raw bytes the file's volume is used as it is).
void make_levels(const FileVoxels& voxels, const LevelMap& map, unsigned char* levels);

// mask[i] = 255 where low <= the file value of voxel i <= high, else 0;
// non-finite values are never selected.
void select_values(const FileVoxels& voxels, double low, double high, unsigned char* mask);

// For 8-bit unsigned data: whether the raw bytes whose file values lie in
// low ... high form one interval first ... last (true, and first > last when
// none does), so that the library's segmentation can select them.
bool raw_interval(const FileVoxels& voxels, double low, double high, int& first, int& last);

// An object's values in a volume of its grid, in that volume's file units.
struct GreyOfObject {
    double mean, minimum, maximum;  // NaN mean where a value is NaN; NaN minimum and maximum for no finite value
};

// Each object's values in grey, a volume of the labels' grid: entry k - 1
// for label k, by the library's intensity statistics.  The library's grey
// types are taken as they are, 8-bit signed values as 16-bit ones, and any
// other type as 32-bit floating point (about seven significant digits).
// Throws RunError when memory runs out.
std::vector<GreyOfObject> grey_of_objects(const ObjectLabels& labels, const FileVoxels& grey);

// Text for a file value: whole numbers without decimals, others with up to
// six significant digits.
std::string format_value(double value);

}  // namespace img3d_tool
