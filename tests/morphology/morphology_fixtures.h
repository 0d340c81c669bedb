// Moving volumes between the library's handles and the references' grids,
// and the random inputs the morphology tests share.
#pragma once

#include <random>

#include "reference_morphology.h"
#include "test_support.h"

namespace img3d::test {

inline test::Grid grid_of(const Volume& v) {
    return {v.width(), v.height(), v.depth(), v.voxels()};
}

inline Volume volume_of(const test::Grid& g) {
    Volume v(g.width, g.height, g.depth);
    v.assign(g.voxels);
    return v;
}

// A few blobs of the object value among other grey values, at the density
// given: grown from random seeds so objects have real extent, touch the
// faces and each other's bounding boxes.
inline Volume blobby_volume(const Grid& s, std::mt19937& rng, int object, double density,
                            const std::vector<int>& others) {
    Volume v = random_volume(s, rng, others, std::vector<double>(others.size(), 1.0));
    std::bernoulli_distribution seed(density * 0.35), grow(0.5);
    auto g = grid_of(v);
    std::vector<std::uint8_t> on(g.voxels.size());
    for (auto& o : on) o = seed(rng);
    for (int pass = 0; pass < 2; ++pass) {
        auto next = on;
        for (int z = 0; z < g.depth; ++z)
            for (int y = 0; y < g.height; ++y)
                for (int x = 0; x < g.width; ++x) {
                    const std::size_t i = g.index(x, y, z);
                    if (on[i] == 0) continue;
                    if (x + 1 < g.width && grow(rng)) next[g.index(x + 1, y, z)] = 1;
                    if (y + 1 < g.height && grow(rng)) next[g.index(x, y + 1, z)] = 1;
                    if (z + 1 < g.depth && grow(rng)) next[g.index(x, y, z + 1)] = 1;
                }
        on = next;
    }
    for (std::size_t i = 0; i < on.size(); ++i)
        if (on[i] != 0) g.voxels[i] = static_cast<std::uint8_t>(object);
    return volume_of(g);
}

}  // namespace img3d::test
