// Which reader a file goes to, after the checks every input passes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "io_internal.h"

namespace fs = std::filesystem;

namespace img3d_tool {
namespace io {

void check_readable(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    // A looping link is no missing file: the system's own reason.
    if (error && error != std::errc::no_such_file_or_directory) input_error(path, error.message());
    if (!fs::exists(status)) input_error(path, std::strerror(ENOENT));
    if (fs::is_directory(status)) input_error(path, std::strerror(EISDIR));
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        std::fclose(file);
    } else {
        input_error(path, std::strerror(errno));
    }
}

}  // namespace io

void read_volume(const std::string& path, const ReadOptions& options, LoadedVolume& out) {
    io::check_readable(path);
    if (options.raw_width > 0)
        io::read_raw(path, options, out);
    else
        io::read_nifti(path, options.volume, out);
}

}  // namespace img3d_tool
