// Object selection by size over a label image: the objects of one value are
// labelled (the bit-row labelling of Img3DLabel where the volume is small
// enough for it, otherwise the union-find of the object subsystem with
// 8-byte labels, numbering and counting in one pass), counted, chosen, and
// the removed ones painted in one pass that copies everything else.  The k largest are found without sorting: the k-th
// largest size by selection (nth_element), then the objects above it and, in
// label order, as many of those of exactly that size as are still wanted.
//
// Working memory: one label per voxel (4 bytes, 8 from 2^31 voxels on), and
// per object 8 bytes for its size, 1 for its verdict and, for the k largest,
// 8 more for the selection.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "img3d.h"
#include "objects/objects_internal.h"
#include "platform/heap.h"

namespace img3d::detail {
namespace {

struct InSet {
    const std::uint8_t* voxels;
    int value;
    std::uint64_t operator()(std::size_t i) const { return voxels[i] == value; }
};

// The objects of a call: their labels, sizes and verdicts.
class Objects {
public:
    Objects(const std::uint8_t* source, std::int64_t width, std::int64_t height, std::int64_t depth, int value,
            int connectivity)
        : voxels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                  static_cast<std::size_t>(depth)) {
        constexpr auto kInt32 = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
        wide_ = voxels_ > kInt32;
        if (voxels_ > SIZE_MAX / 8) return;
        labels_ = heap_alloc(voxels_ * (wide_ ? 8 : 4));
        if (labels_ == nullptr) return;
        if (!wide_) {
            count_ = Img3DLabelVoxels(source, width, height, depth, value, connectivity, labels_, IMG3D_INT32);
            if (count_ >= 0 && table()) count_sizes(static_cast<const std::int32_t*>(labels_));
        } else {
            const InSet in_set{source, value};
            PieceLabeller<std::int64_t, InSet> labeller(PieceGrid{width, height, depth, connectivity}, in_set,
                                                        static_cast<std::int64_t*>(labels_));
            count_ = labeller.join_pieces();
            if (!table()) return;
            labeller.number_pieces([&](std::size_t, std::int64_t label) { add(label); });
            add(0);
        }
    }
    ~Objects() {
        heap_free(labels_);
        heap_free(sizes_);
    }
    Objects(const Objects&) = delete;
    Objects& operator=(const Objects&) = delete;

    bool ready() const { return sizes_ != nullptr; }
    std::int64_t count() const { return count_; }
    // Voxels of object k (1 ... count).
    std::int64_t size(std::int64_t k) const { return sizes_[k]; }
    void keep(std::int64_t k, bool stays) { keep_[k] = stays; }
    std::int64_t* sizes() const { return sizes_ + 1; }

    // Copies the source, painting the removed objects.  Returns how many
    // were removed.
    std::int64_t paint(const std::uint8_t* source, std::uint8_t* destination, int paint) {
        keep_[0] = 1;
        std::int64_t removed = 0;
        for (std::int64_t k = 1; k <= count_; ++k) removed += keep_[k] == 0;
        const auto colour = static_cast<std::uint8_t>(paint);
        for_each_label(
            [&](std::size_t i, std::size_t label) { destination[i] = keep_[label] != 0 ? source[i] : colour; });
        return removed;
    }

private:
    // The count table, once the number of objects is known.
    bool table() {
        const auto n = static_cast<std::size_t>(count_) + 1;
        sizes_ = static_cast<std::int64_t*>(heap_alloc_zeroed(n * 9));
        if (sizes_ == nullptr) return false;
        keep_ = reinterpret_cast<std::uint8_t*>(sizes_ + n);
        return true;
    }

    // Counts a voxel of the object `label`.  Consecutive voxels mostly share
    // an object: their count is kept here and added when the object
    // changes, rather than one counter in memory bumped by every voxel.
    // Background is never counted (label 0 adds the last run).
    void add(std::int64_t label) {
        if (label != current_) {
            sizes_[current_] += run_;
            current_ = label;
            run_ = 0;
        }
        run_ += label != 0;
    }

