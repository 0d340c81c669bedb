#include "reference_objects.h"

#include <algorithm>
#include <array>
#include <queue>

namespace img3d::test {

std::ostream& operator<<(std::ostream& out, const RefRun& run) {
    return out << "(y " << run.y << ", z " << run.z << ", x " << run.x_start << ".." << run.x_end
               << ")";
}

std::vector<RefRun> runs_of(const RunLength3D* record) {
    std::vector<RefRun> runs;
    if (record == nullptr) return runs;
    const Run3D* r = RunLength3DRuns(const_cast<RunLength3D*>(record));
    for (int i = 0; i < record->count; ++i)
        runs.push_back({r[i].y, r[i].z, r[i].xStart, r[i].xEnd});
    return runs;
}

Labelling label_objects(const std::vector<std::uint8_t>& voxels, const Grid& e, int value, int connectivity) {
    // The neighbours differ by at most one in each coordinate, and in at
    // most one (6), two (18) or three (26) coordinates.
    const int reach = connectivity == 6 ? 1 : connectivity == 18 ? 2 : 3;
    std::vector<std::array<int, 3>> neighbours;
    for (int dz = -1; dz <= 1; ++dz)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int moved = (dx != 0) + (dy != 0) + (dz != 0);
                if (moved != 0 && moved <= reach) neighbours.push_back({dx, dy, dz});
            }
    Labelling result;
    result.label.assign(e.size(), 0);
    for (int z = 0; z < e.depth; ++z)
        for (int y = 0; y < e.height; ++y)
            for (int x = 0; x < e.width; ++x) {
                const std::size_t start = e.index(x, y, z);
                if (voxels[start] != value || result.label[start] != 0) continue;
                const int id = ++result.objects;
                Labelling::Box box{x, x, y, y, z, z};
                std::size_t count = 0;
                std::array<long long, 3> sum{0, 0, 0};
                std::queue<std::size_t> queue;
                queue.push(start);
                result.label[start] = id;
                while (!queue.empty()) {
                    const std::size_t i = queue.front();
                    queue.pop();
                    ++count;
                    const int vx = static_cast<int>(i % e.width);
                    const int vy = static_cast<int>(i / e.width % e.height);
                    const int vz = static_cast<int>(i / e.width / e.height);
                    sum[0] += vx;
                    sum[1] += vy;
                    sum[2] += vz;
                    box.x_min = std::min(box.x_min, vx);
                    box.x_max = std::max(box.x_max, vx);
                    box.y_min = std::min(box.y_min, vy);
                    box.y_max = std::max(box.y_max, vy);
                    box.z_min = std::min(box.z_min, vz);
                    box.z_max = std::max(box.z_max, vz);
                    for (const auto& d : neighbours) {
                        const int nx = vx + d[0], ny = vy + d[1], nz = vz + d[2];
                        if (nx < 0 || ny < 0 || nz < 0 || nx >= e.width || ny >= e.height ||
                            nz >= e.depth)
                            continue;
                        const std::size_t n = e.index(nx, ny, nz);
                        if (voxels[n] == value && result.label[n] == 0) {
                            result.label[n] = id;
                            queue.push(n);
                        }
                    }
                }
                result.voxels.push_back(count);
                result.boxes.push_back(box);
                result.sums.push_back(sum);
                result.first_voxel.push_back(start);
            }
    return result;
}

std::vector<RefRun> scanline_fill(std::vector<std::uint8_t>& voxels, const Grid& e, int x, int y,
                                  int z, int value, int paint) {
    struct Point {
        int x, y, z;
    };
    std::vector<Point> stack;
    std::vector<RefRun> runs;
    auto at = [&](int px, int py, int pz) -> std::uint8_t& { return voxels[e.index(px, py, pz)]; };
    stack.push_back({x, y, z});
    while (!stack.empty()) {
        const Point p = stack.back();
        stack.pop_back();
        if (at(p.x, p.y, p.z) != value) continue;
        int x_start = p.x;
        while (x_start > 0 && at(x_start - 1, p.y, p.z) == value) --x_start;
        int x_end = p.x;
        while (x_end < e.width - 1 && at(x_end + 1, p.y, p.z) == value) ++x_end;
        for (int i = x_start; i <= x_end; ++i) at(i, p.y, p.z) = static_cast<std::uint8_t>(paint);
        runs.push_back({p.y, p.z, x_start, x_end});

        auto scan = [&](int ny, int nz) {
            int i = x_start;
            while (i <= x_end) {
                if (at(i, ny, nz) == value) {
                    while (i < x_end && at(i + 1, ny, nz) == value) ++i;
                    stack.push_back({i, ny, nz});
                }
                ++i;
            }
        };
        if (p.y > 0) scan(p.y - 1, p.z);
        if (p.y < e.height - 1) scan(p.y + 1, p.z);
        if (p.z > 0) scan(p.y, p.z - 1);
        if (p.z < e.depth - 1) scan(p.y, p.z + 1);
    }
    return runs;
}

std::vector<std::vector<RefRun>> scanline_objects(std::vector<std::uint8_t>& voxels,
                                                  const Grid& e, int value, int paint) {
    std::vector<std::vector<RefRun>> objects;
    for (int z = 0; z < e.depth; ++z)
        for (int y = 0; y < e.height; ++y)
            for (int x = 0; x < e.width; ++x)
                if (voxels[e.index(x, y, z)] == value)
                    objects.push_back(scanline_fill(voxels, e, x, y, z, value, paint));
    return objects;
}

}  // namespace img3d::test
