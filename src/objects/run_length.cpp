// The scan-line flood fill that takes one 6-connected object into a record.
//
// The order of the runs in a record is part of the interface: the stack is
// last-in, first-out, the neighbour rows of a run are scanned above, below,
// the slice before, the slice after, and each stretch met there contributes
// one point, its rightmost voxel within the run's columns, pushed from left
// to right.  Painting is the only memory of what was visited.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "objects/objects_internal.h"
#include "objects/row_scan.h"
#include "platform/heap.h"

static_assert(sizeof(Run3D) == 8, "a run is four 16-bit fields");
static_assert(offsetof(Run3D, y) == 0 && offsetof(Run3D, z) == 2 && offsetof(Run3D, xStart) == 4 &&
                  offsetof(Run3D, xEnd) == 6,
              "run fields are y, z, xStart, xEnd");
static_assert(sizeof(RunLength3D) == 4 && offsetof(RunLength3D, count) == 0,
              "a record is a 32-bit count followed directly by its runs");
static_assert(alignof(Run3D) <= 4, "runs start right after the count");

namespace img3d::detail {

namespace {

// Doubles a capacity for elements of `element` bytes after a `header`; 0
// when the block would not fit in size_t.
std::size_t doubled(std::size_t capacity, std::size_t element, std::size_t header) {
    const std::size_t limit = (static_cast<std::size_t>(-1) - header) / element;
    if (capacity > limit / 2) return capacity < limit ? limit : 0;
    return capacity * 2;
}

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
        while (capacity != 0 && capacity < more)
            capacity = doubled(capacity, sizeof(StackPoint), 0);
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

Extractor::Extractor(unsigned char*** volume, int value, int paint) noexcept
    : voxels_(volume[0][0]),
      width_(Image3DGetWidth(volume)),
      height_(Image3DGetHeight(volume)),
      depth_(Image3DGetDepth(volume)),
      slice_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)),
      value_(static_cast<std::uint8_t>(value)),
      paint_(static_cast<std::uint8_t>(paint & 0xFF)) {}

