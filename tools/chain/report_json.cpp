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
    const SegmentOptions& o = run.options;
    j["chain"] = r.steps;
    j["objects"] = {{"found", r.found},           {"largest", r.largest},       {"kept", r.kept},
                    {"min_volume", o.min_volume}, {"max_volume", o.max_volume}, {"connectivity", o.connectivity}};
    j["fill_holes"] = o.fill_holes ? json{{"filled", r.holes}} : json(nullptr);
    j["keep_largest"] = o.largest > 0
                            ? json{{"objects", o.largest}, {"kept", r.kept_largest}, {"removed", r.removed_largest}}
                            : json(nullptr);
    j["smoothing"] = o.smooth;
    auto step = [](const SegmentOptions::Morphology& m) {
        return m.element ? json{{"element", m.element}, {"iterations", m.iterations}} : json(nullptr);
    };
    j["opening"] = step(o.open);
    j["closing"] = step(o.close);
    j["erosion"] = step(o.erode);
    j["dilation"] = step(o.dilate);
    j["result"] = {{"objects", r.final_objects},
                   {"voxels", r.voxels},
                   {"ml", static_cast<double>(r.voxels) * voxel_millilitres(g)},
                   {"removed_after", r.removed_after}};
    if (unit_taken_as_mm(g)) j["result"]["unit_assumed"] = "mm";
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
