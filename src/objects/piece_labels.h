// Connected pieces of a multi-valued voxel array, by a union-find over
// voxels in two passes (the labelling of Img3DLabel generalised from one
// value to classes: two voxels may join when they touch and share a class).
//
// A class function maps each voxel (by its storage index) to a class, 0
// being "no piece".  The first pass visits the voxels in raster order and
// joins each with the neighbours of its class scanned before it (the left
// one; the row before in the same slice; in the slice before, the same row
// and, for 18 and 26, the rows before and after).  A voxel that continues
// a run along x takes the run's first voxel as parent and looks only at
// the neighbours its run has not seen yet, so long runs cost a few
// comparisons a voxel and no joins.  Parents live in the label array as
// voxel offsets, and a join keeps the smaller offset as root, so every
// piece's root is its first voxel in raster order.  The second pass numbers
// the roots in raster order and gives every other voxel its root's number.
//
// No working memory: the forest is the label array itself.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include "objects/row_scan.h"
#include "platform/heap.h"

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
#endif

// Whether a grid of this many voxels is numbered (its voxels, runs or
// labels) in 32-bit indices; 64-bit ones otherwise.
inline bool narrow_indices(std::uint64_t voxels) {
#ifdef IMG3D_FAULT_INJECTION
    if (g_wide_indices) return false;
#endif
    return voxels <= static_cast<std::uint64_t>(INT32_MAX);
}

template <class Label, class ClassOf>
class PieceLabeller {
public:
    PieceLabeller(const PieceGrid& grid, const ClassOf& class_of, Label* labels)
        : grid_(grid), class_of_(class_of), labels_(labels) {}
    PieceLabeller(const PieceLabeller&) = delete;
    PieceLabeller& operator=(const PieceLabeller&) = delete;

    // The labelling keeps its forest in the label array itself.
    bool allocated() const { return true; }

    // Writes every label; returns the number of pieces.
    std::int64_t run() {
        join_pieces();
        return number_pieces();
    }

    // The first pass alone: afterwards every voxel of a class other than 0
    // leads, through find, to its piece's first voxel.  Returns the number
    // of pieces.
    std::int64_t join_pieces() {
        pieces_ = 0;
        const std::size_t width = static_cast<std::size_t>(grid_.width);
        const std::size_t slice = width * static_cast<std::size_t>(grid_.height);
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const std::size_t o = grid_.offset(y, z);
                const bool up = y > 0, back = z > 0, down = y + 1 < grid_.height;
                switch (grid_.connectivity) {
                    case 6: join_row<6>(o, up ? o - width : kNone, back ? o - slice : kNone, kNone, kNone); break;
                    case 18:
                        join_row<18>(o, up ? o - width : kNone, back ? o - slice : kNone,
                                     back && up ? o - slice - width : kNone, back && down ? o - slice + width : kNone);
                        break;
                    default:
                        join_row<26>(o, up ? o - width : kNone, back ? o - slice : kNone,
                                     back && up ? o - slice - width : kNone, back && down ? o - slice + width : kNone);
                        break;
                }
            }
        }
        return pieces_;
    }

    // The first voxel of voxel i's piece (after join_pieces, before numbering).
    std::size_t find(std::size_t i) {
        // Path splitting: every voxel on the way is pointed at its grandparent.
        for (;;) {
            const auto up = static_cast<std::size_t>(labels_[i]);
            if (up == i) return i;
            const Label grand = labels_[up];
            labels_[i] = grand;
            i = up;
        }
    }

    // Joins the pieces of voxels i and j, both of a class other than 0.
    void unite(std::size_t i, std::size_t j) {
        std::size_t root = find(i);
        merge(root, j);
    }

    // Numbers the pieces 1, 2, ... in raster order of their first voxels:
    // every label becomes its piece's number, 0 for class 0.  A voxel's
    // parent always lies before it, so it already holds its number when the
    // voxel is reached.
    // visit(i, number) is called for every voxel of a class other than 0.
    template <class Visit>
    std::int64_t number_pieces(Visit visit) {
        const std::size_t n = static_cast<std::size_t>(grid_.width) * static_cast<std::size_t>(grid_.height) *
                              static_cast<std::size_t>(grid_.depth);
        Label pieces = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (class_of_(i) == 0) {
                labels_[i] = 0;
                continue;
            }
            const auto parent = static_cast<std::size_t>(labels_[i]);
            const Label label = parent == i ? ++pieces : labels_[parent];
            labels_[i] = label;
            visit(i, label);
        }
        return static_cast<std::int64_t>(pieces);
    }
    std::int64_t number_pieces() {
        return number_pieces([](std::size_t, Label) {});
    }

    // The pieces now: after join_pieces less one per join since.
    std::int64_t pieces() const { return pieces_; }

    // Replaces every label of a class other than 0 with its piece's first
    // voxel (its root), in the same single pass, calling visit(i, root) for
    // every voxel (class 0 with root SIZE_MAX).
    template <class Visit>
    void flatten(Visit visit) {
        const std::size_t n = static_cast<std::size_t>(grid_.width) * static_cast<std::size_t>(grid_.height) *
                              static_cast<std::size_t>(grid_.depth);
        for (std::size_t i = 0; i < n; ++i) {
            if (class_of_(i) == 0) {
                visit(i, SIZE_MAX);
                continue;
            }
            const auto parent = static_cast<std::size_t>(labels_[i]);
            const std::size_t root = parent == i ? i : static_cast<std::size_t>(labels_[parent]);
            labels_[i] = static_cast<Label>(root);
            visit(i, root);
        }
    }

