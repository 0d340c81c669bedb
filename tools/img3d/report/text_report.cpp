#include "text_report.h"

#include <climits>
#include <cmath>

namespace img3d_tool {
namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string volume_range(const SegmentOptions& o) {
    if (o.max_volume == INT_MAX)
        return "of at least " + std::to_string(o.min_volume) + (o.min_volume == 1 ? " voxel" : " voxels");
    return "of " + std::to_string(o.min_volume) + " ... " + std::to_string(o.max_volume) + " voxels";
}

std::string foreground(const SegmentReport& r) {
    if (!r.empty_reason.empty()) return "no objects: " + r.empty_reason;
    if (r.low > r.high)
        return "no objects: the band " + format_value(r.low) + " ... " + format_value(r.high) + " is empty";
    std::string text = std::isinf(r.high) ? "objects are grey >= " + format_value(r.low)
                                          : "objects are grey " + format_value(r.low) + " ... " + format_value(r.high);
    if (r.automatic && !r.levels.raw) text += " (levels " + std::to_string(r.level + 1) + " ... 255)";
    return text;
}

// Whether file units are the voxels' bytes themselves.
bool plain_bytes(const RunSummary& run) { return run.values.empty(); }

std::string threshold_line(const RunSummary& run) {
    const SegmentReport& r = run.report;
    if (r.method == "band") return "band: " + foreground(r);
    if (r.method == "given") return "given " + format_value(r.low) + ": " + foreground(r);
    if (!r.empty_reason.empty()) return r.method + ": no objects, " + r.empty_reason;
    std::string text = r.method + " " + std::to_string(r.level);
    // The level in file units too, where they are not the levels.
    if (!(r.levels.raw && plain_bytes(run))) text += " (grey " + format_value(r.level_value) + ")";
    return text + ": " + foreground(r);
}

// By the world axis each plane holds fixed.
const char* const kPlaneOf[3] = {"sagittal", "coronal", "axial"};
const char kAxisLetter[3] = {'x', 'y', 'z'};

std::string millimetres(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return std::string(text) == "-0.0" ? "0.0" : text;
}

// What was read and how it was segmented.
void print_input_and_chain(std::FILE* out, const RunSummary& run) {
    const SegmentReport& r = run.report;
    const Geometry& g = run.geometry;
    const std::string unit = g.unit.empty() ? "" : " " + g.unit;
    std::fprintf(out, "input      %s\n", run.input.c_str());
    std::fprintf(out, "           %d x %d x %d voxels of %s x %s x %s%s%s\n", r.width, r.height, r.depth,
                 number(g.spacing[0]).c_str(), number(g.spacing[1]).c_str(), number(g.spacing[2]).c_str(), unit.c_str(),
                 run.format.empty() ? "" : (", " + run.format).c_str());
    if (!run.values.empty()) std::fprintf(out, "values     %s\n", run.values.c_str());
    const long long total = static_cast<long long>(r.width) * r.height * r.depth;
    if (static_cast<long long>(r.grey.non_finite) == total)
        std::fprintf(out, "grey       no finite value\n");
    else
        std::fprintf(out, "grey       %s ... %s, mean %s\n", format_value(r.grey.minimum).c_str(),
                     format_value(r.grey.maximum).c_str(), number(r.grey.mean).c_str());
    if (r.grey.non_finite > 0)
        std::fprintf(out, "           %zu voxels not a number or infinite, never objects\n", r.grey.non_finite);
    if (r.automatic && !r.levels.raw)
        std::fprintf(out, "levels     grey %s ... %s mapped linearly onto 0 ... 255 for %s\n",
                     format_value(r.levels.low).c_str(), format_value(r.levels.high).c_str(), r.method.c_str());
    std::fprintf(out, "threshold  %s\n", threshold_line(run).c_str());
    const SegmentOptions& o = run.options;
    std::fprintf(out, "objects    %d found (largest %d voxels), %d kept %s%s\n", r.found, r.largest, r.kept,
                 volume_range(o).c_str(),
                 o.connectivity == 6 ? "" : (", " + std::to_string(o.connectivity) + "-connected").c_str());
    if (o.fill_holes) std::fprintf(out, "holes      %lld filled\n", r.holes);
    if (o.largest > 0) std::fprintf(out, "largest    %d kept, %d removed\n", r.kept_largest, r.removed_largest);
    if (o.smooth > 0) std::fprintf(out, "smoothing  radius %d\n", o.smooth);
    const std::pair<const char*, const SegmentOptions::Morphology*> steps[] = {
        {"opening", &o.open}, {"closing", &o.close}, {"erosion", &o.erode}, {"dilation", &o.dilate}};
    for (const auto& [name, m] : steps)
        if (m->element > 0)
            std::fprintf(out, "%-10s %d neighbours, %d time%s\n", name, m->element, m->iterations,
                         m->iterations == 1 ? "" : "s");
    if (r.removed_after > 0)
        std::fprintf(out, "removed    %d object%s no longer %s%s after reshaping\n", r.removed_after,
                     r.removed_after == 1 ? "" : "s", volume_range(o).c_str(),
                     o.largest > 0 ? " or among the largest" : "");
    std::string chain;
    for (const std::string& step : r.steps) chain += (chain.empty() ? "" : " -> ") + step;
    std::fprintf(out, "chain      %s\n", chain.c_str());
}

// The result, where the preview cut, what was written.
void print_result(std::FILE* out, const RunSummary& run) {
    const SegmentReport& r = run.report;
    const Geometry& g = run.geometry;
    const long long total = static_cast<long long>(r.width) * r.height * r.depth;
    char share[64];
    std::snprintf(share, sizeof share, " (%.2f %%", 100.0 * static_cast<double>(r.voxels) / static_cast<double>(total));
    std::string size = std::to_string(r.voxels) + " voxels" + share;
    std::snprintf(share, sizeof share, ", %.1f ml%s", static_cast<double>(r.voxels) * voxel_millilitres(g),
                  unit_taken_as_mm(g) ? ", units unknown: taken as mm" : "");
    size += share;
    std::fprintf(out, "result     %d object%s, %s)\n", r.final_objects, r.final_objects == 1 ? "" : "s", size.c_str());
    if (run.previewed) {
        const PreviewPlan& p = run.plan;
        std::string where = p.object > 0 ? "slices through object " + std::to_string(p.object) : "middle slices";
        if (p.oriented) {
            where += ": " + std::string(kPlaneOf[2]) + " z " + millimetres(p.position[2]) + ", " + kPlaneOf[1] + " y " +
                     millimetres(p.position[1]) + ", " + kPlaneOf[0] + " x " + millimetres(p.position[0]) + " mm";
        } else {
            where += " (orientation unknown):";
            for (int a = 2; a >= 0; --a)
                where += std::string(" ") + kAxisLetter[a] + " " + std::to_string(p.centre[a]) + (a > 0 ? "," : "");
        }
        std::fprintf(out, "preview    %s\n", where.c_str());
    }
    for (std::size_t i = 0; i < run.outputs.size(); ++i)
        std::fprintf(out, "%s%s\n", i == 0 ? "written    " : "           ", run.outputs[i].c_str());
}

// The stage times, a few to a line.
void print_times(std::FILE* out, const RunSummary& run) {
    double sum = 0;
    std::string line = "time (ms) ";
    for (std::size_t i = 0; i < run.stages.size(); ++i) {
        char item[64];
        std::snprintf(item, sizeof item, " %s %.1f%s", run.stages[i].first.c_str(), run.stages[i].second,
                      i + 1 < run.stages.size() ? "," : "");
        if (line.size() + std::string(item).size() > 78) {
            std::fprintf(out, "%s\n", line.c_str());
            line = "          ";
        }
        line += item;
        sum += run.stages[i].second;
    }
    std::fprintf(out, "%s; total %.1f\n", line.c_str(), sum);
}

}  // namespace

void print_text_report(std::FILE* out, const RunSummary& run) {
    print_input_and_chain(out, run);
    print_result(out, run);
    print_times(out, run);
}

}  // namespace img3d_tool
