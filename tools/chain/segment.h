// The segmentation chain, the one that `img3d segment`, `img3d demo`, the
// Python package's segment_file and the cohort all run, in this order:
// statistics, an automatic or given threshold, segmentation to 255/0, the
// size bounds, hole filling, the K largest objects, edge smoothing, opening,
// closing, erosion, dilation, the size bounds and the K largest once more,
// and the labels of what remains.
#pragma once

#include <img3d.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "intensity.h"
#include "object_labels.h"
#include "options.h"
#include "progress.h"
#include "volume_io.h"

namespace img3d_tool {

constexpr int kObject = 255;
constexpr int kBackground = 0;

struct SegmentReport {
    int width = 0, height = 0, depth = 0;
    ValueStatistics grey;        // in file units
    std::string method;          // "otsu", "two-mode", "given" or "band"
    bool automatic = false;      // otsu or two-mode: chosen on 8-bit levels
    LevelMap levels;             // how file units became those levels
    int level = -1;              // the automatic level 0 ... 255
    double level_value = 0;      // that level in file units
    std::string empty_reason;    // why the threshold selects nothing, when it cannot
    double low = 0, high = 0;    // the selected file values (high infinite for "at least")
    int found = 0, largest = 0;  // objects after segmentation
    int kept = 0;                // after the size filter
    long long holes = 0;         // holes filled
    int removed_largest = 0;     // objects beyond the K largest, removed
    int kept_largest = 0;        // the objects that stayed
    int removed_after = 0;       // outside the bounds or beyond the K largest after reshaping, removed
    int final_objects = 0;
    long long voxels = 0;                                // object voxels of the result
    std::vector<std::pair<std::string, double>> stages;  // name, milliseconds
    std::vector<std::string> steps;                      // the chain as it ran: "threshold", "closing 26x2", ...
};

// What a run leaves for writing and for the preview.
struct SegmentVolumes {
    CTarnImage3D levels;     // 8-bit levels made by a linear map (empty when the file's bytes serve)
    CTarnImage3D segmented;  // 255 where the threshold selects, 0 elsewhere
    CTarnImage3D result;     // after every step of the chain
    ObjectLabels labels;     // of the result, numbered in raster order
};

// Runs the chain on the input, which it only reads.  Throws RunError when
// memory runs out.
SegmentReport run_segment(const LoadedVolume& input, const SegmentOptions& options, Progress& progress,
                          SegmentVolumes& out);

// The 8-bit volume the preview shows for the input: the levels the run made,
// or the file's own bytes.
unsigned char*** display_volume(const LoadedVolume& input, SegmentVolumes& volumes);

}  // namespace img3d_tool
