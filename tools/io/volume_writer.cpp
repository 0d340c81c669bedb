// Volumes written as NIfTI-1, NIfTI-2 (plain or gzip-compressed) or raw voxels.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gzip_writer.h"
#include "io_internal.h"

namespace img3d_tool {

namespace {

// The header of a single-file NIfTI of version Header (nifti_1_header or
// nifti_2_header), padded to a multiple of 16 bytes; its size.  The
// conversion leaves the size, magic and offset to the writer.
template <typename Header, typename Convert>
std::size_t header_bytes(nifti_image& image, int type, Convert convert, int size, const char* magic,
                         const std::string& path, unsigned char* out) {
    image.nifti_type = type;
    Header h{};
    if (convert(&image, &h) != 0)
        throw InputError(path + ": cannot make a NIfTI-" + (size == 540 ? "2" : "1") + " header");
    h.sizeof_hdr = size;
    std::memcpy(h.magic, magic, size == 540 ? 8 : 4);
    const std::size_t padded = (sizeof h + 15) / 16 * 16;
    h.vox_offset = static_cast<decltype(h.vox_offset)>(padded);
    std::memcpy(out, &h, sizeof h);
    return padded;
}

}  // namespace

NiftiImage make_header(int width, int height, int depth, const float spacing[3]) {
    const std::int64_t dims[8] = {3, width, height, depth, 1, 1, 1, 1};
    NiftiImage image(nifti_make_new_nim(dims, DT_UINT8, 0));
    if (!image) throw RunError("not enough memory for a NIfTI header");
    image->dx = image->pixdim[1] = spacing[0];
    image->dy = image->pixdim[2] = spacing[1];
    image->dz = image->pixdim[3] = spacing[2];
    image->xyz_units = NIFTI_UNITS_MM;
    image->qform_code = image->sform_code = 0;
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    return image;
}

std::string type_name(int datatype) {
    std::string name = nifti_datatype_to_string(datatype);
    const std::string prefix = "NIFTI_TYPE_";
    return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
}

VolumeFormat output_format(const std::string& path) {
    if (io::ends_with(path, ".nii.gz")) return VolumeFormat::nifti_gz;
    if (io::ends_with(path, ".nii")) return VolumeFormat::nifti;
    if (io::ends_with(path, ".raw")) return VolumeFormat::raw;
    throw InputError(path + ": unknown output format (use .nii, .nii.gz or .raw)");
}

void check_extension(const std::string& path, const char* option, const std::vector<const char*>& extensions) {
    for (const char* extension : extensions)
        if (path.size() > std::strlen(extension) && io::ends_with(path, extension)) return;
    std::string names;
    for (std::size_t i = 0; i < extensions.size(); ++i)
        names += std::string(i == 0 ? "" : i + 1 == extensions.size() ? " or " : ", ") + extensions[i];
    throw InputError(path + ": " + option + " expects a " + names + " file name");
}

void write_all(int fd, const std::string& path, const void* bytes, std::size_t size) {
    const auto* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t written = ::write(fd, at, std::min<std::size_t>(size, 1u << 30));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw InputError(path + ": " + std::strerror(written < 0 ? errno : ENOSPC));
        at += written;
        size -= static_cast<std::size_t>(written);
    }
}

void write_volume(int fd, const std::string& path, VolumeFormat format, const nifti_image& like, int datatype,
                  const void* data, int width, int height, int depth, int intent) {
    const std::size_t bytes = static_cast<std::size_t>(width) * height * depth * io::bytes_per_voxel(datatype);
    if (format == VolumeFormat::raw) {
        write_all(fd, path, data, bytes);
        return;
    }
    NiftiImage image(nifti_copy_nim_info(&like));
    if (!image) throw RunError("not enough memory for the header of " + path);
    nifti_free_extensions(image.get());
    const std::int64_t dims[8] = {3, width, height, depth, 1, 1, 1, 1};
    std::copy(dims, dims + 8, image->dim);
    image->ndim = 3;
    image->nx = width, image->ny = height, image->nz = depth;
    image->nt = image->nu = image->nv = image->nw = 1;
    image->nvox = std::int64_t{width} * height * depth;
    image->datatype = datatype;
    nifti_datatype_sizes(datatype, &image->nbyper, &image->swapsize);
    image->scl_slope = 1.0;
    image->scl_inter = 0.0;
    image->cal_min = image->cal_max = 0.0;
    image->intent_code = intent;
    image->intent_p1 = image->intent_p2 = image->intent_p3 = 0.0;
    std::memset(image->intent_name, 0, sizeof image->intent_name);
    // NIfTI-2 where the input was, or where NIfTI-1's 16-bit dimensions
    // cannot hold the volume.
    const bool two = like.nifti_type == NIFTI_FTYPE_NIFTI2_1 || like.nifti_type == NIFTI_FTYPE_NIFTI2_2 ||
                     std::max({width, height, depth}) > 32767;

    unsigned char header[544] = {};
    const std::size_t header_size =
        two ? header_bytes<nifti_2_header>(*image, NIFTI_FTYPE_NIFTI2_1, nifti_convert_nim2n2hdr, 540,
                                           "n+2\0\r\n\032\n", path, header)
            : header_bytes<nifti_1_header>(*image, NIFTI_FTYPE_NIFTI1_1, nifti_convert_nim2n1hdr, 348, "n+1", path,
                                           header);
    // The 4 bytes after the header say that no extension follows.
    if (format == VolumeFormat::nifti) {
        write_all(fd, path, header, header_size);
        write_all(fd, path, data, bytes);
    } else {
        io::GzipWriter gzip(fd, path);
        gzip.write(header, header_size, false);
        gzip.write(data, bytes, true);
    }
}

}  // namespace img3d_tool
