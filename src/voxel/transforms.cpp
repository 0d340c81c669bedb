// Whole-volume copy, fill, table mapping and inversion.
#include <cstdint>
#include <cstring>

#include "img3d.h"
#include "volume/volume_internal.h"

using img3d::detail::first_voxel;
using img3d::detail::holds_voxels_of;
using img3d::detail::voxel_count;

extern "C" {

IMG3D_API int Img3DCopy(unsigned char*** source, unsigned char*** destination) {
    if (!holds_voxels_of(destination, source)) return -1;
    const unsigned char* from = first_voxel(source);
    unsigned char* to = first_voxel(destination);
    const std::size_t n = voxel_count(source);
    // Hosts pass the same volume twice, so overlap must be safe; separate
    // blocks, the usual case, take the plain copy.
    const auto a = reinterpret_cast<std::uintptr_t>(from);
    const auto b = reinterpret_cast<std::uintptr_t>(to);
    if (a + n <= b || b + n <= a)
        std::memcpy(to, from, n);
    else
        std::memmove(to, from, n);
    return 0;
}

IMG3D_API int Img3DClear(unsigned char*** volume, int value) {
    if (volume == nullptr) return -1;
    std::memset(first_voxel(volume), value & 0xFF, voxel_count(volume));
    return 0;
}

IMG3D_API int Img3DConvert(unsigned char*** source, unsigned char*** destination, const unsigned char* table) {
    if (table == nullptr || !holds_voxels_of(destination, source)) return -1;
    const unsigned char* in = first_voxel(source);
    unsigned char* out = first_voxel(destination);
    const std::size_t n = voxel_count(source);
    std::size_t i = 0;
    // Eight voxels per step through one 64-bit load and store: every input
    // byte is read before its output byte is written, so in place is safe.
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + i, 8);
        unsigned char mapped[8];
        for (int k = 0; k < 8; ++k) mapped[k] = table[(word >> (8 * k)) & 0xFF];
        std::memcpy(out + i, mapped, 8);
    }
    for (; i < n; ++i) out[i] = table[in[i]];
    return 0;
}

IMG3D_API int Img3DReverse(unsigned char*** source, unsigned char*** destination) {
    unsigned char table[256];
    for (int v = 0; v < 256; ++v) table[v] = static_cast<unsigned char>(255 - v);
    return Img3DConvert(source, destination, table);
}

}  // extern "C"
