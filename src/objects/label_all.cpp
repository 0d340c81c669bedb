// Every value labelled at once: the pieces of each non-zero value of a
// multi-valued image, numbered together in raster order of their first
// voxel, by the union-find over voxels of piece_labels.h with the voxel's
// own value as its class.
#include <cstdint>
#include <limits>

#include "img3d.h"
#include "objects/piece_labels.h"

namespace img3d::detail {
namespace {

template <class Voxel>
std::int64_t label_all_of(const PieceGrid& grid, const void* voxels, void* labels, Img3DType label_type,
                          std::int64_t* values, std::int64_t capacity) {
    const auto* typed = static_cast<const Voxel*>(voxels);
    if (label_type == IMG3D_INT32)
        return label_pieces(grid, typed, static_cast<std::int32_t*>(labels), values, capacity);
    return label_pieces(grid, typed, static_cast<std::int64_t*>(labels), values, capacity);
}

}  // namespace
}  // namespace img3d::detail

extern "C" IMG3D_API std::int64_t Img3DLabelAll(const void* voxels, int voxelType, std::int64_t width,
                                                std::int64_t height, std::int64_t depth, int connectivity, void* labels,
                                                int labelType, std::int64_t* pieceValues, std::int64_t capacity) {
    using namespace img3d::detail;
    if (voxels == nullptr || labels == nullptr) return -1;
    if (connectivity != 6 && connectivity != 18 && connectivity != 26) return -1;
    if (pieceValues != nullptr && capacity < 0) return -1;
    if (labelType != IMG3D_INT32 && labelType != IMG3D_INT64) return -1;
    const std::size_t label_bytes = labelType == IMG3D_INT32 ? 4 : 8;
    if (!addressable(width, height, depth, label_bytes)) return -1;
    if (labelType == IMG3D_INT32 &&
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(depth) >
            static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        return -1;
    const PieceGrid grid{width, height, depth, connectivity};
    switch (voxelType) {
        case IMG3D_UINT8: return label_all_of<std::uint8_t>(grid, voxels, labels, static_cast<Img3DType>(labelType), pieceValues, capacity);
        case IMG3D_UINT16: return label_all_of<std::uint16_t>(grid, voxels, labels, static_cast<Img3DType>(labelType), pieceValues, capacity);
        case IMG3D_INT16: return label_all_of<std::int16_t>(grid, voxels, labels, static_cast<Img3DType>(labelType), pieceValues, capacity);
        case IMG3D_INT32: return label_all_of<std::int32_t>(grid, voxels, labels, static_cast<Img3DType>(labelType), pieceValues, capacity);
        default: return -1;
    }
}
