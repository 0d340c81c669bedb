#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "gzip_reader.h"
#include "io_internal.h"

namespace img3d_tool::io {
namespace {

std::int32_t swapped32(std::int32_t value) {
    std::uint32_t v;
    std::memcpy(&v, &value, 4);
    v = (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
    std::memcpy(&value, &v, 4);
    return value;
}

std::string printable(const char* text, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size && text[i] != 0; ++i) out += (text[i] >= 32 && text[i] < 127) ? text[i] : '?';
    return out;
}

// What a file that is no header begins with, when that is text: a file of
// notes or a listing fed in by mistake is then recognised at once.
std::string begins(const nifti_1_header& start) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&start);
    std::string text;
    for (std::size_t i = 0; i < 16 && bytes[i] != 0; ++i) {
        if (bytes[i] == '\n' || bytes[i] == '\r' || bytes[i] == '\t') {
            text += ' ';
        } else if (bytes[i] < 32 || bytes[i] >= 127) {
            return "";
        } else {
            text += static_cast<char>(bytes[i]);
        }
    }
    return text.size() < 4 ? "" : "; it begins with text: \"" + text + "\"";
}

// A header that could not be read whole: a broken compressed stream, or a
// file too short to be a NIfTI file at all.
[[noreturn]] void short_file(const std::string& path, const ByteSource& source, const nifti_1_header& start,
                             const std::string& usage) {
    if (source.broken()) input_error(path, "compressed data truncated or damaged (within the header)");
    std::error_code error;
    if (std::filesystem::file_size(path, error) == 0 && !error) input_error(path, "an empty file, not a NIfTI file");
    input_error(path, "not a NIfTI file: shorter than a NIfTI-1 header (348 bytes)" + begins(start) + usage);
}

}  // namespace

Header read_header(const std::string& path, ByteSource& source) {
    const std::string usage = "; for raw 8-bit voxels pass --raw WxHxD";
    const bool pair = ends_with(path, ".hdr") || ends_with(path, ".hdr.gz");
    Header h;
    h.pair = pair;
    std::int32_t size = 0;
    if (!source.read(&size, 4)) short_file(path, source, h.one, usage);
    const bool swap = size == swapped32(348) || size == swapped32(540);
    const std::int32_t native_size = swap ? swapped32(size) : size;
    h.swapped = swap;
    if (native_size == 540) {
        h.version = 2;
        std::memcpy(&h.two, &size, 4);
        if (!source.read(reinterpret_cast<char*>(&h.two) + 4, 536)) {
            if (source.broken()) input_error(path, "compressed data truncated or damaged (within the header)");
            input_error(path, "not a NIfTI-2 header (shorter than 540 bytes)" + usage);
        }
        if (std::memcmp(h.two.magic, pair ? "ni2\0\r\n\032\n" : "n+2\0\r\n\032\n", 8) != 0)
            input_error(path, "not a NIfTI-2 header (size 540, magic \"" + printable(h.two.magic, 8) + "\")" + usage);
        if (swap) nifti_swap_as_nifti2(&h.two);
        std::copy(h.two.dim, h.two.dim + 8, h.dim);
        h.datatype = h.two.datatype;
        h.vox_offset = static_cast<double>(h.two.vox_offset);
    } else {
        h.version = 1;
        std::memcpy(&h.one, &size, 4);
        const bool whole = source.read(reinterpret_cast<char*>(&h.one) + 4, 344);
        // A short file is called short: "size 0" read as if it were empty.
        if (!whole) short_file(path, source, h.one, usage);
        if (native_size != 348 || std::memcmp(h.one.magic, pair ? "ni1" : "n+1", 4) != 0)
            input_error(path, "not a NIfTI-1 header (size " + std::to_string(native_size) + ", magic \"" +
                                  printable(h.one.magic, 4) + "\"), nor a NIfTI-2 one" + begins(h.one) + usage);
        if (swap) nifti_swap_as_nifti1(&h.one);
        // Readers that take the byte order from dim[0] would see another
        // header in this one.
        const auto other = static_cast<std::int16_t>((h.one.dim[0] >> 8 & 0xff) | (h.one.dim[0] & 0xff) << 8);
        if ((h.one.dim[0] < 1 || h.one.dim[0] > 7) && other >= 1 && other <= 7)
            input_error(path, "not a NIfTI-1 header (its size and its dimensions are in different byte orders)");
        std::copy(h.one.dim, h.one.dim + 8, h.dim);
        h.datatype = h.one.datatype;
        h.vox_offset = h.one.vox_offset;
    }

    bool sound = h.dim[0] >= 1 && h.dim[0] <= 7;
    for (int i = 1; sound && i <= h.dim[0]; ++i) sound = h.dim[i] >= 1;
    if (!sound)
        input_error(path, "damaged header: dimensions " + dimensions(h.dim[1], h.dim[2], h.dim[3]) + " in " +
                              std::to_string(h.dim[0]) + " axes; every axis needs at least one voxel");
    if (!(h.vox_offset >= 0.0 && h.vox_offset < 9.0e15))
        input_error(path, "damaged header: voxel offset " + std::to_string(h.vox_offset));
    if (bytes_per_voxel(h.datatype) == 0) {
        if (nifti_is_valid_datatype(h.datatype))
            input_error(path, type_name(h.datatype) + " voxels are not grey levels");
        input_error(path, "data type " + std::to_string(h.datatype) + " is not one of NIfTI's");
    }
    return h;
}

