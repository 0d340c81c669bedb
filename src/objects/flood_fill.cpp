// The scan-line flood fill that takes one 6-connected object into a record.
//
// A stack of points starts with the seed.  A point whose voxel no longer
// holds the value yields nothing; otherwise its stretch of the row is taken
// as the next run and painted, and the four rows beside the run -- above,
// below, the slice before, the slice after, in that order -- are scanned over
// the run's columns: each stretch of the value met there pushes one point,
// its rightmost voxel within those columns, from left to right.  The order of
// the runs in a record follows from this and is part of the interface.
// Painting is the only memory of what was visited, so the fill needs no map
// of the volume.
//
// The loop is three steps: take a run, push its neighbours, finish the
// record.  Its state lives in a local Fill, not in the FloodFill: the voxel
// stores may alias anything reachable from outside, which would otherwise
// be reloaded after each of them.
#include "objects/flood_fill.h"

#include "objects/row_scan.h"
#include "platform/heap.h"

static_assert(sizeof(Run3D) == 8, "a run is four 16-bit fields");
static_assert(offsetof(Run3D, y) == 0 && offsetof(Run3D, z) == 2 && offsetof(Run3D, xStart) == 4 &&
                  offsetof(Run3D, xEnd) == 6,
              "run fields are y, z, xStart, xEnd");
static_assert(sizeof(RunLength3D) == 4 && offsetof(RunLength3D, count) == 0,
              "a record is a 32-bit count followed directly by its runs");
static_assert(alignof(Run3D) <= 4, "runs start right after the count");

#if defined(__GNUC__)
#define IMG3D_STEP inline __attribute__((always_inline))
#else
#define IMG3D_STEP inline
#endif

namespace img3d::detail {

namespace {

// Doubles a capacity for elements of `element` bytes after a `header`; 0
// when the block would not fit in size_t.
std::size_t doubled(std::size_t capacity, std::size_t element, std::size_t header) {
    const std::size_t limit = (static_cast<std::size_t>(-1) - header) / element;
    if (capacity > limit / 2) return capacity < limit ? limit : 0;
    return capacity * 2;
}

// The fill of one object: the volume, the record being built and the top
// segment of the point stack.
struct Fill {
    std::uint8_t* voxels;
    const std::uint8_t* voxels_end;
    int width, height, depth;
    std::size_t row_step, slice_step;
    std::uint8_t value, paint;
    bool short_windows;  // the volume holds a whole 16-voxel window

    RunLength3D* record;
    Run3D* runs;
    std::size_t count, capacity;

    PointStack& stack;
    StackPoint* top;
    std::size_t size, room;

    // A fill of the value over width x height x depth voxels that paints
    // what it takes, into a fresh record of kInitialRuns runs.
    Fill(std::uint8_t* voxels_, int width_, int height_, int depth_, std::uint8_t value_, std::uint8_t paint_,
         RunLength3D* record_, PointStack& stack_)
        : voxels(voxels_),
          voxels_end(voxels_ + static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) *
                                   static_cast<std::size_t>(depth_)),
          width(width_),
          height(height_),
          depth(depth_),
          row_step(static_cast<std::size_t>(width_)),
          slice_step(row_step * static_cast<std::size_t>(height_)),
          value(value_),
          paint(paint_),
          short_windows(voxels_end - voxels_ >= 16),
          record(record_),
          runs(RunLength3DRuns(record_)),
          count(0),
          capacity(kInitialRuns),
          stack(stack_),
          top(stack_.top),
          size(stack_.size),
          room(stack_.room) {}

    std::uint8_t* row_at(int y, int z) const {
        return voxels + (static_cast<std::size_t>(z) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y)) *
                            row_step;
    }

    void load_stack() {
        top = stack.top;
        size = stack.size;
        room = stack.room;
    }
    void store_stack() const {
        stack.top = top;
        stack.size = size;
        stack.room = room;
    }

