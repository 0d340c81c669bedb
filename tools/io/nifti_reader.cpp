// The tool's NIfTI reader parses the header's bytes itself, refusing anything
// but a NIfTI-1 or NIfTI-2 header, and leaves nifti_clib only the geometry
// (quaternion and matrices) and the header layouts.  It reads the voxels
// itself too, in one pass that also checks the whole compressed stream, so
// that a short or damaged file is refused (nifti_clib zero-fills a short
// file), the voxels land straight in the volume without a second copy, and
// a failed allocation is called what it is.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "gzip_reader.h"
#include "io_internal.h"

namespace fs = std::filesystem;

namespace img3d_tool::io {
namespace {

std::string format_count(double count) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", count);
    return text;
}

// The path of a pair header's voxel file: x.hdr -> x.img, x.hdr.gz -> x.img.gz.
std::string image_file(const std::string& path) {
    const std::size_t at = path.rfind(".hdr");
    return path.substr(0, at) + ".img" + path.substr(at + 4);
}

// Memory for the voxels: the volume block for 8-bit unsigned data (the
// library works on it in place), else a buffer in the file's type.
void* voxel_memory(const std::string& path, int datatype, const nifti_image& image, std::uint64_t bytes,
                   LoadedVolume& out) {
    FileVoxels& voxels = out.voxels;
    voxels.datatype = datatype;
    voxels.count = static_cast<std::size_t>(image.nx * image.ny * image.nz);
    if (datatype == DT_UINT8) {
        allocate(out.volume, path, static_cast<int>(image.nx), static_cast<int>(image.ny), static_cast<int>(image.nz));
        voxels.data = out.volume.getPixels();
    } else {
        voxels.storage.reset(std::malloc(bytes));
        if (!voxels.storage)
            throw RunError("not enough memory to read " + path + ": " + mebibytes(double(bytes)) + " for its " +
                           dimensions(image.nx, image.ny, image.nz) + " " + type_name(datatype) + " voxels");
        voxels.data = voxels.storage.get();
    }
    return const_cast<void*>(voxels.data);
}

// An identity scaling is no scaling; a slope of 0 or a non-finite one means
// the raw values, as the format says.
void take_scaling(const nifti_image& image, FileVoxels& voxels) {
    const double slope = image.scl_slope, inter = std::isfinite(image.scl_inter) ? image.scl_inter : 0.0;
    voxels.scaled = std::isfinite(slope) && slope != 0.0 && !(slope == 1.0 && inter == 0.0);
    if (voxels.scaled) {
        voxels.slope = slope;
        voxels.inter = inter;
    }
}

// The number of volumes of the file, after checking that volume (-1: none
// chosen) is one of them: a 4-D file is a series of 3-D volumes, of which
// one is read; higher dimensions have no such reading.
std::int64_t choose_volume(const std::string& path, const Header& h, int volume) {
    const std::int64_t volumes = h.dim[0] >= 4 ? h.dim[4] : 1;
    double beyond = 1;
    for (int i = 5; i <= h.dim[0]; ++i) beyond *= static_cast<double>(h.dim[i]);
    if (beyond > 1)
        input_error(path, "dimensions beyond the fourth (" + format_count(beyond) +
                              " series of volumes); only a 3-D volume or one volume of a 4-D file is read");
    if (volume < 0 && volumes > 1)
        input_error(path, std::to_string(volumes) + " volumes in one file; choose one with --volume N (0 ... " +
                              std::to_string(volumes - 1) + ")");
    if (volume >= volumes)
        input_error(path,
                    "--volume " + std::to_string(volume) + ": the file holds " +
                        (volumes == 1 ? std::string("a single volume, 0")
                                      : std::to_string(volumes) + " volumes, 0 ... " + std::to_string(volumes - 1)));
    return volumes;
}

}  // namespace

