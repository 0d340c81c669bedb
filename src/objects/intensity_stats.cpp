// Grey-value statistics per label in one pass over the voxels.
//
// Integer grey images are summed exactly: the sum in 64 bits, the sum of
// squares in 128 (two words), and the variance taken from
// count*squares - sum^2, exact in 128-bit arithmetic for labels of fewer than
// 2^32 voxels, so the deviation carries only the rounding of its last
// division and square root; larger labels take their exact squares about the
// integer nearest the mean (intensity_moments.h).  Float grey images are summed with Neumaier's
// compensation for the sum and Welford's update for the squared deviations
// (Welford 1962), which keeps the deviation of values far from zero.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "img3d.h"
#include "objects/intensity_moments.h"
#include "objects/piece_labels.h"
#include "platform/heap.h"

static_assert(sizeof(Img3DIntensity) == 56, "Img3DIntensity is 56 bytes");
static_assert(offsetof(Img3DIntensity, count) == 0 && offsetof(Img3DIntensity, integerSum) == 8 &&
                  offsetof(Img3DIntensity, sum) == 16 && offsetof(Img3DIntensity, mean) == 24 &&
                  offsetof(Img3DIntensity, deviation) == 32 && offsetof(Img3DIntensity, minimum) == 40 &&
                  offsetof(Img3DIntensity, maximum) == 48,
              "Img3DIntensity layout");

namespace img3d::detail {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The running sums of one label over an integer grey image.
struct IntegerSums {
    std::int64_t count, sum;
    U128 squares;
    std::int64_t minimum, maximum;
};

// The running state of one label over a float grey image.
struct FloatSums {
    std::int64_t count;
    double sum, compensation, mean, squares, minimum, maximum;
};

// Calls add(i, k) for every voxel i whose label k lies in 1 ... count;
// returns how many labels lay outside 0 ... count.
template <class Label, class Add>
std::int64_t for_each_counted(const Label* labels, std::size_t n, std::int64_t count, Add add) {
    std::int64_t outside = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Label label = labels[i];
        if (label > 0 && static_cast<std::int64_t>(label) <= count)
            add(i, static_cast<std::size_t>(label) - 1);
        else
            outside += label != 0;
    }
    return outside;
}

template <class Label, class Grey>
std::int64_t integer_stats(const Label* labels, const Grey* grey, std::size_t n, std::int64_t count,
                           Img3DIntensity* stats) {
    auto* sums = static_cast<IntegerSums*>(heap_alloc_zeroed(static_cast<std::size_t>(count) * sizeof(IntegerSums)));
    if (sums == nullptr && count > 0) return -1;
    const std::int64_t outside = for_each_counted(labels, n, count, [&](std::size_t i, std::size_t k) {
        IntegerSums& s = sums[k];
        const std::int64_t g = grey[i];
        if (s.count == 0 || g < s.minimum) s.minimum = g;
        if (s.count == 0 || g > s.maximum) s.maximum = g;
        ++s.count;
        s.sum += g;
        const auto square = static_cast<std::uint64_t>(g * g);
        s.squares.lo += square;
        s.squares.hi += s.squares.lo < square;
    });
    for (std::int64_t k = 0; k < count; ++k) {
        const IntegerSums& s = sums[k];
        Img3DIntensity& out = stats[k];
        out.count = s.count;
        out.integerSum = s.sum;
        out.sum = static_cast<double>(s.sum);
        out.minimum = static_cast<double>(s.minimum);
        out.maximum = static_cast<double>(s.maximum);
        if (s.count == 0) {
            out.mean = out.deviation = kNaN;
            continue;
        }
        out.mean = out.sum / static_cast<double>(s.count);
        out.deviation = integer_deviation(s.count, s.sum, s.squares);
    }
    heap_free(sums);
    return outside;
}

