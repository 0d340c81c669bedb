// What the object operations share: the point of the fill's stack, the
// extraction of one object, and the working memory reused across the objects
// of one list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "img3d.h"

namespace img3d::detail {

// One voxel position waiting on the fill's stack.
struct CMyPoint3D {
    std::int32_t x;
    std::int32_t y;
    std::int32_t z;
    CMyPoint3D(std::int32_t x_, std::int32_t y_, std::int32_t z_) : x(x_), y(y_), z(z_) {}
};
static_assert(sizeof(CMyPoint3D) == 12 && std::is_trivially_copyable_v<CMyPoint3D>,
              "points are moved around as plain bytes");

// Records store coordinates in 16 bits.
constexpr int kMaxExtent = 32768;

// Run capacity of a fresh record; most objects of noisy volumes are a single
// run, so they never grow and need no trim.  Growth doubles.
constexpr std::size_t kInitialRuns = 1;
// Point capacity of the stack on its first use; growth doubles.
constexpr std::size_t kInitialPoints = 256;
// Entries of the object list on its first allocation; growth doubles.
constexpr std::size_t kInitialListEntries = 16;

// Bytes of a record with room for `runs` runs.
constexpr std::size_t record_bytes(std::size_t runs) { return sizeof(RunLength3D) + runs * sizeof(Run3D); }

// The last-in, first-out stack of points, a flat block on the heap layer.
// It outlives one extraction so that the objects of one list share it.
struct PointStack {
    CMyPoint3D* points = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;

    PointStack() = default;
    PointStack(const PointStack&) = delete;
    PointStack& operator=(const PointStack&) = delete;
    ~PointStack();

    // Makes room for `needed` points in all; false when the heap refuses
    // (the stack is then unchanged).
    bool reserve(std::size_t needed) noexcept;
};

// Extracts objects of one value from one volume, painting what it takes.
// Keeps the volume's geometry and the point stack between objects.
class Extractor {
public:
    // value must lie in 0 ... 255 and differ from the low 8 bits of paint;
    // the volume's extents must not exceed kMaxExtent.
    Extractor(unsigned char*** volume, int value, int paint) noexcept;

    // The scan-line fill from (x, y, z), which must lie inside the volume.
    // Returns the object's record, exactly record_bytes(count) long (or
    // longer, count stored, when the final trim is refused).  A seed that
    // does not hold the value gives a record of count 0.  Returns null when
    // the record's first allocation fails (nothing painted), or when the
    // record or the point stack cannot grow (what was taken stays painted).
    RunLength3D* extract(int x, int y, int z) noexcept;

    int width() const { return width_; }
    int height() const { return height_; }
    int depth() const { return depth_; }

private:
    void scan_neighbour_row(const std::uint8_t* row, int x_start, int x_end, int y, int z) noexcept;

    std::uint8_t* voxels_;
    int width_, height_, depth_;
    std::size_t slice_;  // voxels of one slice
    std::uint8_t value_, paint_;
    PointStack stack_;
};

// One object from a seed, with working memory of its own.  Returns null, and
// leaves the volume alone, for a seed outside the volume, a paint value whose
// low 8 bits equal value, or an extent above kMaxExtent; otherwise as
// Extractor::extract (a value outside 0 ... 255 holds at no seed: count 0).
RunLength3D* GetRunLength3D(unsigned char*** volume, int x, int y, int z, int value,
                            int paint) noexcept;

}  // namespace img3d::detail
