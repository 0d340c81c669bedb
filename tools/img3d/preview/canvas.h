// The picture being drawn: pixels, and captions in a small bitmap font.
#pragma once

#include <cstring>
#include <string>

#include "preview.h"

namespace img3d_tool {

constexpr int kGlyphAdvance = 6;  // 5 columns and a gap
constexpr int kGlyphHeight = 7;
constexpr int kMargin = 8;

struct Canvas {
    PreviewImage& image;

    void put(int x, int y, const unsigned char rgb[3]) {
        if (x < 0 || y < 0 || x >= image.width || y >= image.height) return;
        std::memcpy(&image.rgb[(static_cast<std::size_t>(y) * image.width + x) * 3], rgb, 3);
    }

    int text_width(const std::string& text, int scale) const {
        return static_cast<int>(text.size()) * kGlyphAdvance * scale - scale;
    }

    // A dark outline keeps text legible over the slices.
    void text(int x, int y, const std::string& text, int scale, const unsigned char rgb[3]);
};

}  // namespace img3d_tool
