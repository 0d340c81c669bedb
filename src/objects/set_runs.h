// The connected pieces of a set of voxels (in_set(i) true), as a union-find
// over the set's runs along x, numbered in raster order: run k's parent is
// a run before it, a join keeps the smaller index as root, and so every
// piece's root is its first run.
//
// The first pass (join) reads each row as bits, sixty-four columns a step,
// numbers its runs and joins them with the runs they touch in the rows
// scanned before it.  Two runs touch when they overlap or, where a row's
// reach is 1, lie a column apart; stretched one column to the right, the
// runs of a row still never overlap each other, and two runs a column apart
// overlap.  The first column of the overlap of two runs is the start of one
// of them, so every pair to join is one set bit of (a & b & (starts of a |
// starts of b)), found without a branch per run, and each run of the pair
// is the one whose start is the latest up to that bit: its number is the
// row's first plus the starts up to there, counted by the processor's
// population count where it has one (chosen when the pass begins), by
// halves elsewhere.  The second pass (for_each_run) reads the same runs
// again in the same order and hands each over with its root, flattening
// the forest on the way.
//
// Nothing per voxel of the volume: the working memory is one index per run
// (a root's holding its piece's voxel count), allocated for the most runs
// the extents allow but touched only as far as the runs reach, and the
// rows' bits of two slices.  Index is unsigned, and its top bit left aside
// it holds every voxel count of the grid.
// InSet answers for up to 64 consecutive voxels as bits, voxel i at bit 0
// (in_set.word(i, n), the bits from n on clear).
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

template <class Index, class InSet>
class SetRuns {
public:
    SetRuns(const PieceGrid& grid, const InSet& in_set)
        : grid_(grid),
          in_set_(in_set),
          width_(static_cast<std::size_t>(grid.width)),
          height_(static_cast<std::size_t>(grid.height)),
          words_((width_ + 63) / 64) {
        // The grid's voxels are addressable, not necessarily as many
        // indices: every product is checked.  A row holds at most
        // width / 2 + 1 runs.
        const std::size_t rows = height_ * static_cast<std::size_t>(grid.depth), window = 2 * height_;
        std::size_t runs = 0, bits = 0, firsts = 0, total = 0;
        if (!product(rows, width_ / 2 + 1, runs) || !product(runs, sizeof(Index), runs) ||
            !product(window, words_, bits) || !product(bits, 8, bits) || !product(window, sizeof(Index), firsts) ||
            !sum(bits, firsts, total) || !sum(total, runs, total) || !sum(total, window, total))
            return;
        memory_ = heap_alloc(total);
        if (memory_ == nullptr) return;
        bits_ = static_cast<std::uint64_t*>(memory_);
        first_ = reinterpret_cast<Index*>(bits_ + window * words_);
        parent_ = first_ + window;
        holds_ = reinterpret_cast<std::uint8_t*>(parent_) + runs;
    }
    ~SetRuns() { heap_free(memory_); }
    SetRuns(const SetRuns&) = delete;
    SetRuns& operator=(const SetRuns&) = delete;

    bool allocated() const { return memory_ != nullptr; }

    // The first pass.  on_run(k, y, z, start, end) is called for every run
    // once it is numbered.  Returns the pieces.
    template <class OnRun>
    std::int64_t join(OnRun on_run) {
#if IMG3D_COUNT_BITS_BY_CHOICE
        if (__builtin_cpu_supports("popcnt")) return join_counting(on_run);
        return first_pass<false>(on_run);
#else
        return first_pass<true>(on_run);
#endif
    }

