// The label image, by a union-find over runs in two passes over the volume.
//
// The first pass finds the runs of each row -- stretches of the value along
// x, read sixty-four voxels at a time as bits -- and joins every run with the
// runs it touches in the rows scanned before it: the row before in the same
// slice and the same row of the slice before, overlapping (6-connectivity);
// for 18 and 26 those two rows a column apart as well, and the rows before
// and after in the slice before, overlapping (18) or a column apart (26).
// Runs are numbered in raster order as they are found, and the union-find
// keeps one parent per run in an array of its own, which grows as runs are
// found: its accesses stay within a few bytes per run however large the
// volume, and the label array is written once, in order, by the second
// pass.  A join keeps the smaller number as the root, so every object's
// root is its first run in raster order.  Where a pair of runs meets, each
// run's number is its row's first plus the starts up to there, counted by
// the processor's population count where it has one (chosen when the pass
// begins).
//
// The second pass writes the label array row by row.  A run that is its own
// parent is the first run of an object not met before and takes the next
// label; any other run's parent is an earlier run of its object, whose
// entry holds the object's label by then, which the run takes and keeps
// in its own entry.
//
// Working memory: the bits of the volume's rows, which the second pass
// reads instead of the voxels, a flag and the first run's number per row,
// the parents of the runs, and the labels of one row's runs.  Runs are
// numbered in 32 bits where the extents cannot hold more runs, else in 64.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "img3d.h"
#include "objects/piece_labels.h"
#include "objects/row_scan.h"
#include "objects/set_runs.h"
#include "platform/heap.h"

namespace img3d::detail {
namespace {

// The union-find over runs numbered 0, 1, ... in raster order: a parent per
// run, in an array that grows as runs are added.
template <class Index>
class RunForest {
public:
    RunForest() = default;
    ~RunForest() {
        if (owned_) heap_free(parent_);
    }
    RunForest(const RunForest&) = delete;
    RunForest& operator=(const RunForest&) = delete;

    // Room for `more` runs after those added, the array never growing past
    // `bound` entries; false when the memory cannot be had.  A first call
    // asking for the bound reserves it whole: its pages are touched only as
    // far as runs are found.
    bool room(std::size_t more, std::size_t bound) {
        if (capacity_ - count_ >= more) return true;
        if (!owned_) return false;
        if (parent_ == nullptr && more == bound) {
            parent_ = static_cast<Index*>(heap_alloc(bound * sizeof(Index)));
            capacity_ = parent_ != nullptr ? bound : 0;
            return parent_ != nullptr;
        }
        std::size_t grown = capacity_ < bound / 2 ? capacity_ * 2 : bound;
        if (grown < count_ + more) grown = count_ + more;
        void* block = heap_realloc(parent_, grown * sizeof(Index));
        if (block == nullptr) return false;
        parent_ = static_cast<Index*>(block);
        capacity_ = grown;
        return true;
    }

    // Takes `capacity` entries of another block as the array, for good.
    void adopt(Index* entries, std::size_t capacity) {
        parent_ = entries;
        capacity_ = capacity;
        owned_ = false;
    }

    void add() {
        parent_[count_] = static_cast<Index>(count_);
        ++count_;
    }
    Index runs() const { return static_cast<Index>(count_); }
    std::uint64_t joins() const { return joins_; }

    void unite(Index a, Index b) {
        a = find(a);
        b = find(b);
        if (a < b)
            parent_[b] = a;
        else if (b < a)
            parent_[a] = b;
        else
            return;
        ++joins_;
    }

    // The second pass's view: parents, and then labels, by run.
    Index* entries() const { return parent_; }

private:
    Index find(Index run) {
        // Path splitting: every run on the way is pointed at its grandparent.
        while (parent_[run] != run) {
            const Index up = parent_[run];
            parent_[run] = parent_[up];
            run = up;
        }
        return run;
    }

