// A grid of voxels: its extents and, when it carries them, its voxels in
// storage order (x fastest, then y, then z).  The tests' one word for the
// shape of a volume and for a volume held outside the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace img3d::test {

struct Grid {
    int width = 0, height = 0, depth = 0;
    std::vector<std::uint8_t> voxels;  // empty when only the extents matter

    Grid() = default;
    Grid(int w, int h, int d, std::vector<std::uint8_t> v = {})
        : width(w), height(h), depth(d), voxels(std::move(v)) {}

    std::size_t size() const { return static_cast<std::size_t>(width) * height * depth; }
    std::size_t index(int x, int y, int z) const {
        return (static_cast<std::size_t>(z) * height + y) * width + x;
    }
    std::uint8_t& at(int x, int y, int z) { return voxels[index(x, y, z)]; }
    std::uint8_t at(int x, int y, int z) const { return voxels[index(x, y, z)]; }
};

}  // namespace img3d::test
