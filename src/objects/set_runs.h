// The connected pieces of a set of voxels (in_set(i) true), as a union-find
// over stretches along x.
//
// The stretches are those of lines: with 6 a line is a row, with 18 and 26
// two rows of a slice taken together, a stretch being a run of columns
// that hold a voxel of the set in either row.  Each such stretch is
// connected, as 18 and 26 join the voxels of a slice that touch at an
// edge, so a line's stretches are its pieces within it, as many as a row
// would have at most and on noise a third of the two rows' runs.  Two
// stretches touch when a voxel of one touches a voxel of the other: for
// each line before that may hold such a voxel, the columns where they can
// meet are a few operations on the rows' bits (a row's bits with the
// column to their left, where voxels a column apart touch), sixty-four
// columns a step.  Every pair of stretches that touch has a column of
// those where a stretch of either line starts or the meeting columns
// begin; at such a column the stretches of the pair are the ones whose
// start is the latest up to it, and a stretch's number is its line's first
// plus the starts up to there, counted by the processor's population count
// where it has one (chosen when the pass begins), by halves elsewhere.
// So pairs come from set bits, without a branch per stretch.
//
// Stretches are numbered in the order of their lines (slice, then line,
// then column): a stretch's parent is one before it, a join keeps the
// smaller number as root, and so every piece's root is its first stretch.
// The first pass (join) numbers and joins the stretches; the second
// (for_each_run) reads them again in the same order and hands each over
// with its root, flattening the forest on the way.  With two rows a line,
// that order is not the raster order of the pieces' first voxels, which
// for_each_first_voxel gives where it matters.
//
// Nothing per voxel of the volume: the working memory is one index per
// stretch (a root's holding its piece's voxel count), allocated for the
// most stretches the extents allow but touched only as far as they reach
// (with 64-bit indices, for the stretches a first scan counts), and the
// rows' bits of two slices.  Index is unsigned, and its top bit
// left aside it holds every voxel count of the grid.  InSet answers for up
// to 64 consecutive voxels as bits, voxel i at bit 0 (in_set.word(i, n),
// the bits from n on clear).
#pragma once

#include <cstddef>
#include <cstdint>

#include "objects/piece_labels.h"
#include "platform/heap.h"

// x86 processors count bits in one instruction since 2008, but the
// baseline instruction set has none: the first pass is compiled twice and
// the processor asked which one to run.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !defined(__POPCNT__)
#define IMG3D_COUNT_BITS_BY_CHOICE 1
#endif

