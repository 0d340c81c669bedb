#include "objects/run_labels.h"

#include <utility>

#include "objects/row_scan.h"
#include "platform/heap.h"

namespace img3d::detail {

namespace {

// Bits set in m.  Baseline x86-64 has no population-count instruction; the
// compiler's fallback is a call per word.
inline int bit_count(std::uint64_t m) {
    m = m - ((m >> 1) & 0x5555555555555555ull);
    m = (m & 0x3333333333333333ull) + ((m >> 2) & 0x3333333333333333ull);
    m = (m + (m >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((m * 0x0101010101010101ull) >> 56);
}

}  // namespace

RunLabels::~RunLabels() {
    heap_free(parent_);
    for (Slice& slice : slices_) {
        heap_free(slice.bits);
        heap_free(slice.first_run);
    }
}

void RunLabels::unite(std::int32_t a, std::int32_t b) noexcept {
    a = find(a);
    b = find(b);
    if (a == b) return;
    // The older object absorbs the newer: in raster order the run being
    // joined is new and its neighbours' object old, so chains stay short
    // and this branch goes mostly one way.
    if (a > b) std::swap(a, b);
    parent_[a] += parent_[b];
    parent_[b] = a;
}

void RunLabels::link(const std::uint64_t* a, std::uint32_t a_first, const std::uint64_t* b, std::uint32_t b_first,
                     std::size_t words) noexcept {
    // Two runs overlap exactly when their rows share a stretch of set bits,
    // one stretch per pair of runs; at its first column each run is the one
    // whose start is the latest up to there, counted from the row's start.
    std::uint64_t a_last = 0, b_last = 0, both_last = 0;
    std::uint32_t a_runs = 0, b_runs = 0;  // runs started in the words before
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t ma = a[w], mb = b[w], both = ma & mb;
        const std::uint64_t a_starts = ma & ~(ma << 1 | a_last);
        const std::uint64_t b_starts = mb & ~(mb << 1 | b_last);
        std::uint64_t shared = both & ~(both << 1 | both_last);
        while (shared != 0) {
            const std::uint64_t upto = ~0ull >> (63 - __builtin_ctzll(shared));
            unite(static_cast<std::int32_t>(a_first + a_runs + bit_count(a_starts & upto) - 1),
                  static_cast<std::int32_t>(b_first + b_runs + bit_count(b_starts & upto) - 1));
            shared &= shared - 1;
        }
        a_runs += static_cast<std::uint32_t>(bit_count(a_starts));
        b_runs += static_cast<std::uint32_t>(bit_count(b_starts));
        a_last = ma >> 63;
        b_last = mb >> 63;
        both_last = both >> 63;
    }
}

bool RunLabels::label(const std::uint8_t* voxels, int width, int height, int depth, std::uint8_t value) noexcept {
    const std::size_t words = (static_cast<std::size_t>(width) + 63) / 64;
    const std::size_t rows = static_cast<std::size_t>(height) * static_cast<std::size_t>(depth);
    // The runs are counted first, so that their array is allocated once:
    // grown by reallocation it would be moved or remapped a dozen times on
    // noisy volumes, at a cost well above this extra scan.  Fewer than 2^31
    // voxels make fewer than 2^31 runs, so run numbers fit in an int32.
    std::size_t total = 0;
    for (std::size_t r = 0; r < rows; ++r)
        for_each_run(voxels + r * static_cast<std::size_t>(width), width, value, [&](int, int) { ++total; });
    if (total == 0) return true;
    parent_ = static_cast<std::int32_t*>(heap_alloc(total * sizeof(std::int32_t)));
    if (parent_ == nullptr) return false;
    for (Slice& slice : slices_) {
        slice.bits = static_cast<std::uint64_t*>(heap_alloc(words * static_cast<std::size_t>(height) * 8));
        slice.first_run = static_cast<std::uint32_t*>(heap_alloc(static_cast<std::size_t>(height) * 4));
        if (slice.bits == nullptr || slice.first_run == nullptr) return false;
    }
    const Slice* previous = nullptr;
    Slice* current = &slices_[0];
    const std::uint8_t* row = voxels;
    for (int z = 0; z < depth; ++z) {
        for (int y = 0; y < height; ++y, row += width) {
            std::uint64_t* bits = current->bits + static_cast<std::size_t>(y) * words;
            const auto first = static_cast<std::uint32_t>(runs_);
            current->first_run[y] = first;
            std::int32_t* parent = parent_;
            std::size_t run = runs_;
            for_each_run(
                row, width, value, [&](int start, int end) { parent[run++] = -(end - start + 1); }, bits);
            if (run == runs_) continue;
            runs_ = run;
            if (y > 0) link(bits, first, bits - words, current->first_run[y - 1], words);
            if (previous != nullptr)
                link(bits, first, previous->bits + static_cast<std::size_t>(y) * words, previous->first_run[y], words);
        }
        previous = current;
        current = current == &slices_[0] ? &slices_[1] : &slices_[0];
    }
    // A parent always comes before its child, so one pass in run order
    // leaves every run pointing straight at the run that stands for its
    // object.
    for (std::size_t i = 0; i < runs_; ++i) {
        const std::int32_t up = parent_[i];
        if (up >= 0 && parent_[up] >= 0) parent_[i] = parent_[up];
    }
    return true;
}

}  // namespace img3d::detail
