// The typical request, end to end: statistics, an automatic or given
// threshold, segmentation to 255/0, removal of objects by size, edge
// smoothing and an optional dilation.
#pragma once

#include <img3d.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "progress.h"

namespace img3d_tool {

constexpr int kObject = 255;
constexpr int kBackground = 0;

struct SegmentOptions {
    enum class Method { otsu, two_mode, level, band } method = Method::otsu;
    int level = 0;                // Method::level: the foreground is grey >= level
    int band_low = 0, band_high = 255;  // Method::band: low <= grey <= high
    int min_volume = 1, max_volume = INT_MAX;
    int smooth = 0;               // majority window radius, 0 = off
    int dilate = 0;               // 6 or 26 neighbours, 0 = off
    bool labels = false;          // also make a label volume of the result
};

struct SegmentReport {
    int width = 0, height = 0, depth = 0;
    int minimum = 0, maximum = 0, mean = 0;
    std::string method;
    int level = 0;                          // the threshold the method chose or was given
    int foreground_low = 0, foreground_high = 0;  // empty when low > high
    int found = 0, largest = 0;             // objects after segmentation
    int kept = 0;                           // after the size filter
    int final_objects = 0;                  // after smoothing and dilation
    long long voxels = 0;                   // object voxels of the result
    std::vector<std::pair<std::string, double>> stages;  // name, milliseconds
};

// The volumes a run leaves for writing and for the preview.
struct SegmentVolumes {
    CTarnImage3D segmented;  // 255 inside the threshold's range, 0 elsewhere
    CTarnImage3D result;     // after filtering, smoothing and dilation
    CTarnImage3D labels;     // object i of the result (raster order) holds
                             // 1 + i % 255; only with SegmentOptions::labels
};

// Runs the chain on input, which it only reads.  Throws RunError when memory
// runs out.
SegmentReport run_segment(unsigned char*** input, const SegmentOptions& options, Progress& progress,
                          SegmentVolumes& out);

// The 6-connected objects of one value of a volume, extracted from a copy so
// the volume itself stays intact; the list is released on destruction.
class ObjectList {
public:
    ObjectList(unsigned char*** volume, int value);
    ~ObjectList() { FreeRunLength3D(count_, list_); }
    ObjectList(const ObjectList&) = delete;
    ObjectList& operator=(const ObjectList&) = delete;

    int size() const { return count_; }
    const RunLength3D* operator[](int i) const { return list_[i]; }

private:
    RunLength3D** list_ = nullptr;
    int count_ = 0;
};

}  // namespace img3d_tool
