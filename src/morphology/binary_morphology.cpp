// Binary dilation, erosion, opening and closing by the 6-, 18- and
// 26-neighbour elements, on bit-packed rows.
//
// The set is packed into rows of 64-voxel words, one bit per voxel.  One
// step (one iteration) combines, word by word, shifted copies of a row and
// its neighbour rows -- OR for dilation, AND for erosion, with missing rows
// and columns beyond the volume's faces reading as background (scipy's
// border_value=0).  The cube is separable: the x, y and z passes each
// combine three rows.  The 18-neighbour element is the union of the three
// axis-aligned 3x3 squares: the x-combined row and its four face-neighbour
// rows, plus the four diagonal rows of the y-z plane uncombined.  The
// 6-neighbour element is the x-combined row and the four face-neighbour
// rows uncombined.  A step that changes nothing ends the iterations early:
// every further step would repeat it.
//
// Working memory: three packed copies of the volume and one empty row.
#include <cstdint>
#include <cstring>
#include <utility>

#include "img3d.h"
#include "morphology/binary_set.h"
#include "platform/heap.h"

namespace img3d::detail {
namespace {

enum class Op { kDilate, kErode };

class Morphology {
public:
    Morphology(const BitGrid& grid, int connectivity) : grid_(grid), connectivity_(connectivity) {
        const std::size_t words = grid.words_total();
        if (words == 0 || words > (SIZE_MAX / 8 - grid.words) / 3) return;
        memory_ = static_cast<std::uint64_t*>(heap_alloc_zeroed((3 * words + grid.words) * 8));
        if (memory_ == nullptr) return;
        current_ = memory_;
        spare_[0] = memory_ + words;
        spare_[1] = memory_ + 2 * words;
        zero_ = memory_ + 3 * words;
    }
    ~Morphology() { heap_free(memory_); }
    Morphology(const Morphology&) = delete;
    Morphology& operator=(const Morphology&) = delete;

    bool allocated() const { return memory_ != nullptr; }
    std::uint64_t* bits() const { return current_; }

    // Applies the element `times` times.
    void apply(Op op, int times) {
        for (int i = 0; i < times; ++i) {
            if (connectivity_ == 26)
                cube_step(op);
            else
                cross_step(op);
            if (std::memcmp(current_, spare_[0], grid_.words_total() * 8) == 0) return;
        }
    }

private:
    const std::uint64_t* row(const std::uint64_t* bits, std::int64_t y, std::int64_t z) const {
        if (y < 0 || y >= grid_.height || z < 0 || z >= grid_.depth) return zero_;
        return bits + grid_.row_index(y, z) * grid_.words;
    }
    std::uint64_t* row_out(std::uint64_t* bits, std::int64_t y, std::int64_t z) const {
        return bits + grid_.row_index(y, z) * grid_.words;
    }

    static const std::uint64_t* cbits(const std::uint64_t* bits) { return bits; }

    // out = in combined with its neighbours one column to either side.
    void combine_x(Op op, const std::uint64_t* in, std::uint64_t* out) const {
        const std::size_t n = grid_.words;
        std::uint64_t previous = 0;
        for (std::size_t w = 0; w < n; ++w) {
            const std::uint64_t v = in[w], next = w + 1 < n ? in[w + 1] : 0;
            const std::uint64_t left = v << 1 | previous >> 63, right = v >> 1 | next << 63;
            out[w] = op == Op::kDilate ? v | left | right : v & left & right;
            previous = v;
        }
        out[n - 1] &= grid_.last_word_mask();
    }

    // out = the rows combined.
    void combine_rows(Op op, const std::uint64_t* const* rows, int count, std::uint64_t* out) const {
        for (std::size_t w = 0; w < grid_.words; ++w) {
            std::uint64_t v = rows[0][w];
            for (int k = 1; k < count; ++k) v = op == Op::kDilate ? v | rows[k][w] : v & rows[k][w];
            out[w] = v;
        }
    }

