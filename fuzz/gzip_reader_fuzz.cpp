// The tool's reader on arbitrary .nii.gz files: damaged, truncated or
// concatenated gzip streams around a NIfTI file.  What it accepts must be
// what the stream decompresses to; damage may go unseen only past the
// mebibyte after the voxels that the reader inflates at most.
#include <zlib.h>

#include "reader_files.h"

namespace {

// The stream decompressed with zlib alone; false when zlib finds it damaged.
bool gunzip(const std::string& path, std::vector<std::uint8_t>& out) {
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::uint8_t buffer[4096];
    int count;
    while ((count = gzread(file, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + count);
    int status = Z_OK;
    gzerror(file, &status);
    return gzclose_r(file) == Z_OK && count == 0 && status == Z_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = img3d::fuzz::scratch_file("input.nii.gz", data, size);
    std::vector<std::uint8_t> plain;
    const bool intact = gunzip(path, plain);
    img3d_tool::LoadedVolume loaded;
    if (img3d::fuzz::tool_reads(path, img3d_tool::ReadOptions(), loaded)) {
        FUZZ_CHECK(intact || plain.size() > (std::size_t{1} << 20));
        img3d::fuzz::check_accepted(plain, loaded);
    }
    return 0;
}
