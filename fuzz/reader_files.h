// Scratch files for the file-reader targets: the tool reads paths, so each
// input is written to a file in a directory of this process's own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include <unistd.h>

#include "fuzz_input.h"
#include "volume_io.h"

namespace img3d::fuzz {

inline const char* scratch_directory() {
    // A plain array, so that it outlives the static destructors that run
    // before the clean-up at exit.
    static char name[] = "/tmp/img3d-fuzz-XXXXXX";
    static const bool made = [] {
        if (::mkdtemp(name) == nullptr) std::abort();
        std::atexit([] { std::filesystem::remove_all(name); });
        return true;
    }();
    (void)made;
    return name;
}

// Writes bytes to NAME in the scratch directory and returns its path.
inline std::string scratch_file(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::string path = std::string(scratch_directory()) + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0)
        std::abort();
    return path;
}

// Reads a file the way the tool does.  True with out filled when accepted;
// false when refused with the tool's input or run error.
inline bool tool_reads(const std::string& path, const img3d_tool::ReadOptions& options,
                       img3d_tool::LoadedVolume& out) {
    try {
        img3d_tool::read_volume(path, options, out);
        return true;
    } catch (const img3d_tool::InputError&) {
        return false;
    } catch (const img3d_tool::RunError&) {
        return false;
    }
}

inline std::vector<std::uint8_t> voxels_of(img3d_tool::LoadedVolume& loaded) {
    const std::size_t n = static_cast<std::size_t>(loaded.volume.getWidth()) * loaded.volume.getHeight() *
                          loaded.volume.getDepth();
    const unsigned char* v = loaded.volume.getPixels();
    return {v, v + n};
}

// A few header fields read straight from the bytes, in either byte order
// (the order is the one that makes dim[0] a sensible 1 ... 7).
struct PlainHeader {
    bool present = false;
    int dim[4] = {};
    int datatype = 0;
    float vox_offset = 0;
    bool single_file = false;  // magic "n+1"
    std::int32_t header_size = 0;
};

PlainHeader plain_header(const std::uint8_t* data, std::size_t size) {
    PlainHeader h;
    if (size < 348) return h;
    auto field = [&](std::size_t offset, std::size_t bytes, bool swap) {
        std::uint8_t b[4] = {};
        std::memcpy(b, data + offset, bytes);
        if (swap) std::reverse(b, b + bytes);
        std::uint32_t value = 0;
        std::memcpy(&value, b, 4);  // this machine is little-endian
        return value;
    };
    const auto dim0 = static_cast<std::int16_t>(field(40, 2, false));
    const bool swap = dim0 < 1 || dim0 > 7;
    for (int i = 0; i < 4; ++i) h.dim[i] = static_cast<std::int16_t>(field(40 + 2 * i, 2, swap));
    h.datatype = static_cast<std::int16_t>(field(70, 2, swap));
    const std::uint32_t offset_bits = field(108, 4, swap);
    std::memcpy(&h.vox_offset, &offset_bits, 4);
    h.single_file = std::memcmp(data + 344, "n+1", 4) == 0;
    h.header_size = static_cast<std::int32_t>(field(0, 4, swap));
    h.present = true;
    return h;
}


// What an accepted NIfTI-1 file must have given: the header's dimensions
// and, for 8-bit data, the voxels at vox_offset of the (uncompressed) bytes.
inline void check_accepted(const std::vector<std::uint8_t>& file, img3d_tool::LoadedVolume& loaded, bool rescale) {
    const PlainHeader plain = plain_header(file.data(), file.size());
    // Only NIfTI-1 single files: no ANALYZE 7.5 fallback, no other magic.
    FUZZ_CHECK(plain.present && plain.single_file && plain.header_size == 348);
    const int w = loaded.volume.getWidth(), h = loaded.volume.getHeight(), d = loaded.volume.getDepth();
    FUZZ_CHECK(plain.dim[0] >= 1 && plain.dim[0] <= 7 && plain.dim[1] >= 1);
    FUZZ_CHECK(w == plain.dim[1] && h == (plain.dim[0] >= 2 ? plain.dim[2] : 1));
    FUZZ_CHECK(d == (plain.dim[0] >= 3 ? plain.dim[3] : 1));
    FUZZ_CHECK(loaded.header.datatype == DT_UINT8 && loaded.header.dim[1] == w);
    if (plain.datatype == DT_UINT8) {
        // nifti_clib reads a single file's voxels no earlier than right
        // after its 348-byte header, whatever vox_offset says.
        FUZZ_CHECK(plain.vox_offset >= 0 && plain.vox_offset < 1e9f);
        std::size_t offset = static_cast<std::size_t>(plain.vox_offset);
        if (offset < 348) offset = 348;
        const std::size_t n = static_cast<std::size_t>(w) * h * d;
        FUZZ_CHECK(offset + n <= file.size());
        FUZZ_CHECK(std::memcmp(loaded.volume.getPixels(), file.data() + offset, n) == 0);
    } else {
        FUZZ_CHECK(rescale);
    }
}

// Reads the file with and without --rescale and checks what is accepted.
inline void read_both_ways(const std::string& path, const std::vector<std::uint8_t>& plain_bytes) {
    for (const bool rescale : {false, true}) {
        img3d_tool::ReadOptions options;
        options.rescale = rescale;
        img3d_tool::LoadedVolume loaded;
        if (tool_reads(path, options, loaded)) check_accepted(plain_bytes, loaded, rescale);
    }
}

}  // namespace img3d::fuzz
