#include <algorithm>
#include <cmath>
#include <cstdint>

#include "preview.h"

namespace img3d_tool {
namespace {

// ceil(a / b) for b > 0.
std::int64_t ceil_div(std::int64_t a, std::int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }

// The index nearest to sum / count, halves toward the lower one.
int nearest(std::int64_t sum, std::int64_t count) { return static_cast<int>(ceil_div(2 * sum - count, 2 * count)); }

// The world axis of each voxel axis: the assignment that keeps the most of
// each axis's direction (exact for the usual, unrotated storage orders; the
// nearest one for oblique scans).
void orient_axes(const Geometry& geometry, PreviewPlan& plan) {
    static const int kOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    double best = -1;
    for (const auto& order : kOrders) {
        double score = 0;
        for (int a = 0; a < 3; ++a) {
            const double* m[3] = {geometry.to_world[0], geometry.to_world[1], geometry.to_world[2]};
            const double norm = std::sqrt(m[0][a] * m[0][a] + m[1][a] * m[1][a] + m[2][a] * m[2][a]);
            score += std::fabs(m[order[a]][a]) / norm;
        }
        if (score > best + 1e-12) {
            best = score;
            for (int a = 0; a < 3; ++a) {
                plan.voxel_axis[order[a]] = a;
                plan.reversed[order[a]] = geometry.to_world[order[a]][a] < 0;
            }
        }
    }
}

// The largest object (ties: lowest in world S, then A, then R): its label
// in the plan, and the sums of its display indices and its voxel count.
void choose_object(const ObjectLabels& labels, const int dims[3], PreviewPlan& plan, std::int64_t sums[3],
                   std::int64_t& count) {
    const Img3DObject* chosen = nullptr;
    std::int64_t chosen_sums[3] = {};
    for (std::size_t k = 0; k < labels.objects.size(); ++k) {
        const Img3DObject& o = labels.objects[k];
        if (o.voxels == 0) continue;
        const std::int64_t voxel_sums[3] = {o.sumX, o.sumY, o.sumZ};
        std::int64_t display[3];
        for (int world = 0; world < 3; ++world) {
            const int axis = plan.voxel_axis[world];
            display[world] =
                plan.reversed[world] ? std::int64_t{o.voxels} * (dims[axis] - 1) - voxel_sums[axis] : voxel_sums[axis];
        }
        bool better = chosen == nullptr || o.voxels > chosen->voxels;
        if (!better && o.voxels == chosen->voxels)
            for (int world = 2; world >= 0; --world)
                if (display[world] != chosen_sums[world]) {
                    better = display[world] < chosen_sums[world];
                    break;
                }
        if (better) {
            chosen = &o;
            plan.object = static_cast<int>(k) + 1;
            std::copy(display, display + 3, chosen_sums);
        }
    }
    if (chosen != nullptr) {
        std::copy(chosen_sums, chosen_sums + 3, sums);
        count = chosen->voxels;
    }
}

}  // namespace

PreviewPlan plan_preview(const Geometry& geometry, int width, int height, int depth, const ObjectLabels* labels) {
    PreviewPlan plan;
    const int dims[3] = {width, height, depth};
    plan.oriented = geometry.oriented();
    plan.source = geometry.source;
    if (plan.oriented) orient_axes(geometry, plan);

    // Display index: the voxel index counted in the direction its world
    // coordinate grows.  Sums of display indices stay exact integers.
    std::int64_t sums[3], count = 2;
    for (int world = 0; world < 3; ++world) sums[world] = dims[plan.voxel_axis[world]] - 1;  // the middle
    if (labels != nullptr) choose_object(*labels, dims, plan, sums, count);
    for (int world = 0; world < 3; ++world) {
        const int axis = plan.voxel_axis[world];
        const int display = nearest(sums[world], count);
        plan.centre[axis] = plan.reversed[world] ? dims[axis] - 1 - display : display;
    }
    for (int world = 0; world < 3; ++world) {
        if (plan.oriented) {
            const double* row = geometry.to_world[world];
            plan.position[world] = row[0] * plan.centre[0] + row[1] * plan.centre[1] + row[2] * plan.centre[2] + row[3];
        } else {
            plan.position[world] = plan.centre[world] * double{geometry.spacing[world]};
        }
    }
    return plan;
}

}  // namespace img3d_tool
