#include "options.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <type_traits>

#include "errors.h"

namespace img3d_tool {
namespace {

const std::vector<ChainOption> kOptions = {
    {"raw", "WxHxD", "Read INPUT as raw 8-bit voxels of these dimensions, x fastest", "", "", ""},
    {"spacing", "X,Y,Z", "Voxel size in mm of raw input (default 1,1,1)", "", "", ""},
    {"volume", "N", "The volume to read of a 4-D file, 0 for the first (as fslroi counts)", "", "", ""},
    {"threshold", "otsu|two-mode|VALUE", "otsu, two-mode, or a value in file units: objects are values >= it", "otsu",
     "", ""},
    {"band", "LO:HI", "Objects are values LO ... HI inclusive, in file units", "", "", "threshold"},
    {"window", "LO:HI",
     "The file units that otsu, two-mode and the preview map linearly onto levels 0 ... 255 (default: the "
     "volume's minimum ... maximum; plain bytes are used as they are)",
     "", "", ""},
    {"rescale", "", "Accepted for compatibility: the default --window (the volume's minimum ... maximum)", "", "", ""},
    {"min-volume", "N", "Remove objects of fewer voxels", "1", "50", ""},
    {"max-volume", "N", "Remove objects of more voxels", "", "", ""},
    {"connectivity", "6|18|26",
     "How voxels touch for the size bounds, --largest and the labels: 6 faces, 18 and edges, 26 and corners "
     "(the smoothing always takes 6-connected objects)",
     "6", "", ""},
    {"fill-holes", "", "Fill the holes: background pieces (6-connected) that touch no face of the volume", "", "", ""},
    {"largest", "K", "Keep the K largest objects (ties: the first in raster order)", "", "", ""},
    {"smooth", "R", "Edge smoothing radius, 0 = off (0 ... 101)", "0", "1", ""},
    {"open", "E[xN]", "Binary opening by the element of E = 6, 18 or 26 neighbours, N times (26x2)", "", "", ""},
    {"close", "E[xN]", "Binary closing, as --open (outside the volume counts as background)", "", "", ""},
    {"erode", "E[xN]", "Binary erosion, as --open", "", "", ""},
    {"dilate", "E[xN]", "Binary dilation, as --open: every object voxel stays", "", "", ""},
};

[[noreturn]] void bad(const std::string& name, const std::string& text, const std::string& expected) {
    throw InputError("--" + name + " " + text + ": expected " + expected);
}

// "WxHxD" or "X,Y,Z": three positive numbers separated by sep.
template <typename T>
bool parse_triple(const std::string& text, char sep, T out[3]) {
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t end = i < 2 ? text.find(sep, start) : text.size();
        if (end == std::string::npos || end == start) return false;
        double value = 0;
        if (!parse_number(text.substr(start, end - start), value) || !(value > 0)) return false;
        if constexpr (std::is_same_v<T, int>) {
            if (value != std::floor(value) || value > INT_MAX) return false;
        }
        out[i] = static_cast<T>(value);
        start = end + 1;
    }
    return true;
}

// "LO:HI" with LO <= HI (LO < HI when strict).
bool parse_range(const std::string& text, double range[2], bool strict) {
    // The separator is the colon after the first character, so "-5:-1" works.
    const std::size_t colon = text.find(':', 1);
    if (colon == std::string::npos) return false;
    return parse_number(text.substr(0, colon), range[0]) && parse_number(text.substr(colon + 1), range[1]) &&
           (strict ? range[0] < range[1] : range[0] <= range[1]);
}

int whole_number(const std::string& name, const std::string& text, int low, int high) {
    double value = 0;
    if (!parse_number(text, value) || value != std::floor(value) || value < low || value > high)
        bad(name, text, "a whole number " + std::to_string(low) + " ... " + std::to_string(high));
    return static_cast<int>(value);
}

// "E" or "ExN": an element of 6, 18 or 26 neighbours, N >= 1 times.
SegmentOptions::Morphology morphology(const std::string& name, const std::string& text) {
    const std::size_t times = text.find('x');
    const std::string element = text.substr(0, times),
                      count = times == std::string::npos ? "1" : text.substr(times + 1);
    const bool digits = !count.empty() && count.size() <= 9 &&
                        std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; });
    if ((element != "6" && element != "18" && element != "26") || !digits || std::stoi(count) < 1)
        bad(name, text, "6, 18 or 26, optionally followed by xN for N >= 1 iterations (26x2)");
    return {std::stoi(element), std::stoi(count)};
}