private:
    static constexpr std::size_t kNone = SIZE_MAX;

    // Joins the piece whose root is `root` with voxel j's; root becomes the
    // root of the joined piece, the smaller offset.
    void merge(std::size_t& root, std::size_t j) {
        const std::size_t other = find(j);
        if (other == root) return;
        --pieces_;
        if (other < root) {
            labels_[root] = static_cast<Label>(other);
            root = other;
        } else {
            labels_[other] = static_cast<Label>(root);
        }
    }

    // The row at offset o against the rows scanned before it that it may
    // touch: up (y-1), back (z-1), and for 18 and 26 back_up (y-1, z-1) and
    // back_down (y+1, z-1); kNone where a row lies outside the volume.  A
    // voxel that continues a run of its class (its left neighbour shares
    // it) only looks at neighbours the run's earlier voxels did not see and
    // that are not already joined to one they saw (a neighbour whose left
    // neighbour is of the class lies in that neighbour's piece).  With 26,
    // the voxel behind (z-1) touches every other neighbour scanned before,
    // and the one above (y-1) all but those of the row y+1 behind, so a
    // match there settles the rest.  Every voxel of a run points at the
    // run's first voxel.
    template <int C>
    void join_row(std::size_t o, std::size_t up, std::size_t back, std::size_t back_up, std::size_t back_down) {
        const auto width = static_cast<std::size_t>(grid_.width);
        // Column span of each row: 1 for x-1 ... x+1, 0 for x alone.
        constexpr bool wide_up = C != 6, wide_back = C != 6, wide_diagonal = C == 26;
        std::uint64_t left = 0;
        std::size_t start = 0, root = 0;
        for (std::size_t x = 0; x < width; ++x) {
            const std::uint64_t c = class_of_(o + x);
            if (c == 0) {
                left = 0;
                continue;
            }
            const bool last = x + 1 == width, continues = c == left;
            if (continues) {
                labels_[o + x] = static_cast<Label>(start);
            } else {
                left = c;
                start = root = o + x;
                labels_[start] = static_cast<Label>(start);
                ++pieces_;
            }
            auto look = [&](std::size_t r, bool wide) {
                if (r == kNone) return;
                const bool here = class_of_(r + x) == c;
                if (continues) {
                    if (!wide) {
                        if (here && class_of_(r + x - 1) != c) merge(root, r + x);
                    } else if (!last && !here && class_of_(r + x + 1) == c) {
                        merge(root, r + x + 1);
                    }
                    return;
                }
                const bool before = wide && x > 0 && class_of_(r + x - 1) == c;
                if (before) merge(root, r + x - 1);
                if (here && !before) merge(root, r + x);
                if (wide && !last && !here && class_of_(r + x + 1) == c) merge(root, r + x + 1);
            };
            auto matches = [&](std::size_t r) { return r != kNone && class_of_(r + x) == c; };
            if (C == 26 && matches(back)) {
                // It touches every other neighbour scanned before.
                if (!continues) merge(root, back + x);
                continue;
            }
            if (C == 26 && matches(up)) {
                if (!continues) merge(root, up + x);
                look(back_down, true);  // the only row up + x does not touch
                continue;
            }
            look(up, wide_up);
            look(back, wide_back);
            if (C != 6) {
                look(back_up, wide_diagonal);
                look(back_down, wide_diagonal);
            }
        }
    }

    const PieceGrid grid_;
    const ClassOf& class_of_;
    Label* labels_;
    std::int64_t pieces_ = 0;
};

