#include "test_support.h"

#include "objects/flood_fill.h"

namespace img3d::test {

const std::vector<Grid>& odd_shapes() {
    static const std::vector<Grid> shapes = {
        {1, 1, 1}, {7, 5, 3}, {3, 5, 7}, {257, 3, 9}, {1, 1, 40}, {40, 1, 1}, {1, 33, 1},
        {2, 2, 2}, {31, 17, 5}, {16, 16, 16}, {5, 61, 2}, {129, 1, 3},
    };
    return shapes;
}

Volume random_volume(const Grid& shape, std::mt19937& rng) {
    Volume v(shape.width, shape.height, shape.depth);
    std::uniform_int_distribution<int> value(0, 255);
    for (std::size_t i = 0; i < v.size(); ++i) v.data()[i] = static_cast<unsigned char>(value(rng));
    return v;
}

Volume random_volume(const Grid& shape, std::mt19937& rng, const std::vector<int>& palette,
                     const std::vector<double>& weights) {
    Volume v(shape.width, shape.height, shape.depth);
    std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
    for (std::size_t i = 0; i < v.size(); ++i)
        v.data()[i] = static_cast<unsigned char>(palette[pick(rng)]);
    return v;
}

RunLength3D* GetRunLength3D(unsigned char*** volume, int x, int y, int z, int value, int paint) {
    const int width = Image3DGetWidth(volume), height = Image3DGetHeight(volume), depth = Image3DGetDepth(volume);
    if (x < 0 || x >= width || y < 0 || y >= height || z < 0 || z >= depth) return nullptr;
    if (value >= 0 && value <= 255) {
        if (!detail::objects_takeable(volume, value, paint)) return nullptr;
        detail::FloodFill fill(volume, value, paint);
        return fill.take(detail::CMyPoint3D(x, y, z));
    }
    if (width > detail::kMaxExtent || height > detail::kMaxExtent || depth > detail::kMaxExtent) return nullptr;
    auto* record = static_cast<RunLength3D*>(detail::heap_alloc(detail::record_bytes(0)));
    if (record != nullptr) record->count = 0;
    return record;
}

}  // namespace img3d::test
