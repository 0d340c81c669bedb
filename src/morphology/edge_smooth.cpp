// Per-object edge smoothing by a cubic majority window.
//
// Each object is decided inside its own bounding box from a mask of it alone
// (a scratch volume with a margin of radius voxels), so neighbouring objects
// never count in each other's windows.  The window test compares the sum of
// the grey values in the window, n*object + (w^3 - n)*background for n object
// voxels, with a threshold; the sums are counted with running sums along x,
// y and z, so the cost per box voxel does not grow with the radius.
//
// Objects are taken one at a time and their record released once it is
// smoothed, so a noisy volume never holds the records of all its objects at
// once.  What the objects claim is gathered in a mask of the whole volume
// rather than written into the destination, where the objects not yet taken
// still are: a claimed voxel there would be found again as part of them.
#include <cstdint>
#include <cstring>

#include "img3d.h"
#include "objects/objects_internal.h"
#include "platform/heap.h"
#include "volume/volume_internal.h"

namespace {

// Largest radius whose threshold ((2r+1)^3 + 1) * 255 fits in 32 bits.
constexpr int kMaxRadius = 101;
// Windows up to this side are summed along x directly (radius 0 ... 4).
constexpr int kDirectSide = 9;

// The claim mask keeps one bit per voxel, each row starting on a byte.
std::size_t mask_row_bytes(int width) { return (static_cast<std::size_t>(width) + 7) / 8; }

// Eight flags of 0 or 1 (flag i at flags[i]) as the bits of one byte (bit i).
std::uint8_t pack_flags(const std::uint8_t* flags) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Flag i sits at bit 8i; the product's top byte collects bit 8i + 7 - j
    // of each term at j = 7 - i, and no two terms share a bit.
    std::uint64_t word;
    std::memcpy(&word, flags, sizeof word);
    return static_cast<std::uint8_t>((word * 0x0102040810204080ull) >> 56);
#else
    std::uint8_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = static_cast<std::uint8_t>(bits | (flags[i] << i));
    return bits;
#endif
}

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