    // One step of the 6- or 18-neighbour element: current -> spare[1] via
    // the x-combined rows in spare[0]; the input is kept in spare[0]
    // afterwards for the test of change.
    void cross_step(Op op) {
        std::uint64_t* combined = spare_[0];
        std::uint64_t* out = spare_[1];
        for (std::int64_t z = 0; z < grid_.depth; ++z)
            for (std::int64_t y = 0; y < grid_.height; ++y) combine_x(op, row(current_, y, z), row_out(combined, y, z));
        const bool edges = connectivity_ == 18;
        const std::uint64_t* faces = edges ? combined : current_;
        for (std::int64_t z = 0; z < grid_.depth; ++z) {
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const std::uint64_t* rows[9] = {row(cbits(combined), y, z), row(faces, y - 1, z), row(faces, y + 1, z),
                                                row(faces, y, z - 1), row(faces, y, z + 1)};
                int count = 5;
                if (edges) {
                    rows[count++] = row(current_, y - 1, z - 1);
                    rows[count++] = row(current_, y + 1, z - 1);
                    rows[count++] = row(current_, y - 1, z + 1);
                    rows[count++] = row(current_, y + 1, z + 1);
                }
                combine_rows(op, rows, count, row_out(out, y, z));
            }
        }
        // current (the input) -> spare[0], out -> current.
        spare_[0] = current_;
        current_ = out;
        spare_[1] = combined;
    }

    // One step of the cube: the x pass current -> spare[0], the y pass ->
    // spare[1], the z pass back into spare[0], which becomes current; the
    // input is kept in spare[0] afterwards for the test of change.
    void cube_step(Op op) {
        std::uint64_t* input = current_;
        std::uint64_t* a = spare_[0];
        std::uint64_t* b = spare_[1];
        for (std::int64_t z = 0; z < grid_.depth; ++z)
            for (std::int64_t y = 0; y < grid_.height; ++y) combine_x(op, row(input, y, z), row_out(a, y, z));
        for (std::int64_t z = 0; z < grid_.depth; ++z)
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const std::uint64_t* rows[3] = {row(cbits(a), y - 1, z), row(cbits(a), y, z), row(cbits(a), y + 1, z)};
                combine_rows(op, rows, 3, row_out(b, y, z));
            }
        for (std::int64_t z = 0; z < grid_.depth; ++z)
            for (std::int64_t y = 0; y < grid_.height; ++y) {
                const std::uint64_t* rows[3] = {row(cbits(b), y, z - 1), row(cbits(b), y, z), row(cbits(b), y, z + 1)};
                combine_rows(op, rows, 3, row_out(a, y, z));
            }
        spare_[0] = input;
        spare_[1] = b;
        current_ = a;
    }

    const BitGrid grid_;
    const int connectivity_;
    std::uint64_t* memory_ = nullptr;
    std::uint64_t* current_ = nullptr;
    std::uint64_t* spare_[2] = {nullptr, nullptr};
    const std::uint64_t* zero_ = nullptr;
};

int morphology(const std::uint8_t* source, std::uint8_t* destination, std::int64_t width, std::int64_t height,
               std::int64_t depth, int value, int background, int connectivity, int iterations, Op first,
               Op second) noexcept {
    if (source == nullptr || destination == nullptr || iterations < 1) return -1;
    if (connectivity != 6 && connectivity != 18 && connectivity != 26) return -1;
    if (!addressable(width, height, depth, 1)) return -1;
    const BitGrid grid(width, height, depth);
    Morphology m(grid, connectivity);
    if (!m.allocated()) return -1;
    pack_set(source, grid, value, m.bits());
    m.apply(first, iterations);
    if (second != first) m.apply(second, iterations);
    unpack_set(m.bits(), grid, value, background, destination);
    return 0;
}

}  // namespace
}  // namespace img3d::detail

// The four operations differ only in their two halves.
#define IMG3D_BINARY_OPERATION(name, first, second)                                                                  \
    extern "C" IMG3D_API int name(const std::uint8_t* source, std::uint8_t* destination, std::int64_t width,         \
                                  std::int64_t height, std::int64_t depth, int value, int background,                \
                                  int connectivity, int iterations) {                                                \
        using img3d::detail::Op;                                                                                     \
        return img3d::detail::morphology(source, destination, width, height, depth, value, background, connectivity, \
                                         iterations, first, second);                                                 \
    }

IMG3D_BINARY_OPERATION(Img3DBinaryDilate, Op::kDilate, Op::kDilate)
IMG3D_BINARY_OPERATION(Img3DBinaryErode, Op::kErode, Op::kErode)
IMG3D_BINARY_OPERATION(Img3DBinaryOpen, Op::kErode, Op::kDilate)
IMG3D_BINARY_OPERATION(Img3DBinaryClose, Op::kDilate, Op::kErode)
