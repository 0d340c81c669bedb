#include "report.h"

#include <climits>

namespace img3d_tool {
namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string volume_range(const SegmentOptions& o) {
    if (o.max_volume == INT_MAX) return "of at least " + std::to_string(o.min_volume) + " voxels";
    return "of " + std::to_string(o.min_volume) + " ... " + std::to_string(o.max_volume) + " voxels";
}

std::string foreground(const SegmentReport& r) {
    if (r.foreground_low > r.foreground_high || r.foreground_low > 255) return "no grey level (empty)";
    return "grey " + std::to_string(r.foreground_low) + " ... " + std::to_string(r.foreground_high);
}

double voxel_volume(const RunSummary& run) {
    return double{run.spacing[0]} * run.spacing[1] * run.spacing[2];
}

}  // namespace

void print_text_report(std::FILE* out, const RunSummary& run) {
    const SegmentReport& r = run.report;
    const std::string unit = run.unit.empty() ? "" : " " + run.unit;
    std::fprintf(out, "input      %s\n", run.input.c_str());
    std::fprintf(out, "           %d x %d x %d voxels of %s x %s x %s%s\n", r.width, r.height, r.depth,
                 number(run.spacing[0]).c_str(), number(run.spacing[1]).c_str(), number(run.spacing[2]).c_str(),
                 unit.c_str());
    if (!run.note.empty()) std::fprintf(out, "           %s\n", run.note.c_str());
    std::fprintf(out, "grey       %d ... %d, mean %d\n", r.minimum, r.maximum, r.mean);
    if (run.options.method == SegmentOptions::Method::band)
        std::fprintf(out, "threshold  band: objects are %s\n", foreground(r).c_str());
    else
        std::fprintf(out, "threshold  %s %d: objects are %s\n", r.method.c_str(), r.level, foreground(r).c_str());
    std::fprintf(out, "objects    %d found (largest %d voxels), %d kept %s\n", r.found, r.largest, r.kept,
                 volume_range(run.options).c_str());
    if (run.options.smooth > 0) std::fprintf(out, "smoothing  radius %d\n", run.options.smooth);
    if (run.options.dilate > 0) std::fprintf(out, "dilation   %d neighbours\n", run.options.dilate);

    const long long total = static_cast<long long>(r.width) * r.height * r.depth;
    char share[64];
    std::snprintf(share, sizeof share, " (%.2f %%", 100.0 * static_cast<double>(r.voxels) / static_cast<double>(total));
    std::string size = std::to_string(r.voxels) + " voxels" + share;
    if (run.unit == "mm") {
        std::snprintf(share, sizeof share, ", %.1f ml", static_cast<double>(r.voxels) * voxel_volume(run) / 1000.0);
        size += share;
    }
    std::fprintf(out, "result     %d object%s, %s)\n", r.final_objects, r.final_objects == 1 ? "" : "s",
                 size.c_str());
    for (std::size_t i = 0; i < run.outputs.size(); ++i)
        std::fprintf(out, "%s%s\n", i == 0 ? "written    " : "           ", run.outputs[i].c_str());

    // The stage times, a few to a line.
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

nlohmann::ordered_json json_report(const RunSummary& run) {
    const SegmentReport& r = run.report;
    nlohmann::ordered_json j;
    j["input"] = run.input;
    j["dimensions"] = {r.width, r.height, r.depth};
    j["spacing"] = {run.spacing[0], run.spacing[1], run.spacing[2]};
    j["unit"] = run.unit;
    if (!run.note.empty()) j["note"] = run.note;
    j["grey"] = {{"minimum", r.minimum}, {"maximum", r.maximum}, {"mean", r.mean}};
    j["threshold"] = {{"method", r.method},
                      {"level", r.level},
                      {"foreground", {r.foreground_low, r.foreground_high}}};
    j["objects"] = {{"found", r.found},
                    {"largest", r.largest},
                    {"kept", r.kept},
                    {"min_volume", run.options.min_volume},
                    {"max_volume", run.options.max_volume}};
    j["smoothing"] = run.options.smooth;
    j["dilation"] = run.options.dilate;
    j["result"] = {{"objects", r.final_objects}, {"voxels", r.voxels}};
    j["outputs"] = run.outputs;
    nlohmann::ordered_json stages = nlohmann::ordered_json::object();
    for (const auto& [name, ms] : run.stages) stages[name] = ms;
    j["milliseconds"] = stages;
    return j;
}

}  // namespace img3d_tool
