#include "object_table.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "summary.h"

namespace img3d_tool {

std::vector<ObjectRow> object_table(const ObjectLabels& labels, TableOrder order, const Geometry& geometry,
                                    const std::vector<GreyOfObject>& grey) {
    const double mm = millimetres_per_unit(geometry), ml = voxel_millilitres(geometry);
    std::vector<ObjectRow> rows;
    rows.reserve(labels.objects.size());
    for (std::size_t k = 0; k < labels.objects.size(); ++k) {
        const Img3DObject& o = labels.objects[k];
        const double n = o.voxels;
        ObjectRow row{static_cast<int>(k) + 1,
                      o.voxels,
                      o.xMin,
                      o.xMax,
                      o.yMin,
                      o.yMax,
                      o.zMin,
                      o.zMax,
                      o.firstX,
                      o.firstY,
                      o.firstZ,
                      {static_cast<double>(o.sumX) / n * geometry.spacing[0] * mm,
                       static_cast<double>(o.sumY) / n * geometry.spacing[1] * mm,
                       static_cast<double>(o.sumZ) / n * geometry.spacing[2] * mm},
                      n * ml,
                      !grey.empty(),
                      grey.empty() ? GreyOfObject{0, 0, 0} : grey[k]};
        rows.push_back(row);
    }
    if (order == TableOrder::size)
        std::stable_sort(rows.begin(), rows.end(),
                         [](const ObjectRow& a, const ObjectRow& b) { return a.voxels > b.voxels; });
    return rows;
}

namespace {

// Enough digits to tell a float32 grey value, or a mean, from its neighbours.
std::string real(double value, const char* format = "%.10g") {
    char text[40];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string csv_text(const std::vector<ObjectRow>& rows, bool with_grey) {
    std::string text =
        "index,voxels,x_min,x_max,y_min,y_max,z_min,z_max,seed_x,seed_y,seed_z,centroid_x_mm,centroid_y_mm,"
        "centroid_z_mm,volume_ml";
    text += with_grey ? ",grey_mean,grey_min,grey_max\n" : "\n";
    char line[160];
    for (const ObjectRow& r : rows) {
        std::snprintf(line, sizeof line, "%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d", r.index, r.voxels, r.x_min, r.x_max,
                      r.y_min, r.y_max, r.z_min, r.z_max, r.seed_x, r.seed_y, r.seed_z);
        text += line;
        for (double c : r.centroid_mm) text += "," + real(c);
        text += "," + real(r.millilitres);
        if (r.has_grey) text += "," + real(r.grey.mean) + "," + real(r.grey.minimum) + "," + real(r.grey.maximum);
        text += "\n";
    }
    return text;
}

void print_csv(std::FILE* out, const std::vector<ObjectRow>& rows, bool with_grey) {
    std::fputs(csv_text(rows, with_grey).c_str(), out);
}

void print_table(std::FILE* out, const std::vector<ObjectRow>& rows, std::size_t limit) {
    const bool grey = rows.front().has_grey;
    std::fprintf(out, "%7s %10s  %-11s %-11s %-11s  %-14s  %-20s %10s%s\n", "index", "voxels", "x", "y", "z",
                 "seed (x,y,z)", "centroid (mm)", "ml", grey ? "  grey mean, min ... max" : "");
    for (std::size_t i = 0; i < rows.size() && i < limit; ++i) {
        const ObjectRow& r = rows[i];
        char x[24], y[24], z[24], seed[40], centroid[64];
        std::snprintf(x, sizeof x, "%d..%d", r.x_min, r.x_max);
        std::snprintf(y, sizeof y, "%d..%d", r.y_min, r.y_max);
        std::snprintf(z, sizeof z, "%d..%d", r.z_min, r.z_max);
        std::snprintf(seed, sizeof seed, "%d,%d,%d", r.seed_x, r.seed_y, r.seed_z);
        std::snprintf(centroid, sizeof centroid, "%.1f,%.1f,%.1f", r.centroid_mm[0], r.centroid_mm[1],
                      r.centroid_mm[2]);
        std::string values;
        if (grey)
            values = "  " + real(r.grey.mean, "%.6g") + ", " + real(r.grey.minimum, "%.6g") + " ... " +
                     real(r.grey.maximum, "%.6g");
        std::fprintf(out, "%7d %10d  %-11s %-11s %-11s  %-14s  %-20s %10s%s\n", r.index, r.voxels, x, y, z, seed,
                     centroid, real(r.millilitres, "%.4g").c_str(), values.c_str());
    }
    if (rows.size() > limit) std::fprintf(out, "%7s (%zu more)\n", "...", rows.size() - limit);
}

std::string table_json(const std::vector<ObjectRow>& rows, const ObjectLabels& labels, const TableHeading& heading) {
    using json = nlohmann::ordered_json;
    // NaN (the mean of a NaN grey value) is null.
    auto number = [](double v) { return std::isnan(v) ? json(nullptr) : json(v); };
    json j;
    j["input"] = heading.input;
    j["dimensions"] = {labels.width, labels.height, labels.depth};
    j["value"] = json::parse(heading.value);
    j["connectivity"] = heading.connectivity;
    if (heading.unit_assumed) j["unit_assumed"] = "mm";
    if (!heading.grey.empty()) j["grey"] = heading.grey;
    j["count"] = rows.size();
    json list = json::array();
    for (const ObjectRow& r : rows) {
        json row = {{"index", r.index},
                    {"voxels", r.voxels},
                    {"x", {r.x_min, r.x_max}},
                    {"y", {r.y_min, r.y_max}},
                    {"z", {r.z_min, r.z_max}},
                    {"seed", {r.seed_x, r.seed_y, r.seed_z}},
                    {"centroid_mm", {r.centroid_mm[0], r.centroid_mm[1], r.centroid_mm[2]}},
                    {"ml", r.millilitres}};
        if (r.has_grey)
            row["grey"] = {
                {"mean", number(r.grey.mean)}, {"min", number(r.grey.minimum)}, {"max", number(r.grey.maximum)}};
        list.push_back(row);
    }
    j["objects"] = list;
    return j.dump(2);
}

}  // namespace img3d_tool