    Index* parent_ = nullptr;
    bool owned_ = true;
    std::size_t capacity_ = 0, count_ = 0;
    std::uint64_t joins_ = 0;
};

// One row of a slice whose bits (word_bits, `words` per row) are kept, and
// the number of its first run.
template <class Index>
struct Row {
    const std::uint64_t* bits;
    Index first;
};

// Joins the runs of row a with the runs of row b that they touch: that
// overlap them or, when `touching`, also end a column before or after them
// (the neighbours across an edge or a corner).  Two runs a column apart
// overlap once each is stretched one column to the right, and stretched
// runs still never overlap within a row; so every pair to join shares a
// stretch of the stretched rows' bits, whose first column is the later of
// the two runs' starts.  A run there is the one whose start is the latest up
// to that column: the row's first plus the starts up to it, less one.
template <bool kInstruction, class Index>
inline __attribute__((always_inline)) void join_rows(RunForest<Index>& forest, Row<Index> a, Row<Index> b,
                                                     std::size_t words, bool touching) {
    std::uint64_t a_last = 0, b_last = 0;  // bit 63 of the word before
    // One less than the numbers of the runs that start after the words before.
    Index a_runs = a.first - 1, b_runs = b.first - 1;
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t ma = a.bits[w], mb = b.bits[w];
        const std::uint64_t a_starts = ma & ~(ma << 1 | a_last);
        const std::uint64_t b_starts = mb & ~(mb << 1 | b_last);
        const std::uint64_t a_reach = touching ? ma | ma << 1 | a_last : ma;
        const std::uint64_t b_reach = touching ? mb | mb << 1 | b_last : mb;
        for (std::uint64_t pairs = a_reach & b_reach & (a_starts | b_starts); pairs != 0; pairs &= pairs - 1) {
            const std::uint64_t upto = ~0ull >> (63 - __builtin_ctzll(pairs));
            forest.unite(static_cast<Index>(a_runs + bit_count<kInstruction>(a_starts & upto)),
                         static_cast<Index>(b_runs + bit_count<kInstruction>(b_starts & upto)));
        }
        a_runs = static_cast<Index>(a_runs + bit_count<kInstruction>(a_starts));
        b_runs = static_cast<Index>(b_runs + bit_count<kInstruction>(b_starts));
        a_last = ma >> 63;
        b_last = mb >> 63;
    }
}

// Where a block's rows and slices lie in an array, in entries: a block of a
// larger array has them further apart than its own extents.
struct Layout {
    std::size_t row, slice;
};

// A box of a block: its first voxel and its extents.
struct Box {
    int x, y, z, width, height, depth;
};

// Sets n labels to label; runs of masks are long, so sixteen bytes at a time.
template <class Label>
void fill_labels(Label* out, std::size_t n, Label label) {
    std::size_t i = 0;
#if IMG3D_ROW_SCAN_SSE2
    constexpr std::size_t kPerStore = 16 / sizeof(Label);
    __m128i lanes;
    if constexpr (sizeof(Label) == 4)
        lanes = _mm_set1_epi32(label);
    else
        lanes = _mm_set1_epi64x(label);
    for (; i + kPerStore <= n; i += kPerStore) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), lanes);
#endif
    for (; i < n; ++i) out[i] = label;
}

