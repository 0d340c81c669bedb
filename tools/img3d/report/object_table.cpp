#include "object_table.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace img3d_tool {

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
        std::fprintf(out, "%7d %10d  %-11s %-11s %-11s  %d,%d,%d\n", r.index, r.voxels, x, y, z, r.seed_x, r.seed_y,
                     r.seed_z);
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
