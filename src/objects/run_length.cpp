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

PointStack::~PointStack() { heap_free(points); }

bool PointStack::reserve(std::size_t needed) noexcept {
    if (needed <= capacity) return true;
    std::size_t grown = capacity == 0 ? kInitialPoints : capacity;
    while (grown < needed) {
        grown = doubled(grown, sizeof(CMyPoint3D), 0);
        if (grown == 0) return false;
    }
    void* block = heap_realloc(points, grown * sizeof(CMyPoint3D));
    if (block == nullptr) return false;
    points = static_cast<CMyPoint3D*>(block);
    capacity = grown;
    return true;
}

Extractor::Extractor(unsigned char*** volume, int value, int paint) noexcept
    : voxels_(volume[0][0]),
      width_(Image3DGetWidth(volume)),
      height_(Image3DGetHeight(volume)),
      depth_(Image3DGetDepth(volume)),
      slice_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)),
      value_(static_cast<std::uint8_t>(value)),
      paint_(static_cast<std::uint8_t>(paint & 0xFF)) {}

void Extractor::scan_neighbour_row(const std::uint8_t* row, int x_start, int x_end, int y,
                                   int z) noexcept {
    // Room was reserved for the worst case before the scans began.
    PointStack& stack = stack_;
    for_each_stretch_end(row, x_start, x_end, width_, value_, [&](int x) {
        stack.points[stack.size++] = CMyPoint3D(x, y, z);
    });
}

RunLength3D* Extractor::extract(int seed_x, int seed_y, int seed_z) noexcept {
    std::size_t capacity = kInitialRuns;
    auto* record = static_cast<RunLength3D*>(heap_alloc(record_bytes(capacity)));
    if (record == nullptr) return nullptr;
    Run3D* runs = RunLength3DRuns(record);
    std::size_t count = 0;

    const std::size_t width = static_cast<std::size_t>(width_);
    stack_.size = 0;
    CMyPoint3D point(seed_x, seed_y, seed_z);
    for (;;) {
        std::uint8_t* row =
            voxels_ + (static_cast<std::size_t>(point.z) * static_cast<std::size_t>(height_) +
                       static_cast<std::size_t>(point.y)) *
                          width;
        // A point whose voxel was painted after it was pushed yields nothing.
        if (row[point.x] == value_) {
            const int x_start = extend_left(row, point.x, value_);
            const int x_end = extend_right(row, point.x, width_, value_);
            const std::size_t length = static_cast<std::size_t>(x_end - x_start + 1);
            std::memset(row + x_start, paint_, length);

            if (count == capacity) {
                const std::size_t grown = doubled(capacity, sizeof(Run3D), sizeof(RunLength3D));
                void* block = grown == 0 ? nullptr : heap_realloc(record, record_bytes(grown));
                if (block == nullptr) break;
                record = static_cast<RunLength3D*>(block);
                runs = RunLength3DRuns(record);
                capacity = grown;
            }
            Run3D& run = runs[count++];
            run.y = static_cast<std::int16_t>(point.y);
            run.z = static_cast<std::int16_t>(point.z);
            run.xStart = static_cast<std::int16_t>(x_start);
            run.xEnd = static_cast<std::int16_t>(x_end);

            // Each of the four rows contributes at most one point per two
            // columns.
            if (!stack_.reserve(stack_.size + 4 * ((length + 1) / 2))) break;
            if (point.y > 0) scan_neighbour_row(row - width, x_start, x_end, point.y - 1, point.z);
            if (point.y < height_ - 1)
                scan_neighbour_row(row + width, x_start, x_end, point.y + 1, point.z);
            if (point.z > 0) scan_neighbour_row(row - slice_, x_start, x_end, point.y, point.z - 1);
            if (point.z < depth_ - 1)
                scan_neighbour_row(row + slice_, x_start, x_end, point.y, point.z + 1);
        }
        if (stack_.size == 0) {
            if (count != capacity) {
                // A refused trim keeps the larger block, which is still whole.
                void* block = heap_realloc(record, record_bytes(count));
                if (block != nullptr) record = static_cast<RunLength3D*>(block);
            }
            record->count = static_cast<std::int32_t>(count);
            return record;
        }
        point = stack_.points[--stack_.size];
    }

    // The record or the stack could not grow: what was painted stays painted.
    heap_free(record);
    stack_.size = 0;
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
    return extractor.extract(x, y, z);
}

}  // namespace img3d::detail