// The runs of a block: the bits of every row (word_bits, `words` per row),
// which rows hold a run and the number of each row's first run, and the
// union-find over the runs, whose entries become the runs' labels once
// the first pass is done.
template <class Index>
class HeldRuns {
public:
    HeldRuns(int columns, int rows_per_slice, int slices, Layout voxel_layout, bool together)
        : width(columns),
          height(rows_per_slice),
          depth(slices),
          voxels_(voxel_layout),
          words_((static_cast<std::size_t>(columns) + 63) / 64),
          rows_(static_cast<std::size_t>(rows_per_slice) * static_cast<std::size_t>(slices)),
          bits_(allocate(bytes(columns, rows_per_slice, slices, together))) {
        // 32-bit numbers, when the runs are kept `together` with the rows'
        // bits: the most runs the extents hold, 2 bytes a voxel at most, in
        // the same block (touched only as far as runs are found).  A block
        // held past the call then starts on a huge page as a whole; one
        // that lives for a call has its small bits reused by the heap.
        if (together && sizeof(Index) == 4 && bits_ != nullptr)
            forest_.adopt(reinterpret_cast<Index*>(bits_ + words_before_runs()),
                          static_cast<std::size_t>(bound(columns, rows_per_slice, slices)));
    }
    ~HeldRuns() { heap_free(bits_); }
    HeldRuns(const HeldRuns&) = delete;
    HeldRuns& operator=(const HeldRuns&) = delete;

    bool allocated() const { return bits_ != nullptr; }

    // The most runs the extents hold: a row of w columns at most (w + 1) / 2.
    static std::uint64_t bound(int columns, int rows_per_slice, int slices) {
        return static_cast<std::uint64_t>(rows_per_slice) * static_cast<std::uint64_t>(slices) *
               ((static_cast<std::uint64_t>(columns) + 1) / 2);
    }

    // First pass: the runs of every row, numbered and each joined with the
    // runs it touches in the rows scanned before it (none for a value
    // outside 0 ... 255).  False when the runs' memory cannot be had.
    bool join(const std::uint8_t* voxels, int value, int connectivity) {
        if (value < 0 || value > 255) {
            std::memset(holds(), 0, rows_);
            return true;
        }
        const auto total = static_cast<std::size_t>(bound(width, height, depth));
        // 32-bit numbers: room for the most runs the extents hold, reserved
        // at once (where not kept with the bits).  64-bit ones: a first
        // guess of a few runs per row, the array doubling as needed.
        std::size_t guess = row_runs() * 8 + 64;
        if (sizeof(Index) == 4 || guess > total) guess = total;
        if (!forest_.room(guess, total)) return false;
#if IMG3D_COUNT_BITS_BY_CHOICE
        if (__builtin_cpu_supports("popcnt"))
            return join_counting(voxels, static_cast<std::uint8_t>(value), connectivity, total);
        return join_as<false>(voxels, static_cast<std::uint8_t>(value), connectivity, total);
#else
        return join_as<true>(voxels, static_cast<std::uint8_t>(value), connectivity, total);
#endif
    }

    // The objects the first pass found.
    std::int64_t found() const { return static_cast<std::int64_t>(forest_.runs() - forest_.joins()); }

    // Every run's label, objects numbered in raster order of their first
    // runs, and where asked the number of objects each row begins.  A run's
    // parent came before it and holds its label by then.
    void number(std::int64_t* row_objects) {
        Index* entry = forest_.entries();
        const Index runs = forest_.runs();
        Index objects = 0;
        for (std::size_t r = 0; r < rows_; ++r) {
            const Index before = objects;
            if (holds()[r] != 0) {
                const Index end = r + 1 < rows_ ? firsts()[r + 1] : runs;
                for (Index k = firsts()[r]; k < end; ++k) {
                    const Index parent = entry[k];
                    entry[k] = parent == k ? ++objects : entry[parent];
                }
            }
            if (row_objects != nullptr) row_objects[r] = static_cast<std::int64_t>(objects - before);
        }
        objects_ = static_cast<std::int64_t>(objects);
    }

    std::int64_t label(const std::uint8_t* voxels, int value, int connectivity, bool int32_labels,
                       std::int64_t* row_objects) {
        if (!join(voxels, value, connectivity)) return -1;
        if (int32_labels && found() > int32_objects()) return -2;
        number(row_objects);
        return objects_;
    }
    std::int64_t objects() const { return objects_; }
    template <class Label>
    void write(const Box& box, Label* labels, Layout layout, const Label* table) const {
        table != nullptr ? write_as<true>(box, labels, layout, table) : write_as<false>(box, labels, layout, table);
    }