// The connected pieces of a set of voxels (in_set(i) true), as a union-find
// over the set's runs along x, numbered in raster order: run k's parent is
// a run before it, a join keeps the smaller index as root, and so every
// piece's root is its first run.  The first pass (join) records the runs
// of two slices at a time and joins each run with those it touches in the
// rows scanned before it; the second (for_each_run) finds the same runs
// again in the same order and hands each over with its root, flattening
// the forest on the way.  Nothing per voxel: the working memory is one
// index per run (a root's holding its piece's voxel count), allocated for
// the most runs the extents allow but touched only as far as the runs
// reach (with 64-bit indices, for the runs a first scan counts), and the
// runs of two slices.  Index is unsigned, and its top bit
// left aside it holds every voxel count of the grid.
// InSet answers for one voxel (in_set(i)) and for up to 64 consecutive ones
// as bits, voxel i at bit 0 (in_set.word(i, n), the bits from n on clear).
template <class Index, class InSet>
class SetRuns {
public:
    SetRuns(const PieceGrid& grid, const InSet& in_set) : grid_(grid), in_set_(in_set) {
        const auto width = static_cast<std::size_t>(grid.width), height = static_cast<std::size_t>(grid.height);
        const std::size_t per_row = width / 2 + 1, rows = height * static_cast<std::size_t>(grid.depth);
        // A row holds at most per_row runs.  The grid's voxels are
        // addressable, not necessarily as many indices or extents: every
        // product is checked.
        if (per_row > SIZE_MAX / rows) return;
        const std::size_t slice_runs = height * per_row;
        std::size_t runs = rows * per_row;
        // With 64-bit indices that bound (4 bytes a voxel) can pass what the
        // machine lets one reserve, however few runs are touched: the runs
        // are counted first.
        if constexpr (sizeof(Index) > 4) runs = count_runs();
        if (runs > SIZE_MAX / sizeof(Index) || slice_runs > SIZE_MAX / (2 * sizeof(Extent)) ||
            height >= SIZE_MAX / (2 * sizeof(std::size_t)))
            return;
        const std::size_t index_bytes = runs * sizeof(Index), extent_bytes = 2 * slice_runs * sizeof(Extent),
                          row_bytes = 2 * (height + 1) * sizeof(std::size_t);
        if (extent_bytes > SIZE_MAX - row_bytes || index_bytes > SIZE_MAX - extent_bytes - row_bytes) return;
        memory_ = heap_alloc(extent_bytes + row_bytes + index_bytes);
        if (memory_ == nullptr) return;
        extents_[0] = static_cast<Extent*>(memory_);
        extents_[1] = extents_[0] + slice_runs;
        begin_[0] = reinterpret_cast<std::size_t*>(extents_[1] + slice_runs);
        begin_[1] = begin_[0] + height + 1;
        parent_ = reinterpret_cast<Index*>(begin_[1] + height + 1);
    }
    ~SetRuns() { heap_free(memory_); }
    SetRuns(const SetRuns&) = delete;
    SetRuns& operator=(const SetRuns&) = delete;

