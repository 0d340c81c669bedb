// Per-object edge smoothing by a cubic majority window.
//
// Each object is decided inside its own bounding box from a mask of it alone
// (with a margin of radius voxels), so neighbouring objects never count in
// each other's windows.  The window test compares the sum of
// the grey values in the window, n*object + (w^3 - n)*background for n object
// voxels, with a threshold; the sums are kept as running sums along x, y and
// z, so the cost per box voxel does not grow with the radius.
//
// The objects are found by a union-find over the runs of the destination
// once it holds the source's copy: one pass numbers the objects that can
// claim anything and finds their boxes, and each row of an object's mask is
// made from its runs, read off the copy, as the window reaches it.  Nothing
// is painted into the copy and neither a record nor a mask volume is built,
// so a noisy volume costs neither the memory of its largest object nor the
// flood fill's walk through it.  What the objects claim is gathered in a
// mask of the whole volume, which is written into the destination at the
// end.
#include <cstdint>
#include <cstring>

#include "img3d.h"
#include "objects/objects_internal.h"
#include "platform/heap.h"

namespace {

using img3d::detail::heap_alloc;
using img3d::detail::heap_free;

// Largest radius whose threshold ((2r+1)^3 + 1) * 255 fits in 32 bits.
constexpr int kMaxRadius = 101;
// Windows up to this side are summed along x directly (radius 0 ... 4), and
// their in-plane sums are kept rather than computed twice.
constexpr int kDirectSide = 9;

// The window test as a bound on n, the number of object voxels in a window:
// the sum grows (object > background) or shrinks (object < background)
// monotonically in n, so the voxels that pass are exactly those with
// n >= bound (growing) or n <= bound (shrinking).
struct WindowTest {
    bool growing;
    std::int64_t bound;

    WindowTest(int object, int background, int side) {
        const std::int64_t cells = std::int64_t{side} * side * side;
        const std::int64_t threshold = ((cells + 1) * object) / 2;
        auto sum = [&](std::int64_t n) { return n * object + (cells - n) * background; };
        growing = object > background;
        // Binary search for the boundary of the passing range of n in 0 ... cells.
        std::int64_t lo = 0, hi = cells + 1;
        if (growing) {  // first n with sum >= threshold
            while (lo < hi) {
                const std::int64_t mid = (lo + hi) / 2;
                if (sum(mid) >= threshold)
                    hi = mid;
                else
                    lo = mid + 1;
            }
            bound = lo;
        } else {  // last n with sum >= threshold, or -1
            while (lo < hi) {
                const std::int64_t mid = (lo + hi) / 2;
                if (sum(mid) >= threshold)
                    lo = mid + 1;
                else
                    hi = mid;
            }
            bound = lo - 1;
        }
    }
    // The passing range lowest() <= n <= highest() in 32 bits (n never
    // exceeds the window's cells), so that the test of a row compiles to
    // vector code.
    std::int32_t lowest() const { return growing ? static_cast<std::int32_t>(bound) : 0; }
    std::int32_t highest() const { return growing ? INT32_MAX : static_cast<std::int32_t>(bound); }
};

// One bit per voxel of the volume, each row starting on a byte: what the
// objects claim.
class ClaimMask {
public:
    ClaimMask(int width, int height, int depth)
        : width_(width),
          row_bytes_((static_cast<std::size_t>(width) + 7) / 8),
          rows_(static_cast<std::size_t>(height) * static_cast<std::size_t>(depth)),
          height_(height),
          bits_(static_cast<std::uint8_t*>(img3d::detail::heap_alloc_zeroed(rows_ * row_bytes_))) {}
    ~ClaimMask() { heap_free(bits_); }
    ClaimMask(const ClaimMask&) = delete;
    ClaimMask& operator=(const ClaimMask&) = delete;

    bool allocated() const { return bits_ != nullptr; }

    // The mask byte holding the bit of column x of row y, slice z.
    std::uint8_t* byte_at(int x, int y, int z) const {
        return bits_ +
               (static_cast<std::size_t>(z) * static_cast<std::size_t>(height_) + static_cast<std::size_t>(y)) *
                   row_bytes_ +
               static_cast<std::size_t>(x / 8);
    }

