// The object list: every object of one value, in raster order of first voxels.
#include <cstddef>
#include <cstdint>
#include <cstring>

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

using img3d::detail::Extractor;
using img3d::detail::heap_free;
using img3d::detail::heap_realloc;

extern "C" {

IMG3D_API RunLength3D** GetAllRunLength3D(unsigned char*** volume, int value, int paint, int* count,
                                          int /*reserved*/) {
    if (count != nullptr) *count = 0;
    if (volume == nullptr || count == nullptr) return nullptr;
    // A value outside 0 ... 255 matches no voxel.  A paint value that still
    // matches would be found again by the fill forever; extents beyond 16-bit
    // coordinates cannot be recorded.  All three leave the volume alone.
    if (value < 0 || value > 255 || (paint & 0xFF) == value) return nullptr;
    Extractor extractor(volume, value, paint);
    const int width = extractor.width();
    const int height = extractor.height();
    const int depth = extractor.depth();
    if (width > img3d::detail::kMaxExtent || height > img3d::detail::kMaxExtent ||
        depth > img3d::detail::kMaxExtent)
        return nullptr;

    const auto* voxels = static_cast<const std::uint8_t*>(volume[0][0]);
    const std::size_t total = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                              static_cast<std::size_t>(depth);
    RunLength3D** list = nullptr;
    std::size_t entries = 0;
    std::size_t capacity = 0;

    // Raster order is storage order, so the next seed is the next byte of the
    // value anywhere after the last one: every object found before has been
    // painted over.
    std::size_t row_begin = 0;  // offset of the row (x = 0) holding the last seed
    int y = 0, z = 0;
    std::size_t from = 0;
    while (from < total) {
        const void* hit = std::memchr(voxels + from, value, total - from);
        if (hit == nullptr) break;
        const std::size_t offset =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - voxels);

        if (entries == capacity) {
            constexpr std::size_t kMaxEntries = static_cast<std::size_t>(-1) / sizeof(RunLength3D*);
            const std::size_t grown = capacity == 0
                                          ? img3d::detail::kInitialListEntries
                                          : (capacity <= kMaxEntries / 2 ? capacity * 2 : 0);
            void* block = grown == 0 ? nullptr : heap_realloc(list, grown * sizeof(RunLength3D*));
            if (block == nullptr) {
                // Every record handed out so far goes with the list: the host
                // gets nothing it would have to release.
                img3d::detail::release_records(list, entries);
                return nullptr;
            }
            list = static_cast<RunLength3D**>(block);
            capacity = grown;
        }

        if (offset - row_begin >= static_cast<std::size_t>(width)) {
            const std::size_t row = offset / static_cast<std::size_t>(width);
            row_begin = row * static_cast<std::size_t>(width);
            z = static_cast<int>(row / static_cast<std::size_t>(height));
            y = static_cast<int>(row -
                                 static_cast<std::size_t>(z) * static_cast<std::size_t>(height));
        }
        const int x = static_cast<int>(offset - row_begin);
        list[entries++] = extractor.extract(img3d::detail::CMyPoint3D(x, y, z));
        // After a refused first allocation the seed still holds the value and
        // the next voxel of the same object starts a fresh extraction.
        from = offset + 1;
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
