#include "volume_io.h"

#include <nifti1_io.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace img3d_tool {
namespace {

// nifti_clib reports its own problems on stderr; the tool reports them once,
// in its own words.
void silence_nifti() { nifti_set_debug_level(0); }

// Some of nifti_clib's complaints ("** ERROR: ... bad datatype") ignore its
// debug level: while it parses a file, its stderr goes to /dev/null.
class QuietStderr {
public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_;
};

struct NiftiImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImage = std::unique_ptr<nifti_image, NiftiImageDeleter>;

[[noreturn]] void input_error(const std::string& path, const std::string& reason) {
    throw InputError(path + ": " + reason);
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
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

// The volume block holds two pointer tables besides the voxels; its size must
// stay within a signed 32-bit int.
void check_allocatable(const std::string& path, int width, int height, int depth) {
    if (width < 1 || height < 1 || depth < 1 || width > 32767 || height > 32767 || depth > 32767)
        input_error(path, "dimensions " + std::to_string(width) + "x" + std::to_string(height) + "x" +
                              std::to_string(depth) + " outside 1 ... 32767 voxels along an axis");
    const auto p = static_cast<std::int64_t>(sizeof(void*));
    const std::int64_t voxels = std::int64_t{width} * height * depth;
    const std::int64_t block = depth * p + std::int64_t{depth} * height * p + 12 + voxels;
    if (block > std::numeric_limits<std::int32_t>::max())
        input_error(path, "too large: " + std::to_string(voxels) + " voxels do not fit in one volume");
}

void allocate(LoadedVolume& out, const std::string& path, int width, int height, int depth) {
    check_allocatable(path, width, height, depth);
    if (!out.volume.makeImage(width, height, depth))
        throw RunError(path + ": not enough memory for " + std::to_string(width) + "x" +
                       std::to_string(height) + "x" + std::to_string(depth) + " voxels");
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
                              std::to_string(w) + "x" + std::to_string(h) + "x" + std::to_string(d) +
                              " needs " + std::to_string(expected));
    allocate(out, path, w, h, d);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const bool complete = file && std::fread(out.volume.getPixels(), 1, expected, file) == expected;
    if (file) std::fclose(file);
    if (!complete) input_error(path, "read failed");
    out.header = make_header(w, h, d, options.raw_spacing);
}

// "FLOAT32" rather than nifti_clib's "NIFTI_TYPE_FLOAT32".
std::string type_name(int datatype) {
    std::string name = nifti_datatype_to_string(datatype);
    const std::string prefix = "NIFTI_TYPE_";
    return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
}

// Linear map of [lo, hi] onto 0 ... 255 (all 0 when the range is one value).
// Non-finite floating-point voxels become 0.
template <typename T>
std::string rescale(const nifti_image& image, unsigned char* voxels) {
    const T* data = static_cast<const T*>(image.data);
    const std::size_t count = image.nvox;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = static_cast<double>(data[i]);
        if (!std::isfinite(v)) continue;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    const double span = hi > lo ? hi - lo : 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = static_cast<double>(data[i]);
        voxels[i] = (!std::isfinite(v) || span == 0.0)
                        ? 0
                        : static_cast<unsigned char>(std::lround((v - lo) * 255.0 / span));
    }
    char text[160];
    std::snprintf(text, sizeof text, "%s voxels rescaled linearly from %g ... %g to 0 ... 255",
                  type_name(image.datatype).c_str(), lo > hi ? 0.0 : lo, lo > hi ? 0.0 : hi);
    return text;
}

bool rescalable(int datatype) {
    switch (datatype) {
        case DT_INT8: case DT_INT16: case DT_UINT16: case DT_INT32: case DT_UINT32:
        case DT_INT64: case DT_UINT64: case DT_FLOAT32: case DT_FLOAT64:
            return true;
        default:
            return false;
    }
}

std::string convert(const nifti_image& image, unsigned char* voxels) {
    switch (image.datatype) {
        case DT_INT8: return rescale<std::int8_t>(image, voxels);
        case DT_INT16: return rescale<std::int16_t>(image, voxels);
        case DT_UINT16: return rescale<std::uint16_t>(image, voxels);
        case DT_INT32: return rescale<std::int32_t>(image, voxels);
        case DT_UINT32: return rescale<std::uint32_t>(image, voxels);
        case DT_INT64: return rescale<std::int64_t>(image, voxels);
        case DT_UINT64: return rescale<std::uint64_t>(image, voxels);
        case DT_FLOAT32: return rescale<float>(image, voxels);
        default: return rescale<double>(image, voxels);
    }
}

