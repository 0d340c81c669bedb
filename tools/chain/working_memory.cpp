#include "working_memory.h"

#include <img3d.h>

#include <cstddef>

#include "errors.h"

namespace img3d_tool {
namespace {

// Runs along x of value: the unit of the object functions' working memory.
double count_runs(unsigned char*** volume, int value) {
    const int w = Image3DGetWidth(volume);
    const std::size_t rows = static_cast<std::size_t>(Image3DGetHeight(volume)) * Image3DGetDepth(volume);
    const unsigned char* v = volume[0][0];
    double runs = 0;
    for (std::size_t r = 0; r < rows; ++r, v += w)
        for (int x = 0; x < w; ++x) runs += v[x] == value && (x == 0 || v[x - 1] != value);
    return runs;
}

}  // namespace

std::string working_memory(Operation operation, unsigned char*** volume, int value) {
    const double w = Image3DGetWidth(volume), h = Image3DGetHeight(volume), d = Image3DGetDepth(volume);
    const double rows = h * d;
    switch (operation) {
        case Operation::label: {
            const double row_bits = 64.0 * static_cast<double>(static_cast<long long>((w + 63) / 64));
            return "about " + mebibytes(row_bits / 8 * rows + rows) +
                   " (1 bit per voxel, rows rounded up to 64 bits, and 1 byte per row)";
        }
        case Operation::edge_smooth: {
            const double runs = count_runs(volume, value);
            const double claim = static_cast<double>(static_cast<long long>((w + 7) / 8)) * rows;
            return "at least " + mebibytes(4 * runs + w * h / 4 + claim + 4 * rows) +
                   " (4 bytes per run of object voxels, 1 bit per voxel of two slices, a claim mask of 1 bit per "
                   "voxel, 4 bytes per row), and the window sums of the largest object's box";
        }
        case Operation::morphology: {
            const double row_bytes = 8.0 * static_cast<double>(static_cast<long long>((w + 63) / 64));
            return "about " + mebibytes(3 * row_bytes * rows + row_bytes) +
                   " (three copies of the set at 1 bit per voxel, rows rounded up to 64 bits)";
        }
        case Operation::fill_holes:
            return "at least " + mebibytes(4 * w * rows) + " (a label of 4 bytes per voxel, and the labelling's runs)";
    }
    return "";
}

}  // namespace img3d_tool
