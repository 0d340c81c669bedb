// Connected pieces of a multi-valued voxel array, by a union-find over runs
// in two passes (the labelling of Img3DLabel generalised from one value to
// classes: two voxels may join when they touch and share a class).
//
// A class function maps each voxel (by its storage index) to a class, 0
// being "no piece".  A run is a maximal stretch of one class along x.  The
// first pass joins every run with the runs of its class that it touches in
// the rows scanned before it (the row before in the same slice; in the
// slice before, the same row and, for 18 and 26, the rows before and
// after); a run's parent in the union-find is kept in the label array at
// its first voxel, and a join keeps the smaller offset as root, so every
// piece's root is its first run in raster order.  The second pass numbers
// the roots in raster order and gives every other run its root's number.
//
// Working memory: the runs of two slices (24 bytes per run, at most one run
// per voxel) and one row index per row of two slices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

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
        : grid_(grid), class_of_(class_of), labels_(labels) {
        const std::size_t slice = static_cast<std::size_t>(grid.width) * static_cast<std::size_t>(grid.height);
        const std::size_t rows = static_cast<std::size_t>(grid.height) + 1;
        // Both counts are below the voxel count, which is addressable in
        // bytes; the products are checked all the same.
        if (slice > SIZE_MAX / (2 * sizeof(Run)) || rows > SIZE_MAX / (4 * sizeof(std::size_t))) return;
        const std::size_t run_bytes = 2 * slice * sizeof(Run);
        if (run_bytes > SIZE_MAX - 2 * rows * sizeof(std::size_t)) return;
        memory_ = heap_alloc(run_bytes + 2 * rows * sizeof(std::size_t));
        if (memory_ == nullptr) return;
        runs_[0] = static_cast<Run*>(memory_);
        runs_[1] = runs_[0] + slice;
        begin_[0] = reinterpret_cast<std::size_t*>(runs_[1] + slice);
        begin_[1] = begin_[0] + rows;
    }
    ~PieceLabeller() { heap_free(memory_); }
    PieceLabeller(const PieceLabeller&) = delete;
    PieceLabeller& operator=(const PieceLabeller&) = delete;

    bool allocated() const { return memory_ != nullptr; }

    // Writes every label; returns the number of pieces.
    std::int64_t run() {
        join_pieces();
        return number_pieces();
    }

private:
    struct Run {
        std::int64_t start, end;  // inclusive columns
        std::uint64_t cls;
    };
    struct RowRuns {
        const Run* runs;
        std::size_t count;
        std::size_t offset;
    };

    // Calls emit(start, end, class) for every run of a class other than 0.
    template <class Emit>
    void for_each_run(std::size_t offset, Emit emit) const {
        std::int64_t start = 0;
        std::uint64_t cls = class_of_(offset);
        for (std::int64_t x = 1; x < grid_.width; ++x) {
            const std::uint64_t next = class_of_(offset + static_cast<std::size_t>(x));
            if (next == cls) continue;
            if (cls != 0) emit(start, x - 1, cls);
            start = x;
            cls = next;
        }
        if (cls != 0) emit(start, grid_.width - 1, cls);
    }

    std::size_t find(std::size_t run) {
        // Path splitting: every run on the way is pointed at its grandparent.
        for (;;) {
            const auto up = static_cast<std::size_t>(labels_[run]);
            if (up == run) return run;
            labels_[run] = labels_[static_cast<std::size_t>(up)];
            run = up;
        }
    }
    void unite(std::size_t a, std::size_t b) {
        a = find(a);
        b = find(b);
        if (a < b)
            labels_[b] = static_cast<Label>(a);
        else if (b < a)
            labels_[a] = static_cast<Label>(b);
    }

    // Joins the runs of row a with the runs of row b of their class that
    // overlap them or, when `touching`, also lie a column before or after.
    void join_rows(const RowRuns& a, const RowRuns& b, std::int64_t touching) {
        std::size_t first = 0;
        for (std::size_t i = 0; i < a.count; ++i) {
            const Run& ra = a.runs[i];
            while (first < b.count && b.runs[first].end + touching < ra.start) ++first;
            for (std::size_t j = first; j < b.count && b.runs[j].start <= ra.end + touching; ++j)
                if (b.runs[j].cls == ra.cls)
                    unite(a.offset + static_cast<std::size_t>(ra.start),
                          b.offset + static_cast<std::size_t>(b.runs[j].start));
        }
    }

    RowRuns row(std::int64_t y, std::int64_t z) const {
        const int s = static_cast<int>(z & 1);
        const auto r = static_cast<std::size_t>(y);
        return RowRuns{runs_[s] + begin_[s][r], begin_[s][r + 1] - begin_[s][r], grid_.offset(y, z)};
    }

    void join_pieces() {
        const int c = grid_.connectivity;
        const std::int64_t edge = c != 6 ? 1 : 0, corner = c == 26 ? 1 : 0;
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            const int s = static_cast<int>(z & 1);
            Run* out = runs_[s];
            std::size_t count = 0;
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                begin_[s][static_cast<std::size_t>(y)] = count;
                const std::size_t offset = grid_.offset(y, z);
                for_each_run(offset, [&](std::int64_t start, std::int64_t end, std::uint64_t cls) {
                    labels_[offset + static_cast<std::size_t>(start)] =
                        static_cast<Label>(offset + static_cast<std::size_t>(start));
                    out[count++] = Run{start, end, cls};
                });
                begin_[s][static_cast<std::size_t>(y) + 1] = count;
                const RowRuns here = row(y, z);
                if (here.count == 0) continue;
                if (y > 0) join_rows(here, row(y - 1, z), edge);
                if (z == 0) continue;
                join_rows(here, row(y, z - 1), edge);
                if (c == 6) continue;
                if (y > 0) join_rows(here, row(y - 1, z - 1), corner);
                if (y + 1 < grid_.height) join_rows(here, row(y + 1, z - 1), corner);
            }
        }
    }

    std::int64_t number_pieces() {
        std::int64_t pieces = 0;
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const std::size_t offset = grid_.offset(y, z);
                std::int64_t next = 0;  // the first column not yet written
                for_each_run(offset, [&](std::int64_t start, std::int64_t end, std::uint64_t) {
                    Label* out = labels_ + offset;
                    for (; next < start; ++next) out[next] = 0;
                    const auto self = offset + static_cast<std::size_t>(start);
                    const auto parent = static_cast<std::size_t>(out[start]);
                    const Label label = parent == self ? static_cast<Label>(++pieces) : labels_[parent];
                    for (; next <= end; ++next) out[next] = label;
                });
                for (; next < grid_.width; ++next) labels_[offset + static_cast<std::size_t>(next)] = 0;
            }
        }
        return pieces;
    }

    const PieceGrid grid_;
    const ClassOf& class_of_;
    Label* labels_;
    void* memory_ = nullptr;
    Run* runs_[2] = {nullptr, nullptr};
    std::size_t* begin_[2] = {nullptr, nullptr};
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
