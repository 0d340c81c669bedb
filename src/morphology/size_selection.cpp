// Object selection by size: the objects of one value are joined as runs by
// the union-find of the object subsystem, which adds up their sizes at
// their roots; a second pass over the runs replaces each root's size with
// a verdict and paints the removed ones (the rest of the source copied
// beforehand).  The k largest are found without sorting: the k-th largest
// size by selection (nth_element), then the objects above it and as many
// of those of exactly that size as are still wanted, by their numbers
// (the raster order of their first voxels).
//
// Working memory: one index per run of the value (4 bytes, 8 from 2^31
// voxels on; with 18 and 26 runs of two rows at once) and up to two bits
// per voxel of two slices; for the k largest, an index per object more,
// and three per object of the k-th largest size when only some of those
// stay.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "img3d.h"
#include "morphology/binary_set.h"
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
// lower number first among equals.  Every object above the keep-th largest
// size stays, and of those of exactly that size as many as are still
// wanted: when those are not all of them, the ones whose first voxels come
// first in raster order, found by a pass over the stretches as these come
// in another order; then every verdict is given beforehand.
class Largest {
public:
    explicit Largest(std::int64_t keep) : keep_(keep) {}

    // False when the working memory cannot be had.
    template <class Index>
    bool prepare(Objects<Index>& objects) {
        const std::int64_t n = objects.pieces();
        if (keep_ == 0 || keep_ >= n) {
            // Nothing above the cut, or everything.
            cut_ = keep_ == 0 ? ~std::uint64_t{0} : 0;
            return true;
        }
        auto* sizes = static_cast<Index*>(heap_alloc(static_cast<std::size_t>(n) * sizeof(Index)));
        if (sizes == nullptr) return false;
        std::size_t m = 0;
        for (Index k = 0; k < objects.runs(); ++k)
            if (objects.is_root(k)) sizes[m++] = objects.size(k);
        std::nth_element(sizes, sizes + (keep_ - 1), sizes + n, [](Index a, Index b) { return a > b; });
        cut_ = sizes[keep_ - 1];
        std::size_t tied = 0;
        ties_ = keep_;
        for (std::size_t i = 0; i < m; ++i) {
            ties_ -= sizes[i] > cut_;
            tied += sizes[i] == cut_;
        }
        heap_free(sizes);
        if (ties_ == 0 || static_cast<std::size_t>(ties_) == tied) return true;  // the order does not matter
        return break_ties(objects, tied);
    }
    template <class Index>
    bool operator()(Index size) {
        if (decided_) return size != 0;
        if (size > cut_) return true;
        if (size != cut_ || ties_ == 0) return false;
        --ties_;
        return true;
    }

private:
    // Gives every object its verdict (1 stays), the tied ones by the raster
    // order of their first voxels.
    template <class Index>
    bool break_ties(Objects<Index>& objects, std::size_t tied) {
        // The tied objects' roots in increasing order, and their first voxels.
        auto* roots = static_cast<Index*>(heap_alloc(3 * tied * sizeof(Index)));
        if (roots == nullptr) return false;
        Index* first = roots + tied;
        Index* order = first + tied;
        std::size_t t = 0;
        for (Index k = 0; k < objects.runs(); ++k)
            if (objects.is_root(k) && objects.size(k) == cut_) roots[t++] = k;
        for (std::size_t i = 0; i < tied; ++i) first[i] = ~Index{0};
        objects.for_each_first_voxel([&](Index root, std::size_t voxel) {
            if (objects.size(root) != cut_) return;
            const std::size_t i = static_cast<std::size_t>(std::lower_bound(roots, roots + tied, root) - roots);
            if (voxel < first[i]) first[i] = static_cast<Index>(voxel);
        });
        std::copy(first, first + tied, order);
        std::nth_element(order, order + (ties_ - 1), order + tied);
        const Index last = order[ties_ - 1];
        t = 0;
        for (Index k = 0; k < objects.runs(); ++k) {
            if (!objects.is_root(k)) continue;
            const Index size = objects.size(k);
            objects.set_size(k, size > cut_ || (size == cut_ && first[t++] <= last));
        }
        heap_free(roots);
        decided_ = true;
        return true;
    }

