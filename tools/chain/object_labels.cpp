#include "object_labels.h"

#include <algorithm>
#include <new>

#include "errors.h"
#include "working_memory.h"

namespace img3d_tool {

ObjectLabels label_objects(unsigned char*** volume, int value, int connectivity) {
    ObjectLabels out;
    out.width = Image3DGetWidth(volume);
    out.height = Image3DGetHeight(volume);
    out.depth = Image3DGetDepth(volume);
    const std::size_t voxels = static_cast<std::size_t>(out.width) * out.height * out.depth;
    out.labels.reset(new (std::nothrow) std::int32_t[voxels]);
    if (!out.labels)
        throw RunError("not enough memory for the object labels: " + mebibytes(4.0 * static_cast<double>(voxels)) +
                       ", 4 bytes per voxel");
    const int count = Img3DLabel(volume, value, connectivity, out.labels.get());
    if (count < 0)
        throw RunError("not enough memory to label the objects: " + working_memory(Operation::label, volume, value));
    try {
        out.objects.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        throw RunError("not enough memory to measure " + std::to_string(count) +
                       " objects: " + mebibytes(64.0 * count));
    }
    Img3DObjectStats(out.labels.get(), out.width, out.height, out.depth, count, out.objects.data());
    return out;
}

namespace {

// Keeps the objects k with stays[k], renumbering them in the same order, and
// sets the voxels of the others to background.  Returns how many went.
int keep_only(ObjectLabels& labels, unsigned char*** volume, int background, const std::vector<bool>& stays) {
    std::vector<std::int32_t> renumbered(labels.objects.size() + 1, 0);
    std::vector<Img3DObject> kept;
    kept.reserve(labels.objects.size());
    for (std::size_t k = 0; k < labels.objects.size(); ++k) {
        if (!stays[k]) continue;
        kept.push_back(labels.objects[k]);
        renumbered[k + 1] = static_cast<std::int32_t>(kept.size());
    }
    const int removed = labels.count() - static_cast<int>(kept.size());
    if (removed == 0) return 0;
    // Removing objects keeps the raster order of the others' first voxels.
    const std::size_t voxels = static_cast<std::size_t>(labels.width) * labels.height * labels.depth;
    unsigned char* v = volume[0][0];
    std::int32_t* l = labels.labels.get();
    for (std::size_t i = 0; i < voxels; ++i) {
        if (l[i] == 0) continue;
        l[i] = renumbered[static_cast<std::size_t>(l[i])];
        if (l[i] == 0) v[i] = static_cast<unsigned char>(background);
    }
    labels.objects = std::move(kept);
    return removed;
}

}  // namespace

int remove_outside(ObjectLabels& labels, unsigned char*** volume, int background, int min_volume, int max_volume) {
    std::vector<bool> stays(labels.objects.size());
    for (std::size_t k = 0; k < stays.size(); ++k)
        stays[k] = labels.objects[k].voxels >= min_volume && labels.objects[k].voxels <= max_volume;
    return keep_only(labels, volume, background, stays);
}

int keep_largest(ObjectLabels& labels, unsigned char*** volume, int background, int keep) {
    if (keep >= labels.count()) return 0;
    std::vector<std::size_t> order(labels.objects.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return labels.objects[a].voxels > labels.objects[b].voxels; });
    std::vector<bool> stays(labels.objects.size(), false);
    for (int i = 0; i < keep; ++i) stays[order[static_cast<std::size_t>(i)]] = true;
    return keep_only(labels, volume, background, stays);
}

}  // namespace img3d_tool