    // The working memory of a block of these extents, or 0 when its size
    // does not fit in a size_t (on 32-bit targets), which is not asked for.
    static std::size_t bytes(int columns, int rows_per_slice, int slices, bool together) {
        const auto rows = static_cast<std::uint64_t>(rows_per_slice) * static_cast<std::uint64_t>(slices);
        const std::uint64_t row_words = (static_cast<std::uint64_t>(columns) + 63) / 64;
        // rows and row_words are below 2^62 and 2^26: the product may not fit.
        if (rows > (std::numeric_limits<std::uint64_t>::max() / 16) / row_words) return 0;
        std::uint64_t total = (rows * (row_words * 8 + sizeof(Index) + 1) + 7) / 8 * 8;
        if (together && sizeof(Index) == 4) {
            const std::uint64_t runs = bound(columns, rows_per_slice, slices);
            if (runs > static_cast<std::uint64_t>(INT32_MAX)) return 0;
            total += runs * sizeof(Index);
        }
        return total <= std::numeric_limits<std::size_t>::max() ? static_cast<std::size_t>(total) : 0;
    }

private:
    static std::uint64_t* allocate(std::size_t size) {
        return size == 0 ? nullptr : static_cast<std::uint64_t*>(heap_alloc(size));
    }
    std::size_t row_runs() const { return (static_cast<std::size_t>(width) + 1) / 2; }
    // Where the runs' array of 32-bit numbers begins, in words: after the
    // bits, the rows' first runs and their flags.
    std::size_t words_before_runs() const { return (rows_ * (words_ * 8 + sizeof(Index) + 1) + 7) / 8; }
    // The row's number, z * height + y.
    std::size_t index(int y, int z) const {
        return static_cast<std::size_t>(z) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y);
    }
    std::uint64_t* bits(std::size_t r) const { return bits_ + r * words_; }
    Index* firsts() const { return reinterpret_cast<Index*>(bits_ + rows_ * words_); }
    std::uint8_t* holds() const { return reinterpret_cast<std::uint8_t*>(firsts() + rows_); }
    Row<Index> row(std::size_t r) const { return Row<Index>{bits(r), firsts()[r]}; }

#if IMG3D_COUNT_BITS_BY_CHOICE
    __attribute__((target("popcnt"))) bool join_counting(const std::uint8_t* voxels, std::uint8_t value,
                                                         int connectivity, std::size_t total) {
        return join_as<true>(voxels, value, connectivity, total);
    }