    Index find(Index k) {
        // Path halving: every other run on the way is pointed at its grandparent.
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
    // The runs of the first pass (valid after join).
    Index runs() const { return total_; }
    bool is_root(Index k) const { return (parent_[k] & kRoot) != 0; }
    // Voxels of the piece whose root is k; a caller may replace it with a
    // number of its own below 2^(bits of Index - 1).
    Index size(Index k) const { return parent_[k] & ~kRoot; }
    void set_size(Index k, Index size) { parent_[k] = kRoot | size; }

    // The second pass: visit(offset of the row, start, k, root) for every
    // run k in raster order, a piece's root before its other runs, then
    // row_done(offset, bits) with the row's bits (words of 64 columns, the
    // bits past the last column clear), which are row_bits() meanwhile: a
    // visit may clear its run's bits there, and run_end(start) tells where
    // a run ends.  The row is read before its runs are handed over, so a
    // visit may also write its voxels.
    template <class Visit, class RowDone>
    void for_each_run(Visit visit, RowDone row_done) {
        Index k = 0;
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const std::size_t o = grid_.offset(y, z);
                for (std::size_t w = 0, x = 0; w < words_; ++w, x += 64)
                    bits_[w] = in_set_.word(o + x, width_ - x < 64 ? static_cast<int>(width_ - x) : 64);
                std::uint64_t last = 0;
                for (std::size_t w = 0, x = 0; w < words_; ++w, x += 64) {
                    const std::uint64_t m = bits_[w];
                    for (std::uint64_t starts = m & ~(m << 1 | last); starts != 0; starts &= starts - 1) {
                        // The parent lies before and is flattened already.
                        const Index up = parent_[k];
                        Index root = k;
                        if ((up & kRoot) == 0) {
                            root = (parent_[up] & kRoot) != 0 ? up : parent_[up];
                            parent_[k] = root;
                        }
                        visit(o, x + static_cast<std::size_t>(__builtin_ctzll(starts)), k, root);
                        ++k;
                    }
                    last = m >> 63;
                }
                row_done(o, bits_);
            }
        }
    }
    template <class Visit>
    void for_each_run(Visit visit) {
        for_each_run(visit, [](std::size_t, const std::uint64_t*) {});
    }
    std::uint64_t* row_bits() { return bits_; }
    // The last column of the run of the second pass's row that starts at
    // column start.
    std::size_t run_end(std::size_t start) const {
        std::size_t w = start / 64;
        std::uint64_t gaps = ~bits_[w] & ~std::uint64_t{0} << (start % 64);
        while (gaps == 0) {
            if (++w == words_) return width_ - 1;
            gaps = ~bits_[w];
        }
        return w * 64 + static_cast<std::size_t>(__builtin_ctzll(gaps)) - 1;
    }

private:
#if IMG3D_COUNT_BITS_BY_CHOICE
    template <class OnRun>
    __attribute__((target("popcnt"))) std::int64_t join_counting(OnRun on_run) {
        return first_pass<true>(on_run);
    }
