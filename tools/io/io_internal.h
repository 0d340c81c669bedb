// What the readers and writers of volume files share inside this folder.
#pragma once

#include <img3d.h>
#include <nifti2_io.h>

#include <cstdint>
#include <string>

#include "volume_io.h"

namespace img3d_tool::io {

[[noreturn]] void input_error(const std::string& path, const std::string& reason);
// One line on stderr about a file that is read all the same.
void warn(const std::string& path, const std::string& what);
bool ends_with(const std::string& text, const std::string& suffix);
// The file must exist, be a regular file and be readable; InputError with
// the system's reason otherwise.
void check_readable(const std::string& path);
std::string dimensions(std::int64_t width, std::int64_t height, std::int64_t depth);
// Refuses dimensions no volume block can hold, before any product of them
// is formed.
void check_allocatable(const std::string& path, std::int64_t width, std::int64_t height, std::int64_t depth);
void allocate(CTarnImage3D& volume, const std::string& path, int width, int height, int depth);
// 1, 2, 4 or 8 for the grey-level types, 0 for the others.
int bytes_per_voxel(int datatype);

class ByteSource;

// What the header's bytes say, read before nifti_clib is trusted with them:
// nifti_clib falls back to ANALYZE 7.5 for any other magic or header size,
// reads a pair header's voxels from the .nii itself and makes up dimensions
// for some damaged headers instead of refusing them.
struct Header {
    int version = 0;       // 1 or 2
    bool swapped = false;  // written in the other byte order than this machine's
    bool pair = false;     // a .hdr whose voxels lie in the .img beside it
    nifti_1_header one{};
    nifti_2_header two{};
    std::int64_t dim[8] = {};
    int datatype = 0;
    double vox_offset = 0;
};

// Reads and checks the header at the start of source; InputError names what
// is wrong with it.
Header read_header(const std::string& path, ByteSource& source);
void read_nifti(const std::string& path, int volume, LoadedVolume& out);
void read_raw(const std::string& path, const ReadOptions& options, LoadedVolume& out);

// nifti_clib's image of a checked header.
NiftiImage image_of(const std::string& path, const Header& h);
Geometry geometry_of(const nifti_image& image);

}  // namespace img3d_tool::io
