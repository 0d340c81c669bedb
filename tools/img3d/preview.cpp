#include "preview.h"

#include "volume_io.h"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace img3d_tool {
namespace {

// A 5x7 pixel font for the picture's captions: upper case, digits and a few
// signs (lower case is drawn upper case, except x, which reads as "by").
struct Glyph {
    char c;
    std::uint8_t rows[7];
};

constexpr Glyph kFont[] = {
    {'A', {0b01110, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'B', {0b11110, 0b10001, 0b10001, 0b11110, 0b10001, 0b10001, 0b11110}},
    {'C', {0b01110, 0b10001, 0b10000, 0b10000, 0b10000, 0b10001, 0b01110}},
    {'D', {0b11100, 0b10010, 0b10001, 0b10001, 0b10001, 0b10010, 0b11100}},
    {'E', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b11111}},
    {'F', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'G', {0b01110, 0b10001, 0b10000, 0b10111, 0b10001, 0b10001, 0b01111}},
    {'H', {0b10001, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'I', {0b01110, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'J', {0b00111, 0b00010, 0b00010, 0b00010, 0b00010, 0b10010, 0b01100}},
    {'K', {0b10001, 0b10010, 0b10100, 0b11000, 0b10100, 0b10010, 0b10001}},
    {'L', {0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b11111}},
    {'M', {0b10001, 0b11011, 0b10101, 0b10101, 0b10001, 0b10001, 0b10001}},
    {'N', {0b10001, 0b10001, 0b11001, 0b10101, 0b10011, 0b10001, 0b10001}},
    {'O', {0b01110, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'P', {0b11110, 0b10001, 0b10001, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'Q', {0b01110, 0b10001, 0b10001, 0b10001, 0b10101, 0b10010, 0b01101}},
    {'R', {0b11110, 0b10001, 0b10001, 0b11110, 0b10100, 0b10010, 0b10001}},
    {'S', {0b01111, 0b10000, 0b10000, 0b01110, 0b00001, 0b00001, 0b11110}},
    {'T', {0b11111, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100}},
    {'U', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'V', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01010, 0b00100}},
    {'W', {0b10001, 0b10001, 0b10001, 0b10101, 0b10101, 0b10101, 0b01010}},
    {'X', {0b10001, 0b10001, 0b01010, 0b00100, 0b01010, 0b10001, 0b10001}},
    {'Y', {0b10001, 0b10001, 0b10001, 0b01010, 0b00100, 0b00100, 0b00100}},
    {'Z', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b10000, 0b11111}},
    {'0', {0b01110, 0b10001, 0b10011, 0b10101, 0b11001, 0b10001, 0b01110}},
    {'1', {0b00100, 0b01100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'2', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b01000, 0b11111}},
    {'3', {0b11111, 0b00010, 0b00100, 0b00010, 0b00001, 0b10001, 0b01110}},
    {'4', {0b00010, 0b00110, 0b01010, 0b10010, 0b11111, 0b00010, 0b00010}},
    {'5', {0b11111, 0b10000, 0b11110, 0b00001, 0b00001, 0b10001, 0b01110}},
    {'6', {0b00110, 0b01000, 0b10000, 0b11110, 0b10001, 0b10001, 0b01110}},
    {'7', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b01000, 0b01000}},
    {'8', {0b01110, 0b10001, 0b10001, 0b01110, 0b10001, 0b10001, 0b01110}},
    {'9', {0b01110, 0b10001, 0b10001, 0b01111, 0b00001, 0b00010, 0b01100}},
    {'.', {0b00000, 0b00000, 0b00000, 0b00000, 0b00000, 0b01100, 0b01100}},
    {',', {0b00000, 0b00000, 0b00000, 0b00000, 0b01100, 0b00100, 0b01000}},
    {':', {0b00000, 0b01100, 0b01100, 0b00000, 0b01100, 0b01100, 0b00000}},
    {'-', {0b00000, 0b00000, 0b00000, 0b11111, 0b00000, 0b00000, 0b00000}},
    {'+', {0b00000, 0b00100, 0b00100, 0b11111, 0b00100, 0b00100, 0b00000}},
    {'=', {0b00000, 0b00000, 0b11111, 0b00000, 0b11111, 0b00000, 0b00000}},
    {'>', {0b01000, 0b00100, 0b00010, 0b00001, 0b00010, 0b00100, 0b01000}},
    {'<', {0b00010, 0b00100, 0b01000, 0b10000, 0b01000, 0b00100, 0b00010}},
    {'(', {0b00010, 0b00100, 0b01000, 0b01000, 0b01000, 0b00100, 0b00010}},
    {')', {0b01000, 0b00100, 0b00010, 0b00010, 0b00010, 0b00100, 0b01000}},
    {'/', {0b00000, 0b00001, 0b00010, 0b00100, 0b01000, 0b10000, 0b00000}},
    {'_', {0b00000, 0b00000, 0b00000, 0b00000, 0b00000, 0b00000, 0b11111}},
    {'%', {0b11000, 0b11001, 0b00010, 0b00100, 0b01000, 0b10011, 0b00011}},
    {'x', {0b00000, 0b00000, 0b10001, 0b01010, 0b00100, 0b01010, 0b10001}},
    {'?', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b00000, 0b00100}},
    {' ', {0, 0, 0, 0, 0, 0, 0}},
};

const Glyph& glyph(char c) {
    if (c != 'x' && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (const Glyph& g : kFont)
        if (g.c == c) return g;
    return glyph('?');
}

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
    void text(int x, int y, const std::string& text, int scale, const unsigned char rgb[3]) {
        static const unsigned char black[3] = {0, 0, 0};
        for (int pass = 0; pass < 2; ++pass)
            for (std::size_t i = 0; i < text.size(); ++i) {
                const Glyph& g = glyph(text[i]);
                for (int row = 0; row < kGlyphHeight; ++row)
                    for (int col = 0; col < 5; ++col) {
                        if (!(g.rows[row] & (0x10 >> col))) continue;
                        const int px = x + (static_cast<int>(i) * kGlyphAdvance + col) * scale;
                        const int py = y + row * scale;
                        for (int dy = 0; dy < scale; ++dy)
                            for (int dx = 0; dx < scale; ++dx) {
                                if (pass == 0) {
                                    for (int oy = -1; oy <= 1; ++oy)
                                        for (int ox = -1; ox <= 1; ++ox) put(px + dx + ox, py + dy + oy, black);
                                } else {
                                    put(px + dx, py + dy, rgb);
                                }
                            }
                    }
            }
    }
};

// One middle slice: which voxel axes run across and down the panel, and the
// axis held fixed at its middle.
struct Axis {
    const char* name;
    int across, down, fixed;
};
constexpr Axis kAxes[] = {{"axial", 0, 1, 2}, {"coronal", 0, 2, 1}, {"sagittal", 1, 2, 0}};
constexpr char kAxisLetter[] = {'x', 'y', 'z'};

unsigned char blend(double a, double b, double t) {
    const double v = a * (1.0 - t) + b * t;
    return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v));
}

}  // namespace

