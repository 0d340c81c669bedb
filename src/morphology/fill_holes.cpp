// Hole filling: the pieces of the voxels outside the set that touch no face
// of the volume (or, plane by plane, no edge of the plane) join the set.
//
// The pieces of the other voxels are joined by the union-finds of the
// object subsystem.  For the whole volume they are taken as runs, the runs
// on the faces are joined into one piece, and every other piece is a hole.
// Planes across an axis are gathered one at a time into a plane of their
// own, labelled, marked from the plane's edges, and written back.
//
// Working memory: for the whole volume one index per run outside the set
// (4 bytes, 8 from 2^31 voxels on; with 18 and 26 runs of two rows at
// once) and up to two bits per voxel of two slices; for planes, one plane
// of voxels and labels and a byte per piece.
#include <cstdint>
#include <cstring>
#include <limits>

#include "img3d.h"
#include "morphology/binary_set.h"
#include "objects/objects_internal.h"
#include "platform/heap.h"

namespace img3d::detail {
namespace {

struct OutsideSet {
    const std::uint8_t* voxels;
    int value;
    std::uint64_t word(std::size_t i, int n) const {
        const std::uint64_t all = n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
        return value < 0 || value > 255 ? all : ~word_bits(voxels + i, n, static_cast<std::uint8_t>(value)) & all;
    }
};

// Working memory of one fill: labels and a byte per piece for `voxels`
// voxels of the grid filled.
template <class Label>
class FillMemory {
public:
    explicit FillMemory(std::size_t voxels) {
        if (voxels > (SIZE_MAX - 1) / (sizeof(Label) + 1)) return;
        block_ = heap_alloc(voxels * sizeof(Label) + voxels + 1);
        if (block_ == nullptr) return;  // no offset from a block that could not be had
        labels = static_cast<Label*>(block_);
        touches = reinterpret_cast<std::uint8_t*>(labels + voxels);
    }
    ~FillMemory() { heap_free(block_); }
    FillMemory(const FillMemory&) = delete;
    FillMemory& operator=(const FillMemory&) = delete;
    bool allocated() const { return block_ != nullptr; }

