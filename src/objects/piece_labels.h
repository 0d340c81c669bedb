// Connected pieces of a multi-valued voxel array, by a union-find over
// voxels in two passes (the labelling of Img3DLabel generalised from one
// value to classes: two voxels may join when they touch and share a class,
// class 0 being "no piece").
//
// The first pass visits the voxels in raster order.  For a stretch of a row
// at a time it compares every voxel with each neighbour scanned before it
// (the left one; the row before in the same slice; in the slice before, the
// same row and, for 18 and 26, the rows before and after), one neighbour
// for the whole stretch at a time, so that the comparisons need no branch
// and vectorise; each voxel gets a mask of the neighbours of its class.
// Two of those neighbours that touch each other were joined when the later
// of them was visited, so only one neighbour per group of touching ones
// needs joining: a table gives these representatives for every mask.  The
// voxel takes its first representative's parent as its own, and a join
// follows only for the voxels with more than one group, about one in five
// on noise at 26, none inside a solid object.  Parents live in the label
// array as voxel offsets, a parent always lies before its child, and a
// join keeps the smaller root, so every piece's root is its first voxel in
// raster order.  The second pass numbers the roots in raster order and
// gives every other voxel its parent's number, written already.
//
// No working memory: the forest is the label array itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace img3d::detail {

// The extents of a voxel array (x fastest) and the connectivity of its pieces.
struct PieceGrid {
    std::int64_t width, height, depth;
    int connectivity;  // 6, 18 or 26
    std::size_t offset(std::int64_t y, std::int64_t z) const {
        return (static_cast<std::size_t>(z) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y)) *
               static_cast<std::size_t>(width);
    }
};

// True when width x height x depth voxels, each `bytes` wide, can be
// addressed here (every extent at least 1).
inline bool addressable(std::int64_t width, std::int64_t height, std::int64_t depth, std::size_t bytes) {
    if (width < 1 || height < 1 || depth < 1) return false;
    const std::uint64_t limit = static_cast<std::uint64_t>(SIZE_MAX) / bytes;
    std::uint64_t n = static_cast<std::uint64_t>(width);
    if (static_cast<std::uint64_t>(height) > limit / n) return false;
    n *= static_cast<std::uint64_t>(height);
    if (static_cast<std::uint64_t>(depth) > limit / n) return false;
    return true;
}

#ifdef IMG3D_FAULT_INJECTION
// Test builds only: true sends every grid to the kernels on 64-bit indices,
// which otherwise only grids of 2^31 voxels and more reach.
inline bool g_wide_indices = false;
inline void test_wide_indices(bool wide) { g_wide_indices = wide; }
// Test builds only: the most objects int32 labels are taken to hold, which
// otherwise only grids of 2^32 voxels and more can pass.
inline std::int64_t g_int32_objects = INT32_MAX;
inline void test_int32_objects(std::int64_t most) { g_int32_objects = most; }
#endif

// The most objects int32 labels hold.
inline std::int64_t int32_objects() {
#ifdef IMG3D_FAULT_INJECTION
    return g_int32_objects;
#else
    return INT32_MAX;
#endif
}

// Whether a grid of this many voxels is numbered (its voxels, runs or
// labels) in 32-bit indices; 64-bit ones otherwise.
inline bool narrow_indices(std::uint64_t voxels) {
#ifdef IMG3D_FAULT_INJECTION
    if (g_wide_indices) return false;
#endif
    return voxels <= static_cast<std::uint64_t>(INT32_MAX);
}


