// Renumbering a label image through a table: the last step of labelling a
// volume in blocks, once the blocks' objects are numbered together.  One
// pass that reads each label once and writes only those that change: the
// background and a block whose numbering barely moves then leave most cache
// lines clean, which halves the memory traffic there.  The range test is one
// unsigned comparison, so negative labels fall outside the table too.
#include <cstdint>

#include "img3d.h"

namespace {

template <class Label>
std::int64_t relabel(Label* labels, std::int64_t count, const Label* table, std::int64_t entries) noexcept {
    using Index = std::uint64_t;
    const auto size = static_cast<Index>(entries);
    std::int64_t missed = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        const auto v = static_cast<Index>(labels[i]);
        if (v < size) {
            const Label renumbered = table[v];
            if (renumbered != labels[i]) labels[i] = renumbered;
        } else {
            ++missed;
        }
    }
    return missed;
}

}  // namespace

extern "C" IMG3D_API std::int64_t Img3DRelabelVoxels(void* labels, std::int64_t count, int labelType, const void* table,
                                                     std::int64_t entries) {
    if (labels == nullptr || table == nullptr || count < 0 || entries < 1) return -1;
    if (labelType == IMG3D_INT32)
        return relabel(static_cast<std::int32_t*>(labels), count, static_cast<const std::int32_t*>(table), entries);
    if (labelType == IMG3D_INT64)
        return relabel(static_cast<std::int64_t*>(labels), count, static_cast<const std::int64_t*>(table), entries);
    return -1;
}
