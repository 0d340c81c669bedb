// What a run of the chain reports: the figures `img3d segment` prints, and
// the same as JSON (the tool's --json, the Python package's segment_file).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "geometry.h"
#include "segment.h"

namespace img3d_tool {

// Where the three planes cut the volume, and how its voxel axes lie in the
// world.  Display convention (neurological): the patient's left on the
// picture's left; the axial plane seen from above with anterior up, the
// coronal plane from behind with superior up, the sagittal plane from the
// patient's left with anterior on the left and superior up.  The planes are
// those of the world axes nearest to the voxel axes (from the sform, else
// the qform); without either the storage order is taken as given (x to the
// right and y up in the x-y plane, z up in the others) and the picture says
// "orientation unknown".
struct PreviewPlan {
    bool oriented = false;
    std::string source;             // "sform", "qform" or ""
    int voxel_axis[3] = {0, 1, 2};  // the voxel axis nearest to world x (L-R), y (P-A), z (I-S)
    bool reversed[3] = {};          // voxel index decreasing as that world coordinate grows
    int centre[3] = {};             // voxel (x, y, z) the three planes pass through
    double position[3] = {};        // the planes' world coordinates (R, A, S) in mm; without
                                    // an orientation, voxel index x spacing along x, y, z
    int object = 0;                 // label of the object they pass through, 0 for none
};

struct RunSummary {
    std::string input;   // file name, or a description of the phantom
    std::string format;  // "NIfTI-1", "NIfTI-2", "raw" or empty for the phantom
    Geometry geometry;
    std::string values;  // the data type and scaling, when not plain bytes
    SegmentOptions options;
    SegmentReport report;
    bool previewed = false;
    PreviewPlan plan;                                    // where the preview's planes cut, when previewed
    std::vector<std::pair<std::string, double>> stages;  // every stage, in order
    std::vector<std::string> outputs;                    // files written
};

// Millimetres per unit of the geometry's spacing: 0.001 for um, 1000 for m,
// and 1 for mm and for unknown units, which are taken as mm (as FSL does).
inline double millimetres_per_unit(const Geometry& g) { return g.unit == "um" ? 0.001 : g.unit == "m" ? 1000.0 : 1.0; }
inline bool unit_taken_as_mm(const Geometry& g) { return g.unit.empty(); }

// A voxel's volume in millilitres (cm^3).
inline double voxel_millilitres(const Geometry& g) {
    const double mm = millimetres_per_unit(g);
    return double{g.spacing[0]} * g.spacing[1] * g.spacing[2] * mm * mm * mm / 1000.0;
}

// The report as JSON text, indented by 2 (the tool's --json).  Only
// report_json.cpp includes the JSON library: it is slow to compile.
std::string json_report(const RunSummary& run);

}  // namespace img3d_tool