void apply_read(const std::string& name, const std::string& text, ReadOptions& o) {
    if (name == "raw") {
        int dims[3];
        if (!parse_triple(text, 'x', dims)) bad(name, text, "WxHxD with three positive whole numbers");
        o.raw_width = dims[0];
        o.raw_height = dims[1];
        o.raw_depth = dims[2];
    } else if (name == "volume") {
        o.volume = whole_number(name, text, 0, INT_MAX);
    } else if (!parse_triple(text, ',', o.raw_spacing)) {
        bad(name, text, "X,Y,Z with three positive numbers");
    }
}

void apply_threshold(const std::string& name, const std::string& text, SegmentOptions& o) {
    using Method = SegmentOptions::Method;
    if (name == "window") {
        if (!parse_range(text, o.window, true)) bad(name, text, "LO:HI in file units with LO < HI");
        o.has_window = true;
    } else if (name == "band") {
        double range[2];
        if (!parse_range(text, range, false)) bad(name, text, "LO:HI in file units with LO <= HI");
        o.method = Method::band;
        o.band_low = range[0];
        o.band_high = range[1];
    } else if (text == "otsu" || text == "two-mode") {
        o.method = text == "otsu" ? Method::otsu : Method::two_mode;
    } else if (parse_number(text, o.level)) {
        o.method = Method::level;
    } else {
        bad(name, text, "otsu, two-mode or a value in file units");
    }
}

void apply(const std::string& name, const std::string& text, ChainOptions& options) {
    SegmentOptions& o = options.segment;
    if (name == "raw" || name == "spacing" || name == "volume") {
        apply_read(name, text, options.read);
    } else if (name == "threshold" || name == "band" || name == "window") {
        apply_threshold(name, text, o);
    } else if (name == "rescale") {
        if (!text.empty()) bad(name, text, "no value (it is a flag)");
    } else if (name == "min-volume" || name == "max-volume") {
        (name == "min-volume" ? o.min_volume : o.max_volume) = whole_number(name, text, 0, INT_MAX);
    } else if (name == "smooth") {
        o.smooth = whole_number(name, text, 0, 101);
    } else if (name == "connectivity") {
        if (text != "6" && text != "18" && text != "26") bad(name, text, "6, 18 or 26");
        o.connectivity = std::stoi(text);
    } else if (name == "fill-holes") {
        if (!text.empty()) bad(name, text, "no value (it is a flag)");
        o.fill_holes = true;
    } else if (name == "largest") {
        o.largest = whole_number(name, text, 1, INT_MAX);
    } else if (name == "open" || name == "close" || name == "erode" || name == "dilate") {
        (name == "open"    ? o.open
         : name == "close" ? o.close
         : name == "erode" ? o.erode
                           : o.dilate) = morphology(name, text);
    } else {
        throw InputError("--" + name + ": no such option");
    }
}

bool given_option(const GivenOptions& given, const std::string& name) {
    for (const auto& option : given)
        if (option.first == name) return true;
    return false;
}

}  // namespace

const std::vector<ChainOption>& chain_options() { return kOptions; }

bool parse_number(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

ChainOptions parse_options(const GivenOptions& given, Preset preset) {
    ChainOptions options;
    for (const ChainOption& rule : kOptions) {
        const std::string value = preset == Preset::demo && *rule.demo ? rule.demo : rule.initial;
        if (!value.empty() && !given_option(given, rule.excludes)) apply(rule.name, value, options);
    }
    for (const auto& [name, text] : given) {
        for (const ChainOption& rule : kOptions)
            if (name == rule.name && *rule.excludes && given_option(given, rule.excludes))
                throw InputError("--" + name + " excludes --" + rule.excludes);
        apply(name, text, options);
    }
    if (given_option(given, "spacing") && !given_option(given, "raw"))
        throw InputError("--spacing applies to raw input only (NIfTI files carry their own)");
    if (given_option(given, "volume") && given_option(given, "raw"))
        throw InputError("--volume applies to NIfTI input only (raw input holds one volume)");
    const SegmentOptions& o = options.segment;
    if (o.min_volume > o.max_volume)
        throw InputError("--min-volume " + std::to_string(o.min_volume) + " exceeds --max-volume " +
                         std::to_string(o.max_volume));
    return options;
}

}  // namespace img3d_tool