    std::int64_t keep_, ties_ = 0;
    std::uint64_t cut_ = 0;
    bool decided_ = false;
};

// Writes colour on the voxels of a row of `width` whose bits are set in
// both bits and marks, eight at a time where the row has them.
void paint_marked(std::uint8_t* row, const std::uint64_t* bits, const std::uint64_t* marks, std::size_t width,
                  std::uint8_t colour) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr bool kLittleEndian = true;
#else
    constexpr bool kLittleEndian = false;
#endif
    const std::uint64_t colour8 = 0x0101010101010101ull * colour;
    for (std::size_t w = 0, x = 0; x < width; ++w, x += 64) {
        const std::uint64_t m = bits[w] & marks[w];
        for (std::size_t k = 0; k < 64 && m >> k != 0; k += 8) {
            const std::uint64_t byte = m >> k & 0xFF;
            std::uint8_t* eight = row + x + k;
            if (kLittleEndian && x + k + 8 <= width) {
                const std::uint64_t mask = kByteMasks.of[byte];
                std::uint64_t voxels;
                std::memcpy(&voxels, eight, 8);
                voxels = (voxels & ~mask) | (colour8 & mask);
                std::memcpy(eight, &voxels, 8);
            } else {
                for (std::size_t i = 0; i < 8; ++i)
                    if ((byte >> i & 1) != 0) eight[i] = colour;
            }
        }
    }
}

// The whole call once the objects can be had: a copy of the source with
// the objects that do not stay painted.  Every object's verdict replaces
// its size when its first stretch is met, before its other stretches.
// Returns the objects removed, or -1 when the working memory cannot be had.
template <class Index, class Choose>
std::int64_t select(const std::uint8_t* source, std::uint8_t* destination, const PieceGrid& grid, int value, int paint,
                    Choose decide) {
    const InSet in_set{source, value};
    Objects<Index> objects(grid, in_set);
    if (!objects.allocated()) return -1;
    objects.join([](Index, bool) {});
    if (!decide.prepare(objects)) return -1;
    if (destination != source)
        std::memcpy(destination, source,
                    static_cast<std::size_t>(grid.width) * static_cast<std::size_t>(grid.height) *
                        static_cast<std::size_t>(grid.depth));
    const auto colour = static_cast<std::uint8_t>(paint);
    const auto width = static_cast<std::size_t>(grid.width);
    std::int64_t removed = 0;
    objects.for_each_run(
        [&](std::size_t start, Index k, Index root) {
            if (k == root) {
                const bool stays = decide(objects.size(k));
                removed += !stays;
                objects.set_size(k, stays);
            }
            if (objects.size(root) == 0) objects.mark(start);
        },
        [&](std::size_t o, const std::uint64_t* bits, const std::uint64_t* marks) {
            if (marks != nullptr) paint_marked(destination + o, bits, marks, width, colour);
        });
    return removed;
}

template <class Choose>
std::int64_t select_any(const std::uint8_t* source, std::uint8_t* destination, std::int64_t width, std::int64_t height,
                        std::int64_t depth, int value, int connectivity, int paint, Choose choose) {
    const PieceGrid grid{width, height, depth, connectivity};
    const auto n =
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(depth);
    if (narrow_indices(n)) return select<std::uint32_t>(source, destination, grid, value, paint, choose);
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
    return select_any(source, destination, width, height, depth, value, connectivity, paint, Largest(keep));
}

extern "C" IMG3D_API std::int64_t Img3DRemoveBySize(const std::uint8_t* source, std::uint8_t* destination,
                                                    std::int64_t width, std::int64_t height, std::int64_t depth,
                                                    int value, int connectivity, std::int64_t minVoxels,
                                                    std::int64_t maxVoxels, int paint) {
    using namespace img3d::detail;
    if (refused(source, destination, width, height, depth, value, connectivity, paint)) return -1;
    return select_any(source, destination, width, height, depth, value, connectivity, paint,
                      InRange{minVoxels, maxVoxels});
}