namespace neighbours {

struct Step {
    int dx, dy, dz;
};

// The neighbours of a voxel scanned before it (the first `neighbours`
// steps), in the order a representative is chosen: the slice before first,
// whose labels were written long ago, and the left neighbour, written just
// before, last, so that a voxel's parent seldom waits for the store of the
// one before.  The steps after them are no neighbours but touch two of
// them: when one shares the voxel's class, so do those two and they are
// joined already.  With 6 the three neighbours touch no other, and these
// spare a solid object two joins a voxel.
template <int C>
struct Before;
template <>
struct Before<6> {
    static constexpr int neighbours = 3, count = 6;
    static constexpr Step steps[count] = {{0, 0, -1}, {0, -1, 0}, {-1, 0, 0}, {0, -1, -1}, {-1, 0, -1}, {-1, -1, 0}};
};
template <>
struct Before<18> {
    static constexpr int neighbours = 9, count = 9;
    static constexpr Step steps[count] = {{0, 0, -1}, {0, -1, -1}, {-1, 0, -1}, {1, 0, -1}, {0, 1, -1},
                                          {0, -1, 0}, {-1, -1, 0}, {1, -1, 0},  {-1, 0, 0}};
};
template <>
struct Before<26> {
    static constexpr int neighbours = 13, count = 13;
    static constexpr Step steps[count] = {{0, 0, -1},  {-1, -1, -1}, {0, -1, -1}, {1, -1, -1}, {-1, 0, -1},
                                          {1, 0, -1},  {-1, 1, -1},  {0, 1, -1},  {1, 1, -1},  {0, -1, 0},
                                          {-1, -1, 0}, {1, -1, 0},   {-1, 0, 0}};
};

constexpr int distance(int a, int b) { return a > b ? a - b : b - a; }

// Whether two voxels at these steps from a third touch each other.
constexpr bool touch(Step a, Step b, int connectivity) {
    const int dx = distance(a.dx, b.dx), dy = distance(a.dy, b.dy), dz = distance(a.dz, b.dz);
    const int differ = (dx != 0) + (dy != 0) + (dz != 0);
    return dx <= 1 && dy <= 1 && dz <= 1 && differ >= 1 &&
           differ <= (connectivity == 6    ? 1
                      : connectivity == 18 ? 2
                                           : 3);
}

// No representative: the nibble that marks an unused place.
constexpr unsigned kNone = 15;

// For every mask of the steps that share a voxel's class, one neighbour of
// each group of touching ones (a group of other steps alone needs none),
// lowest first, a nibble each (at most four groups), the unused nibbles
// kNone.
template <int C>
struct Representatives {
    static constexpr int n = Before<C>::count;
    std::uint16_t entry[1 << n];

    constexpr Representatives() : entry() {
        unsigned touching[n] = {};
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b)
                if (touch(Before<C>::steps[a], Before<C>::steps[b], C)) touching[a] |= 1u << b;
        for (unsigned mask = 0; mask < (1u << n); ++mask) {
            unsigned left = mask, value = 0xFFFF;
            for (int place = 0; left != 0; ++place) {
                int low = 0;
                while ((left >> low & 1) == 0) ++low;
                unsigned group = 1u << low, grown = group;
                do {
                    group = grown;
                    for (int k = 0; k < n; ++k)
                        if ((group >> k & 1) != 0) grown |= touching[k] & mask;
                } while (grown != group);
                left &= ~group;
                if (low >= Before<C>::neighbours) break;  // the groups left hold no neighbour
                value = (value & ~(0xFu << (4 * place))) | static_cast<unsigned>(low) << (4 * place);
            }
            entry[mask] = static_cast<std::uint16_t>(value);
        }
    }
};

template <int C>
inline constexpr Representatives<C> kRepresentatives{};

}  // namespace neighbours

// Labels the pieces of every class other than 0 of `classes` (x fastest):
// labels[i] becomes the number (1, 2, ... in raster order of first voxels)
// of voxel i's piece, or 0.  When `values` is not null, values[k-1]
// receives the class of piece k for k = 1 ... min(pieces, capacity).
// Returns the number of pieces.  The caller has checked the extents
// (addressable) and that every voxel index fits in Label.
template <class Voxel, class Label>
class PieceLabeller {
public:
    PieceLabeller(const PieceGrid& grid, const Voxel* classes, Label* labels)
        : grid_(grid),
          classes_(classes),
          labels_(labels),
          width_(static_cast<std::size_t>(grid.width)),
          slice_(width_ * static_cast<std::size_t>(grid.height)) {}
    PieceLabeller(const PieceLabeller&) = delete;
    PieceLabeller& operator=(const PieceLabeller&) = delete;

