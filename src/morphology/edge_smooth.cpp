// Per-object edge smoothing by a cubic majority window.
//
// Each object is decided inside its own bounding box from a mask of it alone
// (a scratch volume with a margin of radius voxels), so neighbouring objects
// never count in each other's windows.  The window test compares the sum of
// the grey values in the window, n*object + (w^3 - n)*background for n object
// voxels, with a threshold; the sums are counted with running sums along x,
// y and z, so the cost per box voxel does not grow with the radius.
#include <cstdint>
#include <cstring>

#include "img3d.h"
#include "morphology/whole_objects.h"
#include "platform/heap.h"
#include "volume/volume_internal.h"

namespace {

// Largest radius whose threshold ((2r+1)^3 + 1) * 255 fits in 32 bits.
constexpr int kMaxRadius = 101;
// Windows up to this side are summed along x directly (radius 0 ... 4).
constexpr int kDirectSide = 9;

struct Box {
    int xMin, xMax, yMin, yMax, zMin, zMax;
    int width() const { return xMax - xMin + 1; }
    int height() const { return yMax - yMin + 1; }
    int depth() const { return zMax - zMin + 1; }
};

// The window test as a bound on n, the number of object voxels in a window:
// the sum grows (object > background) or shrinks (object < background)
// monotonically in n, so the voxels that pass are exactly those with
// n >= lowest (growing) or n <= highest (shrinking).
struct WindowTest {
    bool growing;
    std::int64_t bound;

    WindowTest(int object, int background, int radius) {
        const std::int64_t w = 2 * radius + 1;
        const std::int64_t cells = w * w * w;
        const std::int64_t threshold = ((cells + 1) * object) / 2;
        auto sum = [&](std::int64_t n) { return n * object + (cells - n) * background; };
        growing = object > background;
        // Binary search for the boundary of the passing range of n in 0 ... cells.
        std::int64_t lo = 0, hi = cells + 1;
        if (growing) {  // first n with sum >= threshold
            while (lo < hi) {
                const std::int64_t mid = (lo + hi) / 2;
                if (sum(mid) >= threshold) hi = mid; else lo = mid + 1;
            }
            bound = lo;
        } else {  // last n with sum >= threshold, or -1
            while (lo < hi) {
                const std::int64_t mid = (lo + hi) / 2;
                if (sum(mid) >= threshold) lo = mid + 1; else hi = mid;
            }
            bound = lo - 1;
        }
    }
    // The same as lowest <= n <= highest, in 32 bits (n never exceeds the
    // window's cells), so that the test over a row compiles to vector code.
    std::int32_t lowest() const { return growing ? static_cast<std::int32_t>(bound) : 0; }
    std::int32_t highest() const { return growing ? INT32_MAX : static_cast<std::int32_t>(bound); }
};

// Working memory for one object: window sums along x of every row of one
// scratch slice, one row of sums along x and y, the running sum along z of
// the whole box and, for narrow windows, the in-plane sums of the last side
// slices, so that a slice leaving the window need not be summed again.
struct Counts {
    int boxWidth, boxHeight, scratchHeight, side;
    std::int32_t* rows;    // scratchHeight x boxWidth
    std::int32_t* square;  // boxWidth
    std::int32_t* window;  // boxHeight x boxWidth
    std::int32_t* planes;  // side x boxHeight x boxWidth, or null

