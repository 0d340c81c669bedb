// Dilation of one grey value by the 6-neighbour cross or the 3x3x3 cube.
//
// The volume is processed slice by slice from a small ring of derived match
// masks: destination slice z needs source slices z-1 ... z+1 only, and slice
// z+1 is read before slice z is written.  That keeps the working memory at a
// few slices and lets source and destination be the same volume.
#include <cstdint>
#include <cstring>

#include "img3d.h"
#include "platform/heap.h"
#include "volume/volume_internal.h"

namespace {

using Byte = unsigned char;

struct Slices {
    int width, height;
    std::size_t area;
};

// mask[y][x] = 0xFF where the source voxel matches and lies in the interior
// of the volume; only interior voxels ever spread.
void match_slice(unsigned char*** source, int z, const Slices& s, int value, Byte* mask) {
    std::memset(mask, 0, s.area);
    if (value < 0 || value > 255) return;
    const Byte v = static_cast<Byte>(value);
    for (int y = 1; y < s.height - 1; ++y) {
        const Byte* in = source[z][y];
        Byte* out = mask + static_cast<std::size_t>(y) * s.width;
        for (int x = 1; x < s.width - 1; ++x) out[x] = in[x] == v ? 0xFF : 0;
    }
}

// out[y][x] = in[y][x-1] | in[y][x] | in[y][x+1], within the row.
void dilate_x(const Byte* in, const Slices& s, Byte* out) {
    const int w = s.width;
    for (int y = 0; y < s.height; ++y) {
        const Byte* m = in + static_cast<std::size_t>(y) * w;
        Byte* o = out + static_cast<std::size_t>(y) * w;
        o[0] = static_cast<Byte>(m[0] | m[1]);
        for (int x = 1; x < w - 1; ++x) o[x] = static_cast<Byte>(m[x - 1] | m[x] | m[x + 1]);
        o[w - 1] = static_cast<Byte>(m[w - 2] | m[w - 1]);
    }
}

// out[y][x] |= in[y-1][x] | in[y+1][x], within the slice.
void or_neighbour_rows(const Byte* in, const Slices& s, Byte* out) {
    const int w = s.width;
    for (int y = 0; y < s.height; ++y) {
        Byte* o = out + static_cast<std::size_t>(y) * w;
        const Byte* r = in + static_cast<std::size_t>(y) * w;
        if (y > 0)
            for (int x = 0; x < w; ++x) o[x] |= r[x - w];
        if (y < s.height - 1)
            for (int x = 0; x < w; ++x) o[x] |= r[x + w];
    }
}

void write_slice(unsigned char*** destination, int z, const Slices& s, const Byte* a, const Byte* b, const Byte* c,
                 Byte object, Byte background) {
    for (int y = 0; y < s.height; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * s.width;
        Byte* out = destination[z][y];
        for (int x = 0; x < s.width; ++x) {
            const Byte hit = static_cast<Byte>(a[row + x] | b[row + x] | c[row + x]);
            out[x] = static_cast<Byte>((hit & object) | (~hit & background));
        }
    }
}

// The dilation without working memory, for when none can be had: the
// destination is cleared, then every interior match of the source writes
// its element into it.  The source must be another volume.  Kept out of
// line: inlined, it cost the slice loops above their vector code.
#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
void dilate_directly(unsigned char*** source, unsigned char*** destination, int width, int height, int depth,
                     Byte object, Byte background, int element_type) {
    std::memset(destination[0][0], background,
                static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * static_cast<std::size_t>(depth));
    for (int z = 1; z < depth - 1; ++z)
        for (int y = 1; y < height - 1; ++y)
            for (int x = 1; x < width - 1; ++x) {
                if (source[z][y][x] != object) continue;
                for (int dz = -1; dz <= 1; ++dz)
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx)
                            // The cross is the cube's voxels that move along one axis at most.
                            if (element_type == 2 || (dx != 0) + (dy != 0) + (dz != 0) <= 1)
                                destination[z + dz][y + dy][x + dx] = object;
            }
}

}  // namespace

extern "C" IMG3D_API int Img3DDilatation(unsigned char*** source, unsigned char*** destination, int objectValue,
                                         int backgroundValue, int elementType) {
    if (!img3d::detail::same_dimensions(source, destination)) return -1;
    const int depth = Image3DGetDepth(source);
    const Slices s{
        Image3DGetWidth(source), Image3DGetHeight(source),
        static_cast<std::size_t>(Image3DGetWidth(source)) * static_cast<std::size_t>(Image3DGetHeight(source))};
    const bool spreads = (elementType == 1 || elementType == 2) && objectValue >= 0 && objectValue <= 255 &&
                         s.width > 2 && s.height > 2 && depth > 2;
    if (!spreads) {
        Img3DClear(destination, backgroundValue);
        return 0;
    }

    // A ring of three derived slices (z-1, z, z+1) and scratch for the
    // in-plane pass.
    auto* work = static_cast<Byte*>(img3d::detail::heap_alloc(5 * s.area));
    if (work == nullptr) {
        // In place, a scan without working memory would read what it wrote.
        if (source == destination) return -1;
        dilate_directly(source, destination, s.width, s.height, depth, static_cast<Byte>(objectValue),
                        static_cast<Byte>(backgroundValue), elementType);
        return 0;
    }
    Byte* ring[3] = {work, work + s.area, work + 2 * s.area};
    Byte* mask = work + 3 * s.area;
    Byte* plane = work + 4 * s.area;

    const Byte object = static_cast<Byte>(objectValue);
    const Byte background = static_cast<Byte>(backgroundValue);
    // For the cube every derived slice is the in-plane 3x3 square, and the
    // result is the OR of three of them.  For the cross the derived slice is
    // the raw mask; the in-plane plus of the middle one joins its neighbours.
    auto derive = [&](int z, Byte* out) {
        if (z <= 0 || z >= depth - 1) {
            std::memset(out, 0, s.area);
            return;
        }
        if (elementType == 2) {
            match_slice(source, z, s, objectValue, mask);
            dilate_x(mask, s, out);
            std::memcpy(plane, out, s.area);
            or_neighbour_rows(plane, s, out);
        } else {
            match_slice(source, z, s, objectValue, out);
        }
    };

    Byte* previous = ring[0];
    Byte* current = ring[1];
    Byte* next = ring[2];
    std::memset(previous, 0, s.area);
    derive(0, current);
    for (int z = 0; z < depth; ++z) {
        derive(z + 1, next);
        if (elementType == 2) {
            write_slice(destination, z, s, previous, current, next, object, background);
        } else {
            dilate_x(current, s, plane);
            or_neighbour_rows(current, s, plane);
            write_slice(destination, z, s, previous, plane, next, object, background);
        }
        Byte* recycled = previous;
        previous = current;
        current = next;
        next = recycled;
    }
    img3d::detail::heap_free(work);
    return 0;
}
