// Otsu's threshold: the split of the histogram with the largest
// between-class variance.
//
// The arithmetic below is IEEE double, every operation rounded on its own
// and performed in a fixed order.  Neighbouring levels often score equal
// variances in exact arithmetic (the whole run of empty levels after an
// occupied one, symmetric histograms), so a different rounding anywhere --
// a fused multiply-add, x87 extended precision, reassociation -- moves the
// result by a level.  The build keeps contraction off and fast math out;
// this guard catches a toolchain that would still compute in excess
// precision.
#include <cfloat>
#include <cstdint>

#include "img3d.h"
#include "threshold/threshold_internal.h"

#if defined(__GNUC__) && defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "Otsu's threshold needs plain double arithmetic: build with -msse2 -mfpmath=sse on 32-bit x86"
#endif

namespace img3d::detail {

int otsu_level(const std::int64_t histogram[256], std::int64_t voxels) {
    const double n = static_cast<double>(voxels);
    double p[256];
    for (int i = 0; i < 256; ++i) p[i] = static_cast<double>(histogram[i]) / n;

    double mean = 0.0;
    for (int i = 0; i < 256; ++i) mean = static_cast<double>(i) * p[i] + mean;

    // Class probability and first moment of 0 ... t, carried from t - 1 to t.
    double omega = 0.0;
    double moment = 0.0;
    int best = 0;
    double best_variance = 0.0;
    for (int t = 0; t < 256; ++t) {
        omega = omega + p[t];
        moment = static_cast<double>(t) * p[t] + moment;
        const double denominator = (1.0 - omega) * omega;
        double variance = 0.0;
        if (denominator != 0.0) {
            const double spread = mean * omega - moment;
            variance = spread * spread / denominator;
        }
        // Less-or-equal: the highest of equal scores wins, so a run of empty
        // levels resolves to its last one.  A NaN never compares true.
        if (t == 0 || best_variance <= variance) {
            best_variance = variance;
            best = t;
        }
    }
    return best;
}

}  // namespace img3d::detail

// The level's choice goes in as a lambda, not a function pointer: a call
// through a pointer is what clang's function-type sanitizer checks, with a
// runtime that a host linked by the C driver does not carry.
extern "C" IMG3D_API int Img3DDaJinThreshold(unsigned char*** volume) {
    return img3d::detail::level_of(
        volume, [](const std::int64_t* h, std::int64_t n) { return img3d::detail::otsu_level(h, n); });
}

extern "C" IMG3D_API int Img3DHistogramDaJinThreshold(const std::int64_t* histogram) {
    return img3d::detail::level_of(
        histogram, [](const std::int64_t* h, std::int64_t n) { return img3d::detail::otsu_level(h, n); });
}