    template <class Label>
    void count_sizes(const Label* labels) {
        for (std::size_t i = 0; i < voxels_; ++i) add(static_cast<std::int64_t>(labels[i]));
        add(0);
        sizes_[0] = 0;
    }

    template <class Visit>
    void for_each_label(Visit visit) const {
        if (wide_) {
            const auto* labels = static_cast<const std::int64_t*>(labels_);
            for (std::size_t i = 0; i < voxels_; ++i) visit(i, static_cast<std::size_t>(labels[i]));
        } else {
            const auto* labels = static_cast<const std::int32_t*>(labels_);
            for (std::size_t i = 0; i < voxels_; ++i) visit(i, static_cast<std::size_t>(labels[i]));
        }
    }

    std::size_t voxels_;
    bool wide_ = false;
    void* labels_ = nullptr;
    std::int64_t count_ = -1;
    std::int64_t* sizes_ = nullptr;
    std::uint8_t* keep_ = nullptr;
    std::int64_t current_ = 0, run_ = 0;
};

bool refused(const std::uint8_t* source, const std::uint8_t* destination, std::int64_t width, std::int64_t height,
             std::int64_t depth, int value, int connectivity, int paint) {
    return source == nullptr || destination == nullptr ||
           (connectivity != 6 && connectivity != 18 && connectivity != 26) || (paint & 0xFF) == value ||
           !addressable(width, height, depth, 8);
}

// Keeps the `keep` largest objects, the lower label first among equals.
bool choose_largest(Objects& objects, std::int64_t keep) {
    const std::int64_t n = objects.count();
    if (keep >= n) {
        for (std::int64_t k = 1; k <= n; ++k) objects.keep(k, true);
        return true;
    }
    if (keep == 0) return true;
    auto* order = static_cast<std::int64_t*>(heap_alloc(static_cast<std::size_t>(n) * 8));
    if (order == nullptr) return false;
    std::copy(objects.sizes(), objects.sizes() + n, order);
    std::nth_element(order, order + (keep - 1), order + n, [](std::int64_t a, std::int64_t b) { return a > b; });
    const std::int64_t cut = order[keep - 1];
    heap_free(order);
    std::int64_t wanted = keep;
    for (std::int64_t k = 1; k <= n; ++k) wanted -= objects.size(k) > cut;
    for (std::int64_t k = 1; k <= n; ++k) {
        const std::int64_t s = objects.size(k);
        const bool stays = s > cut || (s == cut && wanted > 0);
        if (s == cut && stays) --wanted;
        objects.keep(k, stays);
    }
    return true;
}

}  // namespace
}  // namespace img3d::detail

extern "C" IMG3D_API std::int64_t Img3DKeepLargest(const std::uint8_t* source, std::uint8_t* destination,
                                                   std::int64_t width, std::int64_t height, std::int64_t depth,
                                                   int value, int connectivity, std::int64_t keep, int paint) {
    using namespace img3d::detail;
    if (keep < 0 || refused(source, destination, width, height, depth, value, connectivity, paint)) return -1;
    Objects objects(source, width, height, depth, value, connectivity);
    if (!objects.ready() || !choose_largest(objects, keep)) return -1;
    return objects.paint(source, destination, paint);
}

extern "C" IMG3D_API std::int64_t Img3DRemoveBySize(const std::uint8_t* source, std::uint8_t* destination,
                                                    std::int64_t width, std::int64_t height, std::int64_t depth,
                                                    int value, int connectivity, std::int64_t minVoxels,
                                                    std::int64_t maxVoxels, int paint) {
    using namespace img3d::detail;
    if (refused(source, destination, width, height, depth, value, connectivity, paint)) return -1;
    Objects objects(source, width, height, depth, value, connectivity);
    if (!objects.ready()) return -1;
    for (std::int64_t k = 1; k <= objects.count(); ++k)
        objects.keep(k, objects.size(k) >= minVoxels && objects.size(k) <= maxVoxels);
    return objects.paint(source, destination, paint);
}