NiftiImage image_of(const std::string& path, const Header& h) {
    nifti_set_debug_level(0);
    NiftiImage image(h.version == 2 ? nifti_convert_n2hdr2nim(h.two, path.c_str())
                                    : nifti_convert_n1hdr2nim(h.one, path.c_str()));
    if (!image) input_error(path, "damaged header: nifti_clib cannot make sense of it");
    // nifti_clib calls every single file NIfTI-1; the writers go by this.
    image->nifti_type = h.version == 2 ? (h.pair ? NIFTI_FTYPE_NIFTI2_2 : NIFTI_FTYPE_NIFTI2_1)
                                       : (h.pair ? NIFTI_FTYPE_NIFTI1_2 : NIFTI_FTYPE_NIFTI1_1);
    // Voxels: 3 axes at most, beyond the ones dim[0] counts.
    const std::int64_t expected[3] = {h.dim[1], h.dim[0] >= 2 ? h.dim[2] : 1, h.dim[0] >= 3 ? h.dim[3] : 1};
    if (image->nx != expected[0] || image->ny != expected[1] || image->nz != expected[2])
        input_error(path, "damaged header: its dimensions do not describe one volume");
    return image;
}

Geometry geometry_of(const nifti_image& image) {
    Geometry g;
    const double pixdim[3] = {image.dx, image.dy, image.dz};
    for (int i = 0; i < 3; ++i) {
        const double s = std::fabs(pixdim[i]);
        g.spacing[i] = std::isfinite(s) && s > 0.0 && s < 1e30 ? static_cast<float>(s) : 1.0f;
    }
    switch (image.xyz_units) {
        case NIFTI_UNITS_METER: g.unit = "m"; break;
        case NIFTI_UNITS_MM: g.unit = "mm"; break;
        case NIFTI_UNITS_MICRON: g.unit = "um"; break;
        default: break;
    }
    const nifti_dmat44* matrix = nullptr;
    if (image.sform_code > 0) {
        matrix = &image.sto_xyz;
        g.source = "sform";
    } else if (image.qform_code > 0) {
        matrix = &image.qto_xyz;
        g.source = "qform";
    }
    if (matrix) {
        bool finite = true;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c) {
                g.to_world[r][c] = matrix->m[r][c];
                finite = finite && std::isfinite(matrix->m[r][c]);
            }
        // A matrix that maps no axis anywhere says nothing about orientation.
        for (int c = 0; c < 3; ++c)
            finite = finite && (g.to_world[0][c] != 0 || g.to_world[1][c] != 0 || g.to_world[2][c] != 0);
        if (!finite) {
            g.source.clear();
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 4; ++c) g.to_world[r][c] = r == c ? 1 : 0;
        }
    }
    return g;
}

}  // namespace img3d_tool::io
