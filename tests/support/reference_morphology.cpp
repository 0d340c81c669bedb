#include "reference_morphology.h"

#include <algorithm>

#include "reference_objects.h"

namespace img3d::reference {

std::vector<std::vector<Voxel>> objects6(const Grid& grid, int value) {
    const test::Grid extent{grid.width, grid.height, grid.depth};
    const test::Labelling labels = test::label_objects(grid.voxels, extent, value);
    std::vector<std::vector<Voxel>> objects(static_cast<std::size_t>(labels.objects));
    for (int z = 0; z < grid.depth; ++z)
        for (int y = 0; y < grid.height; ++y)
            for (int x = 0; x < grid.width; ++x)
                if (const int id = labels.label[grid.index(x, y, z)]; id != 0)
                    objects[static_cast<std::size_t>(id - 1)].push_back({x, y, z});
    return objects;
}

Grid dilate(const Grid& source, int object, int background, int element) {
    Grid out(source.width, source.height, source.depth,
             std::vector<std::uint8_t>(source.voxels.size(), static_cast<std::uint8_t>(background)));
    if (element != 1 && element != 2) return out;
    for (int z = 1; z < source.depth - 1; ++z)
        for (int y = 1; y < source.height - 1; ++y)
            for (int x = 1; x < source.width - 1; ++x) {
                if (source.at(x, y, z) != object) continue;
                for (int dz = -1; dz <= 1; ++dz)
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) {
                            const int moved = (dx != 0) + (dy != 0) + (dz != 0);
                            if (element == 1 && moved > 1) continue;
                            out.at(x + dx, y + dy, z + dz) = static_cast<std::uint8_t>(object);
                        }
            }
    return out;
}

int delete_by_volume(const Grid& source, Grid& destination, int object, int paint, int minimum,
                     int maximum) {
    destination = source;
    const auto objects = objects6(source, object);
    if (objects.empty()) return -1;
    for (const auto& o : objects) {
        const auto size = static_cast<long long>(o.size());
        if (size >= minimum && size <= maximum) continue;
        for (const auto& v : o) destination.at(v.x, v.y, v.z) = static_cast<std::uint8_t>(paint);
    }
    return 0;
}

int edge_smooth(const Grid& source, Grid& destination, int object, int background, int radius) {
    destination = source;
    const auto objects = objects6(source, object);
    if (objects.empty()) return -1;
    const auto b = static_cast<std::uint8_t>(background);
    std::fill(destination.voxels.begin(), destination.voxels.end(), b);
    const int w = 2 * radius + 1;
    const long long threshold = (static_cast<long long>(w) * w * w + 1) * object / 2;
    for (const auto& o : objects) {
        int x0 = o[0].x, x1 = o[0].x, y0 = o[0].y, y1 = o[0].y, z0 = o[0].z, z1 = o[0].z;
        for (const auto& v : o) {
            x0 = std::min(x0, v.x), x1 = std::max(x1, v.x);
            y0 = std::min(y0, v.y), y1 = std::max(y1, v.y);
            z0 = std::min(z0, v.z), z1 = std::max(z1, v.z);
        }
        Grid scratch(x1 - x0 + 1 + 2 * radius, y1 - y0 + 1 + 2 * radius, z1 - z0 + 1 + 2 * radius, {});
        scratch.voxels.assign(static_cast<std::size_t>(scratch.width) * scratch.height * scratch.depth, b);
        for (const auto& v : o)
            scratch.at(v.x - x0 + radius, v.y - y0 + radius, v.z - z0 + radius) = static_cast<std::uint8_t>(object);
        for (int z = z0; z <= z1; ++z)
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x) {
                    long long sum = 0;
                    for (int dz = 0; dz < w; ++dz)
                        for (int dy = 0; dy < w; ++dy)
                            for (int dx = 0; dx < w; ++dx)
                                sum += scratch.at(x - x0 + dx, y - y0 + dy, z - z0 + dz);
                    if (sum >= threshold) destination.at(x, y, z) = static_cast<std::uint8_t>(object);
                }
    }
    return 0;
}

}  // namespace img3d::reference
