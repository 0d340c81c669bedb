// The label image, by a union-find over runs in two passes over the volume.
//
// The first pass finds the runs of each row -- stretches of the value along
// x, read sixty-four voxels at a time as bits -- and joins every run with the
// runs it touches in the rows scanned before it: the row before in the same
// slice and the same row of the slice before, overlapping (6-connectivity);
// for 18 and 26 those two rows a column apart as well, and the rows before
// and after in the slice before, overlapping (18) or a column apart (26).  A
// run is known by the offset of its first voxel, and its parent in the
// union-find is kept in the label array at that offset: the label array is
// the labelling's own scratch, and no memory per run is needed.  A join keeps
// the smaller offset as the root, so every object's root is its first run in
// raster order.
//
// The second pass writes the label array row by row.  A run that is its own
// parent is the first run of an object not met before and takes the next
// label; any other run's parent is an earlier run of its object, already
// written with the object's label, which the run takes.
//
// Working memory: the bits of the volume's rows, which the second pass
// reads instead of the voxels, a flag per row, and the labels of one row's
// runs.
//
// Everything is written once for the label type: offsets into the label
// array are of that type, so the 32-bit labels pay nothing for the 64-bit
// ones.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "img3d.h"
#include "objects/row_scan.h"
#include "platform/heap.h"

namespace img3d::detail {
namespace {

// The union-find over runs, each run known by the offset of its first voxel
// and its parent stored in the label array there.
template <class Label>
class RunForest {
public:
    explicit RunForest(Label* labels) : parent_(labels) {}

    void add(Label run) { parent_[run] = run; }

    void unite(Label a, Label b) {
        a = find(a);
        b = find(b);
        if (a < b)
            parent_[b] = a;
        else if (b < a)
            parent_[a] = b;
    }

private:
    Label find(Label run) {
        // Path splitting: every run on the way is pointed at its grandparent.
        while (parent_[run] != run) {
            const Label up = parent_[run];
            parent_[run] = parent_[up];
            run = up;
        }
        return run;
    }

    Label* parent_;
};

// One row of a slice whose bits (word_bits, `words` per row) are kept.
template <class Label>
struct Row {
    const std::uint64_t* bits;
    Label offset;  // of its first voxel in the volume
};

// Joins the runs of row a with the runs of row b that they touch: that
// overlap them or, when `touching`, also end a column before or after them
// (the neighbours across an edge or a corner).  Two runs a column apart
// overlap once each is stretched one column to the right, and stretched
// runs still never overlap within a row; so every pair to join shares a
// stretch of the stretched rows' bits, whose first column is the later of
// the two runs' starts.  A run there is the one whose start is the latest up
// to that column.
template <class Label>
void join_rows(RunForest<Label>& forest, Row<Label> a, Row<Label> b, std::size_t words, bool touching) {
    std::uint64_t a_last = 0, b_last = 0;  // bit 63 of the word before
    int a_open = 0, b_open = 0;            // the latest start before this word
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t ma = a.bits[w], mb = b.bits[w];
        const std::uint64_t a_starts = ma & ~(ma << 1 | a_last);
        const std::uint64_t b_starts = mb & ~(mb << 1 | b_last);
        const std::uint64_t a_reach = touching ? ma | ma << 1 | a_last : ma;
        const std::uint64_t b_reach = touching ? mb | mb << 1 | b_last : mb;
        const int base = static_cast<int>(w * 64);
        for (std::uint64_t pairs = a_reach & b_reach & (a_starts | b_starts); pairs != 0; pairs &= pairs - 1) {
            const std::uint64_t upto = ~0ull >> (63 - __builtin_ctzll(pairs));
            const std::uint64_t a_before = a_starts & upto, b_before = b_starts & upto;
            const int a_start = a_before != 0 ? base + 63 - __builtin_clzll(a_before) : a_open;
            const int b_start = b_before != 0 ? base + 63 - __builtin_clzll(b_before) : b_open;
            forest.unite(a.offset + a_start, b.offset + b_start);
        }
        if (a_starts != 0) a_open = base + 63 - __builtin_clzll(a_starts);
        if (b_starts != 0) b_open = base + 63 - __builtin_clzll(b_starts);
        a_last = ma >> 63;
        b_last = mb >> 63;
    }
}

// Where the rows lie: in the voxels, in bytes, and in the label array, in
// entries.  A block of a larger array has rows and slices further apart
// than its own extents; the label offsets still fit in a Label.
template <class Label>
struct Strides {
    std::size_t voxel_row, voxel_slice;
    Label label_row, label_slice;
};

// The bits of every row of the volume (word_bits, `words` per row), which
// rows hold a run, and room for the labels of one row's runs.
template <class Label>
class VolumeBits {
public:
    VolumeBits(int columns, int rows_per_slice, int slices, const Strides<Label>& layout)
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
        const std::uint64_t total = rows * row_words * 8 + std::uint64_t{run_entries(columns)} * sizeof(Label) + rows;
        return total <= std::numeric_limits<std::size_t>::max() ? static_cast<std::size_t>(total) : 0;
    }

