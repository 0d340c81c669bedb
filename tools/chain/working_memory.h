// How much working memory a library call takes, by the formulas of the
// Memory section of img3d.h: the one place the tool's and the Python
// package's out-of-memory messages take their figures from.
#pragma once

#include <string>

namespace img3d_tool {

enum class Operation { label, edge_smooth, morphology, fill_holes };

// "about 12.3 MiB (what it is made of)" for the call on volume with the
// objects of value.
std::string working_memory(Operation operation, unsigned char*** volume, int value);

}  // namespace img3d_tool