    // Takes the stretch of the row around x (row[x] holds the value) as the
    // record's next run and paints it.  false when the record cannot grow.
    IMG3D_STEP bool take_run(std::uint8_t* row, int x, int y, int z, int& x_start, int& x_end) {
        // The neighbour rows are needed shortly; start fetching them now.
        if (y > 0) prefetch(row - row_step + x);
        if (y < height - 1) prefetch(row + row_step + x);
        if (z > 0) prefetch(row - slice_step + x);
        if (z < depth - 1) prefetch(row + slice_step + x);
        x_start = extend_left(row, x, value);
        x_end = extend_right(row, x, width, value);
        fill_stretch(row + x_start, static_cast<std::size_t>(x_end - x_start + 1), paint);
        if (count == capacity) {
            const std::size_t grown = doubled(capacity, sizeof(Run3D), sizeof(RunLength3D));
            void* block = grown == 0 ? nullptr : heap_realloc(record, record_bytes(grown));
            if (block == nullptr) return false;
            record = static_cast<RunLength3D*>(block);
            runs = RunLength3DRuns(record);
            capacity = grown;
        }
        Run3D& run = runs[count++];
        run.y = static_cast<std::int16_t>(y);
        run.z = static_cast<std::int16_t>(z);
        run.xStart = static_cast<std::int16_t>(x_start);
        run.xEnd = static_cast<std::int16_t>(x_end);
        return true;
    }

    IMG3D_STEP void push(int x, int y, int z) {
        top[size++] =
            StackPoint{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), static_cast<std::int16_t>(z)};
    }

    // Pushes one point per stretch of the value in the four rows beside the
    // run x_start ... x_end of row y, slice z.  false when the stack cannot
    // grow.
    IMG3D_STEP bool push_neighbours(const std::uint8_t* row, int x_start, int x_end, int y, int z) {
        // Each of the four rows contributes at most one point per two columns.
        const std::size_t length = static_cast<std::size_t>(x_end - x_start + 1);
        const std::size_t more = 4 * ((length + 1) / 2);
        if (room - size < more) {
            store_stack();
            if (!stack.make_room(more)) return false;
            load_stack();
        }
#if IMG3D_ROW_SCAN_SSE2
        if (length <= 16 && short_windows) {
            push_short_neighbours(row, x_start, static_cast<int>(length), y, z);
            return true;
        }
#endif
        auto push_row = [&](const std::uint8_t* neighbour, int ny, int nz) {
            for_each_stretch_end(neighbour, x_start, x_end, voxels, voxels_end, value, [&](int x) { push(x, ny, nz); });
        };
        if (y > 0) push_row(row - row_step, y - 1, z);
        if (y < height - 1) push_row(row + row_step, y + 1, z);
        if (z > 0) push_row(row - slice_step, y, z - 1);
        if (z < depth - 1) push_row(row + slice_step, y, z + 1);
        return true;
    }

#if IMG3D_ROW_SCAN_SSE2
    // push_neighbours for runs of at most 16 voxels, the bulk of noisy
    // volumes: the four rows are read before any point is pushed, so that
    // their loads overlap.
    IMG3D_STEP void push_short_neighbours(const std::uint8_t* row, int x_start, int length, int y, int z) {
        const __m128i v = _mm_set1_epi8(static_cast<char>(value));
        const std::uint8_t* p = row + x_start;
        const unsigned above = y > 0 ? short_window_ends(p - row_step, length, voxels, voxels_end, v) : 0u;
        const unsigned below = y < height - 1 ? short_window_ends(p + row_step, length, voxels, voxels_end, v) : 0u;
        const unsigned before = z > 0 ? short_window_ends(p - slice_step, length, voxels, voxels_end, v) : 0u;
        const unsigned after = z < depth - 1 ? short_window_ends(p + slice_step, length, voxels, voxels_end, v) : 0u;
        auto push_ends = [&](unsigned ends, int ny, int nz) {
            for (; ends != 0; ends &= ends - 1) push(x_start + __builtin_ctz(ends), ny, nz);
        };
        push_ends(above, y - 1, z);
        push_ends(below, y + 1, z);
        push_ends(before, y, z - 1);
        push_ends(after, y, z + 1);
    }