RunLength3D* Extractor::extract(CMyPoint3D seed) noexcept {
    std::size_t capacity = kInitialRuns;
    auto* record = static_cast<RunLength3D*>(heap_alloc(record_bytes(capacity)));
    if (record == nullptr) return nullptr;
    Run3D* runs = RunLength3DRuns(record);
    std::size_t count = 0;

    // The hot state lives in locals: the voxel stores below may alias any
    // member, which would otherwise be reloaded after each of them.
    std::uint8_t* const voxels = voxels_;
    const int width = width_, height = height_, depth = depth_;
    const std::size_t row_step = static_cast<std::size_t>(width);
    const std::size_t slice_step = slice_;
    const std::uint8_t* const voxels_end = voxels + slice_step * static_cast<std::size_t>(depth);
#if IMG3D_ROW_SCAN_SSE2
    const bool short_windows = voxels_end - voxels >= 16;
#endif
    const std::uint8_t value = value_, paint = paint_;
    stack_.clear();
    StackPoint* top = stack_.top;
    std::size_t size = stack_.size;
    std::size_t room = stack_.room;
    auto load_stack = [&] {
        top = stack_.top;
        size = stack_.size;
        room = stack_.room;
    };
    auto store_stack = [&] {
        stack_.top = top;
        stack_.size = size;
        stack_.room = room;
    };

    int px = seed.x, py = seed.y, pz = seed.z;
    for (;;) {
        std::uint8_t* row =
            voxels + (static_cast<std::size_t>(pz) * static_cast<std::size_t>(height) +
                      static_cast<std::size_t>(py)) *
                         row_step;
        // A point whose voxel was painted after it was pushed yields nothing.
        if (row[px] == value) {
            // The neighbour rows are needed shortly; start fetching them now.
            if (py > 0) prefetch(row - row_step + px);
            if (py < height - 1) prefetch(row + row_step + px);
            if (pz > 0) prefetch(row - slice_step + px);
            if (pz < depth - 1) prefetch(row + slice_step + px);
            const int x_start = extend_left(row, px, value);
            const int x_end = extend_right(row, px, width, value);
            const std::size_t length = static_cast<std::size_t>(x_end - x_start + 1);
            fill_stretch(row + x_start, length, paint);

            if (count == capacity) {
                const std::size_t grown = doubled(capacity, sizeof(Run3D), sizeof(RunLength3D));
                void* block = grown == 0 ? nullptr : heap_realloc(record, record_bytes(grown));
                if (block == nullptr) break;
                record = static_cast<RunLength3D*>(block);
                runs = RunLength3DRuns(record);
                capacity = grown;
            }
            Run3D& run = runs[count++];
            run.y = static_cast<std::int16_t>(py);
            run.z = static_cast<std::int16_t>(pz);
            run.xStart = static_cast<std::int16_t>(x_start);
            run.xEnd = static_cast<std::int16_t>(x_end);

            // Each of the four rows contributes at most one point per two
            // columns.
            const std::size_t more = 4 * ((length + 1) / 2);
            if (room - size < more) {
                store_stack();
                if (!stack_.make_room(more)) break;
                load_stack();
            }
            const auto y = static_cast<std::int16_t>(py), z = static_cast<std::int16_t>(pz);
            const auto y_before = static_cast<std::int16_t>(py - 1),
                       y_after = static_cast<std::int16_t>(py + 1);
            const auto z_before = static_cast<std::int16_t>(pz - 1),
                       z_after = static_cast<std::int16_t>(pz + 1);
            auto push = [&](int x, std::int16_t ny, std::int16_t nz) {
                top[size++] = StackPoint{static_cast<std::int16_t>(x), ny, nz};
            };
#if IMG3D_ROW_SCAN_SSE2
            if (length <= 16 && short_windows) {
                // Short runs, the bulk of noisy volumes: the four rows are
                // read before any point is pushed, so that their loads
                // overlap.
                const __m128i v = _mm_set1_epi8(static_cast<char>(value));
                const int n = static_cast<int>(length);
                const std::uint8_t* p = row + x_start;
                const unsigned above =
                    py > 0 ? short_window_ends(p - row_step, n, voxels, voxels_end, v) : 0u;
                const unsigned below =
                    py < height - 1 ? short_window_ends(p + row_step, n, voxels, voxels_end, v)
                                    : 0u;
                const unsigned before =
                    pz > 0 ? short_window_ends(p - slice_step, n, voxels, voxels_end, v) : 0u;
                const unsigned after =
                    pz < depth - 1 ? short_window_ends(p + slice_step, n, voxels, voxels_end, v)
                                   : 0u;
                auto push_ends = [&](unsigned ends, std::int16_t ny, std::int16_t nz) {
                    while (ends != 0) {
                        push(x_start + __builtin_ctz(ends), ny, nz);
                        ends &= ends - 1;
                    }
                };
                push_ends(above, y_before, z);
                push_ends(below, y_after, z);
                push_ends(before, y, z_before);
                push_ends(after, y, z_after);
            } else
#endif
            {
                if (py > 0)
                    for_each_stretch_end(row - row_step, x_start, x_end, voxels, voxels_end, value,
                                         [&](int x) { push(x, y_before, z); });
                if (py < height - 1)
                    for_each_stretch_end(row + row_step, x_start, x_end, voxels, voxels_end, value,
                                         [&](int x) { push(x, y_after, z); });
                if (pz > 0)
                    for_each_stretch_end(row - slice_step, x_start, x_end, voxels, voxels_end,
                                         value, [&](int x) { push(x, y, z_before); });
                if (pz < depth - 1)
                    for_each_stretch_end(row + slice_step, x_start, x_end, voxels, voxels_end,
                                         value, [&](int x) { push(x, y, z_after); });
            }
        }
        if (size == 0) {
            store_stack();
            const bool more_points = stack_.drop_segment();
            load_stack();
            if (!more_points) {
                if (count != capacity) {
                    // A refused trim keeps the larger block, which is still whole.
                    void* block = heap_realloc(record, record_bytes(count));
                    if (block != nullptr) record = static_cast<RunLength3D*>(block);
                }
                record->count = static_cast<std::int32_t>(count);
                return record;
            }
        }
        const StackPoint& next = top[--size];
        px = next.x;
        py = next.y;
        pz = next.z;
    }

    // The record or the stack could not grow: what was painted stays painted.
    heap_free(record);
    stack_.clear();
    return nullptr;
}

RunLength3D* GetRunLength3D(unsigned char*** volume, int x, int y, int z, int value,
                            int paint) noexcept {
    const int width = Image3DGetWidth(volume);
    const int height = Image3DGetHeight(volume);
    const int depth = Image3DGetDepth(volume);
    if (x < 0 || x >= width || y < 0 || y >= height || z < 0 || z >= depth) return nullptr;
    if (width > kMaxExtent || height > kMaxExtent || depth > kMaxExtent) return nullptr;
    if ((paint & 0xFF) == value) return nullptr;
    if (value < 0 || value > 255) {
        auto* record = static_cast<RunLength3D*>(heap_alloc(record_bytes(0)));
        if (record != nullptr) record->count = 0;
        return record;
    }
    Extractor extractor(volume, value, paint);
    return extractor.extract(CMyPoint3D(x, y, z));
}

}  // namespace img3d::detail