    std::int64_t run(std::int64_t* values, std::int64_t capacity) {
        switch (grid_.connectivity) {
            case 6: join_pieces<6>(); break;
            case 18: join_pieces<18>(); break;
            default: join_pieces<26>(); break;
        }
        if (values != nullptr && capacity > 0) return number_pieces<true>(values, capacity);
        return number_pieces<false>(nullptr, 0);
    }

private:
    // Columns compared at a time: masks and the voxels to join of a stretch
    // live on the stack.
    static constexpr std::size_t kStretch = 256;
    // Voxels looked at together for a class other than 0, at columns that
    // are multiples of it in the second pass.
    static constexpr std::size_t kBlock = 16;

    static bool any_class(const Voxel* v, std::size_t n) {
        Voxel all = 0;  // a sum of bits rather than a branch, so that it vectorises
        for (std::size_t i = 0; i < n; ++i) all = static_cast<Voxel>(all | v[i]);
        return all != 0;
    }

    template <int C>
    void join_pieces() {
        using Before = neighbours::Before<C>;
        constexpr int n = Before::count;
        const std::size_t total = slice_ * static_cast<std::size_t>(grid_.depth);
        if (total == 0) return;
        // How far back each neighbour lies; a voxel without representative
        // is its own parent, which the stretch holds beforehand, so that
        // every voxel copies a label and no branch decides which.
        std::size_t back[16] = {};
        for (int k = 0; k < n; ++k) {
            const neighbours::Step s = Before::steps[k];
            back[k] = static_cast<std::size_t>(-s.dx) - static_cast<std::size_t>(s.dy) * width_ -
                      static_cast<std::size_t>(s.dz) * slice_;
        }
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const std::size_t o = grid_.offset(y, z);
                // Rows scanned before that lie outside the volume.
                bool present[n];
                for (int k = 0; k < n; ++k) {
                    const neighbours::Step s = Before::steps[k];
                    present[k] = (s.dz == 0 || z > 0) && (s.dy >= 0 || y > 0) && (s.dy <= 0 || y + 1 < grid_.height);
                }
                for (std::size_t x0 = 0; x0 < width_; x0 += kStretch)
                    join_stretch<C>(o, x0, width_ - x0 < kStretch ? width_ : x0 + kStretch, present, back);
            }
        }
    }

    // Columns x0 ... x1 - 1 of the row at offset o.  Every label of the
    // stretch is written, those of class 0 as their own parents, so that
    // the second pass may follow any label; the comparisons and joins skip
    // the class 0 voxels at either end.
    template <int C>
    void join_stretch(std::size_t o, std::size_t x0, std::size_t x1, const bool* present, const std::size_t* back) {
        using Before = neighbours::Before<C>;
        const Voxel* here = classes_ + o;
        Label* out = labels_ + o;
        std::size_t lo = x0, hi = x1;
        while (hi - lo >= kBlock && !any_class(here + lo, kBlock)) lo += kBlock;
        while (lo < hi && here[lo] == 0) ++lo;
        while (hi - lo >= kBlock && !any_class(here + hi - kBlock, kBlock)) hi -= kBlock;
        while (hi > lo && here[hi - 1] == 0) --hi;
        if (lo == hi) return;
        // The second pass reads the labels of the blocks of the row that
        // hold a voxel of a class other than 0.
        const std::size_t begin = lo / kBlock * kBlock, end = (hi - 1) / kBlock * kBlock + kBlock;
        for (std::size_t x = begin; x < (end < x1 ? end : x1); ++x) out[x] = static_cast<Label>(o + x);
        // mask[j], the neighbours of column lo + j that share its class.
        std::uint16_t mask[kStretch], join[kStretch];
        const std::size_t m = hi - lo;
        for (std::size_t j = 0; j < m; ++j) mask[j] = 0;
        for (int k = 0; k < Before::count; ++k) {
            if (!present[k]) continue;
            const int dx = Before::steps[k].dx;
            const std::size_t from = dx < 0 && lo == 0 ? 1 : lo;
            const std::size_t to = dx > 0 && hi == width_ ? width_ - 1 : hi;
            const Voxel* mine = here + from;
            const Voxel* theirs = classes_ + (o + from - back[k]);
            std::uint16_t* bits = mask + (from - lo);
            const auto bit = static_cast<std::uint16_t>(1u << k);
            for (std::size_t j = 0; j < to - from; ++j)
                bits[j] = static_cast<std::uint16_t>(bits[j] | (mine[j] == theirs[j] ? bit : 0));
        }
        const Voxel* mine = here + lo;
        for (std::size_t j = 0; j < m; ++j) mask[j] = mine[j] != 0 ? mask[j] : static_cast<std::uint16_t>(0);
        std::size_t joins = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint16_t e = neighbours::kRepresentatives<C>.entry[mask[j]];
            out[lo + j] = labels_[o + lo + j - back[e & 15u]];
            join[joins] = static_cast<std::uint16_t>(j);
            joins += (e & 0xF0u) != 0xF0u;
        }
        for (std::size_t t = 0; t < joins; ++t) {
            const std::size_t j = join[t], i = o + lo + j;
            // The place freed at the top marks the end.
            const unsigned others = neighbours::kRepresentatives<C>.entry[mask[j]] >> 4 | 0xF000u;
            std::size_t root = find(i);
            for (unsigned e = others; (e & 15u) != neighbours::kNone; e >>= 4) {
                const std::size_t other = find(i - back[e & 15u]);
                if (other < root) {
                    labels_[root] = static_cast<Label>(other);
                    root = other;
                } else if (root < other) {
                    labels_[other] = static_cast<Label>(root);
                }
            }
            // The voxels after it that copy its parent start at the root.
            labels_[i] = static_cast<Label>(root);
        }
    }

    std::size_t find(std::size_t i) {
        // Path halving: every other voxel on the way is pointed at its grandparent.
        for (;;) {
            const auto up = static_cast<std::size_t>(labels_[i]);
            if (up == i) return i;
            const Label grand = labels_[up];
            if (static_cast<std::size_t>(grand) == up) return up;
            labels_[i] = grand;
            i = static_cast<std::size_t>(grand);
        }
    }

    // Every label becomes its piece's number, 0 for class 0.  A voxel's
    // parent lies before it, so it holds its number already.  Blocks of
    // class 0 alone (the background of a mask) are cleared at once; within
    // a block no branch depends on the class.
    template <bool kValues>
    std::int64_t number_pieces(std::int64_t* values, std::int64_t capacity) {
        const std::size_t total = slice_ * static_cast<std::size_t>(grid_.depth);
        Label pieces = 0;
        for (std::size_t o = 0; o < total; o += width_) {
            for (std::size_t x = 0; x < width_; x += kBlock) {
                const std::size_t b = o + x, end = width_ - x < kBlock ? o + width_ : b + kBlock;
                if (!any_class(classes_ + b, end - b)) {
                    for (std::size_t i = b; i < end; ++i) labels_[i] = 0;
                    continue;
                }
                for (std::size_t i = b; i < end; ++i) {
                    const Voxel c = classes_[i];
                    const auto parent = static_cast<std::size_t>(labels_[i]);
                    const auto on = static_cast<Label>(c != 0), root = static_cast<Label>(on & (parent == i));
                    pieces = static_cast<Label>(pieces + root);
                    const Label up = labels_[parent];
                    // Masks rather than choices: a root turns up at random on noise.
                    const auto is_root = static_cast<Label>(-root);
                    labels_[i] = static_cast<Label>(((pieces & is_root) | (up & ~is_root)) & -on);
                    if (kValues && root != 0 && pieces <= capacity) values[pieces - 1] = static_cast<std::int64_t>(c);
                }
            }
        }
        return static_cast<std::int64_t>(pieces);
    }

    const PieceGrid grid_;
    const Voxel* classes_;
    Label* labels_;
    const std::size_t width_, slice_;
};

template <class Voxel, class Label>
std::int64_t label_pieces(const PieceGrid& grid, const Voxel* classes, Label* labels, std::int64_t* values,
                          std::int64_t capacity) {
    PieceLabeller<Voxel, Label> labeller(grid, classes, labels);
    return labeller.run(values, capacity);
}

}  // namespace img3d::detail