#endif

    template <bool kInstruction>
    inline __attribute__((always_inline)) bool join_as(const std::uint8_t* voxels, std::uint8_t value, int connectivity,
                                                       std::size_t total) {
        const std::size_t most = row_runs();
        for (int z = 0; z < depth; ++z) {
            for (int y = 0; y < height; ++y) {
                if (!forest_.room(most, total)) return false;
                const std::size_t r = index(y, z);
                const Index first = forest_.runs();
                firsts()[r] = first;
                const std::uint8_t* voxel_row =
                    voxels + static_cast<std::size_t>(z) * voxels_.slice + static_cast<std::size_t>(y) * voxels_.row;
                for_each_run(
                    voxel_row, width, value, [&](int, int) { forest_.add(); }, bits(r));
                const bool any = forest_.runs() != first;
                holds()[r] = any;
                if (!any) continue;
                auto join_with = [&](int ny, int nz, bool touching) {
                    if (ny < 0 || ny >= height || nz < 0) return;
                    const std::size_t n = index(ny, nz);
                    if (holds()[n] != 0) join_rows<kInstruction>(forest_, row(r), row(n), words_, touching);
                };
                join_with(y - 1, z, connectivity != 6);
                join_with(y, z - 1, connectivity != 6);
                if (connectivity != 6) {
                    join_with(y - 1, z - 1, connectivity == 26);
                    join_with(y + 1, z - 1, connectivity == 26);
                }
            }
        }
        return true;
    }

    // The labels of the box, through the table (entry k for object k) where
    // kTable.  Rows are cleared in one call and their runs written, as the
    // gaps of noisy rows are too short to be worth a call each.  A box
    // narrower than the block reads only the words of its columns: the
    // runs that start before it are counted, not visited.
    template <bool kTable, class Label>
    void write_as(const Box& box, Label* labels, Layout layout, const Label* table) const {
        const Index* entry = forest_.entries();
        const int last = box.x + box.width - 1;
        const bool whole = box.x == 0 && box.width == width;
        const std::size_t first_word = static_cast<std::size_t>(box.x) / 64,
                          last_word = static_cast<std::size_t>(last) / 64;
        for (int z = 0; z < box.depth; ++z) {
            for (int y = 0; y < box.height; ++y) {
                Label* out =
                    labels + static_cast<std::size_t>(z) * layout.slice + static_cast<std::size_t>(y) * layout.row;
                std::memset(out, 0, static_cast<std::size_t>(box.width) * sizeof *out);
                const std::size_t r = index(box.y + y, box.z + z);
                if (holds()[r] == 0) continue;
                const Index* run = entry + firsts()[r];
                auto emit = [&](int start, int end) {
                    const Index local = *run++;
                    const Label label = kTable ? table[local] : static_cast<Label>(local);
                    fill_labels(out + (start - box.x), static_cast<std::size_t>(end - start + 1), label);
                };
                const std::uint64_t* row_bits = bits(r);
                if (whole) {
                    for_each_run_in_bits(row_bits, width, emit);
                    continue;
                }
                // The runs that start before the box; one of them goes on
                // into it when its first column and the one before are set.
                std::uint64_t previous = 0;
                for (std::size_t w = 0; w <= first_word; ++w) {
                    std::uint64_t starts = row_bits[w] & ~(row_bits[w] << 1 | previous);
                    if (w == first_word) starts &= (std::uint64_t{1} << (box.x % 64)) - 1;
                    run += bit_count<false>(starts);
                    previous = row_bits[w] >> 63;
                }
                const auto x = static_cast<std::size_t>(box.x);
                const bool inside = (row_bits[first_word] >> (x % 64) & 1) != 0;
                const bool before = x > 0 && (row_bits[(x - 1) / 64] >> ((x - 1) % 64) & 1) != 0;
                if (inside && before) --run;
                previous = 0;
                int open = -1;
                for (std::size_t w = first_word; w <= last_word; ++w) {
                    std::uint64_t m = row_bits[w];
                    if (w == first_word) m &= ~std::uint64_t{0} << (box.x % 64);
                    if (w == last_word) m &= ~std::uint64_t{0} >> (63 - last % 64);
                    runs_of_word(m, static_cast<int>(w * 64), previous, open, emit);
                }
                if (open >= 0) emit(open, last);
            }
        }
    }

public:
    const int width, height, depth;

private:
    const Layout voxels_;
    const std::size_t words_, rows_;
    std::uint64_t* bits_;
    RunForest<Index> forest_;
    std::int64_t objects_ = 0;
};

// f(kind) with kind a null HeldRuns<Index>*: runs numbered in 32 bits
// where the extents cannot hold more runs, else in 64.
template <class F>
auto by_index_width(int width, int height, int depth, F f) {
    if (narrow_indices(HeldRuns<std::uint32_t>::bound(width, height, depth)))
        return f(static_cast<HeldRuns<std::uint32_t>*>(nullptr));
    return f(static_cast<HeldRuns<std::uint64_t>*>(nullptr));
}

// f(runs) on the runs of a block made for one call, or f(nullptr) when
// their memory cannot be had.
template <class F>
auto with_runs(int width, int height, int depth, Layout voxels, F f) {
    return by_index_width(width, height, depth, [&](auto* kind) {
        std::remove_pointer_t<decltype(kind)> runs(width, height, depth, voxels, false);
        return f(runs.allocated() ? &runs : nullptr);
    });
}

}  // namespace
}  // namespace img3d::detail

