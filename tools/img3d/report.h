// What segment and demo print: a short text report, or the same as JSON.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "geometry.h"
#include "preview.h"
#include "segment.h"

namespace img3d_tool {

struct RunSummary {
    std::string input;         // file name, or a description of the phantom
    std::string format;        // "NIfTI-1", "NIfTI-2", "raw" or empty for the phantom
    Geometry geometry;
    std::string values;        // the data type and scaling, when not plain bytes
    SegmentOptions options;
    SegmentReport report;
    bool previewed = false;
    PreviewPlan plan;          // where the preview's planes cut, when previewed
    std::vector<std::pair<std::string, double>> stages;  // every stage, in order
    std::vector<std::string> outputs;                    // files written
};

void print_text_report(std::FILE* out, const RunSummary& run);
nlohmann::ordered_json json_report(const RunSummary& run);

}  // namespace img3d_tool
