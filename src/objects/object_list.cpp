// The object list: every object of one value, in raster order of first voxels.
#include <cstddef>
#include <cstdint>

#include "objects/objects_internal.h"
#include "platform/heap.h"

namespace img3d::detail {
namespace {

void release_records(RunLength3D** list, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) heap_free(list[i]);
    heap_free(list);
}

}  // namespace
}  // namespace img3d::detail

using img3d::detail::FloodFill;
using img3d::detail::heap_free;
using img3d::detail::heap_realloc;

extern "C" {

IMG3D_API RunLength3D** GetAllRunLength3D(unsigned char*** volume, int value, int paint, int* count, int /*reserved*/) {
    if (count != nullptr) *count = 0;
    if (volume == nullptr || count == nullptr || !img3d::detail::objects_takeable(volume, value, paint)) return nullptr;
    FloodFill fill(volume, value, paint);

    RunLength3D** list = nullptr;
    std::size_t entries = 0;
    std::size_t capacity = 0;
    bool refused = false;
    img3d::detail::for_each_seed(
        static_cast<const std::uint8_t*>(volume[0][0]), fill.width(), fill.height(), fill.depth(),
        static_cast<std::uint8_t>(value), [&](img3d::detail::CMyPoint3D seed) {
            if (entries == capacity) {
                constexpr std::size_t kMaxEntries = static_cast<std::size_t>(-1) / sizeof(RunLength3D*);
                const std::size_t grown = capacity == 0 ? img3d::detail::kInitialListEntries
                                                        : (capacity <= kMaxEntries / 2 ? capacity * 2 : 0);
                void* block = grown == 0 ? nullptr : heap_realloc(list, grown * sizeof(RunLength3D*));
                if (block == nullptr) {
                    refused = true;
                    return false;
                }
                list = static_cast<RunLength3D**>(block);
                capacity = grown;
            }
            // After a refused first allocation the seed still holds the value
            // and the next voxel of the same object starts a fresh extraction.
            list[entries++] = fill.take(seed);
            return true;
        });
    if (refused) {
        // Every record handed out so far goes with the list: the host gets
        // nothing it would have to release.
        img3d::detail::release_records(list, entries);
        return nullptr;
    }

    if (entries != 0 && entries != capacity) {
        // A refused trim keeps the larger block; it is released the same way.
        void* block = heap_realloc(list, entries * sizeof(RunLength3D*));
        if (block != nullptr) list = static_cast<RunLength3D**>(block);
    }
    *count = static_cast<int>(entries);
    return list;
}

IMG3D_API void FreeRunLength3D(int count, RunLength3D** list) {
    if (list == nullptr) return;
    for (int i = 0; i < count; ++i) heap_free(list[i]);
    heap_free(list);
}

}  // extern "C"
