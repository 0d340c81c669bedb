#include "grammar.h"

#include <climits>
#include <cmath>

#include "errors.h"

namespace img3d_tool {
namespace {

// The options of the reader go with the input, which every command takes.
bool reads_input(const ChainOption& option) {
    const std::string name = option.name;
    return name == "raw" || name == "spacing" || name == "volume";
}

ArgumentRule from_table(const ChainOption& option) {
    return {std::string("--") + option.name,
            option.name,
            option.value,
            option.help,
            option.initial,
            false,
            option.excludes};
}

std::vector<ArgumentRule> input_arguments(bool required) {
    std::vector<ArgumentRule> list = {{"INPUT", "input", "FILE",
                                       "Volume file: NIfTI-1 or NIfTI-2 (.nii, .nii.gz), or raw 8-bit with --raw", "",
                                       required, ""}};
    for (const ChainOption& option : chain_options())
        if (reads_input(option)) list.push_back(from_table(option));
    return list;
}

std::vector<ArgumentRule> report_arguments() {
    return {{"--json", "json", "", "Print the report as JSON", "", false, ""},
            {"-q,--quiet", "quiet", "", "Print nothing but errors (no report, no progress)", "", false, "json"}};
}

std::vector<CommandRule> make_rules() {
    CommandRule segment{
        "segment",
        "Threshold a volume, select its objects by size, fill holes, smooth and reshape them; print a report",
        input_arguments(true)};
    segment.arguments.push_back(
        {"-o,--output", "output", "FILE", "Result volume (.nii, .nii.gz or .raw): objects 255, rest 0", "", false, ""});
    segment.arguments.push_back(
        {"--labels", "labels", "FILE",
         "Label image of the result (.nii or .nii.gz): object k (the k-th in raster order, as "
         "`objects --order raster` numbers them) holds k, the rest 0; 16-bit, 32-bit past 32767",
         "", false, ""});
    segment.arguments.push_back({"--preview", "preview", "FILE.png",
                                 "Picture of a slice in each plane through the result (PNG)", "", false, ""});
    for (const ChainOption& option : chain_options())
        if (!reads_input(option)) segment.arguments.push_back(from_table(option));
    for (const ArgumentRule& a : report_arguments()) segment.arguments.push_back(a);

    CommandRule objects{"objects",
                        "List the objects of one value: size, bounding box, seed, centroid in mm, volume in ml",
                        input_arguments(true)};
    objects.arguments.push_back({"--value", "value", "V", "The objects' value, in file units", "255", false, ""});
    objects.arguments.push_back({"--connectivity", "connectivity", "6|18|26",
                                 "How voxels touch: 6 faces, 18 and edges, 26 and corners", "6", false, ""});
    objects.arguments.push_back({"--grey", "grey", "FILE",
                                 "Another volume of the same grid: each object's mean, minimum and maximum of its "
                                 "values, in its file units",
                                 "", false, ""});
    objects.arguments.push_back({"--csv", "csv", "", "Print CSV", "", false, ""});
    objects.arguments.push_back({"--json", "json", "", "Print JSON", "", false, "csv"});
    objects.arguments.push_back(
        {"--order", "order", "size|raster", "size: largest first; raster: by seed position", "size", false, ""});
    objects.arguments.push_back({"--limit", "limit", "N", "Rows of the plain table, 0 = all", "50", false, ""});

    CommandRule demo{"demo",
                     "Segment a built-in phantom (or INPUT) and write the volumes, labels, table and a picture to a "
                     "folder",
                     input_arguments(false)};
    demo.arguments.push_back({"-o,--output", "output", "DIR", "Folder for the outputs", "img3d-demo", false, ""});
    for (const ArgumentRule& a : report_arguments()) demo.arguments.push_back(a);
    return {segment, objects, demo};
}

}  // namespace

const std::vector<CommandRule>& command_rules() {
    static const std::vector<CommandRule> rules = make_rules();
    return rules;
}

bool Arguments::has(const std::string& key) const {
    for (const auto& entry : given)
        if (entry.first == key) return true;
    return false;
}

std::string Arguments::text(const std::string& key, const std::string& otherwise) const {
    for (const auto& entry : given)
        if (entry.first == key) return entry.second;
    return otherwise;
}

void check_exclusions(const Arguments& arguments) {
    for (const CommandRule& command : command_rules()) {
        if (command.name != arguments.command) continue;
        for (const ArgumentRule& rule : command.arguments)
            if (!rule.excludes.empty() && arguments.has(rule.key) && arguments.has(rule.excludes))
                throw InputError("--" + rule.key + " excludes --" + rule.excludes);
    }
}

GivenOptions chain_options_given(const Arguments& arguments) {
    GivenOptions given;
    for (const auto& [key, text] : arguments.given)
        for (const ChainOption& option : chain_options())
            if (key == option.name) given.emplace_back(key, text);
    return given;
}

ReadOptions read_options(const Arguments& arguments) {
    return parse_options(chain_options_given(arguments), Preset::segment).read;
}

SegmentRequest segment_request(const Arguments& arguments) {
    SegmentRequest request;
    request.input = arguments.text("input");
    request.options = parse_options(chain_options_given(arguments), Preset::segment);
    request.output = arguments.text("output");
    request.labels = arguments.text("labels");
    return request;
}

ObjectsRequest objects_request(const Arguments& arguments) {
    ObjectsRequest request;
    request.input = arguments.text("input");
    request.read = read_options(arguments);
    const std::string value = arguments.text("value", "255");
    if (!parse_number(value, request.value)) throw InputError("--value " + value + ": expected a value in file units");
    const std::string connectivity = arguments.text("connectivity", "6");
    if (connectivity != "6" && connectivity != "18" && connectivity != "26")
        throw InputError("--connectivity " + connectivity + ": expected 6, 18 or 26");
    request.connectivity = std::stoi(connectivity);
    request.grey = arguments.text("grey");
    if (arguments.has("csv")) request.format = ObjectsRequest::Format::csv;
    if (arguments.has("json")) request.format = ObjectsRequest::Format::json;
    const std::string order = arguments.text("order", "size");
    if (order != "size" && order != "raster") throw InputError("--order " + order + ": expected size or raster");
    request.raster_order = order == "raster";
    const std::string limit = arguments.text("limit", "50");
    double rows = 0;
    if (!parse_number(limit, rows) || rows < 0 || rows != std::floor(rows) || rows > INT_MAX)
        throw InputError("--limit " + limit + ": expected a whole number 0 ... " + std::to_string(INT_MAX));
    request.limit = static_cast<int>(rows);
    return request;
}

}  // namespace img3d_tool
