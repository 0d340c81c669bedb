// gzip compression straight into an open file.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "volume_io.h"

namespace img3d_tool::io {

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

}  // namespace img3d_tool::io
