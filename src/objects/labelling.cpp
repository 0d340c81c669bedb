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
// reads instead of the voxels.
#include "objects/labelling.h"

#include <cstddef>
#include <cstring>

#include "img3d.h"
#include "objects/row_scan.h"
#include "platform/heap.h"

namespace img3d::detail {
namespace {

// The union-find over runs, each run known by the offset of its first voxel
// and its parent stored in the label array there.
class RunForest {
public:
    explicit RunForest(std::int32_t* labels) : parent_(labels) {}

    void add(std::int32_t run) { parent_[run] = run; }

    void unite(std::int32_t a, std::int32_t b) {
        a = find(a);
        b = find(b);
        if (a < b)
            parent_[b] = a;
        else if (b < a)
            parent_[a] = b;
    }

private:
    std::int32_t find(std::int32_t run) {
        // Path splitting: every run on the way is pointed at its grandparent.
        while (parent_[run] != run) {
            const std::int32_t up = parent_[run];
            parent_[run] = parent_[up];
            run = up;
        }
        return run;
    }

    std::int32_t* parent_;
};

// One row of a slice whose bits (word_bits, `words` per row) are kept.
struct Row {
    const std::uint64_t* bits;
    std::int32_t offset;  // of its first voxel in the volume
};

// Joins the runs of row a with the runs of row b that they touch: that
// overlap them or, when `touching`, also end a column before or after them
// (the neighbours across an edge or a corner).  Two runs a column apart
// overlap once each is stretched one column to the right, and stretched
// runs still never overlap within a row; so every pair to join shares a
// stretch of the stretched rows' bits, whose first column is the later of
// the two runs' starts.  A run there is the one whose start is the latest up
// to that column.
void join_rows(RunForest& forest, Row a, Row b, std::size_t words, bool touching) {
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

// The bits of every row of the volume (word_bits, `words` per row), which
// rows hold a run, and room for the labels of one row's runs.
class VolumeBits {
public:
    VolumeBits(int width, int height, int depth)
        : width(width),
          height(height),
          depth(depth),
          words((static_cast<std::size_t>(width) + 63) / 64),
          rows_(static_cast<std::size_t>(height) * static_cast<std::size_t>(depth)),
          bits_(static_cast<std::uint64_t*>(
              heap_alloc(rows_ * words * 8 + (static_cast<std::size_t>(width) / 2 + 1) * 4 + rows_))) {}
    ~VolumeBits() { heap_free(bits_); }
    VolumeBits(const VolumeBits&) = delete;
    VolumeBits& operator=(const VolumeBits&) = delete;

    bool allocated() const { return bits_ != nullptr; }

    // The offset of row y of slice z's first voxel in the volume.
    std::int32_t offset(int y, int z) const { return (z * height + y) * width; }
    Row row(int y, int z) const { return Row{bits_ + index(y, z) * words, offset(y, z)}; }
    std::uint64_t* bits(int y, int z) const { return bits_ + index(y, z) * words; }
    // Room for the labels of one row's runs.
    std::int32_t* run_labels() const { return reinterpret_cast<std::int32_t*>(bits_ + rows_ * words); }
    std::uint8_t& holds_runs(int y, int z) const {
        return reinterpret_cast<std::uint8_t*>(run_labels() + width / 2 + 1)[index(y, z)];
    }

    const int width, height, depth;
    const std::size_t words;

private:
    std::size_t index(int y, int z) const {
        return static_cast<std::size_t>(z) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y);
    }

    std::size_t rows_;
    std::uint64_t* bits_;
};

// Sets n labels to label; runs of masks are long, so four at a time.
void fill_labels(std::int32_t* out, std::size_t n, std::int32_t label) {
    std::size_t i = 0;
#if IMG3D_ROW_SCAN_SSE2
    const __m128i four = _mm_set1_epi32(label);
    for (; i + 4 <= n; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), four);
#endif
    for (; i < n; ++i) out[i] = label;
}

// First pass: the runs of every row, each joined with the runs it touches in
// the rows scanned before it.
void join_runs(const std::uint8_t* voxels, std::uint8_t value, int connectivity, const VolumeBits& rows,
               RunForest& forest) {
    for (int z = 0; z < rows.depth; ++z) {
        for (int y = 0; y < rows.height; ++y) {
            const Row row = rows.row(y, z);
            bool any = false;
            for_each_run(
                voxels + row.offset, rows.width, value,
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

// Second pass: every voxel's label, runs in raster order.  Returns the
// number of objects.
std::int32_t write_labels(const VolumeBits& rows, std::int32_t* labels) {
    const auto width = static_cast<std::size_t>(rows.width);
    std::int32_t objects = 0;
    for (int z = 0; z < rows.depth; ++z) {
        for (int y = 0; y < rows.height; ++y) {
            const std::int32_t row = rows.offset(y, z);
            std::int32_t* out = labels + row;
            if (!rows.holds_runs(y, z)) {
                std::memset(out, 0, width * sizeof *out);
                continue;
            }
            // Each run's label, from its parent, into its first entry (a
            // later run of the row may have it as parent) and aside; then
            // the row is cleared in one call and the runs written, as the
            // gaps of noisy rows are too short to be worth a call each.
            std::int32_t* run_label = rows.run_labels();
            for_each_run_in_bits(rows.bits(y, z), rows.width, [&](int start, int) {
                const std::int32_t parent = out[start];
                out[start] = *run_label++ = parent == row + start ? ++objects : labels[parent];
            });
            std::memset(out, 0, width * sizeof *out);
            run_label = rows.run_labels();
            for_each_run_in_bits(rows.bits(y, z), rows.width, [&](int start, int end) {
                fill_labels(out + start, static_cast<std::size_t>(end - start + 1), *run_label++);
            });
        }
    }
    return objects;
}

}  // namespace

int label_voxels(const std::uint8_t* voxels, int width, int height, int depth, int value, int connectivity,
                 std::int32_t* labels) noexcept {
    if (connectivity != 6 && connectivity != 18 && connectivity != 26) return -1;
    if (value < 0 || value > 255) {
        std::memset(labels, 0,
                    static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                        static_cast<std::size_t>(depth) * sizeof *labels);
        return 0;
    }
    const VolumeBits rows(width, height, depth);
    if (!rows.allocated()) return -1;
    RunForest forest(labels);
    join_runs(voxels, static_cast<std::uint8_t>(value), connectivity, rows, forest);
    return write_labels(rows, labels);
}

}  // namespace img3d::detail

extern "C" IMG3D_API int Img3DLabel(unsigned char*** volume, int value, int connectivity, std::int32_t* labels) {
    if (volume == nullptr || labels == nullptr) return -1;
    return img3d::detail::label_voxels(volume[0][0], Image3DGetWidth(volume), Image3DGetHeight(volume),
                                       Image3DGetDepth(volume), value, connectivity, labels);
}
