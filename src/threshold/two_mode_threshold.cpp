// Two-mode threshold: the deepest valley of the smoothed histogram between
// a higher level on each side, in integer arithmetic only.
#include <algorithm>
#include <cstdint>

#include "img3d.h"
#include "platform/uint128.h"
#include "threshold/threshold_internal.h"

namespace img3d::detail {

int two_mode_level(const std::int64_t histogram[256]) {
    // Three-level mean (two-level at the ends), truncated, from the raw
    // counts only.  Sums stay within int64_t because the counts' sum does.
    std::int64_t s[256];
    s[0] = (histogram[0] + histogram[1]) / 2;
    for (int i = 1; i < 255; ++i) s[i] = (histogram[i - 1] + histogram[i] + histogram[i + 1]) / 3;
    s[255] = (histogram[254] + histogram[255]) / 2;

    // A valley m looks left at the even levels below it and right at the
    // levels m+1, m+3, ... up to 255.  The best product of a left and a
    // right height is the product of the two largest heights when both are
    // positive (and no product is positive otherwise), so each candidate
    // needs only the largest value on each side: right[k] is the largest of
    // s[k], s[k+2], ... up to 255, left the largest even level seen so far.
    std::int64_t right[256];
    right[255] = s[255];
    right[254] = s[254];
    for (int k = 253; k >= 0; --k) right[k] = std::max(s[k], right[k + 2]);

    // Heights reach the voxel count, so a product of two needs 128 bits.
    U128 best_score{0, 0};
    int best = 0;
    std::int64_t left = s[0];
    for (int m = 1; m < 255; ++m) {
        const std::int64_t left_height = left - s[m];
        const std::int64_t right_height = right[m + 1] - s[m];
        if (left_height > 0 && right_height > 0) {
            const U128 score =
                multiply(static_cast<std::uint64_t>(left_height), static_cast<std::uint64_t>(right_height));
            // Strictly greater: of equal scores the lowest valley stays.
            if (less(best_score, score)) {
                best_score = score;
                best = m;
            }
        }
        if (m % 2 == 0) left = std::max(left, s[m]);
    }
    return best;
}

}  // namespace img3d::detail

extern "C" IMG3D_API int Img3D2ModeThreshold(unsigned char*** volume) {
    return img3d::detail::level_of(
        volume, [](const std::int64_t* histogram, std::int64_t) { return img3d::detail::two_mode_level(histogram); });
}

extern "C" IMG3D_API int Img3DHistogram2ModeThreshold(const std::int64_t* histogram) {
    return img3d::detail::level_of(
        histogram, [](const std::int64_t* counts, std::int64_t) { return img3d::detail::two_mode_level(counts); });
}