// What the written result keeps of the input's header: its geometry, now
// describing 8-bit voxels with no intensity scaling.
void make_8bit(nifti_1_header& header) {
    header.sizeof_hdr = 348;
    header.datatype = DT_UINT8;
    header.bitpix = 8;
    header.scl_slope = 0.0f;
    header.scl_inter = 0.0f;
    header.cal_min = 0.0f;
    header.cal_max = 0.0f;
    header.glmin = 0;
    header.glmax = 255;
    header.vox_offset = 0.0f;
    std::memcpy(header.magic, "n+1", 4);
}

// The decompressed length of a gzip file of one or more members, or false
// when it is damaged, truncated or followed by anything but another member.
// inflate itself, not gzread: gzread reported a truncated second member as
// a clean end when a read had just filled its buffer.
bool gzip_length(const char* name, std::uintmax_t& length) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return false;
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
        std::fclose(file);
        return false;
    }
    std::vector<unsigned char> in(1 << 16), out(1 << 16);
    bool ended = false;  // the last member is complete
    bool sound = true;
    length = 0;
    for (;;) {
        if (stream.avail_in == 0) {
            const std::size_t got = std::fread(in.data(), 1, in.size(), file);
            if (got == 0) break;
            stream.next_in = in.data();
            stream.avail_in = static_cast<uInt>(got);
        }
        if (ended) {  // more bytes after a member: another member must begin
            inflateReset(&stream);
            ended = false;
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        const int status = inflate(&stream, Z_NO_FLUSH);
        length += out.size() - stream.avail_out;
        if (status == Z_STREAM_END) {
            ended = true;
        } else if (status != Z_OK) {
            sound = false;
            break;
        }
    }
    sound = sound && ended && !std::ferror(file);
    inflateEnd(&stream);
    std::fclose(file);
    return sound;
}

// nifti_clib zero-fills voxels missing from a short file and carries on; a
// short or damaged file must be refused instead.  A compressed file is
// decompressed once to check its stream, its length and its checksum.
void check_complete(const std::string& path, const nifti_image& image) {
    const std::uintmax_t needed = static_cast<std::uintmax_t>(image.iname_offset) +
                                  static_cast<std::uintmax_t>(image.nvox) * static_cast<unsigned>(image.nbyper);
    std::uintmax_t available = 0;
    if (nifti_is_gzfile(image.iname)) {
        if (!gzip_length(image.iname, available)) input_error(path, "compressed data truncated or damaged");
    } else {
        std::error_code error;
        available = fs::file_size(image.iname, error);
        if (error) input_error(path, error.message());
    }
    if (available < needed)
        input_error(path, "voxel data truncated: " + std::to_string(available) + " bytes where the header needs " +
                              std::to_string(needed));
}