    // Writes every voxel of the volume: object where claimed, background
    // elsewhere.  Each mask byte becomes eight voxels: its bits spread to
    // bytes of 0 or 1, which select the object or the background value byte
    // by byte.
    void write(std::uint8_t* voxels, std::uint8_t object, std::uint8_t background) const {
        constexpr std::uint64_t kOnes = 0x0101010101010101ull;
        std::uint64_t spread[256];
        for (unsigned b = 0; b < 256; ++b) {
            std::uint64_t bytes = 0;
            for (unsigned i = 0; i < 8; ++i)
                if (b & (1u << i)) bytes |= std::uint64_t{1} << (8 * i);
            spread[b] = bytes * object + (bytes ^ kOnes) * background;
        }
        const std::size_t whole = static_cast<std::size_t>(width_) / 8;
        for (std::size_t r = 0; r < rows_; ++r) {
            const std::uint8_t* bits = bits_ + r * row_bytes_;
            std::uint8_t* out = voxels + r * static_cast<std::size_t>(width_);
            for (std::size_t k = 0; k < whole; ++k) std::memcpy(out + 8 * k, &spread[bits[k]], 8);
            for (int x = static_cast<int>(8 * whole); x < width_; ++x)
                out[x] = (bits[x / 8] >> (x % 8)) & 1 ? object : background;
        }
    }

private:
    int width_;
    std::size_t row_bytes_, rows_;
    int height_;
    std::uint8_t* bits_;
};

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
    int x_min, x_max, y_min, y_max, z_min, z_max;
    int width() const { return x_max - x_min + 1; }
    int height() const { return y_max - y_min + 1; }
    int depth() const { return z_max - z_min + 1; }
};

// The number of object voxels in the window around every voxel of one slice
// of an object's box, kept as the window moves through the box's slices:
// add_slice brings a mask slice into the window, drop_slice takes one out.
// A slice's in-plane sums come from running sums along x (or side additions,
// for narrow windows) and then along y; narrow windows keep the in-plane sums
// of the last side slices, so that a slice leaving the window need not be
// summed again.
class WindowSums {
public:
    // Working memory for a box of the given width and height and a window of
    // the given side; the mask slices have height + side - 1 rows.
    static std::size_t cells(int width, int height, int side) {
        const std::size_t w = static_cast<std::size_t>(width), area = w * static_cast<std::size_t>(height);
        const std::size_t kept = side <= kDirectSide ? static_cast<std::size_t>(side) * area : 0;
        return static_cast<std::size_t>(height + side - 1) * w + w + area + kept;
    }

    // memory holds cells(width, height, side) int32s.
    WindowSums(int width, int height, int side, std::int32_t* memory)
        : width_(width),
          height_(height),
          side_(side),
          row_sums_(memory),
          column_sums_(row_sums_ + static_cast<std::size_t>(height + side - 1) * width),
          window_(column_sums_ + width),
          kept_(side <= kDirectSide ? window_ + area() : nullptr) {
        std::memset(window_, 0, area() * sizeof *window_);
    }

    // The window sums of row y of the current slice, width() entries.
    const std::int32_t* row(int y) const { return window_ + static_cast<std::size_t>(y) * width_; }

    // (The loops' bounds are locals: a sum's store could change a member
    // for all the compiler knows, and the loops would not be vectorised.)
    template <class Mask>
    void add_slice(Mask& mask, int slice) {
        std::int32_t* kept = kept_slice(slice);
        const auto width = static_cast<std::size_t>(width_);
        plane_sums(mask, slice, [&](int y, const std::int32_t* sums) {
            std::int32_t* w = window_ + static_cast<std::size_t>(y) * width;
            if (kept != nullptr) std::memcpy(kept + static_cast<std::size_t>(y) * width, sums, width * sizeof *sums);
            for (std::size_t x = 0; x < width; ++x) w[x] += sums[x];
        });
    }