    bool allocated() const { return memory_ != nullptr; }

    // The first pass.  on_run(k, y, z, start, end) is called for every run,
    // once it is joined with the rows before it.  Returns the pieces.
    template <class OnRun>
    std::int64_t join(OnRun on_run) {
        const int c = grid_.connectivity;
        const std::int64_t edge = c != 6 ? 1 : 0, corner = c == 26 ? 1 : 0;
        Index next = 0;
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            const int s = static_cast<int>(z & 1);
            base_[s] = next;
            std::size_t count = 0;
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const auto r = static_cast<std::size_t>(y);
                begin_[s][r] = count;
                scan(grid_.offset(y, z), [&](std::int64_t start, std::int64_t end) {
                    extents_[s][count++] = Extent{start, end};
                    parent_[next] = kRoot | static_cast<Index>(end - start + 1);
                    ++next;
                });
                begin_[s][r + 1] = count;
                pieces_ += static_cast<std::int64_t>(count - begin_[s][r]);
                const Row here = row(y, z);
                if (here.count == 0) continue;
                Row before[4];
                std::int64_t reach[4];
                int rows = 0;
                auto add = [&](const Row& neighbour, std::int64_t touching) {
                    if (neighbour.count == 0) return;
                    before[rows] = neighbour;
                    reach[rows++] = touching;
                };
                if (y > 0) add(row(y - 1, z), edge);
                if (z > 0) {
                    add(row(y, z - 1), edge);
                    if (c != 6) {
                        if (y > 0) add(row(y - 1, z - 1), corner);
                        if (y + 1 < grid_.height) add(row(y + 1, z - 1), corner);
                    }
                }
                join_rows(here, before, reach, rows);
                for (std::size_t i = 0; i < here.count; ++i)
                    on_run(here.first + static_cast<Index>(i), y, z, here.runs[i].start, here.runs[i].end);
            }
        }
        total_ = next;
        return pieces_;
    }

    Index find(Index k) {
        // Path splitting: every run on the way is pointed at its grandparent.
        for (;;) {
            const Index up = parent_[k];
            if ((up & kRoot) != 0) return k;
            const Index grand = parent_[up];
            if ((grand & kRoot) != 0) return up;
            parent_[k] = grand;
            k = up;
        }
    }
    void unite(Index a, Index b) {
        Index root = find(a);
        merge(root, b);
    }
    std::int64_t pieces() const { return pieces_; }
    // The runs of the first pass (valid after join).
    Index runs() const { return total_; }
    bool is_root(Index k) const { return (parent_[k] & kRoot) != 0; }
    // Voxels of the piece whose root is k; a caller may replace it with a
    // number of its own below 2^(bits of Index - 1).
    Index size(Index k) const { return parent_[k] & ~kRoot; }
    void set_size(Index k, Index size) { parent_[k] = kRoot | size; }

    // The second pass: visit(offset of the row, start, end, root) for every
    // run in raster order.  A run is handed over once its row is read up to
    // its end, so the visit may write the voxels up to there.
    template <class Visit>
    void for_each_run(Visit visit) {
        Index k = 0;
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const std::size_t o = grid_.offset(y, z);
                scan(o, [&](std::int64_t start, std::int64_t end) {
                    // The parent lies before and is flattened already.
                    const Index up = parent_[k];
                    Index root = k;
                    if ((up & kRoot) == 0) {
                        root = (parent_[up] & kRoot) != 0 ? up : parent_[up];
                        parent_[k] = root;
                    }
                    visit(o, start, end, root);
                    ++k;
                });
            }
        }
    }

