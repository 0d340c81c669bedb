// The picture a person looks at instead of reading numbers: one slice in
// each anatomical plane through the result, for the input, its segmentation
// and the labelled result.
#pragma once

#include <img3d.h>

#include <cstdint>
#include <string>
#include <vector>

#include "geometry.h"
#include "objects_table.h"

namespace img3d_tool {

struct PreviewColumn {
    std::string title;
    // grey: an 8-bit volume as grey levels; mask: a 0/255 volume over the
    // dimmed input; labels: object labels in colours over the dimmed input.
    enum class Kind { grey, mask, labels } kind = Kind::grey;
    unsigned char*** volume = nullptr;       // grey and mask
    const std::int32_t* labels = nullptr;    // labels
};

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
    std::string source;        // "sform", "qform" or ""
    int voxel_axis[3] = {0, 1, 2};  // the voxel axis nearest to world x (L-R), y (P-A), z (I-S)
    bool reversed[3] = {};     // voxel index decreasing as that world coordinate grows
    int centre[3] = {};        // voxel (x, y, z) the three planes pass through
    double position[3] = {};   // the planes' world coordinates (R, A, S) in mm; without
                               // an orientation, voxel index x spacing along x, y, z
    int object = 0;            // label of the object they pass through, 0 for none
};

// The planes pass through the centroid of the largest object (ties: the one
// whose centroid lies lowest in world S, then A, then R), rounded to the
// nearest slice (halves toward lower world coordinates); every slice
// between an object's extremes crosses it, so each panel shows it.  Without
// objects: the middle slices.
PreviewPlan plan_preview(const Geometry& geometry, int width, int height, int depth, const ObjectLabels* labels);

struct PreviewImage {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // width * height * 3, rows top first
};

// One row per plane (axial, coronal, sagittal) and one column per entry,
// scaled by the voxel sizes so shapes keep their proportions.  The first
// column must be the grey-level input.
PreviewImage render_preview(const std::vector<PreviewColumn>& columns, const Geometry& geometry,
                            const PreviewPlan& plan, const std::string& caption);

// The picture as an 8-bit RGB PNG file's bytes.  Throws RunError when memory
// runs out.
std::string png_bytes(const PreviewImage& image);

// The colour of object label 1, 2, ...
void label_colour(int label, unsigned char rgb[3]);

}  // namespace img3d_tool
