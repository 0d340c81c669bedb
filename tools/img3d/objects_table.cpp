#include "objects_table.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "segment.h"

namespace img3d_tool {

std::vector<ObjectRow> object_table(unsigned char*** volume, int value, TableOrder order) {
    ObjectList objects(volume, value);
    std::vector<ObjectRow> rows;
    rows.reserve(static_cast<std::size_t>(objects.size()));
    for (int i = 0; i < objects.size(); ++i) {
        const RunLength3D* record = objects[i];
        ObjectRow row{};
        row.index = i + 1;
        row.voxels = ObjVolume(record);
        GetObjectXYLimit3D(record, &row.x_min, &row.x_max, &row.y_min, &row.y_max, &row.z_min, &row.z_max);
        const Run3D& seed = RunLength3DRuns(const_cast<RunLength3D*>(record))[0];
        row.seed_x = seed.xStart;
        row.seed_y = seed.y;
        row.seed_z = seed.z;
        rows.push_back(row);
    }
    if (order == TableOrder::size)
        std::stable_sort(rows.begin(), rows.end(),
                         [](const ObjectRow& a, const ObjectRow& b) { return a.voxels > b.voxels; });
    return rows;
}

void print_csv(std::FILE* out, const std::vector<ObjectRow>& rows) {
    std::fputs("index,voxels,x_min,x_max,y_min,y_max,z_min,z_max,seed_x,seed_y,seed_z\n", out);
    for (const ObjectRow& r : rows)
        std::fprintf(out, "%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d\n", r.index, r.voxels, r.x_min, r.x_max, r.y_min,
                     r.y_max, r.z_min, r.z_max, r.seed_x, r.seed_y, r.seed_z);
}

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

std::string table_json(const std::vector<ObjectRow>& rows, const std::string& input, unsigned char*** volume,
                       int value) {
    nlohmann::ordered_json j;
    j["input"] = input;
    j["dimensions"] = {Image3DGetWidth(volume), Image3DGetHeight(volume), Image3DGetDepth(volume)};
    j["value"] = value;
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