private:
    struct Extent {
        std::int64_t start, end;  // inclusive columns
    };
    struct Row {
        const Extent* runs;
        std::size_t count;
        Index first;  // the index of runs[0]
    };

    // Calls emit(start, end) for every run of the row at offset o: from the
    // set's bits, sixty-four columns a step, where a column fits in an int.
    template <class Emit>
    void scan(std::size_t o, Emit emit) const {
        const std::int64_t width = grid_.width;
        if (width <= INT_MAX) {
            const int w = static_cast<int>(width);
            std::uint64_t previous = 0;
            int start = -1;
            auto run = [&](int a, int b) { emit(std::int64_t{a}, std::int64_t{b}); };
            for (int x = 0; x < w; x += 64)
                runs_of_word(in_set_.word(o + static_cast<std::size_t>(x), w - x < 64 ? w - x : 64), x, previous, start,
                             run);
            if (start >= 0) run(start, w - 1);
            return;
        }
        std::int64_t x = 0;
        while (x < width) {
            while (x < width && !in_set_(o + static_cast<std::size_t>(x))) ++x;
            if (x == width) break;
            const std::int64_t start = x;
            while (x < width && in_set_(o + static_cast<std::size_t>(x))) ++x;
            emit(start, x - 1);
        }
    }

    std::size_t count_runs() const {
        std::size_t count = 0;
        for (std::int64_t z = 0; z < grid_.depth; ++z)
            for (std::int64_t y = 0; y < grid_.height; ++y)
                scan(grid_.offset(y, z), [&](std::int64_t, std::int64_t) { ++count; });
        return count;
    }

    Row row(std::int64_t y, std::int64_t z) const {
        const int s = static_cast<int>(z & 1);
        const auto r = static_cast<std::size_t>(y);
        return Row{extents_[s] + begin_[s][r], begin_[s][r + 1] - begin_[s][r],
                   static_cast<Index>(base_[s] + begin_[s][r])};
    }

    void merge(Index& root, Index b) {
        const Index other = find(b);
        if (other == root) return;
        --pieces_;
        const Index low = other < root ? other : root, high = other < root ? root : other;
        parent_[low] += parent_[high] & ~kRoot;
        parent_[high] = low;
        root = low;
    }

    // Joins every run of row a with the runs of the rows before it touches:
    // those that overlap it or, where reach is 1, lie a column before or
    // after.  A run of a is still a root of its own when its turn comes, so
    // it needs no finding.
    void join_rows(const Row& a, const Row* before, const std::int64_t* reach, int rows) {
        std::size_t first[4] = {0, 0, 0, 0};
        for (std::size_t i = 0; i < a.count; ++i) {
            const Extent& ra = a.runs[i];
            Index root = a.first + static_cast<Index>(i);
            for (int r = 0; r < rows; ++r) {
                const Row& b = before[r];
                std::size_t j = first[r];
                while (j < b.count && b.runs[j].end + reach[r] < ra.start) ++j;
                first[r] = j;
                for (; j < b.count && b.runs[j].start <= ra.end + reach[r]; ++j)
                    merge(root, b.first + static_cast<Index>(j));
            }
        }
    }

    const PieceGrid grid_;
    const InSet& in_set_;
    void* memory_ = nullptr;
    Extent* extents_[2] = {nullptr, nullptr};
    std::size_t* begin_[2] = {nullptr, nullptr};
    // A root holds kRoot and its piece's voxel count, any other run its parent.
    static constexpr Index kRoot = Index{1} << (sizeof(Index) * 8 - 1);
    Index* parent_ = nullptr;
    Index base_[2] = {0, 0};
    Index total_ = 0;
    std::int64_t pieces_ = 0;
};

// Labels the pieces of every class other than 0: labels[i] becomes the
// number (1, 2, ... in raster order of first voxels) of voxel i's piece, or
// 0.  Returns the number of pieces, or -1 (labels untouched) when the
// working memory cannot be had.  The caller has checked the extents
// (addressable) and that every voxel index fits in Label.
template <class Label, class ClassOf>
std::int64_t label_pieces(const PieceGrid& grid, const ClassOf& class_of, Label* labels) {
    PieceLabeller<Label, ClassOf> labeller(grid, class_of, labels);
    if (!labeller.allocated()) return -1;
    return labeller.run();
}

}  // namespace img3d::detail
