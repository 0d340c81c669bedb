// The picture a person looks at instead of reading numbers: the middle
// slice along each axis of the input, its segmentation and the result.
#pragma once

#include <img3d.h>

#include <string>
#include <vector>

namespace img3d_tool {

struct PreviewColumn {
    std::string title;
    unsigned char*** volume = nullptr;
    // How the column shows its volume: grey levels, a 0/255 mask over the
    // dimmed input, or object labels (1 ... 255, 0 background) in colours
    // over the dimmed input.
    enum class Kind { grey, mask, labels } kind = Kind::grey;
};

struct PreviewImage {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // width * height * 3, rows top first
};

// Lays out one row per axis (axial, coronal, sagittal middle slices) and one
// column per entry, scaled by the voxel sizes so shapes keep their
// proportions.  The first column must be the grey-level input.
PreviewImage render_preview(const std::vector<PreviewColumn>& columns, const float spacing[3],
                            const std::string& caption);

// Writes the picture as an 8-bit RGB PNG, under a temporary name first.
// Throws RunError on failure.
void write_png(const std::string& path, const PreviewImage& image);

// The colour of object label 1 ... 255.
void label_colour(int label, unsigned char rgb[3]);

}  // namespace img3d_tool
