// Volume files for the img3d tool: NIfTI-1 and NIfTI-2 (.nii, .nii.gz)
// through nifti_clib's libnifti2, and raw 8-bit voxels.
#pragma once

#include <img3d.h>
#include <nifti2_io.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "errors.h"
#include "geometry.h"

namespace img3d_tool {

struct ReadOptions {
    // Raw 8-bit input of these dimensions when width > 0; NIfTI otherwise.
    int raw_width = 0, raw_height = 0, raw_depth = 0;
    float raw_spacing[3] = {1.0f, 1.0f, 1.0f};
    // The volume of a 4-D NIfTI file to read, 0-based; -1 when the file must
    // hold a single one.
    int volume = -1;
};

struct NiftiImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImage = std::unique_ptr<nifti_image, NiftiImageDeleter>;

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};

// The voxels of a file in its own data type, and how they become file units:
// raw * slope + inter in double precision when the header's slope is finite
// and not 0, else the raw value.
struct FileVoxels {
    int datatype = DT_UINT8;  // an integer type of 8 to 64 bits, FLOAT32 or FLOAT64
    std::size_t count = 0;
    const void* data = nullptr;  // count values, in this machine's byte order
    bool scaled = false;
    double slope = 1.0, inter = 0.0;
    std::unique_ptr<void, FreeDeleter> storage;  // owns data unless the type is 8-bit unsigned
};

// A volume and what written results inherit from its file.
struct LoadedVolume {
    CTarnImage3D volume;  // the voxels of an 8-bit unsigned file; empty for other types
    FileVoxels voxels;    // for an 8-bit unsigned file, data is volume's voxels
    Geometry geometry;
    NiftiImage header;   // dimensions, spacing, orientation, units, NIfTI version
    std::string format;  // "NIfTI-1", "NIfTI-2" or "raw"
};

// Fills out from the file, or throws InputError naming the file and the
// reason (RunError when memory runs out).
void read_volume(const std::string& path, const ReadOptions& options, LoadedVolume& out);

// A NIfTI-1 header for a new volume of these dimensions and voxel sizes in
// millimetres, with no orientation.
NiftiImage make_header(int width, int height, int depth, const float spacing[3]);

// "INT16" rather than nifti_clib's "NIFTI_TYPE_INT16".
std::string type_name(int datatype);

enum class VolumeFormat { nifti, nifti_gz, raw };

// The format a file name asks for (.nii, .nii.gz or .raw), or InputError.
VolumeFormat output_format(const std::string& path);

// Writes width x height x depth values of datatype (DT_UINT8, DT_INT16 or
// DT_INT32) to the open file fd: raw, or as NIfTI with the geometry and the
// NIfTI version of like, no intensity scaling and the given intent code.
// path names the file in messages.  Throws InputError with the system's
// reason when a write fails.
void write_volume(int fd, const std::string& path, VolumeFormat format, const nifti_image& like, int datatype,
                  const void* data, int width, int height, int depth, int intent);

// Refuses (InputError) a file name for option that ends in none of the
// extensions.
void check_extension(const std::string& path, const char* option, const std::vector<const char*>& extensions);

// Writes all bytes to fd, or throws InputError naming path and the reason.
void write_all(int fd, const std::string& path, const void* bytes, std::size_t size);

}  // namespace img3d_tool
