#include "preview.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "errors.h"

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
    {'\'', {0b00100, 0b00100, 0b01000, 0b00000, 0b00000, 0b00000, 0b00000}},
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

// One plane of the picture: the world axis held fixed, the one across the
// panel (growing to the right, or to the left) and the one up it.
struct Plane {
    const char* name;          // with an orientation
    const char* storage_name;  // without one
    int fixed, across, up;
    bool across_grows_right;
    const char* markers[4];          // left, right, top, bottom
    const char* storage_markers[4];
};
constexpr Plane kPlanes[] = {
    {"axial", "x-y plane", 2, 0, 1, true, {"L", "R", "A", "P"}, {"-X", "+X", "+Y", "-Y"}},
    {"coronal", "x-z plane", 1, 0, 2, true, {"L", "R", "S", "I"}, {"-X", "+X", "+Z", "-Z"}},
    {"sagittal", "y-z plane", 0, 1, 2, false, {"A", "P", "S", "I"}, {"+Y", "-Y", "+Z", "-Z"}},
};
constexpr char kAxisLetter[] = {'x', 'y', 'z'};

unsigned char blend(double a, double b, double t) {
    const double v = a * (1.0 - t) + b * t;
    return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v));
}

// ceil(a / b) for b > 0.
std::int64_t ceil_div(std::int64_t a, std::int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }

// The index nearest to sum / count, halves toward the lower one.
int nearest(std::int64_t sum, std::int64_t count) {
    return static_cast<int>(ceil_div(2 * sum - count, 2 * count));
}

