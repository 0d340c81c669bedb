// Renumbering a label image through a table: the last step of labelling a
// volume in blocks, once the blocks' objects are numbered together.  One
// pass that reads and writes each label once, in place or into another
// array (a block's labels written into their place in the whole volume's);
// the range test is one unsigned comparison, so negative labels fall
// outside the table too.  Every label is stored, changed or not: a test
// before the store would be mispredicted on every object voxel of a noisy
// volume and cost more than the store.
#include <cstdint>

#include "img3d.h"

namespace {

template <class Label>
std::int64_t relabel(const Label* labels, Label* destination, std::int64_t count, const Label* table,
                     std::int64_t entries) noexcept {
    using Index = std::uint64_t;
    const auto size = static_cast<Index>(entries);
    std::int64_t missed = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        const Label label = labels[i];
        const auto v = static_cast<Index>(label);
        if (v < size) {
            destination[i] = table[v];
        } else {
            destination[i] = label;
            ++missed;
        }
    }
    return missed;
}

std::int64_t relabel_any(const void* labels, void* destination, std::int64_t count, int labelType,
                         const void* table, std::int64_t entries) {
    if (labels == nullptr || destination == nullptr || table == nullptr || count < 0 || entries < 1) return -1;
    if (labelType == IMG3D_INT32)
        return relabel(static_cast<const std::int32_t*>(labels), static_cast<std::int32_t*>(destination), count,
                       static_cast<const std::int32_t*>(table), entries);
    if (labelType == IMG3D_INT64)
        return relabel(static_cast<const std::int64_t*>(labels), static_cast<std::int64_t*>(destination), count,
                       static_cast<const std::int64_t*>(table), entries);
    return -1;
}

}  // namespace

extern "C" IMG3D_API std::int64_t Img3DRelabelVoxels(void* labels, std::int64_t count, int labelType, const void* table,
                                                     std::int64_t entries) {
    return relabel_any(labels, labels, count, labelType, table, entries);
}

extern "C" IMG3D_API std::int64_t Img3DRelabelVoxelsInto(const void* labels, void* destination, std::int64_t count,
                                                         int labelType, const void* table, std::int64_t entries) {
    return relabel_any(labels, destination, count, labelType, table, entries);
}
