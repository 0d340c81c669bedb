// The chain's options, in one table: the tool's grammar, the Python
// package's segment_file keywords and the cohort's arguments are all made
// from it, so an option added here appears in all three.
#pragma once

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "volume_io.h"

namespace img3d_tool {

struct SegmentOptions {
    enum class Method { otsu, two_mode, level, band } method = Method::otsu;
    // In file units: Method::level selects values >= level, Method::band
    // values band_low ... band_high.
    double level = 0;
    double band_low = 0, band_high = 0;
    // The file units that levels 0 and 255 stand for, for Otsu and two-mode
    // on data that are not plain bytes (default: the volume's range).
    bool has_window = false;
    double window[2] = {0, 0};
    int min_volume = 1, max_volume = INT_MAX;
    int connectivity = 6;     // of the size bounds, --largest and the labels
    bool fill_holes = false;  // 6-connected holes of the whole volume
    int largest = 0;          // keep this many of the largest objects, 0 = all
    int smooth = 0;           // majority window radius, 0 = off (always 6-connected)
    // One binary morphology step: the element of 6, 18 or 26 neighbours
    // (0 = off), applied iterations times.
    struct Morphology {
        int element = 0;
        int iterations = 1;
    };
    Morphology open, close, erode, dilate;
};

// Everything that decides a run's result: how the input is read and how it
// is segmented.
struct ChainOptions {
    ReadOptions read;
    SegmentOptions segment;
};

struct ChainOption {
    const char* name;   // as the tool spells it: "min-volume" (Python: min_volume)
    const char* value;  // the value's form for help texts ("N", "LO:HI"); "" for a flag
    const char* help;
    const char* initial;   // the value of `img3d segment` when not given; "" for none
    const char* demo;      // the value of `img3d demo` and of the cohort; "" when as initial
    const char* excludes;  // an option that may not be given with this one, or ""
};

// Every option of the chain, in the order the help lists them.
const std::vector<ChainOption>& chain_options();

// The options given, by name, each with its text ("" for a flag).
using GivenOptions = std::vector<std::pair<std::string, std::string>>;

enum class Preset { segment, demo };

// The options of a run: the preset's values, then the given ones.  Throws
// InputError naming the option ("--smooth 200: expected a whole number 0 ...
// 101") for an unknown name, a malformed or out-of-range value, or two
// options that exclude each other.
ChainOptions parse_options(const GivenOptions& given, Preset preset);

// A number in full, finite: "12", "-3.5", "1e3".
bool parse_number(const std::string& text, double& value);

}  // namespace img3d_tool