#endif

    // Trims the record to its runs and stores their count.  A refused trim
    // keeps the larger block, which is still whole.
    IMG3D_STEP RunLength3D* finish_record() {
        if (count != capacity) {
            void* block = heap_realloc(record, record_bytes(count));
            if (block != nullptr) record = static_cast<RunLength3D*>(block);
        }
        record->count = static_cast<std::int32_t>(count);
        return record;
    }
};

}  // namespace

PointStack::~PointStack() {
    for (std::size_t i = 0; i < made_; ++i) heap_free(segments_[i].points);
}

bool PointStack::make_room(std::size_t more) noexcept {
    if (room - size >= more) return true;
    const std::size_t next = top == nullptr ? 0 : current_ + 1;
    if (next == made_) {
        if (made_ == kMaxSegments) return false;
        std::size_t capacity = made_ == 0 ? kInitialPoints : segments_[made_ - 1].capacity;
        if (made_ > 0) capacity = doubled(capacity, sizeof(StackPoint), 0);
        while (capacity != 0 && capacity < more) capacity = doubled(capacity, sizeof(StackPoint), 0);
        if (capacity == 0) return false;
        void* block = heap_alloc(capacity * sizeof(StackPoint));
        if (block == nullptr) return false;
        segments_[made_++] = Segment{static_cast<StackPoint*>(block), capacity, 0};
    } else if (segments_[next].capacity < more) {
        // A segment made for smaller requests; it holds nothing yet.
        void* block = heap_realloc(segments_[next].points, more * sizeof(StackPoint));
        if (block == nullptr) return false;
        segments_[next].points = static_cast<StackPoint*>(block);
        segments_[next].capacity = more;
    }
    if (top != nullptr) segments_[current_].size = size;
    current_ = next;
    top = segments_[next].points;
    room = segments_[next].capacity;
    size = 0;
    return true;
}

bool PointStack::drop_segment() noexcept {
    segments_[current_].size = 0;
    while (current_ > 0) {
        --current_;
        if (segments_[current_].size != 0) {
            top = segments_[current_].points;
            room = segments_[current_].capacity;
            size = segments_[current_].size;
            return true;
        }
    }
    top = segments_[0].points;
    room = segments_[0].capacity;
    size = 0;
    return false;
}

void PointStack::clear() noexcept {
    for (std::size_t i = 0; i < made_; ++i) segments_[i].size = 0;
    current_ = 0;
    top = made_ == 0 ? nullptr : segments_[0].points;
    room = made_ == 0 ? 0 : segments_[0].capacity;
    size = 0;
}

void PointStack::shrink() noexcept {
    while (made_ > 1) heap_free(segments_[--made_].points);
    clear();
}

FloodFill::FloodFill(unsigned char*** volume, int value, int paint) noexcept
    : voxels_(volume[0][0]),
      width_(Image3DGetWidth(volume)),
      height_(Image3DGetHeight(volume)),
      depth_(Image3DGetDepth(volume)),
      value_(static_cast<std::uint8_t>(value)),
      paint_(static_cast<std::uint8_t>(paint & 0xFF)) {}

RunLength3D* FloodFill::take(CMyPoint3D seed) noexcept {
    auto* record = static_cast<RunLength3D*>(heap_alloc(record_bytes(kInitialRuns)));
    if (record == nullptr) return nullptr;
    stack_.clear();
    Fill fill(voxels_, width_, height_, depth_, value_, paint_, record, stack_);

    int x = seed.x, y = seed.y, z = seed.z;
    for (;;) {
        std::uint8_t* row = fill.row_at(y, z);
        // A point whose voxel was painted after it was pushed yields nothing.
        if (row[x] == fill.value) {
            int x_start, x_end;
            if (!fill.take_run(row, x, y, z, x_start, x_end) || !fill.push_neighbours(row, x_start, x_end, y, z)) break;
        }
        if (fill.size == 0) {
            fill.store_stack();
            const bool more = stack_.drop_segment();
            fill.load_stack();
            if (!more) return fill.finish_record();
        }
        const StackPoint& next = fill.top[--fill.size];
        x = next.x;
        y = next.y;
        z = next.z;
    }

    // The record or the stack could not grow: what was painted stays painted.
    heap_free(fill.record);
    stack_.clear();
    return nullptr;
}

}  // namespace img3d::detail
