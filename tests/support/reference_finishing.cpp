#include "reference_finishing.h"

#include <cmath>
#include <cstdlib>
#include <deque>

namespace img3d::reference {
namespace {

struct Offset {
    int dx, dy, dz;
};

// The neighbours of the connectivity; within planes across `axis` (of
// [z, y, x]) only those that stay in the plane.
std::vector<Offset> neighbours(int connectivity, int axis) {
    const int reach = connectivity == 6 ? 1 : connectivity == 18 ? 2 : 3;
    std::vector<Offset> out;
    for (int dz = -1; dz <= 1; ++dz)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int steps = std::abs(dx) + std::abs(dy) + std::abs(dz);
                if (steps == 0 || steps > reach) continue;
                if ((axis == 0 && dz != 0) || (axis == 1 && dy != 0) || (axis == 2 && dx != 0)) continue;
                out.push_back({dx, dy, dz});
            }
    return out;
}

bool inside(const Grid& g, int x, int y, int z) {
    return x >= 0 && y >= 0 && z >= 0 && x < g.width && y < g.height && z < g.depth;
}

// Breadth-first from the queued voxels: every neighbour j that join(j)
// accepts (and marks) is queued in turn.
template <class Join>
void flood(const Grid& g, const std::vector<Offset>& element, std::deque<std::size_t>& queue, Join join) {
    while (!queue.empty()) {
        const std::size_t i = queue.front();
        queue.pop_front();
        const int x = static_cast<int>(i % g.width), y = static_cast<int>(i / g.width % g.height),
                  z = static_cast<int>(i / g.width / g.height);
        for (const Offset& o : element) {
            if (!inside(g, x + o.dx, y + o.dy, z + o.dz)) continue;
            const std::size_t j = g.index(x + o.dx, y + o.dy, z + o.dz);
            if (join(j)) queue.push_back(j);
        }
    }
}

}  // namespace

std::vector<std::uint8_t> random_mask(const Grid& shape, double density, int value, std::mt19937& rng) {
    std::bernoulli_distribution on(density);
    std::vector<std::uint8_t> v(shape.size());
    for (auto& x : v) x = on(rng) ? static_cast<std::uint8_t>(value) : 0;
    return v;
}

std::vector<std::uint8_t> set_of(const std::vector<std::uint8_t>& voxels, int value) {
    std::vector<std::uint8_t> s(voxels.size());
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = voxels[i] == value;
    return s;
}

std::vector<std::uint8_t> paint_set(const std::vector<std::uint8_t>& set, int value, int background) {
    std::vector<std::uint8_t> out(set.size());
    for (std::size_t i = 0; i < set.size(); ++i)
        out[i] = static_cast<std::uint8_t>(set[i] != 0 ? value : background);
    return out;
}

std::vector<std::uint8_t> morph_step(const Grid& g, const std::vector<std::uint8_t>& set, int connectivity,
                                     bool dilate) {
    const auto element = neighbours(connectivity, -1);
    std::vector<std::uint8_t> out(set.size());
    for (int z = 0; z < g.depth; ++z)
        for (int y = 0; y < g.height; ++y)
            for (int x = 0; x < g.width; ++x) {
                bool any = set[g.index(x, y, z)] != 0, all = any;
                for (const Offset& o : element) {
                    const bool in = inside(g, x + o.dx, y + o.dy, z + o.dz) &&
                                    set[g.index(x + o.dx, y + o.dy, z + o.dz)] != 0;
                    any = any || in;
                    all = all && in;
                }
                out[g.index(x, y, z)] = dilate ? any : all;
            }
    return out;
}

std::vector<std::uint8_t> fill_holes(const Grid& g, const std::vector<std::uint8_t>& set, int connectivity,
                                     int axis) {
    const auto element = neighbours(connectivity, axis);
    std::vector<std::uint8_t> reached(set.size(), 0);
    std::deque<std::size_t> queue;
    for (int z = 0; z < g.depth; ++z)
        for (int y = 0; y < g.height; ++y)
            for (int x = 0; x < g.width; ++x) {
                const bool ex = x == 0 || x == g.width - 1, ey = y == 0 || y == g.height - 1,
                           ez = z == 0 || z == g.depth - 1;
                const bool border = axis == -1 ? ex || ey || ez : axis == 0 ? ex || ey : axis == 1 ? ex || ez : ey || ez;
                const std::size_t i = g.index(x, y, z);
                if (border && set[i] == 0) {
                    reached[i] = 1;
                    queue.push_back(i);
                }
            }
    flood(g, element, queue, [&](std::size_t j) {
        if (set[j] != 0 || reached[j] != 0) return false;
        reached[j] = 1;
        return true;
    });
    std::vector<std::uint8_t> out(set.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = reached[i] == 0;
    return out;
}

std::vector<std::int64_t> label_all(const Grid& g, const std::vector<std::int64_t>& values, int connectivity,
                                    std::int64_t* pieces) {
    const auto element = neighbours(connectivity, -1);
    std::vector<std::int64_t> label(values.size(), 0);
    *pieces = 0;
    for (std::size_t seed = 0; seed < values.size(); ++seed) {
        if (values[seed] == 0 || label[seed] != 0) continue;
        label[seed] = ++*pieces;
        std::deque<std::size_t> queue{seed};
        flood(g, element, queue, [&](std::size_t j) {
            if (values[j] != values[seed] || label[j] != 0) return false;
            label[j] = *pieces;
            return true;
        });
    }
    return label;
}

std::vector<Stats> label_stats(const std::vector<std::int64_t>& labels, const std::vector<double>& grey,
                               std::int64_t count) {
    std::vector<Stats> s(static_cast<std::size_t>(count));
    std::vector<long double> sums(s.size(), 0), squares(s.size(), 0);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (labels[i] < 1 || labels[i] > count) continue;
        Stats& t = s[static_cast<std::size_t>(labels[i] - 1)];
        if (t.count == 0 || grey[i] < t.minimum) t.minimum = grey[i];
        if (t.count == 0 || grey[i] > t.maximum) t.maximum = grey[i];
        ++t.count;
        sums[static_cast<std::size_t>(labels[i] - 1)] += grey[i];
    }
    for (std::size_t k = 0; k < s.size(); ++k)
        if (s[k].count > 0) s[k].mean = static_cast<double>(sums[k] / s[k].count);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (labels[i] < 1 || labels[i] > count) continue;
        const auto k = static_cast<std::size_t>(labels[i] - 1);
        const long double d = grey[i] - sums[k] / s[k].count;
        squares[k] += d * d;
    }
    for (std::size_t k = 0; k < s.size(); ++k)
        if (s[k].count > 0) s[k].deviation = static_cast<double>(std::sqrt(squares[k] / s[k].count));
    return s;
}

}  // namespace img3d::reference
