// What segment and demo print: a short text report, or the same as JSON.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "segment.h"

namespace img3d_tool {

struct RunSummary {
    std::string input;         // file name, or a description of the phantom
    float spacing[3] = {1, 1, 1};
    std::string unit;          // "mm", "um", "m" or empty when unknown
    std::string note;          // how the input's voxels were converted
    SegmentOptions options;
    SegmentReport report;
    std::vector<std::pair<std::string, double>> stages;  // every stage, in order
    std::vector<std::string> outputs;                    // files written
};

void print_text_report(std::FILE* out, const RunSummary& run);
nlohmann::ordered_json json_report(const RunSummary& run);

}  // namespace img3d_tool