    // slice is at most side - 1 slices after the last one added.
    template <class Mask>
    void drop_slice(Mask& mask, int slice) {
        if (const std::int32_t* kept = kept_slice(slice)) {
            const std::size_t cells = area();
            for (std::size_t i = 0; i < cells; ++i) window_[i] -= kept[i];
            return;
        }
        const auto width = static_cast<std::size_t>(width_);
        plane_sums(mask, slice, [&](int y, const std::int32_t* sums) {
            std::int32_t* w = window_ + static_cast<std::size_t>(y) * width;
            for (std::size_t x = 0; x < width; ++x) w[x] -= sums[x];
        });
    }

private:
    std::size_t area() const { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_); }

    std::int32_t* kept_slice(int slice) const {
        return kept_ == nullptr ? nullptr : kept_ + static_cast<std::size_t>(slice % side_) * area();
    }

    // Calls use(y, sums) for y = 0 ... height - 1, sums holding the sums of
    // the side x side square of mask slice `slice` around each voxel of box
    // row y; mask.row(slice, y) gives the mask's rows, box width + side - 1
    // voxels of 0 or 1.
    template <class Mask, class Use>
    void plane_sums(Mask& mask, int slice, Use use) {
        const std::size_t width = static_cast<std::size_t>(width_);
        for (int y = 0; y < height_ + side_ - 1; ++y) {
            const unsigned char* m = mask.row(slice, y);
            std::int32_t* r = row_sums_ + static_cast<std::size_t>(y) * width;
            if (side_ <= kDirectSide) {
                // Narrow windows: side vector additions per row beat a
                // running sum, whose every voxel waits for the one before.
                for (std::size_t x = 0; x < width; ++x) r[x] = m[x];
                for (int k = 1; k < side_; ++k)
                    for (std::size_t x = 0; x < width; ++x) r[x] += m[x + k];
                continue;
            }
            std::int32_t run = 0;
            for (int x = 0; x < side_ - 1; ++x) run += m[x];
            for (std::size_t x = 0; x < width; ++x) {
                run += m[x + side_ - 1];
                r[x] = run;
                run -= m[x];
            }
        }
        std::memset(column_sums_, 0, width * sizeof *column_sums_);
        for (int y = 0; y < side_; ++y)
            for (std::size_t x = 0; x < width; ++x) column_sums_[x] += row_sums_[y * width + x];
        for (int y = 0; y < height_; ++y) {
            if (y > 0) {
                const std::int32_t* enter = row_sums_ + (y + side_ - 1) * width;
                const std::int32_t* leave = row_sums_ + (y - 1) * width;
                for (std::size_t x = 0; x < width; ++x) column_sums_[x] += enter[x] - leave[x];
            }
            use(y, column_sums_);
        }
    }

    int width_, height_, side_;
    std::int32_t* row_sums_;     // (height + side - 1) x width: along x, per mask row
    std::int32_t* column_sums_;  // width: along x and y, for one box row
    std::int32_t* window_;       // height x width: the window sums
    std::int32_t* kept_;         // side x height x width, or null
};

// The runs of the kept objects: the destination's voxels, which hold the
// source's until the end, with the number of each row's first run.
struct ObjectRuns {
    const std::uint8_t* voxels;
    int width, height;
    std::uint8_t value;
    const img3d::detail::RunLabels& objects;
    const std::uint32_t* first_run;  // per row, (z*height + y)

    // Calls paint(x_start, x_end) for every run of the object in row y of
    // slice z.
    template <class Paint>
    void for_each_run_of(std::int32_t object, int y, int z, Paint paint) const {
        const std::size_t row =
            static_cast<std::size_t>(z) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y);
        std::size_t run = first_run[row];
        img3d::detail::for_each_run(voxels + row * static_cast<std::size_t>(width), width, value,
                                    [&](int x_start, int x_end) {
                                        if (objects.object(run++) == object) paint(x_start, x_end);
                                    });
    }
};

// The mask of one object: its box with a margin of radius voxels on every
// side, 1 at the object's voxels and 0 elsewhere, made one row at a time
// into a buffer of the row's width.
class ObjectMask {
public:
    ObjectMask(const ObjectRuns& runs, std::int32_t object, const Box& box, int radius, unsigned char* buffer)
        : runs_(runs), object_(object), box_(box), radius_(radius), buffer_(buffer) {}

