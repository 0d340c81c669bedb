// The tool's NIfTI reader parses the header's bytes itself, refusing anything
// but a NIfTI-1 or NIfTI-2 header, and leaves nifti_clib only the geometry
// (quaternion and matrices) and the header layouts.  It reads the voxels
// itself too, in one pass that also checks the whole compressed stream, so
// that a short or damaged file is refused (nifti_clib zero-fills a short
// file), the voxels land straight in the volume without a second copy, and
// a failed allocation is called what it is.
#include "volume_io.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace img3d_tool {
namespace {

[[noreturn]] void input_error(const std::string& path, const std::string& reason) {
    throw InputError(path + ": " + reason);
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The file must exist, be a regular file and be readable; the reason
// otherwise, as the system words it.
void check_readable(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) input_error(path, std::strerror(ENOENT));
    if (fs::is_directory(status)) input_error(path, std::strerror(EISDIR));
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        std::fclose(file);
    } else {
        input_error(path, std::strerror(errno));
    }
}

std::string dimensions(std::int64_t width, std::int64_t height, std::int64_t depth) {
    return std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
}

// The volume block holds two pointer tables besides the voxels; its size must
// stay within a signed 32-bit int, and the object functions take axes of up
// to kMaxAxis voxels.
void check_allocatable(const std::string& path, std::int64_t width, std::int64_t height, std::int64_t depth) {
    if (width < 1 || height < 1 || depth < 1 || width > kMaxAxis || height > kMaxAxis || depth > kMaxAxis)
        input_error(path, "dimensions " + dimensions(width, height, depth) + " outside 1 ... " +
                              std::to_string(kMaxAxis) + " voxels along an axis");
    const auto p = static_cast<std::int64_t>(sizeof(void*));
    const std::int64_t voxels = width * height * depth;
    const std::int64_t block = depth * p + depth * height * p + 12 + voxels;
    if (block > std::numeric_limits<std::int32_t>::max())
        input_error(path, "too large: " + std::to_string(voxels) + " voxels do not fit in one volume");
}

void allocate(CTarnImage3D& volume, const std::string& path, int width, int height, int depth) {
    if (!volume.makeImage(width, height, depth))
        throw RunError("not enough memory to read " + path + ": " +
                       mebibytes(double(width) * height * depth) + " for its " + dimensions(width, height, depth) +
                       " voxels");
}

// ---- bytes of a file, plain or gzip-compressed -------------------------------

// Reads a file front to back.  A compressed file may hold several gzip
// members; finish() says whether the rest of the stream is sound.  inflate
// itself, not gzread: gzread reported a truncated second member as a clean
// end when a read had just filled its buffer.
class ByteSource {
public:
    ByteSource(const std::string& path, bool compressed)
        : compressed_(compressed), file_(std::fopen(path.c_str(), "rb")) {
        if (file_ && compressed_) {
            inflating_ = inflateInit2(&stream_, 16 + MAX_WBITS) == Z_OK;
            in_.resize(1 << 16);
        }
    }
    ~ByteSource() {
        if (inflating_) inflateEnd(&stream_);
        if (file_) std::fclose(file_);
    }
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    bool open() const { return file_ != nullptr && (!compressed_ || inflating_); }

    // Fills size bytes; false when the file ends first or is damaged.
    bool read(void* bytes, std::size_t size) {
        if (!compressed_) return std::fread(bytes, 1, size, file_) == size;
        auto* out = static_cast<unsigned char*>(bytes);
        while (size > 0) {
            const auto chunk = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
            const std::size_t got = inflate_into(out, chunk);
            if (got == 0) return false;
            out += got;
            size -= got;
        }
        return true;
    }

    bool skip(std::size_t size) {
        unsigned char buffer[4096];
        while (size > 0) {
            const std::size_t step = std::min(size, sizeof buffer);
            if (!read(buffer, step)) return false;
            size -= step;
        }
        return true;
    }

