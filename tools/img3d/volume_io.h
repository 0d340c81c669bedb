// Volume files for the img3d tool: NIfTI-1 (.nii, .nii.gz) through
// nifti_clib, and raw 8-bit voxels.
#pragma once

#include <img3d.h>
#include <nifti1.h>

#include <stdexcept>
#include <string>

namespace img3d_tool {

// The user's input is at fault (a missing, damaged or unsupported file, a
// bad argument): reported on one line, exit status 2, nothing written.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Anything else that stops a run (memory, a failed write): exit status 1.
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ReadOptions {
    // Raw 8-bit input of these dimensions when width > 0; NIfTI otherwise.
    int raw_width = 0, raw_height = 0, raw_depth = 0;
    float raw_spacing[3] = {1.0f, 1.0f, 1.0f};
    // Map other data types linearly onto 0 ... 255 instead of refusing them.
    bool rescale = false;
};

// A volume and what a written result inherits from its file: the NIfTI
// header (spacing, orientation, units) with its data type set to 8 bits.
struct LoadedVolume {
    CTarnImage3D volume;
    nifti_1_header header{};
    std::string note;  // how the voxels were converted, when they were
};

// Fills out from the file, or throws InputError naming the file and the
// reason (RunError when memory runs out).
void read_volume(const std::string& path, const ReadOptions& options, LoadedVolume& out);

// A NIfTI header for a new 8-bit volume of these dimensions and voxel sizes.
nifti_1_header make_header(int width, int height, int depth, const float spacing[3]);

enum class VolumeFormat { nifti, raw };

// The format a file name asks for (.nii, .nii.gz or .raw), or InputError.
VolumeFormat output_format(const std::string& path);

// Throws InputError when the file could not be created where the path says
// (missing directory, wrong extension), before any work is done.
void check_writable(const std::string& path, const char* extension_hint);

// Writes the volume, with the header's geometry for NIfTI.  The file appears
// complete or not at all: it is written under a temporary name, read back
// and only then renamed.  Throws RunError on failure.
void write_volume(const std::string& path, unsigned char*** volume, const nifti_1_header& header);

// The voxel sizes of a header, in its units (1 where it gives none).
void header_spacing(const nifti_1_header& header, float spacing[3]);

}  // namespace img3d_tool
