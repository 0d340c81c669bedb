// What the object subsystem offers the object filters of the morphology
// subsystem, which reach it through this header alone: the flood fill and
// its seed scan, the union-find over runs, the label images of one value
// and of classes of voxels, the row scans, and the limits of
// the record format.
#pragma once

#include <cstddef>

#include "objects/flood_fill.h"
#include "objects/piece_labels.h"
#include "objects/row_scan.h"
#include "objects/run_labels.h"
#include "objects/set_runs.h"
#include "volume/volume_internal.h"

namespace img3d::detail {

// Entries of the object list on its first allocation; growth doubles.
constexpr std::size_t kInitialListEntries = 16;

// How the object filters begin, each after refusals of its own.  Volumes of
// other dimensions, or a marker whose low 8 bits equal the value (a marked
// voxel could not be told from an object's), are refused before anything is
// written.  Otherwise the destination becomes a copy of the source, and the
// filter goes on (true) when the objects of the value can be taken from it;
// when they cannot (objects_takeable), the copy is what the filter leaves.
inline bool begin_object_filter(unsigned char*** source, unsigned char*** destination, int value, int marker) {
    if ((marker & 0xFF) == value || !same_dimensions(source, destination)) return false;
    Img3DCopy(source, destination);
    return objects_takeable(source, value, marker);
}

}  // namespace img3d::detail
