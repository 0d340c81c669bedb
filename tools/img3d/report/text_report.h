// The report segment and demo print unless asked for JSON.
#pragma once

#include <cstdio>

#include "summary.h"

namespace img3d_tool {

void print_text_report(std::FILE* out, const RunSummary& run);

}  // namespace img3d_tool
