// Object selection by size: the objects of one value are joined as runs by
// the union-find of the object subsystem, which adds up their sizes at
// their roots; a verdict then replaces each root's size, and a second pass
// over the runs paints the removed ones (the rest of the source copied
// beforehand).  The roots come in raster order of the objects' first
// voxels, the order of their numbers.  The k largest are found without
// sorting: the k-th largest size by selection (nth_element), then the
// objects above it and, in root order, as many of those of exactly that
// size as are still wanted.
//
// Working memory: one index per run of the value (4 bytes, 8 from 2^31
// voxels on) and, for two slices, a bit and an index per voxel; for the k
// largest, an index per object more.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "img3d.h"
#include "objects/objects_internal.h"
#include "platform/heap.h"

namespace img3d::detail {
namespace {

struct InSet {
    const std::uint8_t* voxels;
    int value;
    bool operator()(std::size_t i) const { return voxels[i] == value; }
    std::uint64_t word(std::size_t i, int n) const {
        return value < 0 || value > 255 ? 0 : word_bits(voxels + i, n, static_cast<std::uint8_t>(value));
    }
};

// A verdict on every object: stays(size) for a plain bound, or the whole
// list of root sizes for the k largest.
template <class Index>
using Objects = SetRuns<Index, InSet>;

// Keeps the `keep` largest objects, the lower root first among equals;
// every root's size becomes its verdict (1 stays, 0 goes).  False when the
// working memory cannot be had.
template <class Index>
bool choose_largest(Objects<Index>& objects, std::int64_t keep) {
    const std::int64_t n = objects.pieces();
    const Index runs = objects.runs();
    if (keep >= n || keep == 0) {
        for (Index k = 0; k < runs; ++k)
            if (objects.is_root(k)) objects.set_size(k, keep != 0);
        return true;
    }
    auto* order = static_cast<Index*>(heap_alloc(static_cast<std::size_t>(n) * sizeof(Index)));
    if (order == nullptr) return false;
    std::size_t m = 0;
    for (Index k = 0; k < runs; ++k)
        if (objects.is_root(k)) order[m++] = objects.size(k);
    std::nth_element(order, order + (keep - 1), order + n, [](Index a, Index b) { return a > b; });
    const Index cut = order[keep - 1];
    heap_free(order);
    std::int64_t wanted = keep;
    for (Index k = 0; k < runs; ++k) wanted -= objects.is_root(k) && objects.size(k) > cut;
    for (Index k = 0; k < runs; ++k) {
        if (!objects.is_root(k)) continue;
        const Index s = objects.size(k);
        const bool stays = s > cut || (s == cut && wanted > 0);
        if (s == cut && stays) --wanted;
        objects.set_size(k, stays);
    }
    return true;
}

// The whole call once the objects can be had: a copy of the source with
// the objects whose verdict is 0 painted.  Returns the objects removed, or
// -1 when the working memory cannot be had.
template <class Index, class Choose>
std::int64_t select(const std::uint8_t* source, std::uint8_t* destination, const PieceGrid& grid, int value, int paint,
                    Choose choose) {
    const InSet in_set{source, value};
    Objects<Index> objects(grid, in_set);
    if (!objects.allocated()) return -1;
    objects.join([](Index, std::int64_t, std::int64_t, std::size_t, std::size_t) {});
    if (!choose(objects)) return -1;
    std::int64_t removed = 0;
    for (Index k = 0; k < objects.runs(); ++k) removed += objects.is_root(k) && objects.size(k) == 0;
    if (destination != source)
        std::memcpy(destination, source,
                    static_cast<std::size_t>(grid.width) * static_cast<std::size_t>(grid.height) *
                        static_cast<std::size_t>(grid.depth));
    const auto colour = static_cast<std::uint8_t>(paint);
    objects.for_each_run([&](std::size_t o, std::size_t start, std::size_t end, Index root) {
        if (objects.size(root) == 0) fill_stretch(destination + o + start, end - start + 1, colour);
    });
    return removed;
}

template <class Choose>
std::int64_t select_any(const std::uint8_t* source, std::uint8_t* destination, std::int64_t width, std::int64_t height,
                        std::int64_t depth, int value, int connectivity, int paint, Choose choose) {
    const PieceGrid grid{width, height, depth, connectivity};
    const auto n =
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(depth);
    if (n <= INT32_MAX) return select<std::uint32_t>(source, destination, grid, value, paint, choose);
    return select<std::uint64_t>(source, destination, grid, value, paint, choose);
}

bool refused(const std::uint8_t* source, const std::uint8_t* destination, std::int64_t width, std::int64_t height,
             std::int64_t depth, int value, int connectivity, int paint) {
    return source == nullptr || destination == nullptr ||
           (connectivity != 6 && connectivity != 18 && connectivity != 26) || (paint & 0xFF) == value ||
           !addressable(width, height, depth, 8);
}

}  // namespace
}  // namespace img3d::detail

extern "C" IMG3D_API std::int64_t Img3DKeepLargest(const std::uint8_t* source, std::uint8_t* destination,
                                                   std::int64_t width, std::int64_t height, std::int64_t depth,
                                                   int value, int connectivity, std::int64_t keep, int paint) {
    using namespace img3d::detail;
    if (keep < 0 || refused(source, destination, width, height, depth, value, connectivity, paint)) return -1;
    return select_any(source, destination, width, height, depth, value, connectivity, paint,
                      [&](auto& objects) { return choose_largest(objects, keep); });
}

extern "C" IMG3D_API std::int64_t Img3DRemoveBySize(const std::uint8_t* source, std::uint8_t* destination,
                                                    std::int64_t width, std::int64_t height, std::int64_t depth,
                                                    int value, int connectivity, std::int64_t minVoxels,
                                                    std::int64_t maxVoxels, int paint) {
    using namespace img3d::detail;
    if (refused(source, destination, width, height, depth, value, connectivity, paint)) return -1;
    return select_any(source, destination, width, height, depth, value, connectivity, paint, [&](auto& objects) {
        for (decltype(objects.runs()) k = 0; k < objects.runs(); ++k) {
            if (!objects.is_root(k)) continue;
            const auto size = static_cast<std::int64_t>(objects.size(k));
            objects.set_size(k, size >= minVoxels && size <= maxVoxels);
        }
        return true;
    });
}
