// The picture a person looks at instead of reading numbers: one slice in
// each anatomical plane through the result, for the input, its segmentation
// and the labelled result.
#pragma once

#include <img3d.h>

#include <cstdint>
#include <string>
#include <vector>

#include "geometry.h"
#include "object_labels.h"
#include "summary.h"

namespace img3d_tool {

struct PreviewColumn {
    std::string title;
    // grey: an 8-bit volume as grey levels; mask: a 0/255 volume over the
    // dimmed input; labels: object labels in colours over the dimmed input.
    enum class Kind { grey, mask, labels } kind = Kind::grey;
    unsigned char*** volume = nullptr;     // grey and mask
    const std::int32_t* labels = nullptr;  // labels
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
