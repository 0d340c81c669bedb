// The bytes of a volume file, plain or gzip-compressed, read front to back.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace img3d_tool::io {

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
        // A plain file is not read through: the other volumes of a series
        // may be gigabytes.
        if (!compressed_) return size <= LONG_MAX && std::fseek(file_, static_cast<long>(size), SEEK_CUR) == 0;
        unsigned char buffer[4096];
        while (size > 0) {
            const std::size_t step = std::min(size, sizeof buffer);
            if (!read(buffer, step)) return false;
            size -= step;
        }
        return true;
    }

    // After a failed read: the compressed stream broke off or is damaged,
    // rather than the file being short.
    bool broken() const { return compressed_ && (damaged_ || !ended_); }

    enum class Tail { none, ignored, damaged };

    // What follows the voxels.  Up to limit bytes of it are inflated, so
    // that a damaged or truncated stream is still caught, but no more: a
    // small file may hide gigabytes of trailing data, and those are not
    // read (nor their checksums checked).  Tail::ignored when any data
    // follows; Tail::damaged for a damaged or truncated stream.
    Tail finish(std::uint64_t limit) {
        if (!compressed_) return Tail::none;
        unsigned char buffer[1 << 14];
        std::uint64_t inflated = 0;
        while (!damaged_ && inflated <= limit) {
            const std::size_t got = inflate_into(buffer, sizeof buffer);
            if (got == 0) break;
            inflated += got;
        }
        if (damaged_ || std::ferror(file_)) return Tail::damaged;
        if (inflated > limit) return Tail::ignored;
        if (!ended_) return Tail::damaged;
        return inflated > 0 ? Tail::ignored : Tail::none;
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

}  // namespace img3d_tool::io