    bool allocated() const { return bits_ != nullptr; }

    // The offset of row y of slice z's first entry in the label array,
    // which names the row's runs in the union-find, and in the voxels.
    Label offset(int y, int z) const { return static_cast<Label>(z) * strides.label_slice + y * strides.label_row; }
    std::size_t voxel_offset(int y, int z) const {
        return static_cast<std::size_t>(z) * strides.voxel_slice + static_cast<std::size_t>(y) * strides.voxel_row;
    }
    Row<Label> row(int y, int z) const { return Row<Label>{bits_ + index(y, z) * words, offset(y, z)}; }
    std::uint64_t* bits(int y, int z) const { return bits_ + index(y, z) * words; }
    // The row's number, z * height + y.
    std::size_t index(int y, int z) const {
        return static_cast<std::size_t>(z) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y);
    }
    // Room for the labels of one row's runs.
    Label* run_labels() const { return reinterpret_cast<Label*>(bits_ + rows_ * words); }
    std::uint8_t& holds_runs(int y, int z) const {
        return reinterpret_cast<std::uint8_t*>(run_labels() + run_entries(width))[index(y, z)];
    }

    const Strides<Label> strides;
    const int width, height, depth;
    const std::size_t words;

private:
    static std::uint64_t* allocate(std::size_t size) {
        return size == 0 ? nullptr : static_cast<std::uint64_t*>(heap_alloc(size));
    }
    // A row of w columns holds at most w / 2 + 1 runs.
    static std::size_t run_entries(int w) { return static_cast<std::size_t>(w) / 2 + 1; }

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

// First pass: the runs of every row, each joined with the runs it touches in
// the rows scanned before it.
template <class Label>
void join_runs(const std::uint8_t* voxels, std::uint8_t value, int connectivity, const VolumeBits<Label>& rows,
               RunForest<Label>& forest) {
    for (int z = 0; z < rows.depth; ++z) {
        for (int y = 0; y < rows.height; ++y) {
            const Row<Label> row = rows.row(y, z);
            bool any = false;
            for_each_run(
                voxels + rows.voxel_offset(y, z), rows.width, value,
                [&](int start, int) {
                    forest.add(row.offset + start);
                    any = true;
                },
                rows.bits(y, z));
            rows.holds_runs(y, z) = any;
            if (!any) continue;
            auto join = [&](int ny, int nz, bool touching) {
                if (ny < 0 || ny >= rows.height || nz < 0 || !rows.holds_runs(ny, nz)) return;
                join_rows(forest, row, rows.row(ny, nz), rows.words, touching);
            };
            join(y - 1, z, connectivity != 6);
            join(y, z - 1, connectivity != 6);
            if (connectivity != 6) {
                join(y - 1, z - 1, connectivity == 26);
                join(y + 1, z - 1, connectivity == 26);
            }
        }
    }
}