#endif

    // The first pass, compiled into its caller so that it counts bits as
    // the caller's instruction set does.
    template <bool kInstruction, class OnRun>
    inline __attribute__((always_inline)) std::int64_t first_pass(OnRun on_run) {
        const int c = grid_.connectivity;
        const bool edge = c != 6, corner = c == 26;
        Index next = 0;
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const std::size_t r = slot(y, z);
                const Index first = next;
                first_[r] = first;
                read_row(grid_.offset(y, z), bits_ + r * words_, [&](std::size_t start, std::size_t end) {
                    parent_[next] = kRoot | static_cast<Index>(end - start + 1);
                    on_run(next, y, z, start, end);
                    ++next;
                });
                holds_[r] = next != first;
                if (next == first) continue;
                if (y > 0) join_rows<kInstruction>(r, slot(y - 1, z), edge);
                if (z > 0) {
                    join_rows<kInstruction>(r, slot(y, z - 1), edge);
                    if (c != 6) {
                        if (y > 0) join_rows<kInstruction>(r, slot(y - 1, z - 1), corner);
                        if (y + 1 < grid_.height) join_rows<kInstruction>(r, slot(y + 1, z - 1), corner);
                    }
                }
            }
        }
        total_ = next;
        return pieces();
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

    // The place of row y of slice z among the two slices kept.
    std::size_t slot(std::int64_t y, std::int64_t z) const {
        return static_cast<std::size_t>(z & 1) * height_ + static_cast<std::size_t>(y);
    }

    // Stores the bits of the row at offset o and calls run(start, end) for
    // each of its runs from left to right.  Starts and ends alternate, so
    // they are paired up and no branch depends on which comes next.
    template <class Run>
    void read_row(std::size_t o, std::uint64_t* bits, Run run) const {
        std::uint64_t last = 0;
        std::size_t open = 0;
        bool is_open = false;
        for (std::size_t w = 0, x = 0; w < words_; ++w, x += 64) {
            const std::uint64_t m = in_set_.word(o + x, width_ - x < 64 ? static_cast<int>(width_ - x) : 64);
            bits[w] = m;
            const std::uint64_t shifted = m << 1 | last;
            std::uint64_t starts = m & ~shifted;
            std::uint64_t ends = ~m & shifted;  // bit k: a run ended at k - 1
            last = m >> 63;
            if (is_open && ends != 0) {
                run(open, x + static_cast<std::size_t>(__builtin_ctzll(ends)) - 1);
                ends &= ends - 1;
                is_open = false;
            }
            while (ends != 0) {
                run(x + static_cast<std::size_t>(__builtin_ctzll(starts)),
                    x + static_cast<std::size_t>(__builtin_ctzll(ends)) - 1);
                starts &= starts - 1;
                ends &= ends - 1;
            }
            if (starts != 0) {
                open = x + static_cast<std::size_t>(__builtin_ctzll(starts));
                is_open = true;
            }
        }
        // A run still open reaches the end of the row (a last word of fewer
        // than 64 columns has closed it already).
        if (is_open) run(open, width_ - 1);
    }

    // Joins every run of row a (a slot) with the runs of row b it touches:
    // those that overlap it or, with reach, lie a column before or after.
    template <bool kInstruction>
    inline __attribute__((always_inline)) void join_rows(std::size_t a, std::size_t b, bool reach) {
        if (holds_[b] == 0) return;
        const std::uint64_t* a_bits = bits_ + a * words_;
        const std::uint64_t* b_bits = bits_ + b * words_;
        std::uint64_t a_last = 0, b_last = 0;  // bit 63 of the word before
        // One less than the numbers of the runs that start after the words before.
        Index a_before = first_[a] - 1, b_before = first_[b] - 1;
        for (std::size_t w = 0; w < words_; ++w) {
            const std::uint64_t ma = a_bits[w], mb = b_bits[w];
            const std::uint64_t a_starts = ma & ~(ma << 1 | a_last), b_starts = mb & ~(mb << 1 | b_last);
            const std::uint64_t a_reach = reach ? ma | ma << 1 | a_last : ma;
            const std::uint64_t b_reach = reach ? mb | mb << 1 | b_last : mb;
            for (std::uint64_t pairs = a_reach & b_reach & (a_starts | b_starts); pairs != 0; pairs &= pairs - 1) {
                const std::uint64_t upto = ~std::uint64_t{0} >> (63 - __builtin_ctzll(pairs));
                unite(a_before + bit_count<kInstruction>(a_starts & upto),
                      b_before + bit_count<kInstruction>(b_starts & upto));
            }
            a_before += bit_count<kInstruction>(a_starts);
            b_before += bit_count<kInstruction>(b_starts);
            a_last = ma >> 63;
            b_last = mb >> 63;
        }
    }

    const PieceGrid grid_;
    const InSet& in_set_;
    const std::size_t width_, height_, words_;
    void* memory_ = nullptr;
    // For the two slices kept, slot by slot: the row's bits, the number of
    // its first run, whether it holds a run.
    std::uint64_t* bits_ = nullptr;
    Index* first_ = nullptr;
    std::uint8_t* holds_ = nullptr;
    // A root holds kRoot and its piece's voxel count, any other run its parent.
    static constexpr Index kRoot = Index{1} << (sizeof(Index) * 8 - 1);
    Index* parent_ = nullptr;
    Index total_ = 0;
    std::int64_t joins_ = 0;
};

}  // namespace img3d::detail