// A held labelling: the runs of one of the two index widths, on the heap.
struct Img3DRunLabels {
    void* runs;
    bool wide;  // HeldRuns<std::uint64_t>, else HeldRuns<std::uint32_t>
};

namespace img3d::detail {
namespace {

// f(runs) on a held labelling's runs.
template <class F>
auto visit(const Img3DRunLabels* held, F f) {
    if (held->wide) return f(*static_cast<HeldRuns<std::uint64_t>*>(held->runs));
    return f(*static_cast<HeldRuns<std::uint32_t>*>(held->runs));
}

// A held labelling of a block's voxels, on the heap: nullptr when memory
// cannot be had.
Img3DRunLabels* new_held(int width, int height, int depth, Layout voxels) {
    return by_index_width(width, height, depth, [&](auto* kind) -> Img3DRunLabels* {
        using Held = std::remove_pointer_t<decltype(kind)>;
        auto* handle = static_cast<Img3DRunLabels*>(heap_alloc(sizeof(Img3DRunLabels)));
        void* memory = handle != nullptr ? heap_alloc(sizeof(Held)) : nullptr;
        if (memory == nullptr) {
            heap_free(handle);
            return nullptr;
        }
        auto* runs = new (memory) Held(width, height, depth, voxels, true);
        if (runs->allocated()) {
            *handle = Img3DRunLabels{runs, std::is_same_v<Held, HeldRuns<std::uint64_t>>};
            return handle;
        }
        runs->~Held();
        heap_free(memory);
        heap_free(handle);
        return nullptr;
    });
}

void free_held(Img3DRunLabels* held) {
    if (held == nullptr) return;
    visit(held, [](auto& runs) {
        using Held = std::remove_reference_t<decltype(runs)>;
        runs.~Held();
        return 0;
    });
    heap_free(held->runs);
    heap_free(held);
}

// Labels of a width x height x depth voxel array (x fastest) whose rows lie
// as the layouts say: the extents are at least 1, every offset fits in a
// size_t, and connectivity is 6, 18 or 26.  Returns the number of objects;
// -1 when the working memory cannot be had, or -2 when the objects are
// more than the labels' type holds (labels and row_objects untouched in
// both cases).
template <class Label>
std::int64_t label_voxels(const std::uint8_t* voxels, int width, int height, int depth, int value, int connectivity,
                          Label* labels, Layout voxel_layout, Layout label_layout,
                          std::int64_t* row_objects = nullptr) noexcept {
    if (value < 0 || value > 255) {
        for (int z = 0; z < depth; ++z)
            for (int y = 0; y < height; ++y)
                std::memset(labels + static_cast<std::size_t>(z) * label_layout.slice +
                                static_cast<std::size_t>(y) * label_layout.row,
                            0, static_cast<std::size_t>(width) * sizeof *labels);
        if (row_objects != nullptr)
            std::memset(row_objects, 0,
                        static_cast<std::size_t>(height) * static_cast<std::size_t>(depth) * sizeof *row_objects);
        return 0;
    }
    return with_runs(width, height, depth, voxel_layout, [&](auto* runs) -> std::int64_t {
        if (runs == nullptr) return -1;
        const std::int64_t n = runs->label(voxels, value, connectivity, sizeof(Label) == 4, row_objects);
        if (n >= 0) runs->write(Box{0, 0, 0, width, height, depth}, labels, label_layout, static_cast<Label*>(nullptr));
        return n;
    });
}

Layout packed(int width, int height) {
    return {static_cast<std::size_t>(width), static_cast<std::size_t>(width) * static_cast<std::size_t>(height)};
}

bool known_connectivity(int connectivity) { return connectivity == 6 || connectivity == 18 || connectivity == 26; }

constexpr std::int64_t kMaxInt32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kMaxInt64 = std::numeric_limits<std::int64_t>::max();

bool known_extents(std::int64_t width, std::int64_t height, std::int64_t depth) {
    return width >= 1 && height >= 1 && depth >= 1 && width <= kMaxInt32 && height <= kMaxInt32 && depth <= kMaxInt32;
}

// The layout of an array of entries of `entry` bytes holding a width x
// height x depth block with these strides (0 packs): false when the strides
// are negative, let rows or slices overlap, or put the last entry beyond
// what a pointer addresses.
bool layout_of(std::int64_t width, std::int64_t height, std::int64_t depth, std::int64_t row, std::int64_t slice,
               std::uint64_t entry, Layout& out) {
    if (row < 0 || slice < 0) return false;
    if (row == 0) row = width;
    if (row < width || height > kMaxInt64 / row) return false;
    if (slice == 0) slice = height * row;
    if (slice < height * row) return false;
    // The last entry: (depth - 1) * slice + (height - 1) * row + width - 1.
    if (depth - 1 > (kMaxInt64 - height * row) / slice) return false;
    const std::int64_t last = (depth - 1) * slice + (height - 1) * row + width - 1;
    if (static_cast<std::uint64_t>(last) >= std::numeric_limits<std::size_t>::max() / entry) return false;
    out = {static_cast<std::size_t>(row), static_cast<std::size_t>(slice)};
    return true;
}

std::uint64_t entry_bytes(int labelType) { return labelType == IMG3D_INT32 ? 4 : 8; }

// The checks of Img3DLabelVoxels and Img3DLabelVoxelsStrided, then the
// labelling with row counts where asked.
std::int64_t label_raw(const std::uint8_t* voxels, std::int64_t width, std::int64_t height, std::int64_t depth,
                       std::int64_t voxel_row, std::int64_t voxel_slice, int value, int connectivity, void* labels,
                       int labelType, std::int64_t label_row, std::int64_t label_slice, std::int64_t* row_objects) {
    if (voxels == nullptr || labels == nullptr || !known_connectivity(connectivity)) return -1;
    if (labelType != IMG3D_INT32 && labelType != IMG3D_INT64) return -1;
    if (!known_extents(width, height, depth)) return -1;
    Layout voxel_layout{}, label_layout{};
    if (!layout_of(width, height, depth, voxel_row, voxel_slice, 1, voxel_layout) ||
        !layout_of(width, height, depth, label_row, label_slice, entry_bytes(labelType), label_layout))
        return -1;
    const int w = static_cast<int>(width), h = static_cast<int>(height), d = static_cast<int>(depth);
    if (labelType == IMG3D_INT32)
        return label_voxels(voxels, w, h, d, value, connectivity, static_cast<std::int32_t*>(labels), voxel_layout,
                            label_layout, row_objects);
    return label_voxels(voxels, w, h, d, value, connectivity, static_cast<std::int64_t*>(labels), voxel_layout,
                        label_layout, row_objects);
}

}  // namespace
}  // namespace img3d::detail

