// Helpers shared by the tests: owned volumes, seeded random contents, the
// odd shapes every operation is tried on.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "grid.h"
#include "img3d.h"
#include "platform/heap.h"

namespace img3d::test {

// An owned volume handle, released on destruction.
class Volume {
public:
    Volume() = default;
    Volume(int width, int height, int depth) : v_(Image3DAlloc(width, height, depth)) {}
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;
    Volume(Volume&& other) noexcept : v_(other.v_) { other.v_ = nullptr; }
    Volume& operator=(Volume&& other) noexcept {
        std::swap(v_, other.v_);
        return *this;
    }
    ~Volume() { Image3DFree(v_); }

    unsigned char*** get() const { return v_; }
    operator unsigned char***() const { return v_; }
    int width() const { return Image3DGetWidth(v_); }
    int height() const { return Image3DGetHeight(v_); }
    int depth() const { return Image3DGetDepth(v_); }
    std::size_t size() const { return static_cast<std::size_t>(width()) * height() * depth(); }
    unsigned char* data() const { return v_[0][0]; }
    std::vector<std::uint8_t> voxels() const { return {data(), data() + size()}; }
    void assign(const std::vector<std::uint8_t>& values) const {
        std::copy(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(size()), data());
    }

private:
    unsigned char*** v_ = nullptr;
};

// Odd, non-cubic shapes that catch swapped axes and off-by-one row ends.
const std::vector<Grid>& odd_shapes();

// Voxels drawn uniformly from 0 ... 255.
Volume random_volume(const Grid& shape, std::mt19937& rng);
// Voxels drawn from the given palette, with the given weights.
Volume random_volume(const Grid& shape, std::mt19937& rng, const std::vector<int>& palette,
                     const std::vector<double>& weights);

// One object from a seed, by the library's flood fill with working memory
// of its own.  Returns null, and leaves the volume alone, for a seed outside
// the volume, a paint value whose low 8 bits equal value, or an extent above
// 32768; a value outside 0 ... 255 holds at no seed and gives a record of
// count 0.  Otherwise as the fill itself (null when memory runs out).
RunLength3D* GetRunLength3D(unsigned char*** volume, int x, int y, int z, int value, int paint);

// Runs operation() with its 1st, 2nd, 3rd ... allocation failing, until a run
// makes no failed allocation.  check(result, failed) follows every run;
// failed is false only for the last one.  Returns the number of runs.
template <class Operation, class Check>
long walk_allocation_failures(Operation operation, Check check) {
    for (long n = 1;; ++n) {
        img3d::detail::heap_fail_at(n);
        const long start = img3d::detail::heap_allocations();
        const auto result = operation();
        const bool failed = img3d::detail::heap_allocations() - start >= n;
        img3d::detail::heap_fail_at(0);
        check(result, failed);
        if (!failed) return n;
    }
}

}  // namespace img3d::test
