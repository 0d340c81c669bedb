// The tool's raw reader: accepted exactly when the file holds width x height
// x depth bytes of a volume the library can allocate, and then voxel for
// voxel.
#include "reader_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    img3d::fuzz::Input in(data, size);
    img3d_tool::ReadOptions options;
    // Mostly small matching sizes, now and then zero, negative or huge.
    options.raw_width = in.byte() < 250 ? in.range(1, 12) : in.integer();
    options.raw_height = in.byte() < 250 ? in.range(1, 12) : in.integer();
    options.raw_depth = in.byte() < 250 ? in.range(1, 12) : in.integer();
    const std::size_t used = size - in.remaining();
    const std::string path = img3d::fuzz::scratch_file("input.raw", data + used, in.remaining());

    img3d_tool::LoadedVolume loaded;
    const bool accepted = img3d::fuzz::tool_reads(path, options, loaded);
    const long long w = options.raw_width, h = options.raw_height, d = options.raw_depth;
    const long long most = IMG3D_MAX_OBJECT_EXTENT;
    const bool fits = w >= 1 && h >= 1 && d >= 1 && w <= most && h <= most && d <= most &&
                      w * h * d == static_cast<long long>(in.remaining());
    if (options.raw_width <= 0) return 0;  // not a raw read: the tool takes it as NIfTI
    FUZZ_CHECK(accepted == fits);
    if (accepted) {
        FUZZ_CHECK(loaded.volume.getWidth() == w && loaded.volume.getHeight() == h && loaded.volume.getDepth() == d);
        FUZZ_CHECK(img3d::fuzz::voxels_of(loaded) == std::vector<std::uint8_t>(data + used, data + size));
    }
    return 0;
}
