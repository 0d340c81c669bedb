#include <cstdio>
#include <filesystem>
#include <system_error>

#include "io_internal.h"

namespace fs = std::filesystem;

namespace img3d_tool::io {

void read_raw(const std::string& path, const ReadOptions& options, LoadedVolume& out) {
    const int w = options.raw_width, h = options.raw_height, d = options.raw_depth;
    // Before the sizes are multiplied: negative ones could wrap onto the
    // file's size.
    check_allocatable(path, w, h, d);
    const std::uintmax_t expected =
        static_cast<std::uintmax_t>(w) * static_cast<std::uintmax_t>(h) * static_cast<std::uintmax_t>(d);
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error) input_error(path, error.message());
    if (size != expected)
        input_error(path, "raw size mismatch: the file holds " + std::to_string(size) + " bytes, " +
                              dimensions(w, h, d) + " needs " + std::to_string(expected));
    allocate(out.volume, path, w, h, d);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const bool complete = file && std::fread(out.volume.getPixels(), 1, expected, file) == expected;
    if (file) std::fclose(file);
    if (!complete) input_error(path, "read failed");
    out.voxels.datatype = DT_UINT8;
    out.voxels.count = expected;
    out.voxels.data = out.volume.getPixels();
    out.header = make_header(w, h, d, options.raw_spacing);
    out.geometry = geometry_of(*out.header);
    out.format = "raw";
}

}  // namespace img3d_tool::io