    // Row y of mask slice `slice`, valid until the next call.
    const unsigned char* row(int slice, int y) {
        std::memset(buffer_, 0, static_cast<std::size_t>(box_.width() + 2 * radius_));
        const int z = box_.z_min + slice - radius_, volume_y = box_.y_min + y - radius_;
        if (z < box_.z_min || z > box_.z_max || volume_y < box_.y_min || volume_y > box_.y_max) return buffer_;
        runs_.for_each_run_of(object_, volume_y, z, [&](int x_start, int x_end) {
            std::memset(buffer_ + (x_start - box_.x_min + radius_), 1, static_cast<std::size_t>(x_end - x_start + 1));
        });
        return buffer_;
    }

private:
    const ObjectRuns& runs_;
    std::int32_t object_;
    Box box_;
    int radius_;
    unsigned char* buffer_;
};

// Sets the claim bits of one row of the box where the window test passes.
// flags has room for the row from the mask byte holding x_min's bit to the
// one holding x_max's (span bytes, a multiple of 8) and is 0 outside the box.
void claim_row(const std::int32_t* sums, const Box& box, int y, int z, const WindowTest& test, std::uint8_t* flags,
               std::size_t span, const ClaimMask& claims) {
    const std::int32_t lowest = test.lowest(), highest = test.highest();
    const int lead = box.x_min % 8, width = box.width();
    // The test writes every flag of the row, a select the compiler
    // vectorises, where a branch per voxel would be mispredicted along every
    // surface.  (The bounds are locals: a flag's store could change the box
    // for all the compiler knows.)
    for (int x = 0; x < width; ++x)
        flags[lead + x] = static_cast<std::uint8_t>((sums[x] >= lowest) & (sums[x] <= highest));
    std::uint8_t* bits = claims.byte_at(box.x_min, box.y_min + y, box.z_min + z);
    for (std::size_t k = 0; k < span; k += 8) bits[k / 8] |= pack_flags(flags + k);
}

// Smooths one object: claims the voxels of its box whose window, on a mask
// of the object alone, passes the test.  An object whose working memory
// cannot be allocated claims nothing.
void smooth_object(const ObjectRuns& runs, std::int32_t object, const Box& box, int radius, const WindowTest& test,
                   const ClaimMask& claims) {
    const int side = 2 * radius + 1;
    const std::size_t span =
        (static_cast<std::size_t>(box.x_min % 8) + static_cast<std::size_t>(box.width()) + 7) / 8 * 8;
    const std::size_t sum_cells = WindowSums::cells(box.width(), box.height(), side);
    const std::size_t flag_cells = (span + sizeof(std::int32_t) - 1) / sizeof(std::int32_t);
    const std::size_t row_cells = (static_cast<std::size_t>(box.width()) + 2 * radius + 3) / sizeof(std::int32_t);
    auto* memory = static_cast<std::int32_t*>(heap_alloc((sum_cells + flag_cells + row_cells) * sizeof(std::int32_t)));
    if (memory == nullptr) return;
    WindowSums sums(box.width(), box.height(), side, memory);
    auto* flags = reinterpret_cast<std::uint8_t*>(memory + sum_cells);
    std::memset(flags, 0, span);
    ObjectMask mask(runs, object, box, radius, reinterpret_cast<unsigned char*>(memory + sum_cells + flag_cells));

    // Mask slices outside the margins hold no object voxel and add nothing
    // to any window.
    auto holds_object = [&](int slice) { return slice >= radius && slice < radius + box.depth(); };
    for (int s = 0; s < side - 1; ++s)
        if (holds_object(s)) sums.add_slice(mask, s);
    for (int z = 0; z < box.depth(); ++z) {
        if (holds_object(z + side - 1)) sums.add_slice(mask, z + side - 1);
        for (int y = 0; y < box.height(); ++y) claim_row(sums.row(y), box, y, z, test, flags, span, claims);
        if (holds_object(z)) sums.drop_slice(mask, z);
    }
    heap_free(memory);
}

