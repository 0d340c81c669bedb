#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "canvas.h"

namespace img3d_tool {
namespace {

// One plane of the picture: the world axis held fixed, the one across the
// panel (growing to the right, or to the left) and the one up it.
struct Plane {
    const char* name;          // with an orientation
    const char* storage_name;  // without one
    int fixed, across, up;
    bool across_grows_right;
    const char* markers[4];  // left, right, top, bottom
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

namespace {

// Along each world axis: voxels, their size and the extent; and the size of
// one picture pixel.  One pixel per voxel of the finest axis, magnified by a
// whole factor for small volumes and reduced for very large ones.
struct Scale {
    int count[3];
    double size[3], extent[3];
    double pixel;
};

Scale scale_of(const int dims[3], const Geometry& geometry, const PreviewPlan& plan) {
    Scale s{};
    for (int world = 0; world < 3; ++world) {
        const int axis = plan.voxel_axis[world];
        s.count[world] = dims[axis];
        s.size[world] = geometry.spacing[axis];
        s.extent[world] = s.count[world] * s.size[world];
    }
    s.pixel = std::min({s.size[0], s.size[1], s.size[2]});
    const double longest = std::max({s.extent[0], s.extent[1], s.extent[2]});
    if (longest / s.pixel < 200) s.pixel /= std::ceil(200 / (longest / s.pixel));
    if (longest / s.pixel > 400) s.pixel = longest / 400;
    return s;
}

// Grey levels stretched from the lowest to the 99.5th percentile, so a dim
// volume is not shown dim.
void grey_window(unsigned char*** input, unsigned char window[256]) {
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
    for (int g = 0; g < 256; ++g) {
        const int v = high > low ? (g - low) * 255 / (high - low) : g;
        window[g] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

// What every panel of the picture shares.
struct Painter {
    const std::vector<PreviewColumn>& columns;
    const PreviewPlan& plan;
    const Scale& scale;
    int dims[3];
    unsigned char window[256];
    Canvas canvas;

    // The colour of one voxel in one column: grey, or its mask or label
    // colour over the dimmed grey.
    void voxel_colour(const PreviewColumn& column, std::size_t index, unsigned char rgb[3]) const {
        static const unsigned char mask_colour[3] = {255, 214, 64};
        const int grey = window[columns.front().volume[0][0][index]];
        rgb[0] = rgb[1] = rgb[2] = static_cast<unsigned char>(grey);
        if (column.kind == PreviewColumn::Kind::grey) return;
        const int value = column.kind == PreviewColumn::Kind::mask ? column.volume[0][0][index] : column.labels[index];
        unsigned char colour[3];
        if (column.kind == PreviewColumn::Kind::mask)
            std::memcpy(colour, mask_colour, 3);
        else
            label_colour(value, colour);
        for (int k = 0; k < 3; ++k) rgb[k] = value != 0 ? blend(grey, colour[k], 0.75) : blend(0, grey, 0.4);
    }

    // The slice of plane p through the plan's centre, panel_w x panel_h
    // pixels from (left, top).
    void slice(const Plane& plane, const PreviewColumn& column, int left, int top, int panel_w, int panel_h) {
        const int across_axis = plan.voxel_axis[plane.across], up_axis = plan.voxel_axis[plane.up];
        int at[3];
        at[plan.voxel_axis[plane.fixed]] = plan.centre[plan.voxel_axis[plane.fixed]];
        const int n_up = scale.count[plane.up], n_across = scale.count[plane.across];
        for (int v = 0; v < panel_h; ++v) {
            const int from_top = std::min(n_up - 1, static_cast<int>((v + 0.5) * scale.pixel / scale.size[plane.up]));
            const int up = n_up - 1 - from_top;  // display index, growing up the panel
            at[up_axis] = plan.reversed[plane.up] ? n_up - 1 - up : up;
            for (int u = 0; u < panel_w; ++u) {
                const int from_left =
                    std::min(n_across - 1, static_cast<int>((u + 0.5) * scale.pixel / scale.size[plane.across]));
                const int across = plane.across_grows_right ? from_left : n_across - 1 - from_left;
                at[across_axis] = plan.reversed[plane.across] ? n_across - 1 - across : across;
                const std::size_t index = (static_cast<std::size_t>(at[2]) * dims[1] + at[1]) * dims[0] + at[0];
                unsigned char rgb[3];
                voxel_colour(column, index, rgb);
                canvas.put(left + u, top + v, rgb);
            }
        }
    }

    // The panel's name and position, and the direction markers at its edges.
    void markers(const Plane& plane, int left, int top, int panel_w, int panel_h) {
        static const unsigned char light[3] = {200, 200, 200};
        static const unsigned char marker[3] = {140, 220, 255};
        const int world = plane.fixed;
        std::string label;
        if (plan.oriented)
            label = std::string(plane.name) + " " + kAxisLetter[world] + "=" + millimetres(plan.position[world]) + "mm";
        else
            label = std::string(plane.storage_name) + " " + kAxisLetter[world] + "=" +
                    std::to_string(plan.centre[world]) + " (" + millimetres(plan.position[world]) + "mm)";
        for (char& ch : label) ch = static_cast<char>(ch == 'x' ? 'X' : ch);
        canvas.text(left + 3, top + 3, label, 1, light);
        const char* const* names = plan.oriented ? plane.markers : plane.storage_markers;
        const int mid_x = left + panel_w / 2, mid_y = top + panel_h / 2;
        canvas.text(left + 3, mid_y - kGlyphHeight / 2, names[0], 1, marker);
        canvas.text(left + panel_w - 3 - canvas.text_width(names[1], 1), mid_y - kGlyphHeight / 2, names[1], 1, marker);
        canvas.text(mid_x - canvas.text_width(names[2], 1) / 2, top + 3 + kGlyphHeight + 4, names[2], 1, marker);
        canvas.text(mid_x - canvas.text_width(names[3], 1) / 2, top + panel_h - 3 - kGlyphHeight, names[3], 1, marker);
    }
};

}  // namespace

PreviewImage render_preview(const std::vector<PreviewColumn>& columns, const Geometry& geometry,
                            const PreviewPlan& plan, const std::string& caption) {
    unsigned char*** input = columns.front().volume;
    const int dims[3] = {Image3DGetWidth(input), Image3DGetHeight(input), Image3DGetDepth(input)};
    const Scale scale = scale_of(dims, geometry, plan);
    int panel_w[3], panel_h[3];
    for (int p = 0; p < 3; ++p) {
        panel_w[p] = std::max(1, static_cast<int>(std::lround(scale.extent[kPlanes[p].across] / scale.pixel)));
        panel_h[p] = std::max(1, static_cast<int>(std::lround(scale.extent[kPlanes[p].up] / scale.pixel)));
    }
    const int cell_w = std::max({panel_w[0], panel_w[1], panel_w[2]});
    const int title_scale = 2, title_h = kGlyphHeight * title_scale + kMargin;
    const int note_h = kGlyphHeight + kMargin;
    const int ncols = static_cast<int>(columns.size());

    PreviewImage image;
    image.width = kMargin + ncols * (cell_w + kMargin);
    image.height = kMargin + title_h + note_h + title_h + panel_h[0] + panel_h[1] + panel_h[2] + 3 * kMargin;
    image.rgb.assign(static_cast<std::size_t>(image.width) * image.height * 3, 24);
    Painter painter{columns, plan, scale, {dims[0], dims[1], dims[2]}, {}, Canvas{image}};
    grey_window(input, painter.window);
    Canvas& canvas = painter.canvas;
    static const unsigned char white[3] = {255, 255, 255};
    static const unsigned char light[3] = {200, 200, 200};

    auto fitted_scale = [&](const std::string& text, int width) { return canvas.text_width(text, 2) <= width ? 2 : 1; };
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
        for (int c = 0; c < ncols; ++c) {
            const int left = kMargin + c * (cell_w + kMargin) + (cell_w - panel_w[p]) / 2;
            painter.slice(kPlanes[p], columns[c], left, top, panel_w[p], panel_h[p]);
            painter.markers(kPlanes[p], left, top, panel_w[p], panel_h[p]);
        }
        top += panel_h[p] + kMargin;
    }
    return image;
}

}  // namespace img3d_tool
