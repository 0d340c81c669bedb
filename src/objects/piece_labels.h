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