std::string millimetres(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return std::string(text) == "-0.0" ? "0.0" : text;
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

PreviewPlan plan_preview(const Geometry& geometry, int width, int height, int depth, const ObjectLabels* labels) {
    PreviewPlan plan;
    const int dims[3] = {width, height, depth};
    plan.oriented = geometry.oriented();
    plan.source = geometry.source;
    if (plan.oriented) {
        // The world axis of each voxel axis: the assignment that keeps the
        // most of each axis's direction (exact for the usual, unrotated
        // storage orders; the nearest one for oblique scans).
        static const int kOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
        double best = -1;
        for (const auto& order : kOrders) {
            double score = 0;
            for (int a = 0; a < 3; ++a) {
                const double* m[3] = {geometry.to_world[0], geometry.to_world[1], geometry.to_world[2]};
                const double norm = std::sqrt(m[0][a] * m[0][a] + m[1][a] * m[1][a] + m[2][a] * m[2][a]);
                score += std::fabs(m[order[a]][a]) / norm;
            }
            if (score > best + 1e-12) {
                best = score;
                for (int a = 0; a < 3; ++a) {
                    plan.voxel_axis[order[a]] = a;
                    plan.reversed[order[a]] = geometry.to_world[order[a]][a] < 0;
                }
            }
        }
    }

    // Display index: the voxel index counted in the direction its world
    // coordinate grows.  Sums of display indices stay exact integers.
    std::int64_t sums[3], count = 2;
    for (int world = 0; world < 3; ++world) sums[world] = dims[plan.voxel_axis[world]] - 1;  // the middle
    if (labels != nullptr) {
        const Img3DObject* chosen = nullptr;
        std::int64_t chosen_sums[3] = {};
        for (std::size_t k = 0; k < labels->objects.size(); ++k) {
            const Img3DObject& o = labels->objects[k];
            if (o.voxels == 0) continue;
            const std::int64_t voxel_sums[3] = {o.sumX, o.sumY, o.sumZ};
            std::int64_t display[3];
            for (int world = 0; world < 3; ++world) {
                const int axis = plan.voxel_axis[world];
                display[world] = plan.reversed[world] ? std::int64_t{o.voxels} * (dims[axis] - 1) - voxel_sums[axis]
                                                      : voxel_sums[axis];
            }
            bool better = chosen == nullptr || o.voxels > chosen->voxels;
            if (!better && o.voxels == chosen->voxels)
                for (int world = 2; world >= 0; --world)
                    if (display[world] != chosen_sums[world]) {
                        better = display[world] < chosen_sums[world];
                        break;
                    }
            if (better) {
                chosen = &o;
                plan.object = static_cast<int>(k) + 1;
                std::copy(display, display + 3, chosen_sums);
            }
        }
        if (chosen != nullptr) {
            std::copy(chosen_sums, chosen_sums + 3, sums);
            count = chosen->voxels;
        }
    }
    for (int world = 0; world < 3; ++world) {
        const int axis = plan.voxel_axis[world];
        const int display = nearest(sums[world], count);
        plan.centre[axis] = plan.reversed[world] ? dims[axis] - 1 - display : display;
    }
    for (int world = 0; world < 3; ++world) {
        if (plan.oriented) {
            const double* row = geometry.to_world[world];
            plan.position[world] =
                row[0] * plan.centre[0] + row[1] * plan.centre[1] + row[2] * plan.centre[2] + row[3];
        } else {
            plan.position[world] = plan.centre[world] * double{geometry.spacing[world]};
        }
    }
    return plan;
}

PreviewImage render_preview(const std::vector<PreviewColumn>& columns, const Geometry& geometry,
                            const PreviewPlan& plan, const std::string& caption) {
    unsigned char*** input = columns.front().volume;
    const int dims[3] = {Image3DGetWidth(input), Image3DGetHeight(input), Image3DGetDepth(input)};
    // Along each world axis: voxels and their size.
    int count[3];
    double size[3], extent[3];
    for (int world = 0; world < 3; ++world) {
        const int axis = plan.voxel_axis[world];
        count[world] = dims[axis];
        size[world] = geometry.spacing[axis];
        extent[world] = count[world] * size[world];
    }

    // One pixel per voxel of the finest axis, magnified by a whole factor for
    // small volumes and reduced for very large ones.
    double pixel = std::min({size[0], size[1], size[2]});
    const double longest = std::max({extent[0], extent[1], extent[2]});
    if (longest / pixel < 200) pixel /= std::ceil(200 / (longest / pixel));
    if (longest / pixel > 400) pixel = longest / 400;

    // Grey levels stretched from the lowest to the 99.5th percentile, so a
    // dim volume is not shown dim.
    int histogram[256];
    Img3DHisto(input, histogram);
    long long total = 0;
    for (int c : histogram) total += c;
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
    for (int p = 0; p < 3; ++p) {
        panel_w[p] = std::max(1, static_cast<int>(std::lround(extent[kPlanes[p].across] / pixel)));
        panel_h[p] = std::max(1, static_cast<int>(std::lround(extent[kPlanes[p].up] / pixel)));
    }
    const int cell_w = std::max({panel_w[0], panel_w[1], panel_w[2]});
    const int title_scale = 2, title_h = kGlyphHeight * title_scale + kMargin;
    const int note_h = kGlyphHeight + kMargin;
    const int ncols = static_cast<int>(columns.size());

    PreviewImage image;
    image.width = kMargin + ncols * (cell_w + kMargin);
    image.height = kMargin + title_h + note_h + title_h + panel_h[0] + panel_h[1] + panel_h[2] + 3 * kMargin;
    image.rgb.assign(static_cast<std::size_t>(image.width) * image.height * 3, 24);
    Canvas canvas{image};
    static const unsigned char white[3] = {255, 255, 255};
    static const unsigned char light[3] = {200, 200, 200};
    static const unsigned char marker[3] = {140, 220, 255};
    static const unsigned char mask_colour[3] = {255, 214, 64};

    auto fitted_scale = [&](const std::string& text, int width) {
        return canvas.text_width(text, 2) <= width ? 2 : 1;
    };
    canvas.text(kMargin, kMargin, caption, fitted_scale(caption, image.width - 2 * kMargin), white);
    std::string note = plan.oriented ? "neurological view: L on the left, planes from the " + plan.source
                                     : "orientation unknown: storage order as given";
    note += plan.object > 0 ? ", slices through the largest object" : ", middle slices";
    canvas.text(kMargin, kMargin + title_h, note, 1, light);

    int top = kMargin + title_h + note_h;
    for (int c = 0; c < ncols; ++c) {
        const int left = kMargin + c * (cell_w + kMargin);
        canvas.text(left, top, columns[c].title, fitted_scale(columns[c].title, cell_w), white);
    }
    top += title_h;

    for (int p = 0; p < 3; ++p) {
        const Plane& plane = kPlanes[p];
        const int across_axis = plan.voxel_axis[plane.across], up_axis = plan.voxel_axis[plane.up];
        for (int c = 0; c < ncols; ++c) {
            const PreviewColumn& column = columns[c];
            const int left = kMargin + c * (cell_w + kMargin) + (cell_w - panel_w[p]) / 2;
            int at[3];
            at[plan.voxel_axis[plane.fixed]] = plan.centre[plan.voxel_axis[plane.fixed]];
            for (int v = 0; v < panel_h[p]; ++v) {
                const int n_up = count[plane.up];
                const int from_top = std::min(n_up - 1, static_cast<int>((v + 0.5) * pixel / size[plane.up]));
                const int up = n_up - 1 - from_top;  // display index, growing up the panel
                at[up_axis] = plan.reversed[plane.up] ? n_up - 1 - up : up;
                for (int u = 0; u < panel_w[p]; ++u) {
                    const int n_across = count[plane.across];
                    const int from_left =
                        std::min(n_across - 1, static_cast<int>((u + 0.5) * pixel / size[plane.across]));
                    const int across = plane.across_grows_right ? from_left : n_across - 1 - from_left;
                    at[across_axis] = plan.reversed[plane.across] ? n_across - 1 - across : across;

                    const std::size_t index =
                        (static_cast<std::size_t>(at[2]) * dims[1] + at[1]) * dims[0] + at[0];
                    const int grey = window[input[0][0][index]];
                    unsigned char rgb[3] = {static_cast<unsigned char>(grey), static_cast<unsigned char>(grey),
                                            static_cast<unsigned char>(grey)};
                    if (column.kind != PreviewColumn::Kind::grey) {
                        const int value = column.kind == PreviewColumn::Kind::mask ? column.volume[0][0][index]
                                                                                   : column.labels[index];
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
            }
            const int world = plane.fixed;
            std::string label;
            if (plan.oriented)
                label = std::string(plane.name) + " " + kAxisLetter[world] + "=" + millimetres(plan.position[world]) +
                        "mm";
            else
                label = std::string(plane.storage_name) + " " + kAxisLetter[world] + "=" +
                        std::to_string(plan.centre[world]) + " (" + millimetres(plan.position[world]) + "mm)";
            for (char& ch : label) ch = static_cast<char>(ch == 'x' ? 'X' : ch);
            canvas.text(left + 3, top + 3, label, 1, light);
            const char* const* markers = plan.oriented ? plane.markers : plane.storage_markers;
            const int mid_x = left + panel_w[p] / 2, mid_y = top + panel_h[p] / 2;
            canvas.text(left + 3, mid_y - kGlyphHeight / 2, markers[0], 1, marker);
            canvas.text(left + panel_w[p] - 3 - canvas.text_width(markers[1], 1), mid_y - kGlyphHeight / 2, markers[1],
                        1, marker);
            canvas.text(mid_x - canvas.text_width(markers[2], 1) / 2, top + 3 + kGlyphHeight + 4, markers[2], 1,
                        marker);
            canvas.text(mid_x - canvas.text_width(markers[3], 1) / 2, top + panel_h[p] - 3 - kGlyphHeight, markers[3],
                        1, marker);
        }
        top += panel_h[p] + kMargin;
    }
    return image;
}

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
