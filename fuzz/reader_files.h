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

// A few header fields read straight from the bytes of a NIfTI-1 or NIfTI-2
// header, in the byte order its size field is written in.
struct PlainHeader {
    bool present = false;
    int version = 0;
    bool swapped = false;
    std::int64_t dim[4] = {};
    int datatype = 0;
    double vox_offset = 0;
};

inline PlainHeader plain_header(const std::uint8_t* data, std::size_t size) {
    PlainHeader h;
    if (size < 4) return h;
    auto field = [&](std::size_t offset, std::size_t bytes) {
        std::uint8_t b[8] = {};
        std::memcpy(b, data + offset, bytes);
        if (h.swapped) std::reverse(b, b + bytes);
        std::uint64_t value = 0;
        std::memcpy(&value, b, 8);  // this machine is little-endian
        return value;
    };
    for (const bool swap : {false, true}) {
        h.swapped = swap;
        const auto header_size = static_cast<std::int32_t>(field(0, 4));
        if (header_size == 348 && size >= 348 && std::memcmp(data + 344, "n+1", 4) == 0) h.version = 1;
        if (header_size == 540 && size >= 540 && std::memcmp(data + 4, "n+2\0\r\n\032\n", 8) == 0) h.version = 2;
        if (h.version != 0) break;
    }
    if (h.version == 0) return h;
    if (h.version == 1) {
        for (int i = 0; i < 4; ++i) h.dim[i] = static_cast<std::int16_t>(field(40 + 2 * i, 2));
        h.datatype = static_cast<std::int16_t>(field(70, 2));
        const auto bits = static_cast<std::uint32_t>(field(108, 4));
        float offset;
        std::memcpy(&offset, &bits, 4);
        h.vox_offset = offset;
    } else {
        for (int i = 0; i < 4; ++i) h.dim[i] = static_cast<std::int64_t>(field(16 + 8 * i, 8));
        h.datatype = static_cast<std::int16_t>(field(12, 2));
        h.vox_offset = static_cast<double>(static_cast<std::int64_t>(field(168, 8)));
    }
    h.present = true;
    return h;
}

// What an accepted NIfTI file must have given: the header's dimensions and
// the voxels at vox_offset of the (uncompressed) bytes, in this machine's
// byte order.
inline void check_accepted(const std::vector<std::uint8_t>& file, img3d_tool::LoadedVolume& loaded) {
    const PlainHeader plain = plain_header(file.data(), file.size());
    // Only NIfTI-1 and NIfTI-2 single files: no ANALYZE 7.5 fallback.
    FUZZ_CHECK(plain.present);
    const std::int64_t w = loaded.header->nx, h = loaded.header->ny, d = loaded.header->nz;
    FUZZ_CHECK(plain.dim[0] >= 1 && plain.dim[0] <= 7 && plain.dim[1] >= 1);
    FUZZ_CHECK(w == plain.dim[1] && h == (plain.dim[0] >= 2 ? plain.dim[2] : 1));
    FUZZ_CHECK(d == (plain.dim[0] >= 3 ? plain.dim[3] : 1));
    FUZZ_CHECK(w <= IMG3D_MAX_OBJECT_EXTENT && h <= IMG3D_MAX_OBJECT_EXTENT && d <= IMG3D_MAX_OBJECT_EXTENT);
    FUZZ_CHECK(loaded.voxels.datatype == plain.datatype);
    FUZZ_CHECK(loaded.voxels.count == static_cast<std::size_t>(w * h * d));
    // A single file's voxels start no earlier than right after its header,
    // whatever vox_offset says.
    const double header_size = plain.version == 1 ? 348 : 540;
    FUZZ_CHECK(plain.vox_offset >= 0 && plain.vox_offset < 1e15);
    const auto offset = static_cast<std::size_t>(std::max(plain.vox_offset, header_size));
    const int nbyper = loaded.header->nbyper;
    const std::size_t bytes = loaded.voxels.count * static_cast<std::size_t>(nbyper);
    FUZZ_CHECK(offset + bytes <= file.size());
    std::vector<std::uint8_t> expected(file.begin() + static_cast<std::ptrdiff_t>(offset),
                                       file.begin() + static_cast<std::ptrdiff_t>(offset + bytes));
    if (plain.swapped)
        for (std::size_t i = 0; i < bytes; i += static_cast<std::size_t>(nbyper))
            std::reverse(expected.begin() + static_cast<std::ptrdiff_t>(i),
                         expected.begin() + static_cast<std::ptrdiff_t>(i) + nbyper);
    FUZZ_CHECK(std::memcmp(loaded.voxels.data, expected.data(), bytes) == 0);
    if (plain.datatype == DT_UINT8)
        FUZZ_CHECK(std::memcmp(loaded.volume.getPixels(), expected.data(), bytes) == 0);
}

// Reads the file and checks what is accepted.
inline void read_and_check(const std::string& path, const std::vector<std::uint8_t>& plain_bytes) {
    img3d_tool::LoadedVolume loaded;
    if (tool_reads(path, img3d_tool::ReadOptions(), loaded)) check_accepted(plain_bytes, loaded);
}

}  // namespace img3d::fuzz
