// The scan-line flood fill that takes one 6-connected object into a record,
// its point stack, and the seed scan that finds the objects of a volume.
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
constexpr int kMaxExtent = IMG3D_MAX_OBJECT_EXTENT;

// Run capacity of a fresh record; most objects of noisy volumes are a single
// run, so they never grow and need no trim.  Growth doubles.
constexpr std::size_t kInitialRuns = 1;
// Points of the stack's first segment; each further segment is twice the
// size of the one before.
constexpr std::size_t kInitialPoints = 256;

// Bytes of a record with room for `runs` runs.
constexpr std::size_t record_bytes(std::size_t runs) { return sizeof(RunLength3D) + runs * sizeof(Run3D); }

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

// Takes objects of one value from one volume, painting what it takes.  Keeps
// the volume's geometry and the point stack from one object to the next.
class FloodFill {
public:
    // value must lie in 0 ... 255 and differ from the low 8 bits of paint;
    // the volume's extents must not exceed kMaxExtent (see objects_takeable).
    FloodFill(unsigned char*** volume, int value, int paint) noexcept;

    // The object of the seed, which must lie inside the volume.  Returns its
    // record, exactly record_bytes(count) long (or longer, count stored, when
    // the final trim is refused).  A seed that does not hold the value gives
    // a record of count 0.  Returns null when the record's first allocation
    // fails (nothing painted), or when the record or the point stack cannot
    // grow (what was taken stays painted).
    RunLength3D* take(CMyPoint3D seed) noexcept;

    // Gives back the point stack's memory beyond its first segment, for a
    // caller that holds on to other large blocks between objects.
    void shrink_stack() noexcept { stack_.shrink(); }

    int width() const { return width_; }
    int height() const { return height_; }
    int depth() const { return depth_; }

private:
    std::uint8_t* voxels_;
    int width_, height_, depth_;
    std::uint8_t value_, paint_;
    PointStack stack_;
};

// Whether the objects of `value` can be taken from the volume with the
// marker `paint`: the value is a grey level (no voxel holds any other), the
// marker's low 8 bits differ from it (a marker that still matched would be
// found again forever), and every extent fits a record's 16-bit coordinates.
inline bool objects_takeable(unsigned char*** volume, int value, int paint) {
    return value >= 0 && value <= 255 && (paint & 0xFF) != value && Image3DGetWidth(volume) <= kMaxExtent &&
           Image3DGetHeight(volume) <= kMaxExtent && Image3DGetDepth(volume) <= kMaxExtent;
}

// Calls take(CMyPoint3D) with the first voxel of `value` in raster order (z,
// then y, then x), then with the first one after it, and so on, until take
// returns false or no voxel of the value is left.  Raster order is storage
// order, so when take paints the object of each seed (as a fill does), every
// seed is the first voxel of an object not met before.
template <class Take>
void for_each_seed(const std::uint8_t* voxels, int width, int height, int depth, std::uint8_t value, Take take) {
    const std::size_t total =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * static_cast<std::size_t>(depth);
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

}  // namespace img3d::detail