// Where the kept objects lie: each one's bounding box, and the number of
// every row's first run.  One block of the heap layer, released with it.
class ObjectBoxes {
public:
    ObjectBoxes(std::int32_t objects, std::size_t rows)
        : boxes_(static_cast<Box*>(
              heap_alloc(static_cast<std::size_t>(objects) * sizeof(Box) + rows * sizeof(std::uint32_t)))),
          first_run_(boxes_ == nullptr ? nullptr : reinterpret_cast<std::uint32_t*>(boxes_ + objects)) {}
    ~ObjectBoxes() { heap_free(boxes_); }
    ObjectBoxes(const ObjectBoxes&) = delete;
    ObjectBoxes& operator=(const ObjectBoxes&) = delete;

    bool allocated() const { return boxes_ != nullptr; }

    // Walks the runs in raster order once.
    void find(const std::uint8_t* voxels, int width, int height, int depth, std::uint8_t value,
              const img3d::detail::RunLabels& objects, std::int32_t kept) {
        for (std::int32_t o = 0; o < kept; ++o) boxes_[o] = Box{INT32_MAX, -1, 0, 0, 0, 0};
        std::uint32_t run = 0;
        for (int z = 0; z < depth; ++z)
            for (int y = 0; y < height; ++y) {
                const std::size_t row =
                    static_cast<std::size_t>(z) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y);
                first_run_[row] = run;
                img3d::detail::for_each_run(voxels + row * static_cast<std::size_t>(width), width, value,
                                            [&](int x_start, int x_end) {
                                                const std::int32_t o = objects.object(run++);
                                                if (o >= 0) extend(boxes_[o], x_start, x_end, y, z);
                                            });
            }
    }

    const Box& box(std::int32_t object) const { return boxes_[object]; }
    const std::uint32_t* first_run() const { return first_run_; }

private:
    // Runs come in raster order: an object's first one opens its box, in
    // its lowest slice, and the slices only grow.
    static void extend(Box& box, int x_start, int x_end, int y, int z) {
        if (box.x_min > box.x_max) {
            box = Box{x_start, x_end, y, y, z, z};
            return;
        }
        if (x_start < box.x_min) box.x_min = x_start;
        if (x_end > box.x_max) box.x_max = x_end;
        if (y < box.y_min) box.y_min = y;
        if (y > box.y_max) box.y_max = y;
        box.z_max = z;
    }

    Box* boxes_;
    std::uint32_t* first_run_;
};

}  // namespace

extern "C" IMG3D_API int Img3DEdgeSmooth(unsigned char*** source, unsigned char*** destination, int objectValue,
                                         int backgroundValue, int radius) {
    // The window threshold must fit in 32 bits.  Volumes whose objects could
    // not be recorded are refused as the object list refuses them, though
    // no record is made here.
    if (radius < 0 || radius > kMaxRadius ||
        !img3d::detail::begin_object_filter(source, destination, objectValue, backgroundValue))
        return -1;
    const int width = Image3DGetWidth(destination), height = Image3DGetHeight(destination),
              depth = Image3DGetDepth(destination);
    const auto value = static_cast<std::uint8_t>(objectValue);
    const std::uint8_t* voxels = destination[0][0];  // the source's copy, read until the end

    img3d::detail::RunLabels objects;
    if (!objects.label(voxels, width, height, depth, value) || objects.runs() == 0) return -1;
    const WindowTest test(objectValue, backgroundValue & 0xFF, 2 * radius + 1);
    // No window holds more object voxels than its object has: one too small
    // to reach the bound claims nothing (the specks of a noisy volume).
    const std::int32_t kept =
        objects.number_objects([&](std::int32_t voxel_count) { return !test.growing || voxel_count >= test.bound; });
    ClaimMask claims(width, height, depth);
    ObjectBoxes boxes(kept, static_cast<std::size_t>(height) * static_cast<std::size_t>(depth));
    if (!claims.allocated() || !boxes.allocated()) return -1;
    boxes.find(voxels, width, height, depth, value, objects, kept);

    const ObjectRuns runs{voxels, width, height, value, objects, boxes.first_run()};
    for (std::int32_t o = 0; o < kept; ++o) smooth_object(runs, o, boxes.box(o), radius, test, claims);
    claims.write(destination[0][0], value, static_cast<std::uint8_t>(backgroundValue & 0xFF));
    return 0;
}
