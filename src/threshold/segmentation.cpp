// Binarisation by one threshold or by a band of two.
//
// Both reduce to one band test: a voxel v is inside [low, high] exactly
// when the byte v - low, taken modulo 256, is at most high - low.  With the
// band first clipped to 0 ... 255 (what the int comparison of an unsigned
// voxel amounts to) that test is exact for every int threshold and is a
// plain byte subtraction and comparison, which the compiler turns into a
// vector loop over each row.
#include <algorithm>
#include <cstring>

#include "img3d.h"
#include "volume/volume_internal.h"

namespace {

// inside where low <= v <= low + span, outside elsewhere; span <= 255 - low.
// out may equal in: each byte is read before it is written.
void band_row(const unsigned char* in, unsigned char* out, int width, unsigned char low, unsigned char span,
              unsigned char inside, unsigned char outside) {
    for (int x = 0; x < width; ++x) {
        const unsigned char offset = static_cast<unsigned char>(in[x] - low);
        out[x] = offset <= span ? inside : outside;
    }
}

// Writes the source's extent of the destination row by row, each volume
// through its own tables, so a larger destination keeps everything outside
// its corner block.
void segment_band(unsigned char*** source, unsigned char*** destination, int low, int high, unsigned char inside,
                  unsigned char outside) {
    const int width = Image3DGetWidth(source);
    const int height = Image3DGetHeight(source);
    const int depth = Image3DGetDepth(source);
    const int first = std::max(low, 0);
    const int last = std::min(high, 255);
    for (int z = 0; z < depth; ++z) {
        unsigned char* const* in_rows = source[z];
        unsigned char* const* out_rows = destination[z];
        for (int y = 0; y < height; ++y) {
            if (first > last)  // no grey value lies in the band
                std::memset(out_rows[y], outside, static_cast<std::size_t>(width));
            else
                band_row(in_rows[y], out_rows[y], width, static_cast<unsigned char>(first),
                         static_cast<unsigned char>(last - first), inside, outside);
        }
    }
}

}  // namespace

extern "C" {

IMG3D_API int Img3DSingleSegment(unsigned char*** source, unsigned char*** destination, int threshold,
                                 unsigned char high, unsigned char low) {
    if (!img3d::detail::covers(destination, source)) return -1;
    segment_band(source, destination, threshold, 255, high, low);
    return 0;
}

IMG3D_API int Img3DDoubleSegment(unsigned char*** source, unsigned char*** destination, int lowThreshold,
                                 int highThreshold, unsigned char inside, unsigned char outside) {
    if (!img3d::detail::covers(destination, source)) return -1;
    segment_band(source, destination, lowThreshold, highThreshold, inside, outside);
    return 0;
}

}  // extern "C"