    // The compressed stream ends with a complete member and nothing else
    // follows but further complete members.
    bool finish() {
        if (!compressed_) return true;
        unsigned char buffer[1 << 14];
        while (!damaged_ && inflate_into(buffer, sizeof buffer) > 0) {
        }
        return !damaged_ && ended_ && !std::ferror(file_);
    }

private:
    // Up to size bytes of output; 0 at the end of the stream or on damage.
    std::size_t inflate_into(unsigned char* out, uInt size) {
        stream_.next_out = out;
        stream_.avail_out = size;
        while (stream_.avail_out == size && !damaged_) {
            if (stream_.avail_in == 0) {
                const std::size_t got = std::fread(in_.data(), 1, in_.size(), file_);
                if (got == 0) break;
                stream_.next_in = in_.data();
                stream_.avail_in = static_cast<uInt>(got);
            }
            if (ended_) {  // more bytes after a member: another member must begin
                inflateReset(&stream_);
                ended_ = false;
            }
            const int status = inflate(&stream_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                ended_ = true;
            } else if (status != Z_OK && status != Z_BUF_ERROR) {
                damaged_ = true;
            }
        }
        return size - stream_.avail_out;
    }

    bool compressed_;
    std::FILE* file_;
    z_stream stream_{};
    bool inflating_ = false, ended_ = false, damaged_ = false;
    std::vector<unsigned char> in_;
};

// ---- the header ----------------------------------------------------------------

std::int32_t swapped32(std::int32_t value) {
    std::uint32_t v;
    std::memcpy(&v, &value, 4);
    v = (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
    std::memcpy(&value, &v, 4);
    return value;
}

std::string printable(const char* text, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size && text[i] != 0; ++i)
        out += (text[i] >= 32 && text[i] < 127) ? text[i] : '?';
    return out;
}

int bytes_per_voxel(int datatype) {
    switch (datatype) {
        case DT_UINT8: case DT_INT8: return 1;
        case DT_INT16: case DT_UINT16: return 2;
        case DT_INT32: case DT_UINT32: case DT_FLOAT32: return 4;
        case DT_INT64: case DT_UINT64: case DT_FLOAT64: return 8;
        default: return 0;  // not grey levels
    }
}

// What the header's bytes say, read before nifti_clib is trusted with them:
// nifti_clib falls back to ANALYZE 7.5 for any other magic or header size,
// reads a pair header's voxels from the .nii itself and makes up dimensions
// for some damaged headers instead of refusing them.
struct Header {
    int version = 0;  // 1 or 2
    bool swapped = false;  // written in the other byte order than this machine's
    bool pair = false;  // a .hdr whose voxels lie in the .img beside it
    nifti_1_header one{};
    nifti_2_header two{};
    std::int64_t dim[8] = {};
    int datatype = 0;
    double vox_offset = 0;
};

