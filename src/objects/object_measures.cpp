// What can be read off one record, and painting it back into a volume.
#include <cstdint>
#include <cstring>

#include "img3d.h"

namespace {

const Run3D* runs_of(const RunLength3D* record) { return RunLength3DRuns(const_cast<RunLength3D*>(record)); }

}  // namespace

extern "C" {

IMG3D_API int ObjVolume(const RunLength3D* record) {
    if (record == nullptr) return -1;
    const Run3D* runs = runs_of(record);
    std::int64_t voxels = 0;
    for (std::int32_t i = 0; i < record->count; ++i)
        voxels += static_cast<std::int64_t>(runs[i].xEnd) - runs[i].xStart + 1;
    return static_cast<int>(voxels);
}

IMG3D_API void GetObjectXYLimit3D(const RunLength3D* record, int* xMin, int* xMax, int* yMin, int* yMax, int* zMin,
                                  int* zMax) {
    // Without a run there is no box: the outputs keep what they held.
    if (record == nullptr || record->count < 1 || xMin == nullptr || xMax == nullptr || yMin == nullptr ||
        yMax == nullptr || zMin == nullptr || zMax == nullptr)
        return;
    const Run3D* runs = runs_of(record);
    int x_min = runs[0].xStart, x_max = runs[0].xEnd;
    int y_min = runs[0].y, y_max = runs[0].y;
    int z_max = runs[0].z;
    // Run 0 lies in the lowest slice of every extracted object, so the
    // slices are only searched upwards.
    for (std::int32_t i = 1; i < record->count; ++i) {
        const Run3D& run = runs[i];
        if (run.xStart < x_min) x_min = run.xStart;
        if (run.xEnd > x_max) x_max = run.xEnd;
        if (run.y < y_min) y_min = run.y;
        if (run.y > y_max) y_max = run.y;
        if (run.z > z_max) z_max = run.z;
    }
    *xMin = x_min;
    *xMax = x_max;
    *yMin = y_min;
    *yMax = y_max;
    *zMin = runs[0].z;
    *zMax = z_max;
}

IMG3D_API void Img3DFillObject(unsigned char*** volume, const RunLength3D* record, int value) {
    if (volume == nullptr || record == nullptr) return;
    // Records may be assembled by hosts: a run that does not lie wholly
    // inside the volume is skipped rather than written out of bounds.
    const int width = Image3DGetWidth(volume);
    const int height = Image3DGetHeight(volume);
    const int depth = Image3DGetDepth(volume);
    const Run3D* runs = runs_of(record);
    const int fill = value & 0xFF;
    for (std::int32_t i = 0; i < record->count; ++i) {
        const Run3D& run = runs[i];
        if (run.z < 0 || run.z >= depth || run.y < 0 || run.y >= height || run.xStart < 0 || run.xEnd >= width ||
            run.xStart > run.xEnd)
            continue;
        std::memset(volume[run.z][run.y] + run.xStart, fill, static_cast<std::size_t>(run.xEnd - run.xStart + 1));
    }
}

}  // extern "C"