// The header as the file has it (in this machine's byte order), checked
// before nifti_clib's reading of it is trusted: nifti_clib makes up
// dimensions for some damaged ANALYZE headers instead of refusing them.
void check_header(const std::string& path, const nifti_image& image) {
    int swapped = 0;
    std::unique_ptr<nifti_1_header, decltype(&std::free)> header(nifti_read_header(path.c_str(), &swapped, 0),
                                                                 &std::free);
    if (!header) input_error(path, "not a readable NIfTI-1 file (for raw 8-bit voxels pass --raw WxHxD)");
    // nifti_clib falls back to ANALYZE 7.5 for any other magic or header
    // size, reads an "ni1" header's voxels from the .nii itself and takes
    // "n+2" for NIfTI-1: the tool reads NIfTI-1 files and nothing else.
    // The magic is read from the file's own bytes: nifti_clib swaps the
    // last four bytes of an ANALYZE header as a number, which makes "n+1"
    // of a reversed magic.
    const bool pair = ends_with(path, ".hdr") || ends_with(path, ".hdr.gz");
    unsigned char raw[348];
    gzFile file = gzopen(path.c_str(), "rb");  // reads uncompressed files as they are
    const int got = file == nullptr ? -1 : gzread(file, raw, sizeof raw);
    if (file != nullptr) gzclose_r(file);
    // 348 in the byte order nifti_clib chose from dim[0], as its header says.
    const bool size_ok = got == static_cast<int>(sizeof raw) && header->sizeof_hdr == 348;
    if (!size_ok || std::memcmp(raw + 344, pair ? "ni1" : "n+1", 4) != 0) {
        std::string magic;
        for (int i = 344; size_ok && i < 348 && raw[i] != 0; ++i)
            magic += (raw[i] >= 32 && raw[i] < 127) ? static_cast<char>(raw[i]) : '?';
        input_error(path, "not a NIfTI-1 header (size " + std::to_string(header->sizeof_hdr) + ", magic \"" + magic +
                              "\"; for raw 8-bit voxels pass --raw WxHxD)");
    }
    const short* dim = header->dim;
    bool sound = dim[0] >= 1 && dim[0] <= 7;
    for (int i = 1; sound && i <= dim[0]; ++i) sound = dim[i] >= 1;
    if (!sound)
        input_error(path, "damaged header: dimensions " + std::to_string(dim[1]) + "x" + std::to_string(dim[2]) +
                              "x" + std::to_string(dim[3]) + " in " + std::to_string(dim[0]) +
                              " axes; every axis needs at least one voxel");
    // Where the voxels start: nifti_clib truncates it to an int unchecked.
    if (!(header->vox_offset >= 0.0f && header->vox_offset < 2147483648.0f))
        input_error(path, "damaged header: voxel offset " + std::to_string(header->vox_offset));
    const int expected[3] = {dim[1], dim[0] >= 2 ? dim[2] : 1, dim[0] >= 3 ? dim[3] : 1};
    if (image.nx != expected[0] || image.ny != expected[1] || image.nz != expected[2])
        input_error(path, "damaged header: its dimensions do not describe one volume");
}

NiftiImage read_nifti_header(const std::string& path) {
    silence_nifti();
    QuietStderr quiet;
    NiftiImage image(nifti_image_read(path.c_str(), 0));
    if (image) check_header(path, *image);
    return image;
}

void read_nifti(const std::string& path, const ReadOptions& options, LoadedVolume& out) {
    NiftiImage image = read_nifti_header(path);
    if (!image)
        input_error(path, "not a readable NIfTI-1 file (for raw 8-bit voxels pass --raw WxHxD)");
    if (image->nvox != static_cast<std::size_t>(image->nx) * image->ny * image->nz)
        input_error(path, std::to_string(image->nvox / (static_cast<std::size_t>(image->nx) * image->ny *
                                                       image->nz)) +
                              " volumes in one file; only a single 3-D volume is read");
    if (image->datatype != DT_UINT8) {
        const std::string type = type_name(image->datatype);
        if (!rescalable(image->datatype))
            input_error(path, type + " voxels are not grey levels");
        if (!options.rescale)
            input_error(path, type + " voxels, not 8-bit; pass --rescale to map them onto 0 ... 255");
    }
    check_allocatable(path, image->nx, image->ny, image->nz);
    // Before any voxel memory is taken: a header of a few hundred bytes may
    // claim gigabytes of voxels.
    check_complete(path, *image);
    allocate(out, path, image->nx, image->ny, image->nz);
    {
        QuietStderr quiet;
        if (nifti_image_load(image.get()) != 0) input_error(path, "voxel data truncated or damaged");
    }
    if (image->datatype == DT_UINT8) {
        std::memcpy(out.volume.getPixels(), image->data, image->nvox);
    } else {
        out.note = convert(*image, out.volume.getPixels());
    }
    out.header = nifti_convert_nim2nhdr(image.get());
    make_8bit(out.header);
}

std::string temporary_name(const std::string& path) {
    // Keeps the extension, which tells nifti_clib whether to compress.
    const std::string tag = ".img3d-tmp-" + std::to_string(::getpid());
    for (const char* extension : {".nii.gz", ".nii", ".raw"})
        if (ends_with(path, extension)) return path.substr(0, path.size() - std::strlen(extension)) + tag + extension;
    return path + tag;
}