namespace img3d::detail {

// Bits set in m: where kInstruction, as the compiler counts them (one
// instruction where the processor has it); else by halves, which beats
// the compiler's fallback of a call per word.
template <bool kInstruction>
inline unsigned bit_count(std::uint64_t m) {
    if (kInstruction) return static_cast<unsigned>(__builtin_popcountll(m));
    m = m - ((m >> 1) & 0x5555555555555555ull);
    m = (m & 0x3333333333333333ull) + ((m >> 2) & 0x3333333333333333ull);
    m = (m + (m >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<unsigned>((m * 0x0101010101010101ull) >> 56);
}

// Bits from .. to of a word, 0 <= from <= to <= 63.
inline std::uint64_t bit_range(std::size_t from, std::size_t to) {
    return (~std::uint64_t{0} >> (63 - to)) & (~std::uint64_t{0} << from);
}

template <class Index, class InSet>
class SetRuns {
public:
    SetRuns(const PieceGrid& grid, const InSet& in_set)
        : grid_(grid),
          in_set_(in_set),
          width_(static_cast<std::size_t>(grid.width)),
          height_(static_cast<std::size_t>(grid.height)),
          words_((width_ + 63) / 64),
          rows_(grid.connectivity == 6 ? 1 : 2),
          lines_((height_ + rows_ - 1) / rows_),
          // A line's rows, and their union where there are two.
          planes_(rows_ == 1 ? 1 : 3) {
        // The grid's voxels are addressable, not necessarily as many
        // indices: every product is checked.  A line holds at most
        // width / 2 + 1 stretches.
        const std::size_t window = 2 * lines_;
        std::size_t runs = 0, bits = 0, small = 0, total = 0;
        if (!product(lines_, static_cast<std::size_t>(grid.depth), runs) || !product(runs, width_ / 2 + 1, runs))
            return;
        // With 64-bit indices that bound (4 bytes a voxel) can pass what the
        // machine lets one reserve, however few stretches are touched: they
        // are counted first.
        if constexpr (sizeof(Index) > 4) runs = count_stretches();
        if (!product(runs, sizeof(Index), runs) || !product(window * planes_ + 1, words_, bits) ||
            !product(bits, 8, bits) || !product(window, sizeof(Index) + 1, small) || !sum(bits, small, total) ||
            !sum(total, 8, total) || !sum(total, runs, total))
            return;
        memory_ = heap_alloc(total);
        if (memory_ == nullptr) return;
        bits_ = static_cast<std::uint64_t*>(memory_);
        marks_ = bits_ + window * planes_ * words_;
        for (std::size_t w = 0; w < words_; ++w) marks_[w] = 0;
        first_ = reinterpret_cast<Index*>(marks_ + words_);
        holds_ = reinterpret_cast<std::uint8_t*>(first_ + window);
        // The stretches' array last, where its pages stay untouched as far
        // as the stretches do not reach.
        parent_ = reinterpret_cast<Index*>(marks_ + words_ + (window * (sizeof(Index) + 1) + 7) / 8);
    }
    ~SetRuns() { heap_free(memory_); }
    SetRuns(const SetRuns&) = delete;
    SetRuns& operator=(const SetRuns&) = delete;

    bool allocated() const { return memory_ != nullptr; }

    // The first pass.  on_run(k, on_face) is called for every stretch once
    // it is numbered, on_face telling whether it holds a voxel on a face of
    // the grid.  Returns the pieces.
    template <class OnRun>
    std::int64_t join(OnRun on_run) {
#if IMG3D_COUNT_BITS_BY_CHOICE
        if (__builtin_cpu_supports("popcnt")) return join_counting(on_run);
        return join_as<false>(on_run);
#else
        return join_as<true>(on_run);
#endif
    }

    Index find(Index k) {
        // Path halving: every other stretch on the way is pointed at its grandparent.
        for (;;) {
            const Index up = parent_[k];
            if ((up & kRoot) != 0) return k;
            const Index grand = parent_[up];
            if ((grand & kRoot) != 0) return up;
            parent_[k] = grand;
            k = grand;
        }
    }
    void unite(Index a, Index b) {
        Index low = find(a), high = find(b);
        if (low == high) return;
        if (high < low) {
            const Index t = low;
            low = high;
            high = t;
        }
        parent_[low] += parent_[high] & ~kRoot;
        parent_[high] = low;
        ++joins_;
    }
    std::int64_t pieces() const { return static_cast<std::int64_t>(total_) - joins_; }
    // The stretches of the first pass (valid after join).
    Index runs() const { return total_; }
    bool is_root(Index k) const { return (parent_[k] & kRoot) != 0; }
    // Voxels of the piece whose root is k; a caller may replace it with a
    // number of its own below 2^(bits of Index - 1).
    Index size(Index k) const { return parent_[k] & ~kRoot; }
    void set_size(Index k, Index size) { parent_[k] = kRoot | size; }

    // The second pass, line by line: visit(start, k, root) for every
    // stretch k in order, a piece's root before its other stretches; a
    // visit may mark(start) its stretch.  Then row_done(offset, bits,
    // marks) for each row of the line: its bits (words of 64 columns, the
    // bits past the last column clear), which it may change, and the marked
    // columns of the line, or null when none is.
    template <class Visit, class RowDone>
    void for_each_run(Visit visit, RowDone row_done) {
        Index k = 0;
        for_each_line([&](std::int64_t y, std::int64_t z, std::size_t count) {
            const std::uint64_t* line = line_bits(0);
            std::uint64_t last = 0;
            marked_ = false;
            for (std::size_t w = 0, x = 0; w < words_; ++w, x += 64) {
                const std::uint64_t m = line[w];
                for (std::uint64_t starts = m & ~(m << 1 | last); starts != 0; starts &= starts - 1) {
                    const Index root = settled_root(k);
                    visit(x + static_cast<std::size_t>(__builtin_ctzll(starts)), k, root);
                    ++k;
                }
                last = m >> 63;
            }
            for (std::size_t i = 0; i < count; ++i)
                row_done(grid_.offset(y + static_cast<std::int64_t>(i), z), row_bits(0, i),
                         marked_ ? static_cast<const std::uint64_t*>(marks_) : nullptr);
            if (marked_)
                for (std::size_t w = 0; w < words_; ++w) marks_[w] = 0;
        });
    }
    // Marks the columns of the stretch that starts at `start`, in the line
    // the second pass holds.
    void mark(std::size_t start) {
        const std::uint64_t* line = line_bits(0);
        std::size_t w = start / 64;
        std::uint64_t gaps = ~line[w] & ~std::uint64_t{0} << (start % 64);
        while (gaps == 0) {
            marks_[w] |= ~std::uint64_t{0} << (w == start / 64 ? start % 64 : 0);
            if (++w == words_) break;
            gaps = ~line[w];
        }
        if (w < words_) {
            const std::size_t end = static_cast<std::size_t>(__builtin_ctzll(gaps));  // past the stretch
            if (end > 0) marks_[w] |= bit_range(w == start / 64 ? start % 64 : 0, end - 1);
        }
        marked_ = true;
    }

    // visit(root, first) for every stretch in order: its root and the
    // storage index of its first voxel in raster order.
    template <class Visit>
    void for_each_first_voxel(Visit visit) {
        Index k = 0;
        for_each_line([&](std::int64_t y, std::int64_t z, std::size_t count) {
            const std::uint64_t* line = line_bits(0);
            std::uint64_t last = 0;
            for (std::size_t w = 0, x = 0; w < words_; ++w, x += 64) {
                const std::uint64_t m = line[w];
                for (std::uint64_t starts = m & ~(m << 1 | last); starts != 0; starts &= starts - 1) {
                    const std::size_t start = x + static_cast<std::size_t>(__builtin_ctzll(starts));
                    // The first row whose voxels come first: the start
                    // column holds one of the first row unless only the
                    // second row's voxels begin the stretch.
                    std::size_t row = 0, column = start;
                    if (count == 2) {
                        const std::size_t in_first = first_set(row_bits(0, 0), start);
                        if (in_first > end_of(line, start)) {
                            row = 1;
                            column = first_set(row_bits(0, 1), start);
                        } else {
                            column = in_first;
                        }
                    }
                    visit(settled_root(k++), grid_.offset(y + static_cast<std::int64_t>(row), z) + column);
                }
                last = m >> 63;
            }
        });
    }

private:
    // Where the lines before lie for the joins, and which rows of the two
    // lines can meet: a line of the same slice above, or of the slice
    // before above, alongside or below.
    enum Side { kAbove, kBehind, kBehindAbove, kBehindBelow };

#if IMG3D_COUNT_BITS_BY_CHOICE
    template <class OnRun>
    __attribute__((target("popcnt"))) std::int64_t join_counting(OnRun on_run) {
        return join_as<true>(on_run);
    }
#endif

    template <bool kInstruction, class OnRun>
    inline __attribute__((always_inline)) std::int64_t join_as(OnRun on_run) {
        switch (grid_.connectivity) {
            case 6: return first_pass<kInstruction, 6>(on_run);
            case 18: return first_pass<kInstruction, 18>(on_run);
            default: return first_pass<kInstruction, 26>(on_run);
        }
    }

    // The first pass, compiled into its caller so that it counts bits as
    // the caller's instruction set does.
    template <bool kInstruction, int C, class OnRun>
    inline __attribute__((always_inline)) std::int64_t first_pass(OnRun on_run) {
        constexpr std::size_t kRows = C == 6 ? 1 : 2;
        Index next = 0;
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::size_t j = 0; j < lines_; ++j) {
                const std::size_t s = slot(j, z), y = j * kRows;
                const std::size_t count = height_ - y < kRows ? height_ - y : kRows;
                read_line<kRows>(s, static_cast<std::int64_t>(y), z, count);
                const Index first = next;
                first_[s] = first;
                // Rows of the line on the faces y = 0 and y = height - 1.
                const std::uint64_t* low_face = y == 0 ? row_bits(s, 0) : nullptr;
                const std::uint64_t* high_face = y + count == height_ ? row_bits(s, count - 1) : nullptr;
                const bool z_face = z == 0 || z + 1 == grid_.depth;
                stretches<kInstruction, kRows>(s, [&](std::size_t start, std::size_t end, Index voxels) {
                    parent_[next] = kRoot | voxels;
                    on_run(next, z_face || start == 0 || end + 1 == width_ ||
                                     (low_face != nullptr && first_set(low_face, start) <= end) ||
                                     (high_face != nullptr && first_set(high_face, start) <= end));
                    ++next;
                });
                holds_[s] = next != first;
                if (next == first) continue;
                // No lambda here: the joins count bits as their caller does
                // only where they are compiled into it.
                if (j > 0) join_line<kInstruction, C>(s, slot(j - 1, z), kAbove);
                if (z > 0) {
                    join_line<kInstruction, C>(s, slot(j, z - 1), kBehind);
                    if (C != 6) {
                        if (j > 0) join_line<kInstruction, C>(s, slot(j - 1, z - 1), kBehindAbove);
                        if (j + 1 < lines_) join_line<kInstruction, C>(s, slot(j + 1, z - 1), kBehindBelow);
                    }
                }
            }
        }
        total_ = next;
        return pieces();
    }

    // Calls line(y, z, count) for every line in order, with its rows read
    // into slot 0 (y its first row, count its rows).
    template <class Line>
    void for_each_line(Line line) {
        if (rows_ == 1)
            for_each_line_of<1>(line);
        else
            for_each_line_of<2>(line);
    }
    template <std::size_t kRows, class Line>
    void for_each_line_of(Line line) {
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::size_t y = 0; y < height_; y += kRows) {
                const std::size_t count = height_ - y < kRows ? height_ - y : kRows;
                read_line<kRows>(0, static_cast<std::int64_t>(y), z, count);
                line(static_cast<std::int64_t>(y), z, count);
            }
        }
    }

    // The stretches of every line, from the voxels alone.
    std::size_t count_stretches() const {
        std::size_t count = 0;
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::size_t y = 0; y < height_; y += rows_) {
                std::uint64_t last = 0;
                for (std::size_t w = 0, x = 0; w < words_; ++w, x += 64) {
                    const int n = width_ - x < 64 ? static_cast<int>(width_ - x) : 64;
                    std::uint64_t m = 0;
                    for (std::size_t i = 0; i < rows_ && y + i < height_; ++i)
                        m |= in_set_.word(grid_.offset(static_cast<std::int64_t>(y + i), z) + x, n);
                    count += bit_count<false>(m & ~(m << 1 | last));
                    last = m >> 63;
                }
            }
        }
        return count;
    }

    // The root of stretch k, whose parent lies before it and is flattened
    // already; k is pointed at it.
    Index settled_root(Index k) {
        const Index up = parent_[k];
        if ((up & kRoot) != 0) return k;
        const Index root = (parent_[up] & kRoot) != 0 ? up : parent_[up];
        parent_[k] = root;
        return root;
    }

    static bool product(std::size_t a, std::size_t b, std::size_t& out) {
        if (b != 0 && a > SIZE_MAX / b) return false;
        out = a * b;
        return true;
    }
    static bool sum(std::size_t a, std::size_t b, std::size_t& out) {
        if (a > SIZE_MAX - b) return false;
        out = a + b;
        return true;
    }

    // The place of line j of slice z among the two slices kept.
    std::size_t slot(std::size_t j, std::int64_t z) const { return static_cast<std::size_t>(z & 1) * lines_ + j; }
    std::uint64_t* row_bits(std::size_t s, std::size_t i) const { return bits_ + (s * planes_ + i) * words_; }
    std::uint64_t* line_bits(std::size_t s) const { return bits_ + (s * planes_ + (rows_ == 1 ? 0 : 2)) * words_; }

    // Reads the count rows from row y of slice z into slot s, with their
    // union where a line has two.
    template <std::size_t kRows>
    void read_line(std::size_t s, std::int64_t y, std::int64_t z, std::size_t count) {
        for (std::size_t i = 0; i < kRows; ++i) {
            std::uint64_t* bits = row_bits(s, i);
            if (i == count) {
                for (std::size_t w = 0; w < words_; ++w) bits[w] = 0;
                break;
            }
            const std::size_t o = grid_.offset(y + static_cast<std::int64_t>(i), z);
            for (std::size_t w = 0, x = 0; w < words_; ++w, x += 64)
                bits[w] = in_set_.word(o + x, width_ - x < 64 ? static_cast<int>(width_ - x) : 64);
        }
        if (kRows == 2) {
            std::uint64_t* line = line_bits(s);
            const std::uint64_t *first = row_bits(s, 0), *second = row_bits(s, 1);
            for (std::size_t w = 0; w < words_; ++w) line[w] = first[w] | second[w];
        }
    }

    // The first column at or after `from` whose bit is set, or width_.
    std::size_t first_set(const std::uint64_t* bits, std::size_t from) const {
        std::size_t w = from / 64;
        std::uint64_t m = bits[w] & ~std::uint64_t{0} << (from % 64);
        while (m == 0) {
            if (++w == words_) return width_;
            m = bits[w];
        }
        return w * 64 + static_cast<std::size_t>(__builtin_ctzll(m));
    }
    // The last column of the stretch of `bits` that starts at `start`.
    std::size_t end_of(const std::uint64_t* bits, std::size_t start) const {
        std::size_t w = start / 64;
        std::uint64_t gaps = ~bits[w] & ~std::uint64_t{0} << (start % 64);
        while (gaps == 0) {
            if (++w == words_) return width_ - 1;
            gaps = ~bits[w];
        }
        return w * 64 + static_cast<std::size_t>(__builtin_ctzll(gaps)) - 1;
    }

    // Calls run(start, end, voxels) for every stretch of the line in slot s
    // from left to right.  Starts and ends alternate, so they are paired up
    // and no branch depends on which comes next; a stretch's voxels are its
    // columns and, with two rows, the columns where both hold one.
    template <bool kInstruction, std::size_t kRows, class Run>
    inline __attribute__((always_inline)) void stretches(std::size_t s, Run run) const {
        const std::uint64_t* line = line_bits(s);
        const std::uint64_t *first = row_bits(s, 0), *second = row_bits(s, kRows - 1);
        std::uint64_t last = 0;
        std::size_t open = 0;
        bool is_open = false;
        Index open_both = 0;  // columns with both rows in the stretch still open
        auto columns = [](std::size_t start, std::size_t end) { return static_cast<Index>(end - start + 1); };
        for (std::size_t w = 0, x = 0; w < words_; ++w, x += 64) {
            const std::uint64_t m = line[w], both = kRows == 2 ? first[w] & second[w] : 0;
            const std::uint64_t shifted = m << 1 | last;
            std::uint64_t starts = m & ~shifted;
            std::uint64_t ends = ~m & shifted;  // bit k: a stretch ended at k - 1
            last = m >> 63;
            if (is_open && ends != 0) {
                const auto past = static_cast<std::size_t>(__builtin_ctzll(ends));
                const std::uint64_t before = past == 0 ? 0 : bit_range(0, past - 1);
                run(open, x + past - 1,
                    columns(open, x + past - 1) + open_both + bit_count<kInstruction>(both & before));
                ends &= ends - 1;
                is_open = false;
            }
            while (ends != 0) {
                const auto from = static_cast<std::size_t>(__builtin_ctzll(starts));
                const auto past = static_cast<std::size_t>(__builtin_ctzll(ends));
                run(x + from, x + past - 1,
                    columns(from, past - 1) + bit_count<kInstruction>(both & bit_range(from, past - 1)));
                starts &= starts - 1;
                ends &= ends - 1;
            }
            if (starts != 0) {
                const auto from = static_cast<std::size_t>(__builtin_ctzll(starts));
                open = x + from;
                open_both = bit_count<kInstruction>(both & bit_range(from, 63));
                is_open = true;
            } else if (is_open) {
                open_both += bit_count<kInstruction>(both);
            }
        }
        // A stretch still open reaches the end of the line (a last word of
        // fewer than 64 columns has closed it already).
        if (is_open) run(open, width_ - 1, columns(open, width_ - 1) + open_both);
    }

    // Joins every stretch of the line in slot a with the stretches it
    // touches in the line in slot b, which lies on `side`.
    template <bool kInstruction, int C>
    inline __attribute__((always_inline)) void join_line(std::size_t a, std::size_t b, Side side) {
        if (holds_[b] == 0) return;
        if (C == 6) return join_lines<kInstruction, C, kAbove>(a, b);
        switch (side) {
            case kAbove: return join_lines<kInstruction, C, kAbove>(a, b);
            case kBehind: return join_lines<kInstruction, C, kBehind>(a, b);
            case kBehindAbove: return join_lines<kInstruction, C, kBehindAbove>(a, b);
            default: return join_lines<kInstruction, C, kBehindBelow>(a, b);
        }
    }

    template <bool kInstruction, int C, Side kSide>
    inline __attribute__((always_inline)) void join_lines(std::size_t a, std::size_t b) {
        const std::uint64_t *a_line = line_bits(a), *a_first = row_bits(a, 0), *a_second = row_bits(a, rows_ - 1);
        const std::uint64_t *b_line = line_bits(b), *b_first = row_bits(b, 0), *b_second = row_bits(b, rows_ - 1);
        // Bit 63 of the words before: of each line, of the meeting columns
        // and of the rows, whose columns widen to the left where voxels a
        // column apart touch.
        std::uint64_t a_last = 0, b_last = 0, meet_last = 0, rows_last[4] = {};
        auto widen = [&](std::uint64_t word, int i) {
            const std::uint64_t wide = word | word << 1 | rows_last[i];
            rows_last[i] = word >> 63;
            return wide;
        };
        // One less than the numbers of the stretches that start after the words before.
        Index a_runs = first_[a] - 1, b_runs = first_[b] - 1;
        for (std::size_t w = 0; w < words_; ++w) {
            const std::uint64_t ma = a_line[w], mb = b_line[w];
            const std::uint64_t a_starts = ma & ~(ma << 1 | a_last), b_starts = mb & ~(mb << 1 | b_last);
            a_last = ma >> 63;
            b_last = mb >> 63;
            // The columns where a voxel of each line can meet.
            std::uint64_t meet;
            if (C == 6) {
                meet = ma & mb;
            } else if (kSide == kAbove || (C == 26 && kSide == kBehindAbove)) {
                meet = widen(a_first[w], 0) & widen(b_second[w], 1);
            } else if (kSide == kBehind && C == 26) {
                meet = widen(ma, 0) & widen(mb, 1);
            } else if (kSide == kBehind) {
                const std::uint64_t a0 = a_first[w], a1 = a_second[w], b0 = b_first[w], b1 = b_second[w];
                meet = (widen(a0, 0) & widen(b0, 1)) | (widen(a1, 2) & widen(b1, 3)) | (a0 & b1) | (a1 & b0);
            } else if (kSide == kBehindAbove) {
                meet = a_first[w] & b_second[w];
            } else if (C == 26) {
                meet = widen(a_second[w], 0) & widen(b_first[w], 1);
            } else {
                meet = a_second[w] & b_first[w];
            }
            // With 6 the first column of an overlap starts a run already.
            std::uint64_t starts = a_starts | b_starts;
            if (C != 6) starts |= meet & ~(meet << 1 | meet_last);
            meet_last = meet >> 63;
            for (std::uint64_t pairs = meet & starts; pairs != 0; pairs &= pairs - 1) {
                const std::uint64_t upto = ~std::uint64_t{0} >> (63 - __builtin_ctzll(pairs));
                unite(a_runs + bit_count<kInstruction>(a_starts & upto),
                      b_runs + bit_count<kInstruction>(b_starts & upto));
            }
            a_runs += bit_count<kInstruction>(a_starts);
            b_runs += bit_count<kInstruction>(b_starts);
        }
    }

    const PieceGrid grid_;
    const InSet& in_set_;
    const std::size_t width_, height_, words_, rows_, lines_, planes_;
    void* memory_ = nullptr;
    // For the two slices kept, slot by slot: the bits of the line's rows
    // and their union (planes_ rows of words_ words), the number of its
    // first stretch, whether it holds one; the marks of the second pass.
    std::uint64_t* bits_ = nullptr;
    std::uint64_t* marks_ = nullptr;
    Index* first_ = nullptr;
    std::uint8_t* holds_ = nullptr;
    bool marked_ = false;
    // A root holds kRoot and its piece's voxel count, any other stretch its parent.
    static constexpr Index kRoot = Index{1} << (sizeof(Index) * 8 - 1);
    Index* parent_ = nullptr;
    Index total_ = 0;
    std::int64_t joins_ = 0;
};

}  // namespace img3d::detail
