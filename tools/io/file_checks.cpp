// The limits every reader checks before it allocates.
#include <cstdio>
#include <limits>

#include "io_internal.h"

namespace img3d_tool::io {

[[noreturn]] void input_error(const std::string& path, const std::string& reason) {
    throw InputError(path + ": " + reason);
}

void warn(const std::string& path, const std::string& what) {
    std::fprintf(stderr, "img3d: %s: %s\n", path.c_str(), what.c_str());
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string dimensions(std::int64_t width, std::int64_t height, std::int64_t depth) {
    return std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
}

// The volume block holds two pointer tables besides the voxels; its size must
// stay within a signed 32-bit int, and the object functions take axes of up
// to IMG3D_MAX_OBJECT_EXTENT voxels.
void check_allocatable(const std::string& path, std::int64_t width, std::int64_t height, std::int64_t depth) {
    if (width < 1 || height < 1 || depth < 1 || width > IMG3D_MAX_OBJECT_EXTENT || height > IMG3D_MAX_OBJECT_EXTENT ||
        depth > IMG3D_MAX_OBJECT_EXTENT)
        input_error(path, "dimensions " + dimensions(width, height, depth) + " outside 1 ... " +
                              std::to_string(IMG3D_MAX_OBJECT_EXTENT) + " voxels along an axis");
    const auto p = static_cast<std::int64_t>(sizeof(void*));
    const std::int64_t voxels = width * height * depth;
    const std::int64_t block = depth * p + depth * height * p + 12 + voxels;
    if (block > std::numeric_limits<std::int32_t>::max())
        input_error(path, "too large: " + std::to_string(voxels) + " voxels do not fit in one volume");
}

void allocate(CTarnImage3D& volume, const std::string& path, int width, int height, int depth) {
    if (!volume.makeImage(width, height, depth))
        throw RunError("not enough memory to read " + path + ": " + mebibytes(double(width) * height * depth) +
                       " for its " + dimensions(width, height, depth) + " voxels");
}

int bytes_per_voxel(int datatype) {
    switch (datatype) {
        case DT_UINT8:
        case DT_INT8: return 1;
        case DT_INT16:
        case DT_UINT16: return 2;
        case DT_INT32:
        case DT_UINT32:
        case DT_FLOAT32: return 4;
        case DT_INT64:
        case DT_UINT64:
        case DT_FLOAT64: return 8;
        default: return 0;  // not grey levels
    }
}

}  // namespace img3d_tool::io
