// Object selection by size: the objects of one value are joined as runs by
// the union-find of the object subsystem, which adds up their sizes at
// their roots; a second pass over the runs replaces each root's size with
// a verdict and paints the removed ones (the rest of the source copied
// beforehand).  The roots come in raster order of the objects' first
// voxels, the order of their numbers.  The k largest are found without
// sorting: the k-th largest size by selection (nth_element), then the
// objects above it and, in root order, as many of those of exactly that
// size as are still wanted.
//
// Working memory: one index per run of the value (4 bytes, 8 from 2^31
// voxels on) and a bit per voxel of two slices; for the k largest, an
// index per object more.
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

template <class Index>
using Objects = SetRuns<Index, InSet>;

// The verdicts of Img3DRemoveBySize: the sizes in a range stay.
struct InRange {
    std::int64_t low, high;
    template <class Index>
    bool prepare(Objects<Index>&) {
        return true;
    }
    template <class Index>
    bool operator()(Index size) {
        return static_cast<std::int64_t>(size) >= low && static_cast<std::int64_t>(size) <= high;
    }
};

// The verdicts of Img3DKeepLargest: the `keep` largest objects stay, the
// lower number first among equals.  Asked in the order of the numbers,
// every object above the keep-th largest size stays, and of those of
// exactly that size as many as are still wanted.
template <class Index>
class Largest {
public:
    explicit Largest(std::int64_t keep) : keep_(keep) {}

    // Finds the keep-th largest size; false when the working memory
    // cannot be had.
    bool prepare(Objects<Index>& objects) {
        const std::int64_t n = objects.pieces();
        if (keep_ == 0 || keep_ >= n) {
            // Nothing above the cut, or everything.
            cut_ = keep_ == 0 ? ~Index{0} : 0;
            return true;
        }
        auto* order = static_cast<Index*>(heap_alloc(static_cast<std::size_t>(n) * sizeof(Index)));
        if (order == nullptr) return false;
        std::size_t m = 0;
        for (Index k = 0; k < objects.runs(); ++k)
            if (objects.is_root(k)) order[m++] = objects.size(k);
        std::nth_element(order, order + (keep_ - 1), order + n, [](Index a, Index b) { return a > b; });
        cut_ = order[keep_ - 1];
        ties_ = keep_;
        for (std::size_t i = 0; i < m; ++i) ties_ -= order[i] > cut_;
        heap_free(order);
        return true;
    }
    bool operator()(Index size) {
        if (size > cut_) return true;
        if (size != cut_ || ties_ == 0) return false;
        --ties_;
        return true;
    }

private:
    std::int64_t keep_, ties_ = 0;
    Index cut_ = 0;
};

// The whole call once the objects can be had: a copy of the source with
// the objects that do not stay painted.  Every object's verdict replaces
// its size when its first run is met, before its other runs.  Returns the
// objects removed, or -1 when the working memory cannot be had.
template <class Index, class Decide>
std::int64_t select(const std::uint8_t* source, std::uint8_t* destination, const PieceGrid& grid, int value, int paint,
                    Decide decide) {
    const InSet in_set{source, value};
    Objects<Index> objects(grid, in_set);
    if (!objects.allocated()) return -1;
    objects.join([](Index, std::int64_t, std::int64_t, std::size_t, std::size_t) {});
    if (!decide.prepare(objects)) return -1;
    if (destination != source)
        std::memcpy(destination, source,
                    static_cast<std::size_t>(grid.width) * static_cast<std::size_t>(grid.height) *
                        static_cast<std::size_t>(grid.depth));
    const auto colour = static_cast<std::uint8_t>(paint);
    std::int64_t removed = 0;
    objects.for_each_run([&](std::size_t o, std::size_t start, Index k, Index root) {
        if (k == root) {
            const bool stays = decide(objects.size(k));
            removed += !stays;
            objects.set_size(k, stays);
        }
        if (objects.size(root) == 0) fill_stretch(destination + o + start, objects.run_end(start) - start + 1, colour);
    });
    return removed;
}

// Whether run indices and voxel counts fit in 32 bits, the top one left aside.
bool fits_int32(const PieceGrid& grid) {
    return static_cast<std::uint64_t>(grid.width) * static_cast<std::uint64_t>(grid.height) *
               static_cast<std::uint64_t>(grid.depth) <=
           INT32_MAX;
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
    const PieceGrid grid{width, height, depth, connectivity};
    if (fits_int32(grid))
        return select<std::uint32_t>(source, destination, grid, value, paint, Largest<std::uint32_t>(keep));
    return select<std::uint64_t>(source, destination, grid, value, paint, Largest<std::uint64_t>(keep));
}

extern "C" IMG3D_API std::int64_t Img3DRemoveBySize(const std::uint8_t* source, std::uint8_t* destination,
                                                    std::int64_t width, std::int64_t height, std::int64_t depth,
                                                    int value, int connectivity, std::int64_t minVoxels,
                                                    std::int64_t maxVoxels, int paint) {
    using namespace img3d::detail;
    if (refused(source, destination, width, height, depth, value, connectivity, paint)) return -1;
    const PieceGrid grid{width, height, depth, connectivity};
    const InRange range{minVoxels, maxVoxels};
    if (fits_int32(grid)) return select<std::uint32_t>(source, destination, grid, value, paint, range);
    return select<std::uint64_t>(source, destination, grid, value, paint, range);
}
