// The tool's commands.  run_command runs one, reports any failure on one
// line of stderr and returns the exit status: 0 done; 1 the run failed for
// want of memory; 2 bad input, bad arguments, or an output that cannot or
// must not be written (nothing is written then).
#pragma once

#include <string>

#include "grammar.h"
#include "segment_file.h"

namespace img3d_tool {

constexpr int kExitMemory = 1;
constexpr int kExitBadInput = 2;

int run_command(const Arguments& arguments);

// The commands themselves, which throw InputError, RunError or
// std::bad_alloc.
int run_segment_command(const Arguments& arguments);
int run_objects_command(const Arguments& arguments);
int run_demo_command(const Arguments& arguments);

// What segment and demo share: whether to show progress, the preview of a
// run into output index, and the report.
bool progress_wanted(bool quiet);
void write_preview(SegmentRun& run, int index, const std::string& caption, Progress& progress);
void print_summary(const RunSummary& run, bool json, bool quiet);

// Text on one line: the message of an error.
std::string one_line(std::string text);

}  // namespace img3d_tool