// Second pass: every voxel's label, runs in raster order, and where asked
// the number of objects each row begins.  Returns the number of objects.
template <class Label>
Label write_labels(const VolumeBits<Label>& rows, Label* labels, std::int64_t* row_objects) {
    const auto width = static_cast<std::size_t>(rows.width);
    Label objects = 0;
    for (int z = 0; z < rows.depth; ++z) {
        for (int y = 0; y < rows.height; ++y) {
            const Label row = rows.offset(y, z);
            Label* out = labels + row;
            const Label before = objects;
            if (!rows.holds_runs(y, z)) {
                std::memset(out, 0, width * sizeof *out);
                if (row_objects != nullptr) row_objects[rows.index(y, z)] = 0;
                continue;
            }
            // Each run's label, from its parent, into its first entry (a
            // later run of the row may have it as parent) and aside; then
            // the row is cleared in one call and the runs written, as the
            // gaps of noisy rows are too short to be worth a call each.
            Label* run_label = rows.run_labels();
            for_each_run_in_bits(rows.bits(y, z), rows.width, [&](int start, int) {
                const Label parent = out[start];
                out[start] = *run_label++ = parent == row + start ? ++objects : labels[parent];
            });
            std::memset(out, 0, width * sizeof *out);
            run_label = rows.run_labels();
            for_each_run_in_bits(rows.bits(y, z), rows.width, [&](int start, int end) {
                fill_labels(out + start, static_cast<std::size_t>(end - start + 1), *run_label++);
            });
            if (row_objects != nullptr) row_objects[rows.index(y, z)] = static_cast<std::int64_t>(objects - before);
        }
    }
    return objects;
}

// Labels of a width x height x depth voxel array (x fastest) whose rows lie
// as strides says: the extents are at least 1, every label offset fits in a
// Label, and connectivity is 6, 18 or 26.  Returns the number of objects, or
// -1 (labels untouched) when the working memory cannot be had.
template <class Label>
Label label_voxels(const std::uint8_t* voxels, int width, int height, int depth, int value, int connectivity,
                   Label* labels, const Strides<Label>& strides, std::int64_t* row_objects = nullptr) noexcept {
    if (value < 0 || value > 255) {
        for (int z = 0; z < depth; ++z)
            for (int y = 0; y < height; ++y)
                std::memset(labels + static_cast<Label>(z) * strides.label_slice + y * strides.label_row, 0,
                            static_cast<std::size_t>(width) * sizeof *labels);
        if (row_objects != nullptr)
            std::memset(row_objects, 0,
                        static_cast<std::size_t>(height) * static_cast<std::size_t>(depth) * sizeof *row_objects);
        return 0;
    }
    const VolumeBits<Label> rows(width, height, depth, strides);
    if (!rows.allocated()) return -1;
    RunForest<Label> forest(labels);
    join_runs(voxels, static_cast<std::uint8_t>(value), connectivity, rows, forest);
    return write_labels(rows, labels, row_objects);
}

template <class Label>
Strides<Label> packed(int width, int height) {
    return {static_cast<std::size_t>(width), static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
            static_cast<Label>(width), static_cast<Label>(width) * height};
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
    if (labelType == IMG3D_INT32 && last_label > kMaxInt32 - 1) return -1;
    const int w = static_cast<int>(width), h = static_cast<int>(height), d = static_cast<int>(depth);
    if (labelType == IMG3D_INT32) {
        const Strides<std::int32_t> strides{static_cast<std::size_t>(vr), static_cast<std::size_t>(vs),
                                            static_cast<std::int32_t>(lr), static_cast<std::int32_t>(ls)};
        return label_voxels(voxels, w, h, d, value, connectivity, static_cast<std::int32_t*>(labels), strides,
                            row_objects);
    }
    const Strides<std::int64_t> strides{static_cast<std::size_t>(vr), static_cast<std::size_t>(vs), lr, ls};
    return label_voxels(voxels, w, h, d, value, connectivity, static_cast<std::int64_t*>(labels), strides,
                        row_objects);
}

}  // namespace
}  // namespace img3d::detail

extern "C" IMG3D_API int Img3DLabel(unsigned char*** volume, int value, int connectivity, std::int32_t* labels) {
    using namespace img3d::detail;
    if (volume == nullptr || labels == nullptr || !known_connectivity(connectivity)) return -1;
    const int width = Image3DGetWidth(volume), height = Image3DGetHeight(volume);
    return label_voxels(volume[0][0], width, height, Image3DGetDepth(volume), value, connectivity, labels,
                        packed<std::int32_t>(width, height));
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