void read_nifti(const std::string& path, int volume, LoadedVolume& out) {
    ByteSource header_source(path, ends_with(path, ".gz"));
    if (!header_source.open()) input_error(path, std::strerror(errno != 0 ? errno : EIO));
    const Header h = read_header(path, header_source);
    // From the header's own numbers, before any product of them is formed.
    const std::int64_t volumes = choose_volume(path, h, volume);
    check_allocatable(path, h.dim[1], h.dim[0] >= 2 ? h.dim[2] : 1, h.dim[0] >= 3 ? h.dim[3] : 1);
    NiftiImage image = image_of(path, h);
    const std::int64_t nx = image->nx, ny = image->ny, nz = image->nz, count = nx * ny * nz;

    // nifti_clib's rule for a single file: the voxels start no earlier than
    // right after the header, whatever vox_offset says.
    const std::string data_path = h.pair ? image_file(path) : path;
    const std::size_t header_size = h.version == 2 ? 540 : 348;
    const auto start =
        static_cast<std::uint64_t>(h.pair ? h.vox_offset : std::max(h.vox_offset, static_cast<double>(header_size)));
    const int nbyper = bytes_per_voxel(h.datatype);
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * nbyper;
    if (static_cast<double>(volumes) * static_cast<double>(bytes) + static_cast<double>(start) > 9.0e15)
        input_error(path, "damaged header: " + std::to_string(volumes) + " volumes of " + std::to_string(bytes) +
                              " bytes each");
    // The chosen volume, and the end of the file's voxels.
    const std::uint64_t offset = start + static_cast<std::uint64_t>(std::max(volume, 0)) * bytes;
    const std::uint64_t end = start + static_cast<std::uint64_t>(volumes) * bytes;
    const bool compressed = ends_with(data_path, ".gz");
    std::error_code error;
    const std::uintmax_t available = fs::file_size(data_path, error);
    if (error) input_error(data_path, error.message());
    // Before any voxel memory is taken: a header of a few hundred bytes may
    // claim gigabytes of voxels.  deflate packs at most 1032 bytes into one.
    if (!compressed && available < end)
        input_error(path, "voxel data truncated: " + std::to_string(available) + " bytes where the header needs " +
                              std::to_string(end));
    if (compressed && end / 1032 > available + 1024) input_error(path, "compressed data truncated or damaged");

    void* data = voxel_memory(path, h.datatype, *image, bytes, out);

    ByteSource other_source(data_path, compressed);
    ByteSource& source = h.pair ? other_source : header_source;
    if (h.pair && !source.open()) input_error(data_path, std::strerror(errno != 0 ? errno : EIO));
    const std::uint64_t consumed = h.pair ? 0 : header_size;
    const bool read = source.skip(offset - consumed) && source.read(data, bytes) && source.skip(end - offset - bytes);
    // Trailing data costs at most a little more than the voxels did.
    const auto limit = std::max<std::uint64_t>(std::uint64_t{1} << 20, (end - start) / 100);
    const ByteSource::Tail tail = read ? source.finish(limit) : ByteSource::Tail::damaged;
    if (tail == ByteSource::Tail::damaged) {
        if (compressed) input_error(path, "compressed data truncated or damaged");
        input_error(path, "voxel data truncated or unreadable");
    }
    if (tail == ByteSource::Tail::ignored || (!compressed && available > end))
        warn(path, compressed ? "data after the voxels ignored"
                              : "data after the voxels ignored (" + std::to_string(available - end) + " bytes)");
    if (h.swapped) {
        if (nbyper == 2) nifti_swap_2bytes(count, data);
        if (nbyper == 4) nifti_swap_4bytes(count, data);
        if (nbyper == 8) nifti_swap_8bytes(count, data);
    }

    take_scaling(*image, out.voxels);
    out.geometry = geometry_of(*image);
    out.format = h.version == 2 ? "NIfTI-2" : "NIfTI-1";
    out.header = std::move(image);
}

}  // namespace img3d_tool::io