// Removes the temporary file unless the write succeeded.
struct TemporaryFile {
    std::string name;
    bool keep = false;
    ~TemporaryFile() {
        if (!keep) std::remove(name.c_str());
    }
};

void write_nifti(const std::string& name, unsigned char*** volume, const nifti_1_header& header) {
    silence_nifti();
    nifti_1_header h = header;
    make_8bit(h);
    h.dim[0] = 3;
    h.dim[1] = static_cast<short>(Image3DGetWidth(volume));
    h.dim[2] = static_cast<short>(Image3DGetHeight(volume));
    h.dim[3] = static_cast<short>(Image3DGetDepth(volume));
    for (int i = 4; i < 8; ++i) h.dim[i] = 1;
    NiftiImage image(nifti_convert_nhdr2nim(h, nullptr));
    if (!image || nifti_set_filenames(image.get(), name.c_str(), 0, 1) != 0)
        throw RunError(name + ": cannot prepare the NIfTI header");
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    image->data = volume[0][0];
    nifti_image_write(image.get());
    image->data = nullptr;  // the volume is not nifti_clib's to free

    // nifti_image_write reports nothing: read the file back to be sure.
    NiftiImage check(nifti_image_read(name.c_str(), 1));
    if (!check || check->datatype != DT_UINT8 || check->nvox != image->nvox ||
        std::memcmp(check->data, volume[0][0], image->nvox) != 0)
        throw RunError(name + ": write failed");
}

void write_raw(const std::string& name, unsigned char*** volume) {
    const std::size_t count = static_cast<std::size_t>(Image3DGetWidth(volume)) * Image3DGetHeight(volume) *
                              Image3DGetDepth(volume);
    std::FILE* file = std::fopen(name.c_str(), "wb");
    bool ok = file && std::fwrite(volume[0][0], 1, count, file) == count;
    if (file) ok = std::fclose(file) == 0 && ok;
    if (!ok) throw RunError(name + ": write failed: " + std::strerror(errno));
}

}  // namespace

void read_volume(const std::string& path, const ReadOptions& options, LoadedVolume& out) {
    check_readable(path);
    if (options.raw_width > 0)
        read_raw(path, options, out);
    else
        read_nifti(path, options, out);
}

nifti_1_header make_header(int width, int height, int depth, const float spacing[3]) {
    const int dims[8] = {3, width, height, depth, 1, 1, 1, 1};
    nifti_1_header* made = nifti_make_new_header(dims, DT_UINT8);
    nifti_1_header header = *made;
    std::free(made);
    for (int i = 0; i < 3; ++i) header.pixdim[i + 1] = spacing[i];
    header.xyzt_units = NIFTI_UNITS_MM;
    make_8bit(header);
    return header;
}

void header_spacing(const nifti_1_header& header, float spacing[3]) {
    for (int i = 0; i < 3; ++i) {
        const float s = std::fabs(header.pixdim[i + 1]);
        spacing[i] = std::isfinite(s) && s > 0.0f ? s : 1.0f;
    }
}

VolumeFormat output_format(const std::string& path) {
    if (ends_with(path, ".nii") || ends_with(path, ".nii.gz")) return VolumeFormat::nifti;
    if (ends_with(path, ".raw")) return VolumeFormat::raw;
    throw InputError(path + ": unknown output format (use .nii, .nii.gz or .raw)");
}

void check_writable(const std::string& path, const char* extension) {
    if (!ends_with(path, extension)) throw InputError(path + ": expected a " + extension + " file name");
    std::error_code error;
    if (fs::is_directory(path, error)) throw InputError(path + ": " + std::strerror(EISDIR));
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, error))
        throw InputError(path + ": no such directory " + parent.string());
}

void write_volume(const std::string& path, unsigned char*** volume, const nifti_1_header& header) {
    TemporaryFile temporary{temporary_name(path)};
    if (output_format(path) == VolumeFormat::nifti)
        write_nifti(temporary.name, volume, header);
    else
        write_raw(temporary.name, volume);
    std::error_code error;
    fs::rename(temporary.name, path, error);
    if (error) throw RunError(path + ": " + error.message());
    temporary.keep = true;
}

}  // namespace img3d_tool