    Label* labels = nullptr;
    std::uint8_t* touches = nullptr;

private:
    void* block_ = nullptr;
};

// Fills the holes of a plane (a grid of depth 1) in place: `plane` holds 1
// outside the set and 0 in it, and becomes value on the set and its holes,
// background elsewhere.  Returns the holes.
template <class Label>
std::int64_t fill_plane(std::uint8_t* plane, const PieceGrid& g, int value, int background, FillMemory<Label>& memory) {
    Label* labels = memory.labels;
    const std::int64_t pieces = label_pieces(g, plane, labels, nullptr, 0);
    std::uint8_t* touches = memory.touches;
    std::memset(touches, 0, static_cast<std::size_t>(pieces) + 1);
    const auto width = static_cast<std::size_t>(g.width);
    for (std::int64_t y = 0; y < g.height; ++y) {
        const Label* row = labels + g.offset(y, 0);
        if (y == 0 || y == g.height - 1) {
            for (std::size_t x = 0; x < width; ++x) touches[row[x]] = 1;
        } else {
            touches[row[0]] = 1;
            touches[row[width - 1]] = 1;
        }
    }
    std::int64_t holes = 0;
    for (std::int64_t k = 1; k <= pieces; ++k) holes += touches[k] == 0;
    // Label 0 (the set itself) is never marked: it stays.
    touches[0] = 0;
    const auto on = static_cast<std::uint8_t>(value), off = static_cast<std::uint8_t>(background);
    const std::size_t n = width * static_cast<std::size_t>(g.height);
    for (std::size_t i = 0; i < n; ++i) plane[i] = touches[labels[i]] == 0 ? on : off;
    return holes;
}

// The whole volume in two passes over the stretches outside the set: every
// stretch on a face is joined with the first such stretch, so that every
// other piece is a hole.  The second pass marks the stretches in holes
// (few but on odd volumes), clears their voxels from each row's bits
// outside the set, and writes the row from what is left: background
// there, value elsewhere.
template <class Index>
std::int64_t fill_volume(const std::uint8_t* source, std::uint8_t* destination, const PieceGrid& g, int value,
                         int background) {
    const OutsideSet outside{source, value};
    SetRuns<Index, OutsideSet> runs(g, outside);
    if (!runs.allocated()) return -1;
    constexpr Index kNone = ~Index{0};
    Index border = kNone;
    runs.join([&](Index k, bool on_face) {
        if (!on_face) return;
        if (border == kNone)
            border = k;
        else
            runs.unite(border, k);
    });
    const std::int64_t holes = runs.pieces() - (border != kNone ? 1 : 0);
    const Index outer = border != kNone ? runs.find(border) : kNone;
    const auto on = static_cast<std::uint8_t>(value), off = static_cast<std::uint8_t>(background);
    const auto width = static_cast<std::size_t>(g.width), words = (width + 63) / 64;
    runs.for_each_run(
        [&](std::size_t start, Index, Index root) {
            if (root != outer) runs.mark(start);
        },
        [&](std::size_t o, std::uint64_t* bits, const std::uint64_t* holes_marked) {
            if (holes_marked != nullptr)
                for (std::size_t w = 0; w < words; ++w) bits[w] &= ~holes_marked[w];
            unpack_row(bits, width, off, on, destination + o);
        });
    return holes;
}

// The planes across one axis of the [z, y, x] array: plane p's element
// (a, b) is voxel base(p) + a*step_a + b*step_b.
struct Planes {
    std::int64_t count, width, height;
    std::size_t plane_step, step_a, step_b;
};

Planes planes_across(int axis, std::int64_t w, std::int64_t h, std::int64_t d) {
    const auto sw = static_cast<std::size_t>(w), sh = static_cast<std::size_t>(h);
    if (axis == 0) return Planes{d, w, h, sw * sh, 1, sw};
    if (axis == 1) return Planes{h, w, d, sw, 1, sw * sh};
    return Planes{w, h, d, 1, sw, sw * sh};
}

template <class Label>
std::int64_t fill_planes(const std::uint8_t* source, std::uint8_t* destination, const Planes& p, int connectivity,
                         int value, int background) {
    const std::size_t area = static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
    FillMemory<Label> memory(area);
    auto* plane = static_cast<std::uint8_t*>(heap_alloc(area));
    if (!memory.allocated() || plane == nullptr) {
        heap_free(plane);
        return -1;
    }
    // Depth 1: 18 gives the 8 neighbours of the plane, 6 the 4.
    const PieceGrid g{p.width, p.height, 1, connectivity == 6 ? 6 : 18};
    std::int64_t holes = 0;
    for (std::int64_t k = 0; k < p.count; ++k) {
        const std::size_t base = static_cast<std::size_t>(k) * p.plane_step;
        auto for_each_element = [&](auto visit) {
            for (std::int64_t b = 0; b < p.height; ++b)
                for (std::int64_t a = 0; a < p.width; ++a)
                    visit(static_cast<std::size_t>(b) * static_cast<std::size_t>(p.width) + static_cast<std::size_t>(a),
                          base + static_cast<std::size_t>(a) * p.step_a + static_cast<std::size_t>(b) * p.step_b);
        };
        for_each_element([&](std::size_t at, std::size_t voxel) { plane[at] = source[voxel] != value; });
        holes += fill_plane(plane, g, value, background, memory);
        for_each_element([&](std::size_t at, std::size_t voxel) { destination[voxel] = plane[at]; });
    }
    heap_free(plane);
    return holes;
}

}  // namespace
}  // namespace img3d::detail

extern "C" IMG3D_API std::int64_t Img3DFillHoles(const std::uint8_t* source, std::uint8_t* destination,
                                                 std::int64_t width, std::int64_t height, std::int64_t depth, int value,
                                                 int background, int connectivity, int axis) {
    using namespace img3d::detail;
    if (source == nullptr || destination == nullptr) return -1;
    if (connectivity != 6 && connectivity != 18 && connectivity != 26) return -1;
    if (axis < -1 || axis > 2 || !addressable(width, height, depth, 1)) return -1;
    const std::size_t voxels =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * static_cast<std::size_t>(depth);
    if (axis == -1) {
        const PieceGrid g{width, height, depth, connectivity};
        if (narrow_indices(voxels)) return fill_volume<std::uint32_t>(source, destination, g, value, background);
        return fill_volume<std::uint64_t>(source, destination, g, value, background);
    }
    const Planes p = planes_across(axis, width, height, depth);
    if (narrow_indices(static_cast<std::uint64_t>(p.width) * static_cast<std::uint64_t>(p.height)))
        return fill_planes<std::int32_t>(source, destination, p, connectivity, value, background);
    return fill_planes<std::int64_t>(source, destination, p, connectivity, value, background);
}
