// The tool's argument grammar, in plain C++: which commands there are, what
// each takes, and how what the command line said becomes a request.  main
// wires it to CLI11 (the only file that includes CLI11); the grammar's own
// tests run without it.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "segment_file.h"

namespace img3d_tool {

struct ArgumentRule {
    std::string names;  // "INPUT" (positional), "--labels" or "-o,--output"
    std::string key;    // "input", "labels", "output": how Arguments names it
    std::string value;  // the value's form in help texts; "" for a flag
    std::string help;
    std::string initial;  // the default shown in help, or ""
    bool required = false;
    std::string excludes;  // the key of an argument that may not be given with this one, or ""
};

struct CommandRule {
    std::string name, help;
    std::vector<ArgumentRule> arguments;
};

// segment, objects and demo; segment takes every option of the chain.
const std::vector<CommandRule>& command_rules();

// What the command line said: the command, and each argument given, by
// key, with its text ("" for a flag), in the order of the command's rules.
struct Arguments {
    std::string command;
    GivenOptions given;
    bool has(const std::string& key) const;
    std::string text(const std::string& key, const std::string& otherwise = "") const;
};

// Throws InputError for two given arguments that exclude each other.
void check_exclusions(const Arguments& arguments);

// The chain's request of `segment` (its --preview is the command's own).
// Throws InputError naming a bad option.
SegmentRequest segment_request(const Arguments& arguments);

struct ObjectsRequest {
    std::string input;
    ReadOptions read;
    double value = 255;
    int connectivity = 6;
    std::string grey;  // a volume of the same grid whose values each object's are summed up of, or ""
    enum class Format { table, csv, json } format = Format::table;
    bool raster_order = false;
    int limit = 50;  // rows of the plain table, 0 = all
};

ObjectsRequest objects_request(const Arguments& arguments);

// The given arguments that are options of the chain, as the chain takes them.
GivenOptions chain_options_given(const Arguments& arguments);

// The read options (--raw, --spacing) any command with an INPUT takes.
ReadOptions read_options(const Arguments& arguments);

}  // namespace img3d_tool
