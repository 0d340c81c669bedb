// A segmenting run from file to files, all or nothing: every output is made
// before any work, the input is read, the chain runs, the volumes are
// written, and only then is everything renamed into place.  `img3d segment`
// and `img3d demo` add their own outputs (the preview, the demo's table) to
// the same run; the Python package calls segment_file.
#pragma once

#include <string>

#include "options.h"
#include "output_files.h"
#include "progress.h"
#include "summary.h"

namespace img3d_tool {

struct SegmentRequest {
    std::string input;  // empty when the caller fills the volume (the demo's phantom)
    ChainOptions options;
    std::string output, labels;  // the result (.nii, .nii.gz, .raw) and its label image; "" for none
};

class SegmentRun {
public:
    SegmentRun(const SegmentRequest& request, Progress& progress);

    // Makes the result's and the label image's files now (see OutputFiles),
    // after checking their names.
    void add_volume_outputs();
    OutputFiles& files() { return files_; }

    void read();                                // the request's input
    LoadedVolume& volume() { return loaded_; }  // to fill it instead
    void segment();
    // The result (8-bit, 255/0) and the labels (16-bit while they fit, else
    // 32-bit) into their temporaries.
    void write_volumes();
    // Renames every output into place and lists them in the summary.
    void commit();

    RunSummary summary;
    SegmentVolumes volumes;

private:
    const SegmentRequest& request_;
    Progress& progress_;
    OutputFiles files_;
    LoadedVolume loaded_;
    int result_ = -1, labels_ = -1;
};

// The whole run, quietly: returns the report as `img3d segment --json`
// prints it.  Throws InputError or RunError as the tool reports them.
std::string segment_file(const SegmentRequest& request);

}  // namespace img3d_tool