void label_colour(int label, unsigned char rgb[3]) {
    // Golden-ratio steps around the hue circle: neighbouring labels differ.
    const double hue = std::fmod(0.08 + label * 0.6180339887498949, 1.0) * 6.0;
    const double s = 0.75, v = 1.0;
    const int sector = static_cast<int>(hue);
    const double f = hue - sector;
    const double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    double r, g, b;
    switch (sector) {
        case 0: r = v, g = t, b = p; break;
        case 1: r = q, g = v, b = p; break;
        case 2: r = p, g = v, b = t; break;
        case 3: r = p, g = q, b = v; break;
        case 4: r = t, g = p, b = v; break;
        default: r = v, g = p, b = q; break;
    }
    rgb[0] = static_cast<unsigned char>(std::lround(r * 255));
    rgb[1] = static_cast<unsigned char>(std::lround(g * 255));
    rgb[2] = static_cast<unsigned char>(std::lround(b * 255));
}

PreviewImage render_preview(const std::vector<PreviewColumn>& columns, const float spacing[3],
                            const std::string& caption) {
    unsigned char*** input = columns.front().volume;
    const int dims[3] = {Image3DGetWidth(input), Image3DGetHeight(input), Image3DGetDepth(input)};
    const double extent[3] = {dims[0] * double{spacing[0]}, dims[1] * double{spacing[1]},
                              dims[2] * double{spacing[2]}};

    // One pixel per voxel of the finest axis, magnified by a whole factor for
    // small volumes and reduced for very large ones.
    double pixel = std::min({spacing[0], spacing[1], spacing[2]});
    const double longest = std::max({extent[0], extent[1], extent[2]});
    if (longest / pixel < 200) pixel /= std::ceil(200 / (longest / pixel));
    if (longest / pixel > 400) pixel = longest / 400;

    // Grey levels stretched from the lowest to the 99.5th percentile, so a
    // dim volume is not shown dim.
    int histogram[256];
    Img3DHisto(input, histogram);
    long long total = 0;
    for (int count : histogram) total += count;
    int low = 0, high = 255;
    while (low < 255 && histogram[low] == 0) ++low;
    for (long long seen = 0; high > low; --high) {
        seen += histogram[high];
        if (seen * 200 > total) break;
    }
    unsigned char window[256];
    for (int g = 0; g < 256; ++g) {
        const int v = high > low ? (g - low) * 255 / (high - low) : g;
        window[g] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
    }

    int panel_w[3], panel_h[3];
    for (int a = 0; a < 3; ++a) {
        panel_w[a] = std::max(1, static_cast<int>(std::lround(extent[kAxes[a].across] / pixel)));
        panel_h[a] = std::max(1, static_cast<int>(std::lround(extent[kAxes[a].down] / pixel)));
    }
    const int cell_w = std::max({panel_w[0], panel_w[1], panel_w[2]});
    const int title_scale = 2, title_h = kGlyphHeight * title_scale + kMargin;
    const int ncols = static_cast<int>(columns.size());

    PreviewImage image;
    image.width = kMargin + ncols * (cell_w + kMargin);
    image.height = kMargin + title_h + title_h + panel_h[0] + panel_h[1] + panel_h[2] + 3 * kMargin;
    image.rgb.assign(static_cast<std::size_t>(image.width) * image.height * 3, 24);
    Canvas canvas{image};
    static const unsigned char white[3] = {255, 255, 255};
    static const unsigned char light[3] = {200, 200, 200};
    static const unsigned char mask_colour[3] = {255, 214, 64};

    auto fitted_scale = [&](const std::string& text, int width) {
        return canvas.text_width(text, 2) <= width ? 2 : 1;
    };
    canvas.text(kMargin, kMargin, caption, fitted_scale(caption, image.width - 2 * kMargin), white);

    int top = kMargin + title_h;
    for (int c = 0; c < ncols; ++c) {
        const int left = kMargin + c * (cell_w + kMargin);
        canvas.text(left, top, columns[c].title, fitted_scale(columns[c].title, cell_w), white);
    }
    top += title_h;

    for (int a = 0; a < 3; ++a) {
        const Axis& axis = kAxes[a];
        const int middle = dims[axis.fixed] / 2;
        for (int c = 0; c < ncols; ++c) {
            const PreviewColumn& column = columns[c];
            const int left = kMargin + c * (cell_w + kMargin) + (cell_w - panel_w[a]) / 2;
            for (int v = 0; v < panel_h[a]; ++v)
                for (int u = 0; u < panel_w[a]; ++u) {
                    int at[3];
                    at[axis.fixed] = middle;
                    at[axis.across] = std::min(dims[axis.across] - 1,
                                               static_cast<int>((u + 0.5) * pixel / spacing[axis.across]));
                    // Increasing y and z point up the picture.
                    at[axis.down] = dims[axis.down] - 1 -
                                    std::min(dims[axis.down] - 1,
                                             static_cast<int>((v + 0.5) * pixel / spacing[axis.down]));
                    const int grey = window[input[at[2]][at[1]][at[0]]];
                    const int value = column.volume[at[2]][at[1]][at[0]];
                    unsigned char rgb[3] = {static_cast<unsigned char>(grey), static_cast<unsigned char>(grey),
                                            static_cast<unsigned char>(grey)};
                    if (column.kind != PreviewColumn::Kind::grey) {
                        unsigned char colour[3];
                        if (column.kind == PreviewColumn::Kind::mask)
                            std::memcpy(colour, mask_colour, 3);
                        else
                            label_colour(value, colour);
                        for (int k = 0; k < 3; ++k)
                            rgb[k] = value != 0 ? blend(grey, colour[k], 0.75) : blend(0, grey, 0.4);
                    }
                    canvas.put(left + u, top + v, rgb);
                }
            std::string label = std::string(axis.name) + " " + kAxisLetter[axis.fixed] + "=" + std::to_string(middle);
            for (char& ch : label) ch = static_cast<char>(ch == 'x' ? 'X' : ch);
            canvas.text(left + 3, top + 3, label, 1, light);
        }
        top += panel_h[a] + kMargin;
    }
    return image;
}

void write_png(const std::string& path, const PreviewImage& picture) {
    const std::string temporary = path.substr(0, path.size() - 4) + ".img3d-tmp-" + std::to_string(::getpid()) + ".png";
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(picture.width);
    image.height = static_cast<png_uint_32>(picture.height);
    image.format = PNG_FORMAT_RGB;
    const bool written = png_image_write_to_file(&image, temporary.c_str(), 0, picture.rgb.data(),
                                                 picture.width * 3, nullptr) != 0;
    const std::string reason = written ? "" : image.message;
    png_image_free(&image);
    std::error_code error;
    if (written) std::filesystem::rename(temporary, path, error);
    if (!written || error) {
        std::remove(temporary.c_str());
        throw RunError(path + ": write failed: " + (written ? error.message() : reason));
    }
}

}  // namespace img3d_tool