extern "C" IMG3D_API int Img3DLabel(unsigned char*** volume, int value, int connectivity, std::int32_t* labels) {
    using namespace img3d::detail;
    if (volume == nullptr || labels == nullptr || !known_connectivity(connectivity)) return -1;
    const int width = Image3DGetWidth(volume), height = Image3DGetHeight(volume);
    const Layout layout = packed(width, height);
    const std::int64_t n =
        label_voxels(volume[0][0], width, height, Image3DGetDepth(volume), value, connectivity, labels, layout, layout);
    // A volume holds fewer than 2^31 voxels, and so fewer objects.
    return static_cast<int>(n);
}

extern "C" IMG3D_API std::int64_t Img3DLabelVoxels(const std::uint8_t* voxels, std::int64_t width, std::int64_t height,
                                                   std::int64_t depth, int value, int connectivity, void* labels,
                                                   int labelType) {
    return img3d::detail::label_raw(voxels, width, height, depth, 0, 0, value, connectivity, labels, labelType, 0, 0,
                                    nullptr);
}

extern "C" IMG3D_API std::int64_t Img3DLabelVoxelsStrided(const std::uint8_t* voxels, std::int64_t width,
                                                          std::int64_t height, std::int64_t depth,
                                                          std::int64_t voxelRowStride, std::int64_t voxelSliceStride,
                                                          int value, int connectivity, void* labels, int labelType,
                                                          std::int64_t labelRowStride, std::int64_t labelSliceStride,
                                                          std::int64_t* rowObjects) {
    return img3d::detail::label_raw(voxels, width, height, depth, voxelRowStride, voxelSliceStride, value, connectivity,
                                    labels, labelType, labelRowStride, labelSliceStride, rowObjects);
}

