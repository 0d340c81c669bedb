#include <png.h>

#include <cstring>
#include <memory>

#include "errors.h"
#include "preview.h"

namespace img3d_tool {

std::string png_bytes(const PreviewImage& picture) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(picture.width);
    image.height = static_cast<png_uint_32>(picture.height);
    image.format = PNG_FORMAT_RGB;
    // One pass into a buffer of the largest size the picture can take.
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
    std::string bytes(size, '\0');
    if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, picture.rgb.data(), picture.width * 3, nullptr)) {
        const std::string reason = image.message;
        png_image_free(&image);
        throw RunError("not enough memory to encode the preview (" + reason + ")");
    }
    bytes.resize(size);
    return bytes;
}

}  // namespace img3d_tool
