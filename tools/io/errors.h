// The two ways a run of the tool fails, each with its exit status; main
// prints the message on one line.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

namespace img3d_tool {

// The user's request cannot be carried out as given: a missing, damaged or
// unsupported input, a bad argument, or an output that cannot or must not be
// written.  Exit status 2.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The run could not finish for want of memory.  The message names the stage
// and, where it is known, about how much it needed.  Exit status 1.
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "12.3 MiB": how much memory a message says was wanted.
inline std::string mebibytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
    return text;
}

}  // namespace img3d_tool