extern "C" IMG3D_API Img3DRunLabels* Img3DLabelRuns(const std::uint8_t* voxels, std::int64_t width, std::int64_t height,
                                                    std::int64_t depth, std::int64_t voxelRowStride,
                                                    std::int64_t voxelSliceStride, int value, int connectivity,
                                                    std::int64_t* objects, std::int64_t* rowObjects) {
    using namespace img3d::detail;
    Layout layout{};
    if (voxels == nullptr || !known_connectivity(connectivity) || !known_extents(width, height, depth) ||
        !layout_of(width, height, depth, voxelRowStride, voxelSliceStride, 1, layout))
        return nullptr;
    Img3DRunLabels* held = new_held(static_cast<int>(width), static_cast<int>(height), static_cast<int>(depth), layout);
    if (held == nullptr) return nullptr;
    const std::int64_t n =
        visit(held, [&](auto& runs) { return runs.label(voxels, value, connectivity, false, rowObjects); });
    if (n < 0) {
        free_held(held);
        return nullptr;
    }
    if (objects != nullptr) *objects = n;
    return held;
}

extern "C" IMG3D_API std::int64_t Img3DRunLabelsCount(const Img3DRunLabels* runs) {
    if (runs == nullptr) return -1;
    return img3d::detail::visit(runs, [](const auto& held) { return held.objects(); });
}

extern "C" IMG3D_API int Img3DWriteRunLabels(const Img3DRunLabels* runs, std::int64_t x, std::int64_t y, std::int64_t z,
                                             std::int64_t width, std::int64_t height, std::int64_t depth, void* labels,
                                             int labelType, std::int64_t labelRowStride, std::int64_t labelSliceStride,
                                             const void* table, std::int64_t entries) {
    using namespace img3d::detail;
    if (runs == nullptr || labels == nullptr) return -1;
    if (labelType != IMG3D_INT32 && labelType != IMG3D_INT64) return -1;
    return visit(runs, [&](const auto& held) {
        if (x < 0 || y < 0 || z < 0 || width < 1 || height < 1 || depth < 1 || x > held.width - width ||
            y > held.height - height || z > held.depth - depth)
            return -1;
        Layout layout{};
        if (!layout_of(width, height, depth, labelRowStride, labelSliceStride, entry_bytes(labelType), layout))
            return -1;
        if (table != nullptr && entries <= held.objects()) return -1;
        if (table == nullptr && labelType == IMG3D_INT32 && held.objects() > int32_objects()) return -2;
        const Box box{static_cast<int>(x),     static_cast<int>(y),      static_cast<int>(z),
                      static_cast<int>(width), static_cast<int>(height), static_cast<int>(depth)};
        if (labelType == IMG3D_INT32)
            held.write(box, static_cast<std::int32_t*>(labels), layout, static_cast<const std::int32_t*>(table));
        else
            held.write(box, static_cast<std::int64_t*>(labels), layout, static_cast<const std::int64_t*>(table));
        return 0;
    });
}

extern "C" IMG3D_API void Img3DFreeRunLabels(Img3DRunLabels* runs) { img3d::detail::free_held(runs); }