// What one object claims: a set bit in the mask (mask_row_bytes(volumeWidth)
// bytes per row of the volume) where the window test passes inside its
// bounding box.
void smooth_object(std::uint8_t* mask, int volumeWidth, int volumeHeight, const RunLength3D* record, int radius,
                   const WindowTest& test) {
    const Run3D* runs = RunLength3DRuns(const_cast<RunLength3D*>(record));
    if (test.growing) {
        // No window holds more object voxels than the object has: one too
        // small to reach the bound claims nothing (the specks of a noisy
        // volume), and needs no scratch.
        std::int64_t voxels = 0;
        for (int i = 0; i < record->count; ++i) voxels += runs[i].xEnd - runs[i].xStart + 1;
        if (voxels < test.bound) return;
    }
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
    // One row of pass flags, from the byte of the mask holding xMin's bit to
    // the one holding xMax's.
    const int lead = box.xMin % 8;
    const std::size_t span = (static_cast<std::size_t>(lead) + width + 7) / 8 * 8;
    const std::size_t flagsSize = (span + sizeof(std::int32_t) - 1) / sizeof(std::int32_t);
    auto* memory = static_cast<std::int32_t*>(img3d::detail::heap_alloc(
        (rowsSize + width + area + planesSize + flagsSize) * sizeof(std::int32_t)));
    if (memory == nullptr) {
        Image3DFree(scratch);
        return;
    }
    counts.rows = memory;
    counts.square = memory + rowsSize;
    counts.window = counts.square + width;
    if (planesSize != 0) counts.planes = counts.window + area;
    std::memset(counts.window, 0, area * sizeof(std::int32_t));
    auto* flags = reinterpret_cast<std::uint8_t*>(counts.window + area + planesSize);
    std::memset(flags, 0, span);

    // The scratch holds 1 for the object's voxels and 0 elsewhere.
    for (int i = 0; i < record->count; ++i) {
        const Run3D& run = runs[i];
        unsigned char* row = scratch[run.z - box.zMin + radius][run.y - box.yMin + radius];
        std::memset(row + (run.xStart - box.xMin + radius), 1,
                    static_cast<std::size_t>(run.xEnd - run.xStart + 1));
    }

    // Scratch slices outside radius ... radius + depth - 1 hold no object
    // voxel and add nothing to any window.
    auto holds_object = [&](int slice) { return slice >= radius && slice < radius + box.depth(); };
    const std::int32_t lowest = test.lowest(), highest = test.highest();
    for (int s = 0; s < side - 1; ++s)
        if (holds_object(s)) counts.accumulate(scratch, s, +1);
    for (int z = 0; z < box.depth(); ++z) {
        if (holds_object(z + side - 1)) counts.accumulate(scratch, z + side - 1, +1);
        for (int y = 0; y < box.height(); ++y) {
            const std::int32_t* n = counts.window + static_cast<std::size_t>(y) * box.width();
            // The test writes every flag of the row, a select the compiler
            // vectorises, where a branch per voxel would be mispredicted along
            // every surface; flags outside the box stay 0.
            for (int x = 0; x < box.width(); ++x)
                flags[lead + x] = static_cast<std::uint8_t>((n[x] >= lowest) & (n[x] <= highest));
            std::uint8_t* bits =
                mask +
                (static_cast<std::size_t>(box.zMin + z) * static_cast<std::size_t>(volumeHeight) +
                 static_cast<std::size_t>(box.yMin + y)) *
                    mask_row_bytes(volumeWidth) +
                static_cast<std::size_t>(box.xMin / 8);
            for (std::size_t k = 0; k < span; k += 8) bits[k / 8] |= pack_flags(flags + k);
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
    const int width = Image3DGetWidth(destination), height = Image3DGetHeight(destination),
              depth = Image3DGetDepth(destination);
    // No object of a value outside 0 ... 255; beyond 16-bit coordinates the
    // objects could not be recorded.
    if (objectValue < 0 || objectValue > 255 || width > img3d::detail::kMaxExtent ||
        height > img3d::detail::kMaxExtent || depth > img3d::detail::kMaxExtent)
        return -1;
    const std::size_t rows = static_cast<std::size_t>(height) * static_cast<std::size_t>(depth);
    const std::size_t rowBytes = mask_row_bytes(width);
    auto* mask = static_cast<std::uint8_t*>(img3d::detail::heap_alloc_zeroed(rows * rowBytes));
    if (mask == nullptr) return -1;

    const WindowTest test(objectValue, backgroundValue & 0xFF, radius);
    img3d::detail::Extractor extractor(destination, objectValue, backgroundValue);
    bool found = false, refused = false;
    img3d::detail::for_each_seed(
        destination[0][0], width, height, depth, static_cast<std::uint8_t>(objectValue),
        [&](img3d::detail::CMyPoint3D seed) {
            RunLength3D* record = extractor.extract(seed);
            if (record == nullptr) {
                refused = true;
                return false;
            }
            found = true;
            // A large object's points are no longer needed while it is smoothed.
            extractor.shrink_stack();
            // An object whose scratch memory cannot be had is skipped.
            smooth_object(mask, width, height, record, radius, test);
            img3d::detail::heap_free(record);
            return true;
        });
    if (refused || !found) {
        // No object, or out of memory while taking one: undo the painting
        // where the source is still there to copy from.
        img3d::detail::heap_free(mask);
        if (refused && source != destination) Img3DCopy(source, destination);
        return -1;
    }

    // Each mask byte becomes eight voxels: its bits spread to bytes of 0 or 1,
    // which select the object or the background value byte by byte.
    const auto object = static_cast<std::uint8_t>(objectValue);
    const auto background = static_cast<std::uint8_t>(backgroundValue & 0xFF);
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    std::uint64_t spread[256];
    for (unsigned b = 0; b < 256; ++b) {
        std::uint64_t bytes = 0;
        for (unsigned i = 0; i < 8; ++i)
            if (b & (1u << i)) bytes |= std::uint64_t{1} << (8 * i);
        spread[b] = bytes * object + (bytes ^ kOnes) * background;
    }
    const std::size_t whole = static_cast<std::size_t>(width) / 8;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint8_t* bits = mask + r * rowBytes;
        std::uint8_t* out = destination[0][0] + r * static_cast<std::size_t>(width);
        for (std::size_t k = 0; k < whole; ++k) std::memcpy(out + 8 * k, &spread[bits[k]], 8);
        for (int x = static_cast<int>(8 * whole); x < width; ++x)
            out[x] = (bits[x / 8] >> (x % 8)) & 1 ? object : background;
    }
    img3d::detail::heap_free(mask);
    return 0;
}