template <class Label>
std::int64_t float_stats(const Label* labels, const float* grey, std::size_t n, std::int64_t count,
                         Img3DIntensity* stats) {
    auto* sums = static_cast<FloatSums*>(heap_alloc_zeroed(static_cast<std::size_t>(count) * sizeof(FloatSums)));
    if (sums == nullptr && count > 0) return -1;
    for (std::int64_t k = 0; k < count; ++k) sums[k].minimum = sums[k].maximum = kNaN;
    const std::int64_t outside = for_each_counted(labels, n, count, [&](std::size_t i, std::size_t k) {
        FloatSums& s = sums[k];
        const double g = grey[i];
        if (g < s.minimum || std::isnan(s.minimum)) s.minimum = g;
        if (g > s.maximum || std::isnan(s.maximum)) s.maximum = g;
        ++s.count;
        // Neumaier's compensated sum.
        const double t = s.sum + g;
        s.compensation += std::fabs(s.sum) >= std::fabs(g) ? (s.sum - t) + g : (g - t) + s.sum;
        s.sum = t;
        // Welford's update of the squared deviations.
        const double delta = g - s.mean;
        s.mean += delta / static_cast<double>(s.count);
        s.squares += delta * (g - s.mean);
    });
    for (std::int64_t k = 0; k < count; ++k) {
        const FloatSums& s = sums[k];
        Img3DIntensity& out = stats[k];
        out.count = s.count;
        out.integerSum = 0;
        out.sum = s.sum + s.compensation;
        out.minimum = s.minimum;
        out.maximum = s.maximum;
        if (s.count == 0) {
            out.mean = out.deviation = kNaN;
            continue;
        }
        out.mean = out.sum / static_cast<double>(s.count);
        out.deviation = std::sqrt(s.squares / static_cast<double>(s.count));
    }
    heap_free(sums);
    return outside;
}

template <class Label>
std::int64_t stats_of(const Label* labels, const void* grey, Img3DType grey_type, std::size_t n, std::int64_t count,
                      Img3DIntensity* stats) {
    switch (grey_type) {
        case IMG3D_UINT8: return integer_stats(labels, static_cast<const std::uint8_t*>(grey), n, count, stats);
        case IMG3D_INT16: return integer_stats(labels, static_cast<const std::int16_t*>(grey), n, count, stats);
        case IMG3D_UINT16: return integer_stats(labels, static_cast<const std::uint16_t*>(grey), n, count, stats);
        default: return float_stats(labels, static_cast<const float*>(grey), n, count, stats);
    }
}

}  // namespace
}  // namespace img3d::detail

extern "C" IMG3D_API std::int64_t Img3DIntensityStats(const void* labels, int labelType, const void* grey,
                                                      int greyType, std::int64_t width, std::int64_t height,
                                                      std::int64_t depth, std::int64_t count, Img3DIntensity* stats) {
    using namespace img3d::detail;
    if (labels == nullptr || grey == nullptr || count < 0 || (stats == nullptr && count > 0)) return -1;
    if (labelType != IMG3D_INT32 && labelType != IMG3D_INT64) return -1;
    if (greyType != IMG3D_UINT8 && greyType != IMG3D_INT16 && greyType != IMG3D_UINT16 && greyType != IMG3D_FLOAT32)
        return -1;
    if (!addressable(width, height, depth, 8)) return -1;
    const std::size_t per_label = sizeof(IntegerSums) > sizeof(FloatSums) ? sizeof(IntegerSums) : sizeof(FloatSums);
    if (static_cast<std::uint64_t>(count) > SIZE_MAX / per_label) return -1;
    const std::size_t n =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * static_cast<std::size_t>(depth);
    if (labelType == IMG3D_INT32)
        return stats_of(static_cast<const std::int32_t*>(labels), grey, static_cast<Img3DType>(greyType), n, count, stats);
    return stats_of(static_cast<const std::int64_t*>(labels), grey, static_cast<Img3DType>(greyType), n, count, stats);
}
