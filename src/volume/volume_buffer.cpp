// The volume block: slice table, row tables, dimension header, voxels.
#include <climits>
#include <cstdint>
#include <cstring>

#include "img3d.h"
#include "platform/heap.h"

static_assert(sizeof(int) == 4, "the dimension header holds 32-bit ints");

namespace {

// The version string must spell the three numbers the build reads.
#define IMG3D_SPELLED(n) #n
#define IMG3D_SPELL(n) IMG3D_SPELLED(n)
constexpr bool same_text(const char* a, const char* b) { return *a == *b && (*a == '\0' || same_text(a + 1, b + 1)); }
static_assert(same_text(IMG3D_VERSION, IMG3D_SPELL(IMG3D_VERSION_MAJOR) "." IMG3D_SPELL(
                                           IMG3D_VERSION_MINOR) "." IMG3D_SPELL(IMG3D_VERSION_PATCH)),
              "IMG3D_VERSION differs from IMG3D_VERSION_MAJOR.MINOR.PATCH");
#undef IMG3D_SPELL
#undef IMG3D_SPELLED

constexpr std::int64_t kPointer = static_cast<std::int64_t>(sizeof(void*));
constexpr std::int64_t kHeaderBytes = 3 * sizeof(std::int32_t);

// The header is found only through the first voxel, never from the block's
// start, so hosts and operations agree on it whatever P is.
int header_word(unsigned char*** volume, int index) {
    if (volume == nullptr) return 0;
    std::int32_t word;
    std::memcpy(&word, volume[0][0] - kHeaderBytes + 4 * index, sizeof word);
    return word;
}

}  // namespace

extern "C" {

IMG3D_API unsigned char*** Image3DAlloc(int width, int height, int depth) {
    if (width < 1 || height < 1 || depth < 1) return nullptr;
    // Two steps, each checked: width * height * depth of three large ints
    // overflows even 64 bits.
    const std::int64_t plane = static_cast<std::int64_t>(width) * height;
    if (plane > INT_MAX) return nullptr;
    const std::int64_t voxels = plane * depth;
    if (voxels > INT_MAX) return nullptr;
    const std::int64_t slice_table = depth * kPointer;
    const std::int64_t row_tables = static_cast<std::int64_t>(depth) * height * kPointer;
    const std::int64_t bytes = slice_table + row_tables + kHeaderBytes + voxels;
    if (bytes > INT_MAX) return nullptr;

    auto* block = static_cast<unsigned char*>(img3d::detail::heap_alloc_zeroed(static_cast<std::size_t>(bytes)));
    if (block == nullptr) return nullptr;

    auto** slices = reinterpret_cast<unsigned char***>(block);
    auto** rows = reinterpret_cast<unsigned char**>(block + slice_table);
    unsigned char* cursor = block + slice_table + row_tables + kHeaderBytes;
    for (int z = 0; z < depth; ++z) {
        slices[z] = rows + static_cast<std::ptrdiff_t>(z) * height;
        for (int y = 0; y < height; ++y) {
            slices[z][y] = cursor;
            cursor += width;
        }
    }
    const std::int32_t header[3] = {width, height, depth};
    std::memcpy(block + slice_table + row_tables, header, sizeof header);
    return reinterpret_cast<unsigned char***>(block);
}

IMG3D_API void Image3DFree(unsigned char*** volume) { img3d::detail::heap_free(volume); }

IMG3D_API int Image3DGetWidth(unsigned char*** volume) { return header_word(volume, 0); }
IMG3D_API int Image3DGetHeight(unsigned char*** volume) { return header_word(volume, 1); }
IMG3D_API int Image3DGetDepth(unsigned char*** volume) { return header_word(volume, 2); }

}  // extern "C"
