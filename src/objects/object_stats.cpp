// Per-object statistics read off a label array, one stretch of equal labels
// along x at a time.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "img3d.h"

static_assert(sizeof(Img3DObject) == 64, "an object's statistics are 64 bytes");
static_assert(offsetof(Img3DObject, sumX) == 0 && offsetof(Img3DObject, sumY) == 8 &&
                  offsetof(Img3DObject, sumZ) == 16 && offsetof(Img3DObject, voxels) == 24 &&
                  offsetof(Img3DObject, xMin) == 28 && offsetof(Img3DObject, zMax) == 48 &&
                  offsetof(Img3DObject, firstX) == 52 && offsetof(Img3DObject, firstZ) == 60,
              "the statistics' fields in their documented order");

namespace {

// Adds the voxels x_start ... x_end of row y, slice z to an object.
void add_stretch(Img3DObject& object, int x_start, int x_end, int y, int z) {
    const std::int64_t length = x_end - x_start + 1;
    if (object.voxels == 0) {
        object.firstX = x_start;
        object.firstY = y;
        object.firstZ = z;
        object.xMin = x_start;
        object.xMax = x_end;
        object.yMin = object.yMax = y;
        object.zMin = object.zMax = z;
    } else {
        if (x_start < object.xMin) object.xMin = x_start;
        if (x_end > object.xMax) object.xMax = x_end;
        if (y < object.yMin) object.yMin = y;
        if (y > object.yMax) object.yMax = y;
        object.zMax = z;  // slices come in ascending order
    }
    object.voxels += static_cast<std::int32_t>(length);
    object.sumX += (std::int64_t{x_start} + x_end) * length / 2;
    object.sumY += length * y;
    object.sumZ += length * z;
}

}  // namespace

extern "C" IMG3D_API int Img3DObjectStats(const std::int32_t* labels, int width, int height, int depth, int count,
                                          Img3DObject* objects) {
    if (labels == nullptr || count < 0 || (objects == nullptr && count > 0) || width < 1 || height < 1 || depth < 1 ||
        std::int64_t{width} * height * depth > INT_MAX)
        return -1;
    if (count > 0) std::memset(objects, 0, static_cast<std::size_t>(count) * sizeof *objects);
    int ignored = 0;
    const std::int32_t* row = labels;
    for (int z = 0; z < depth; ++z) {
        for (int y = 0; y < height; ++y, row += width) {
            for (int x = 0; x < width;) {
                const std::int32_t label = row[x];
                int end = x;
                while (end + 1 < width && row[end + 1] == label) ++end;
                if (label > 0 && label <= count)
                    add_stretch(objects[label - 1], x, end, y, z);
                else if (label != 0)
                    ignored += end - x + 1;
                x = end + 1;
            }
        }
    }
    return ignored;
}