    // Adds (sign +1) or removes (sign -1) the in-plane window sums of one
    // scratch slice to the running sum along z.  With planes, a slice is
    // removed at most side - 1 slices after it was added.
    void accumulate(unsigned char*** scratch, int slice, int sign) {
        const std::size_t area = static_cast<std::size_t>(boxWidth) * static_cast<std::size_t>(boxHeight);
        std::int32_t* plane = planes == nullptr ? nullptr : planes + static_cast<std::size_t>(slice % side) * area;
        if (plane != nullptr && sign < 0) {
            for (std::size_t i = 0; i < area; ++i) window[i] -= plane[i];
            return;
        }
        for (int y = 0; y < scratchHeight; ++y) {
            const unsigned char* m = scratch[slice][y];
            std::int32_t* r = rows + static_cast<std::size_t>(y) * boxWidth;
            if (side <= kDirectSide) {
                // Narrow windows: side vector additions per row beat a
                // running sum, whose every voxel waits for the one before.
                for (int x = 0; x < boxWidth; ++x) r[x] = m[x];
                for (int k = 1; k < side; ++k)
                    for (int x = 0; x < boxWidth; ++x) r[x] += m[x + k];
                continue;
            }
            std::int32_t run = 0;
            for (int x = 0; x < side - 1; ++x) run += m[x];
            for (int x = 0; x < boxWidth; ++x) {
                run += m[x + side - 1];
                r[x] = run;
                run -= m[x];
            }
        }
        const std::size_t width = static_cast<std::size_t>(boxWidth);
        std::memset(square, 0, width * sizeof *square);
        for (int y = 0; y < side; ++y)
            for (std::size_t x = 0; x < width; ++x) square[x] += rows[y * width + x];
        for (int y = 0; y < boxHeight; ++y) {
            if (y > 0) {
                const std::int32_t* enter = rows + (y + side - 1) * width;
                const std::int32_t* leave = rows + (y - 1) * width;
                for (std::size_t x = 0; x < width; ++x) square[x] += enter[x] - leave[x];
            }
            std::int32_t* w = window + y * width;
            if (plane != nullptr) {
                std::int32_t* kept = plane + y * width;
                for (std::size_t x = 0; x < width; ++x) {
                    kept[x] = square[x];
                    w[x] += square[x];
                }
            } else {
                for (std::size_t x = 0; x < width; ++x) w[x] += sign * square[x];
            }
        }
    }
};

void smooth_object(unsigned char*** destination, const RunLength3D* record, int object, int radius,
                   const WindowTest& test) {
    Box box;
    GetObjectXYLimit3D(record, &box.xMin, &box.xMax, &box.yMin, &box.yMax, &box.zMin, &box.zMax);
    const int side = 2 * radius + 1;
    unsigned char*** scratch =
        Image3DAlloc(box.width() + 2 * radius, box.height() + 2 * radius, box.depth() + 2 * radius);
    if (scratch == nullptr) return;

    Counts counts{box.width(), box.height(), box.height() + 2 * radius, side, nullptr, nullptr, nullptr, nullptr};
    const std::size_t width = static_cast<std::size_t>(box.width());
    const std::size_t area = width * static_cast<std::size_t>(box.height());
    const std::size_t rowsSize = static_cast<std::size_t>(counts.scratchHeight) * width;
    // Kept planes cost side times the box's area; wide windows sum each
    // slice twice instead.
    const std::size_t planesSize = side <= kDirectSide ? static_cast<std::size_t>(side) * area : 0;
    auto* memory = static_cast<std::int32_t*>(
        img3d::detail::heap_alloc((rowsSize + width + area + planesSize) * sizeof(std::int32_t)));
    if (memory == nullptr) {
        Image3DFree(scratch);
        return;
    }
    counts.rows = memory;
    counts.square = memory + rowsSize;
    counts.window = counts.square + width;
    if (planesSize != 0) counts.planes = counts.window + area;
    std::memset(counts.window, 0, area * sizeof(std::int32_t));

    // The scratch holds 1 for the object's voxels and 0 elsewhere.
    const Run3D* runs = RunLength3DRuns(const_cast<RunLength3D*>(record));
    for (int i = 0; i < record->count; ++i) {
        const Run3D& run = runs[i];
        unsigned char* row = scratch[run.z - box.zMin + radius][run.y - box.yMin + radius];
        std::memset(row + (run.xStart - box.xMin + radius), 1,
                    static_cast<std::size_t>(run.xEnd - run.xStart + 1));
    }

    // Scratch slices outside radius ... radius + depth - 1 hold no object
    // voxel and add nothing to any window.
    auto holds_object = [&](int slice) { return slice >= radius && slice < radius + box.depth(); };
    const unsigned char value = static_cast<unsigned char>(object);
    const std::int32_t lowest = test.lowest(), highest = test.highest();
    for (int s = 0; s < side - 1; ++s)
        if (holds_object(s)) counts.accumulate(scratch, s, +1);
    for (int z = 0; z < box.depth(); ++z) {
        if (holds_object(z + side - 1)) counts.accumulate(scratch, z + side - 1, +1);
        for (int y = 0; y < box.height(); ++y) {
            const std::int32_t* n = counts.window + static_cast<std::size_t>(y) * box.width();
            unsigned char* out = destination[box.zMin + z][box.yMin + y] + box.xMin;
            // Every voxel of the row is stored, unchanged where the test
            // fails: a select the compiler vectorises, where a branch per
            // voxel would be mispredicted along every surface.
            for (int x = 0; x < box.width(); ++x)
                out[x] = ((n[x] >= lowest) & (n[x] <= highest)) ? value : out[x];
        }
        if (holds_object(z)) counts.accumulate(scratch, z, -1);
    }
    img3d::detail::heap_free(memory);
    Image3DFree(scratch);
}

}  // namespace

extern "C" IMG3D_API int Img3DEdgeSmooth(unsigned char*** source, unsigned char*** destination,
                                         int objectValue, int backgroundValue, int radius) {
    // The extraction marks what it took with the background value, so the two
    // must differ; the window threshold must fit in 32 bits.
    if ((backgroundValue & 0xFF) == objectValue || radius < 0 || radius > kMaxRadius ||
        !img3d::detail::same_dimensions(source, destination))
        return -1;

    Img3DCopy(source, destination);
    int count = 0;
    RunLength3D** objects = GetAllRunLength3D(destination, objectValue, backgroundValue, &count, 0);
    if (objects == nullptr || !img3d::detail::holds_whole_objects(objects, count)) {
        // Out of memory: undo the extraction's painting where the source is
        // still there to copy from.
        FreeRunLength3D(count, objects);
        if (source != destination) Img3DCopy(source, destination);
        return -1;
    }
    Img3DClear(destination, backgroundValue);

    const WindowTest test(objectValue, backgroundValue & 0xFF, radius);
    // An object whose scratch memory cannot be had is skipped.
    for (int i = 0; i < count; ++i) smooth_object(destination, objects[i], objectValue, radius, test);
    FreeRunLength3D(count, objects);
    return 0;
}