Header read_header(const std::string& path, ByteSource& source) {
    const std::string usage = "; for raw 8-bit voxels pass --raw WxHxD";
    const bool pair = ends_with(path, ".hdr") || ends_with(path, ".hdr.gz");
    Header h;
    h.pair = pair;
    std::int32_t size = 0;
    if (!source.read(&size, 4)) input_error(path, "not a NIfTI-1 header (shorter than 348 bytes)" + usage);
    const bool swap = size == swapped32(348) || size == swapped32(540);
    const std::int32_t native_size = swap ? swapped32(size) : size;
    h.swapped = swap;
    if (native_size == 540) {
        h.version = 2;
        std::memcpy(&h.two, &size, 4);
        if (!source.read(reinterpret_cast<char*>(&h.two) + 4, 536))
            input_error(path, "not a NIfTI-2 header (shorter than 540 bytes)" + usage);
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
        if (!whole || native_size != 348 || std::memcmp(h.one.magic, pair ? "ni1" : "n+1", 4) != 0)
            input_error(path, "not a NIfTI-1 header (size " + std::to_string(whole ? native_size : 0) + ", magic \"" +
                                  (whole ? printable(h.one.magic, 4) : std::string()) + "\"), nor a NIfTI-2 one" +
                                  usage);
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

}  // namespace

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

void read_nifti(const std::string& path, LoadedVolume& out) {
    ByteSource header_source(path, ends_with(path, ".gz"));
    if (!header_source.open()) input_error(path, std::strerror(errno != 0 ? errno : EIO));
    const Header h = read_header(path, header_source);
    // From the header's own numbers, before any product of them is formed.
    double volumes = 1;
    for (int i = 4; i <= h.dim[0]; ++i) volumes *= static_cast<double>(h.dim[i]);
    if (volumes > 1)
        input_error(path, format_count(volumes) + " volumes in one file; only a single 3-D volume is read");
    check_allocatable(path, h.dim[1], h.dim[0] >= 2 ? h.dim[2] : 1, h.dim[0] >= 3 ? h.dim[3] : 1);
    NiftiImage image = image_of(path, h);
    const std::int64_t nx = image->nx, ny = image->ny, nz = image->nz, count = nx * ny * nz;

    // nifti_clib's rule for a single file: the voxels start no earlier than
    // right after the header, whatever vox_offset says.
    const std::string data_path = h.pair ? image_file(path) : path;
    const std::size_t header_size = h.version == 2 ? 540 : 348;
    const auto offset = static_cast<std::uint64_t>(h.pair ? h.vox_offset : std::max<double>(h.vox_offset, header_size));
    const int nbyper = bytes_per_voxel(h.datatype);
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * nbyper;
    const bool compressed = ends_with(data_path, ".gz");
    std::error_code error;
    const std::uintmax_t available = fs::file_size(data_path, error);
    if (error) input_error(data_path, error.message());
    // Before any voxel memory is taken: a header of a few hundred bytes may
    // claim gigabytes of voxels.  deflate packs at most 1032 bytes into one.
    if (!compressed && available < offset + bytes)
        input_error(path, "voxel data truncated: " + std::to_string(available) + " bytes where the header needs " +
                              std::to_string(offset + bytes));
    if (compressed && (offset + bytes) / 1032 > available + 1024)
        input_error(path, "compressed data truncated or damaged");

    FileVoxels& voxels = out.voxels;
    voxels.datatype = h.datatype;
    voxels.count = static_cast<std::size_t>(count);
    void* data = nullptr;
    if (h.datatype == DT_UINT8) {
        allocate(out.volume, path, static_cast<int>(nx), static_cast<int>(ny), static_cast<int>(nz));
        data = out.volume.getPixels();
    } else {
        voxels.storage.reset(std::malloc(bytes));
        if (!voxels.storage)
            throw RunError("not enough memory to read " + path + ": " + mebibytes(double(bytes)) + " for its " +
                           dimensions(nx, ny, nz) + " " + type_name(h.datatype) + " voxels");
        data = voxels.storage.get();
    }
    voxels.data = data;

    ByteSource other_source(data_path, compressed);
    ByteSource& source = h.pair ? other_source : header_source;
    if (h.pair && !source.open()) input_error(data_path, std::strerror(errno != 0 ? errno : EIO));
    const std::uint64_t consumed = h.pair ? 0 : header_size;
    const bool complete = source.skip(offset - consumed) && source.read(data, bytes) && source.finish();
    if (!complete) {
        if (compressed) input_error(path, "compressed data truncated or damaged");
        input_error(path, "voxel data truncated or unreadable");
    }
    if (h.swapped) {
        if (nbyper == 2) nifti_swap_2bytes(count, data);
        if (nbyper == 4) nifti_swap_4bytes(count, data);
        if (nbyper == 8) nifti_swap_8bytes(count, data);
    }

    // An identity scaling is no scaling; a slope of 0 or a non-finite one
    // means the raw values, as the format says.
    const double slope = image->scl_slope, inter = std::isfinite(image->scl_inter) ? image->scl_inter : 0.0;
    voxels.scaled = std::isfinite(slope) && slope != 0.0 && !(slope == 1.0 && inter == 0.0);
    if (voxels.scaled) {
        voxels.slope = slope;
        voxels.inter = inter;
    }
    out.geometry = geometry_of(*image);
    out.format = h.version == 2 ? "NIfTI-2" : "NIfTI-1";
    out.header = std::move(image);
}

void read_raw(const std::string& path, const ReadOptions& options, LoadedVolume& out) {
    const int w = options.raw_width, h = options.raw_height, d = options.raw_depth;
    // Before the sizes are multiplied: negative ones could wrap onto the
    // file's size.
    check_allocatable(path, w, h, d);
    const std::uintmax_t expected = static_cast<std::uintmax_t>(w) * static_cast<std::uintmax_t>(h) *
                                    static_cast<std::uintmax_t>(d);
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

// Compresses to fd in gzip format, a block at a time.
class GzipWriter {
public:
    GzipWriter(int fd, const std::string& path) : fd_(fd), path_(path), out_(1 << 18) {
        if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw RunError("not enough memory to compress " + path);
    }
    ~GzipWriter() { deflateEnd(&stream_); }
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;

    void write(const void* bytes, std::size_t size, bool last) {
        auto* in = static_cast<const unsigned char*>(bytes);
        do {
            const auto chunk = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
            stream_.next_in = const_cast<unsigned char*>(in);
            stream_.avail_in = chunk;
            in += chunk;
            size -= chunk;
            const int flush = last && size == 0 ? Z_FINISH : Z_NO_FLUSH;
            int status;
            do {
                stream_.next_out = out_.data();
                stream_.avail_out = static_cast<uInt>(out_.size());
                status = deflate(&stream_, flush);
                write_all(fd_, path_, out_.data(), out_.size() - stream_.avail_out);
            } while (stream_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
        } while (size > 0);
    }

private:
    int fd_;
    const std::string& path_;
    z_stream stream_{};
    std::vector<unsigned char> out_;
};

}  // namespace

void read_volume(const std::string& path, const ReadOptions& options, LoadedVolume& out) {
    check_readable(path);
    if (options.raw_width > 0)
        read_raw(path, options, out);
    else
        read_nifti(path, out);
}

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
    if (ends_with(path, ".nii.gz")) return VolumeFormat::nifti_gz;
    if (ends_with(path, ".nii")) return VolumeFormat::nifti;
    if (ends_with(path, ".raw")) return VolumeFormat::raw;
    throw InputError(path + ": unknown output format (use .nii, .nii.gz or .raw)");
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
    const std::size_t bytes = static_cast<std::size_t>(width) * height * depth * bytes_per_voxel(datatype);
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
    std::size_t header_size;
    if (two) {
        image->nifti_type = NIFTI_FTYPE_NIFTI2_1;
        nifti_2_header h{};
        if (nifti_convert_nim2n2hdr(image.get(), &h) != 0) throw InputError(path + ": cannot make a NIfTI-2 header");
        h.sizeof_hdr = 540;
        std::memcpy(h.magic, "n+2\0\r\n\032\n", 8);
        h.vox_offset = 544;
        std::memcpy(header, &h, sizeof h);
        header_size = 544;
    } else {
        image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
        nifti_1_header h{};
        if (nifti_convert_nim2n1hdr(image.get(), &h) != 0) throw InputError(path + ": cannot make a NIfTI-1 header");
        h.sizeof_hdr = 348;
        std::memcpy(h.magic, "n+1", 4);
        h.vox_offset = 352.0f;
        std::memcpy(header, &h, sizeof h);
        header_size = 352;
    }
    // The 4 bytes after the header say that no extension follows.
    if (format == VolumeFormat::nifti) {
        write_all(fd, path, header, header_size);
        write_all(fd, path, data, bytes);
    } else {
        GzipWriter gzip(fd, path);
        gzip.write(header, header_size, false);
        gzip.write(data, bytes, true);
    }
}

}  // namespace img3d_tool
