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
    ~RunForest() { heap_free(parent_); }
    RunForest(const RunForest&) = delete;
    RunForest& operator=(const RunForest&) = delete;

    // Room for `more` runs after those added, the array never growing past
    // `bound` entries; false when the memory cannot be had.  A first call
    // asking for the bound reserves it whole: its pages are touched only as
    // far as runs are found.
    bool room(std::size_t more, std::size_t bound) {
        if (capacity_ - count_ >= more) return true;
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

// Where the rows lie, in voxels and in label entries.  A block of a larger
// array has rows and slices further apart than its own extents.
struct Strides {
    std::size_t voxel_row, voxel_slice, label_row, label_slice;
};

// The bits of every row of the volume (word_bits, `words` per row), which
// rows hold a run and the number of each row's first run, and room for the
// labels of one row's runs.
template <class Index, class Label>
class VolumeBits {
public:
    VolumeBits(int columns, int rows_per_slice, int slices, const Strides& layout)
        : strides(layout),
          width(columns),
          height(rows_per_slice),
          depth(slices),
          words((static_cast<std::size_t>(columns) + 63) / 64),
          rows_(static_cast<std::size_t>(rows_per_slice) * static_cast<std::size_t>(slices)),
          bits_(allocate(bytes(columns, rows_per_slice, slices))) {}
    ~VolumeBits() { heap_free(bits_); }
    VolumeBits(const VolumeBits&) = delete;
    VolumeBits& operator=(const VolumeBits&) = delete;

    // The working memory of a volume of these extents, or 0 when its size
    // does not fit in a size_t (on 32-bit targets), which is not asked for.
    static std::size_t bytes(int columns, int rows_per_slice, int slices) {
        const auto rows = static_cast<std::uint64_t>(rows_per_slice) * static_cast<std::uint64_t>(slices);
        const std::uint64_t row_words = (static_cast<std::uint64_t>(columns) + 63) / 64;
        // rows and row_words are below 2^62 and 2^26: the product may not fit.
        if (rows > (std::numeric_limits<std::uint64_t>::max() / 16) / row_words) return 0;
        const std::uint64_t total = rows * (row_words * 8 + sizeof(Index) + 1) +
                                    std::uint64_t{row_runs(columns)} * sizeof(Label);
        return total <= std::numeric_limits<std::size_t>::max() ? static_cast<std::size_t>(total) : 0;
    }

    // A row of w columns holds at most (w + 1) / 2 runs.
    static std::size_t row_runs(int w) { return (static_cast<std::size_t>(w) + 1) / 2; }

    bool allocated() const { return bits_ != nullptr; }

    // The offset of row y of slice z's first entry in the label array and
    // in the voxels.
    std::size_t label_offset(int y, int z) const {
        return static_cast<std::size_t>(z) * strides.label_slice + static_cast<std::size_t>(y) * strides.label_row;
    }
    std::size_t voxel_offset(int y, int z) const {
        return static_cast<std::size_t>(z) * strides.voxel_slice + static_cast<std::size_t>(y) * strides.voxel_row;
    }
    Row<Index> row(int y, int z) const { return Row<Index>{bits(y, z), first_run(y, z)}; }
    std::uint64_t* bits(int y, int z) const { return bits_ + index(y, z) * words; }
    // The row's number, z * height + y.
    std::size_t index(int y, int z) const {
        return static_cast<std::size_t>(z) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y);
    }
    Index& first_run(int y, int z) const { return firsts()[index(y, z)]; }
    std::uint8_t& holds_runs(int y, int z) const {
        return reinterpret_cast<std::uint8_t*>(firsts() + rows_)[index(y, z)];
    }
    // Room for the labels of one row's runs.
    Label* run_labels() const {
        return reinterpret_cast<Label*>(reinterpret_cast<std::uint8_t*>(firsts() + rows_) + rows_);
    }

    const Strides strides;
    const int width, height, depth;
    const std::size_t words;

private:
    static std::uint64_t* allocate(std::size_t size) {
        return size == 0 ? nullptr : static_cast<std::uint64_t*>(heap_alloc(size));
    }
    Index* firsts() const { return reinterpret_cast<Index*>(bits_ + rows_ * words); }

    std::size_t rows_;
    std::uint64_t* bits_;
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

// First pass: the runs of every row, numbered and each joined with the runs
// it touches in the rows scanned before it.  False when the runs' memory
// cannot be had.
template <bool kInstruction, class Index, class Label>
inline __attribute__((always_inline)) bool join_runs(const std::uint8_t* voxels, std::uint8_t value,
                                                     int connectivity, const VolumeBits<Index, Label>& rows,
                                                     RunForest<Index>& forest, std::size_t bound) {
    const std::size_t row_runs = VolumeBits<Index, Label>::row_runs(rows.width);
    for (int z = 0; z < rows.depth; ++z) {
        for (int y = 0; y < rows.height; ++y) {
            if (!forest.room(row_runs, bound)) return false;
            const Index first = forest.runs();
            rows.first_run(y, z) = first;
            for_each_run(
                voxels + rows.voxel_offset(y, z), rows.width, value, [&](int, int) { forest.add(); },
                rows.bits(y, z));
            const bool any = forest.runs() != first;
            rows.holds_runs(y, z) = any;
            if (!any) continue;
            const Row<Index> row = rows.row(y, z);
            auto join = [&](int ny, int nz, bool touching) {
                if (ny < 0 || ny >= rows.height || nz < 0 || !rows.holds_runs(ny, nz)) return;
                join_rows<kInstruction>(forest, row, rows.row(ny, nz), rows.words, touching);
            };
            join(y - 1, z, connectivity != 6);
            join(y, z - 1, connectivity != 6);
            if (connectivity != 6) {
                join(y - 1, z - 1, connectivity == 26);
                join(y + 1, z - 1, connectivity == 26);
            }
        }
    }
    return true;
}

#if IMG3D_COUNT_BITS_BY_CHOICE
template <class Index, class Label>
__attribute__((target("popcnt"))) bool join_runs_counting(const std::uint8_t* voxels, std::uint8_t value,
                                                          int connectivity, const VolumeBits<Index, Label>& rows,
                                                          RunForest<Index>& forest, std::size_t bound) {
    return join_runs<true>(voxels, value, connectivity, rows, forest, bound);
}
#endif

template <class Index, class Label>
bool join_all_runs(const std::uint8_t* voxels, std::uint8_t value, int connectivity,
                   const VolumeBits<Index, Label>& rows, RunForest<Index>& forest, std::size_t bound) {
#if IMG3D_COUNT_BITS_BY_CHOICE
    if (__builtin_cpu_supports("popcnt")) return join_runs_counting(voxels, value, connectivity, rows, forest, bound);
    return join_runs<false>(voxels, value, connectivity, rows, forest, bound);
#else
    return join_runs<true>(voxels, value, connectivity, rows, forest, bound);
#endif
}

// Second pass: every voxel's label, runs in raster order, and where asked
// the number of objects each row begins.  Returns the number of objects.
template <class Index, class Label>
Label write_labels(const VolumeBits<Index, Label>& rows, const RunForest<Index>& forest, Label* labels,
                   std::int64_t* row_objects) {
    const auto width = static_cast<std::size_t>(rows.width);
    Index* entry = forest.entries();
    Index k = 0;
    Label objects = 0;
    for (int z = 0; z < rows.depth; ++z) {
        for (int y = 0; y < rows.height; ++y) {
            Label* out = labels + rows.label_offset(y, z);
            const Label before = objects;
            std::memset(out, 0, width * sizeof *out);
            if (!rows.holds_runs(y, z)) {
                if (row_objects != nullptr) row_objects[rows.index(y, z)] = 0;
                continue;
            }
            // A run's parent came before it and holds its label already.
            for_each_run_in_bits(rows.bits(y, z), rows.width, [&](int start, int end) {
                const Index parent = entry[k];
                const Label label = parent == k ? ++objects : static_cast<Label>(entry[parent]);
                entry[k] = static_cast<Index>(label);
                ++k;
                fill_labels(out + start, static_cast<std::size_t>(end - start + 1), label);
            });
            if (row_objects != nullptr) row_objects[rows.index(y, z)] = static_cast<std::int64_t>(objects - before);
        }
    }
    return objects;
}

// Labels of a width x height x depth voxel array (x fastest) whose rows lie
// as strides says: the extents are at least 1, every offset fits in a
// size_t, and connectivity is 6, 18 or 26.  Returns the number of objects;
// -1 when the working memory cannot be had, or -2 when the objects are
// more than the labels' type holds (labels untouched in both cases).
template <class Index, class Label>
std::int64_t label_voxels_as(const std::uint8_t* voxels, int width, int height, int depth, std::uint8_t value,
                             int connectivity, Label* labels, const Strides& strides, std::int64_t* row_objects,
                             std::size_t bound) noexcept {
    const VolumeBits<Index, Label> rows(width, height, depth, strides);
    if (!rows.allocated()) return -1;
    RunForest<Index> forest;
    // 32-bit numbers: room for the most runs the extents hold, 2 bytes a
    // voxel at most, reserved at once.  64-bit ones: a first guess of a
    // few runs per row, the array doubling as needed.
    std::size_t guess = VolumeBits<Index, Label>::row_runs(width) * 8 + 64;
    if (sizeof(Index) == 4 || guess > bound) guess = bound;
    if (!forest.room(guess, bound)) return -1;
    if (!join_all_runs(voxels, value, connectivity, rows, forest, bound)) return -1;
    const std::uint64_t objects = forest.runs() - forest.joins();
    if (sizeof(Label) == 4 && objects > static_cast<std::uint64_t>(int32_objects())) return -2;
    return write_labels(rows, forest, labels, row_objects);
}

template <class Label>
std::int64_t label_voxels(const std::uint8_t* voxels, int width, int height, int depth, int value, int connectivity,
                          Label* labels, const Strides& strides, std::int64_t* row_objects = nullptr) noexcept {
    if (value < 0 || value > 255) {
        for (int z = 0; z < depth; ++z)
            for (int y = 0; y < height; ++y)
                std::memset(labels + static_cast<std::size_t>(z) * strides.label_slice +
                                static_cast<std::size_t>(y) * strides.label_row,
                            0, static_cast<std::size_t>(width) * sizeof *labels);
        if (row_objects != nullptr)
            std::memset(row_objects, 0,
                        static_cast<std::size_t>(height) * static_cast<std::size_t>(depth) * sizeof *row_objects);
        return 0;
    }
    // The most runs the extents hold; below 2^62, as every extent is below 2^31.
    const std::uint64_t bound = static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(depth) *
                                ((static_cast<std::uint64_t>(width) + 1) / 2);
    if (bound > std::numeric_limits<std::size_t>::max() / sizeof(std::uint64_t)) return -1;
    const auto v = static_cast<std::uint8_t>(value);
    if (narrow_indices(bound))
        return label_voxels_as<std::uint32_t>(voxels, width, height, depth, v, connectivity, labels, strides,
                                              row_objects, static_cast<std::size_t>(bound));
    return label_voxels_as<std::uint64_t>(voxels, width, height, depth, v, connectivity, labels, strides,
                                          row_objects, static_cast<std::size_t>(bound));
}

Strides packed(int width, int height) {
    return {static_cast<std::size_t>(width), static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
            static_cast<std::size_t>(width), static_cast<std::size_t>(width) * static_cast<std::size_t>(height)};
}

bool known_connectivity(int connectivity) { return connectivity == 6 || connectivity == 18 || connectivity == 26; }

// The checks of Img3DLabelVoxels and Img3DLabelVoxelsStrided (strides in
// voxels and label entries, 0 for packed rows and slices), then the
// labelling with row counts where asked.
std::int64_t label_raw(const std::uint8_t* voxels, std::int64_t width, std::int64_t height, std::int64_t depth,
                       std::int64_t voxel_row, std::int64_t voxel_slice, int value, int connectivity, void* labels,
                       int labelType, std::int64_t label_row, std::int64_t label_slice, std::int64_t* row_objects) {
    // Extents are ints inside; a label array's offsets are of its own type,
    // so int32 labels index at most 2^31 - 1 entries.
    constexpr std::int64_t kMaxInt32 = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMaxInt64 = std::numeric_limits<std::int64_t>::max();
    if (voxels == nullptr || labels == nullptr || !known_connectivity(connectivity)) return -1;
    if (labelType != IMG3D_INT32 && labelType != IMG3D_INT64) return -1;
    if (width < 1 || height < 1 || depth < 1) return -1;
    if (width > kMaxInt32 || height > kMaxInt32 || depth > kMaxInt32) return -1;
    // A stride of 0 packs; any other keeps each row clear of the next and
    // each slice clear of the next, and the last entry addressable.
    auto stride = [](std::int64_t given, std::int64_t span, std::int64_t& out) {
        if (given == 0) given = span;
        out = given;
        return given >= span;
    };
    std::int64_t vr = 0, vs = 0, lr = 0, ls = 0;
    if (!stride(voxel_row, width, vr) || !stride(label_row, width, lr)) return -1;
    if (height > kMaxInt64 / vr || height > kMaxInt64 / lr) return -1;
    if (!stride(voxel_slice, height * vr, vs) || !stride(label_slice, height * lr, ls)) return -1;
    // The last entry of each array: (depth - 1) * slice + (height - 1) * row
    // + width - 1, which must not overflow.
    auto last = [&](std::int64_t row, std::int64_t slice) -> std::int64_t {
        if (depth - 1 > (kMaxInt64 - height * row) / slice) return -1;
        return (depth - 1) * slice + (height - 1) * row + width - 1;
    };
    const std::int64_t last_voxel = last(vr, vs), last_label = last(lr, ls);
    if (last_voxel < 0 || last_label < 0) return -1;
    if (static_cast<std::uint64_t>(last_voxel) >= std::numeric_limits<std::size_t>::max()) return -1;
    // Every label entry must be addressable in bytes as well.
    const std::uint64_t entry = labelType == IMG3D_INT32 ? 4 : 8;
    if (static_cast<std::uint64_t>(last_label) >= std::numeric_limits<std::size_t>::max() / entry) return -1;
    const int w = static_cast<int>(width), h = static_cast<int>(height), d = static_cast<int>(depth);
    const Strides strides{static_cast<std::size_t>(vr), static_cast<std::size_t>(vs), static_cast<std::size_t>(lr),
                          static_cast<std::size_t>(ls)};
    if (labelType == IMG3D_INT32)
        return label_voxels(voxels, w, h, d, value, connectivity, static_cast<std::int32_t*>(labels), strides,
                            row_objects);
    return label_voxels(voxels, w, h, d, value, connectivity, static_cast<std::int64_t*>(labels), strides,
                        row_objects);
}

}  // namespace
}  // namespace img3d::detail

extern "C" IMG3D_API int Img3DLabel(unsigned char*** volume, int value, int connectivity, std::int32_t* labels) {
    using namespace img3d::detail;
    if (volume == nullptr || labels == nullptr || !known_connectivity(connectivity)) return -1;
    const int width = Image3DGetWidth(volume), height = Image3DGetHeight(volume);
    const std::int64_t n = label_voxels(volume[0][0], width, height, Image3DGetDepth(volume), value, connectivity,
                                        labels, packed(width, height));
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
    if (voxelRowStride < 0 || voxelSliceStride < 0 || labelRowStride < 0 || labelSliceStride < 0) return -1;
    return img3d::detail::label_raw(voxels, width, height, depth, voxelRowStride, voxelSliceStride, value,
                                    connectivity, labels, labelType, labelRowStride, labelSliceStride, rowObjects);
}
