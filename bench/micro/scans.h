// The MRI templates of Debian's mricron-data as 8-bit volumes, for the
// benchmarks of real scans.  Read with zlib; absent files give no volume.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "img3d.h"

namespace bench {

// An owned volume of any size, null when its file could not be read.
struct Scan {
    unsigned char*** v = nullptr;
    Scan() = default;
    Scan(const Scan&) = delete;
    Scan& operator=(const Scan&) = delete;
    ~Scan() { Image3DFree(v); }
    std::int64_t voxels() const {
        return std::int64_t{Image3DGetWidth(v)} * Image3DGetHeight(v) * Image3DGetDepth(v);
    }
};

// /usr/share/mricron/templates/NAME.nii.gz, when it is a little-endian
// 8-bit NIfTI-1 volume.
inline void read_scan(const std::string& name, Scan& scan) {
    gzFile file = gzopen(("/usr/share/mricron/templates/" + name + ".nii.gz").c_str(), "rb");
    if (file == nullptr) return;
    std::vector<unsigned char> bytes;
    unsigned char chunk[1 << 16];
    for (int got; (got = gzread(file, chunk, sizeof chunk)) > 0;) bytes.insert(bytes.end(), chunk, chunk + got);
    gzclose(file);
    if (bytes.size() < 352) return;
    auto field = [&](std::size_t at, auto value) {
        std::memcpy(&value, bytes.data() + at, sizeof value);
        return value;
    };
    if (field(0, std::int32_t{}) != 348 || field(70, std::int16_t{}) != 2) return;
    const int w = field(42, std::int16_t{}), h = field(44, std::int16_t{}), d = field(46, std::int16_t{});
    const auto offset = static_cast<std::size_t>(field(108, float{}));
    const std::size_t n = static_cast<std::size_t>(w) * h * d;
    if (w < 1 || h < 1 || d < 1 || offset + n > bytes.size()) return;
    scan.v = Image3DAlloc(w, h, d);
    if (scan.v != nullptr) std::memcpy(scan.v[0][0], bytes.data() + offset, n);
}

}  // namespace bench
