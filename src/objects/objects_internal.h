// What the object operations share: points, the extraction of one object,
// and the working memory reused across the objects of one list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "img3d.h"

namespace img3d::detail {

// One voxel position: a seed, or a point waiting to be filled from (the
// stack keeps these in the compact StackPoint form).
struct CMyPoint3D {
    std::int32_t x;
    std::int32_t y;
    std::int32_t z;
    CMyPoint3D(std::int32_t x_, std::int32_t y_, std::int32_t z_) : x(x_), y(y_), z(z_) {}
};
static_assert(sizeof(CMyPoint3D) == 12 && std::is_trivially_copyable_v<CMyPoint3D>,
              "a point is three plain 32-bit coordinates");

// Records store coordinates in 16 bits.
constexpr int kMaxExtent = 32768;

// Run capacity of a fresh record; most objects of noisy volumes are a single
// run, so they never grow and need no trim.  Growth doubles.
constexpr std::size_t kInitialRuns = 1;
// Points of the stack's first segment; each further segment is twice the
// size of the one before.
constexpr std::size_t kInitialPoints = 256;
// Entries of the object list on its first allocation; growth doubles.
constexpr std::size_t kInitialListEntries = 16;

// Bytes of a record with room for `runs` runs.
constexpr std::size_t record_bytes(std::size_t runs) {
    return sizeof(RunLength3D) + runs * sizeof(Run3D);
}

// A point as the stack keeps it: coordinates fit in 16 bits, and the stack of
// a noisy volume holds millions of points at once.
struct StackPoint {
    std::int16_t x, y, z;
};
static_assert(sizeof(StackPoint) == 6, "half the size of a CMyPoint3D");

// The last-in, first-out stack of points.  It is a chain of segments on the
// heap layer, each twice as large as the one before, so that growing never
// copies what is stored; segments are kept once made, so the objects of one
// list share them.  The top segment's state is public for the fill's loop,
// which keeps it in locals and hands it back around segment changes.
class PointStack {
public:
    StackPoint* top = nullptr;  // the top segment
    std::size_t size = 0;       // points in the top segment
    std::size_t room = 0;       // capacity of the top segment

    PointStack() = default;
    PointStack(const PointStack&) = delete;
    PointStack& operator=(const PointStack&) = delete;
    ~PointStack();

    // Makes the top segment one with room for `more` points beyond its size,
    // moving on to the next segment (made when missing) if needed.  false
    // when the heap refuses; the stack is then unchanged.
    bool make_room(std::size_t more) noexcept;
    // Called with an empty top segment: goes back to the segment below.
    // false when there is none: the stack is empty.
    bool drop_segment() noexcept;
    // Empties the stack, keeping its segments.
    void clear() noexcept;
    // Empties the stack and releases every segment but the first.
    void shrink() noexcept;

private:
    struct Segment {
        StackPoint* points;
        std::size_t capacity;
        std::size_t size;
    };
    // Doubling from kInitialPoints, 40 segments hold far more points than
    // any volume can push.
    static constexpr std::size_t kMaxSegments = 40;
    Segment segments_[kMaxSegments] = {};
    std::size_t current_ = 0;  // index of the top segment
    std::size_t made_ = 0;     // segments allocated so far
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
    RunLength3D* extract(CMyPoint3D seed) noexcept;

    // Gives back the point stack's memory beyond its first segment, for a
    // caller that holds on to other large blocks between objects.
    void shrink_stack() noexcept { stack_.shrink(); }

    int width() const { return width_; }
    int height() const { return height_; }
    int depth() const { return depth_; }

private:
    std::uint8_t* voxels_;
    int width_, height_, depth_;
    std::size_t slice_;  // voxels of one slice
    std::uint8_t value_, paint_;
    PointStack stack_;
};

// Calls take(CMyPoint3D) with the first voxel of `value` in raster order (z,
// then y, then x), then with the first one after it, and so on, until take
// returns false or no voxel of the value is left.  Raster order is storage
// order, so when take paints the object of each seed (as an extraction
// does), every seed is the first voxel of an object not met before.
template <class Take>
void for_each_seed(const std::uint8_t* voxels, int width, int height, int depth,
                   std::uint8_t value, Take take) {
    const std::size_t total = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                              static_cast<std::size_t>(depth);
    std::size_t row_begin = 0;  // offset of the row (x = 0) holding the last seed
    int y = 0, z = 0;
    std::size_t from = 0;
    while (from < total) {
        const void* hit = std::memchr(voxels + from, value, total - from);
        if (hit == nullptr) return;
        const auto offset = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - voxels);
        if (offset - row_begin >= static_cast<std::size_t>(width)) {
            const std::size_t row = offset / static_cast<std::size_t>(width);
            row_begin = row * static_cast<std::size_t>(width);
            z = static_cast<int>(row / static_cast<std::size_t>(height));
            y = static_cast<int>(row - static_cast<std::size_t>(z) * static_cast<std::size_t>(height));
        }
        if (!take(CMyPoint3D(static_cast<int>(offset - row_begin), y, z))) return;
        from = offset + 1;
    }
}

// One object from a seed, with working memory of its own.  Returns null, and
// leaves the volume alone, for a seed outside the volume, a paint value whose
// low 8 bits equal value, or an extent above kMaxExtent; otherwise as
// Extractor::extract (a value outside 0 ... 255 holds at no seed: count 0).
RunLength3D* GetRunLength3D(unsigned char*** volume, int x, int y, int z, int value,
                            int paint) noexcept;

}  // namespace img3d::detail
