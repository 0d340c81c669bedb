#include "objects_table.h"

#include <algorithm>
#include <new>

#include <nlohmann/json.hpp>

#include "errors.h"

namespace img3d_tool {

ObjectLabels label_objects(unsigned char*** volume, int value) {
    ObjectLabels out;
    out.width = Image3DGetWidth(volume);
    out.height = Image3DGetHeight(volume);
    out.depth = Image3DGetDepth(volume);
    const std::size_t voxels = static_cast<std::size_t>(out.width) * out.height * out.depth;
    out.labels.reset(new (std::nothrow) std::int32_t[voxels]);
    if (!out.labels)
        throw RunError("not enough memory for the object labels: " + mebibytes(4.0 * voxels) + ", 4 bytes per voxel");
    const int count = Img3DLabel(volume, value, 6, out.labels.get());
    if (count < 0)
        throw RunError("not enough memory to label the objects: " + mebibytes(out.width / 8.0 * out.height * 2) +
                       " for one bit per voxel of two slices");
    try {
        out.objects.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        throw RunError("not enough memory to measure " + std::to_string(count) + " objects: " +
                       mebibytes(64.0 * count));
    }
    Img3DObjectStats(out.labels.get(), out.width, out.height, out.depth, count, out.objects.data());
    return out;
}

int remove_outside(ObjectLabels& labels, unsigned char*** volume, int background, int min_volume, int max_volume) {
    std::vector<std::int32_t> renumbered(labels.objects.size() + 1, 0);
    std::vector<Img3DObject> kept;
    kept.reserve(labels.objects.size());
    for (std::size_t k = 0; k < labels.objects.size(); ++k) {
        const int size = labels.objects[k].voxels;
        if (size < min_volume || size > max_volume) continue;
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

std::vector<ObjectRow> object_table(const ObjectLabels& labels, TableOrder order) {
    std::vector<ObjectRow> rows;
    rows.reserve(labels.objects.size());
    for (std::size_t k = 0; k < labels.objects.size(); ++k) {
        const Img3DObject& o = labels.objects[k];
        rows.push_back(ObjectRow{static_cast<int>(k) + 1, o.voxels, o.xMin, o.xMax, o.yMin, o.yMax, o.zMin, o.zMax,
                                 o.firstX, o.firstY, o.firstZ});
    }
    if (order == TableOrder::size)
        std::stable_sort(rows.begin(), rows.end(),
                         [](const ObjectRow& a, const ObjectRow& b) { return a.voxels > b.voxels; });
    return rows;
}

std::string csv_text(const std::vector<ObjectRow>& rows) {
    std::string text = "index,voxels,x_min,x_max,y_min,y_max,z_min,z_max,seed_x,seed_y,seed_z\n";
    char line[160];
    for (const ObjectRow& r : rows) {
        std::snprintf(line, sizeof line, "%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d\n", r.index, r.voxels, r.x_min, r.x_max,
                      r.y_min, r.y_max, r.z_min, r.z_max, r.seed_x, r.seed_y, r.seed_z);
        text += line;
    }
    return text;
}

void print_csv(std::FILE* out, const std::vector<ObjectRow>& rows) { std::fputs(csv_text(rows).c_str(), out); }

void print_table(std::FILE* out, const std::vector<ObjectRow>& rows, std::size_t limit) {
    std::fprintf(out, "%7s %10s  %-11s %-11s %-11s  %s\n", "index", "voxels", "x", "y", "z", "seed (x,y,z)");
    for (std::size_t i = 0; i < rows.size() && i < limit; ++i) {
        const ObjectRow& r = rows[i];
        char x[24], y[24], z[24];
        std::snprintf(x, sizeof x, "%d..%d", r.x_min, r.x_max);
        std::snprintf(y, sizeof y, "%d..%d", r.y_min, r.y_max);
        std::snprintf(z, sizeof z, "%d..%d", r.z_min, r.z_max);
        std::fprintf(out, "%7d %10d  %-11s %-11s %-11s  %d,%d,%d\n", r.index, r.voxels, x, y, z, r.seed_x,
                     r.seed_y, r.seed_z);
    }
    if (rows.size() > limit) std::fprintf(out, "%7s (%zu more)\n", "...", rows.size() - limit);
}

std::string table_json(const std::vector<ObjectRow>& rows, const std::string& input, const ObjectLabels& labels,
                       const std::string& value) {
    nlohmann::ordered_json j;
    j["input"] = input;
    j["dimensions"] = {labels.width, labels.height, labels.depth};
    j["value"] = nlohmann::ordered_json::parse(value);
    j["count"] = rows.size();
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const ObjectRow& r : rows)
        list.push_back({{"index", r.index},
                        {"voxels", r.voxels},
                        {"x", {r.x_min, r.x_max}},
                        {"y", {r.y_min, r.y_max}},
                        {"z", {r.z_min, r.z_max}},
                        {"seed", {r.seed_x, r.seed_y, r.seed_z}}});
    j["objects"] = list;
    return j.dump(2);
}

}  // namespace img3d_tool
