#include <cmath>

#include <nlohmann/json.hpp>

#include "summary.h"

namespace img3d_tool {

std::string json_report(const RunSummary& run) {
    using json = nlohmann::ordered_json;
    const SegmentReport& r = run.report;
    const Geometry& g = run.geometry;
    // Infinite bounds are null.
    auto value = [](double v) { return std::isfinite(v) ? json(v) : json(nullptr); };
    json j;
    j["input"] = run.input;
    if (!run.format.empty()) j["format"] = run.format;
    j["dimensions"] = {r.width, r.height, r.depth};
    j["spacing"] = {g.spacing[0], g.spacing[1], g.spacing[2]};
    j["unit"] = g.unit;
    if (!run.values.empty()) j["values"] = run.values;
    j["grey"] = {{"minimum", r.grey.minimum}, {"maximum", r.grey.maximum}, {"mean", r.grey.mean}};
    if (r.grey.non_finite > 0) j["grey"]["non_finite"] = r.grey.non_finite;
    json threshold = {{"method", r.method}};
    if (r.automatic) {
        threshold["level"] = r.level;
        threshold["level_grey"] = r.level_value;
        threshold["levels"] = r.levels.raw ? json("bytes") : json({r.levels.low, r.levels.high});
    } else {
        threshold["level"] = r.low;
    }
    threshold["foreground"] = r.empty_reason.empty() ? json({value(r.low), value(r.high)}) : json(nullptr);
    if (!r.empty_reason.empty()) threshold["empty"] = r.empty_reason;
    j["threshold"] = threshold;
    j["objects"] = {{"found", r.found},
                    {"largest", r.largest},
                    {"kept", r.kept},
                    {"min_volume", run.options.min_volume},
                    {"max_volume", run.options.max_volume}};
    j["smoothing"] = run.options.smooth;
    j["dilation"] = run.options.dilate;
    j["result"] = {{"objects", r.final_objects}, {"voxels", r.voxels}, {"removed_after", r.removed_after}};
    if (run.previewed) {
        const PreviewPlan& p = run.plan;
        j["preview"] = {{"orientation", p.oriented ? json(p.source) : json(nullptr)},
                        {"object", p.object},
                        {"voxel", {p.centre[0], p.centre[1], p.centre[2]}},
                        {"position_mm", {p.position[0], p.position[1], p.position[2]}}};
    }
    j["outputs"] = run.outputs;
    json stages = json::object();
    for (const auto& [name, ms] : run.stages) stages[name] = ms;
    j["milliseconds"] = stages;
    return j.dump(2);
}

}  // namespace img3d_tool
