#include "phantom.h"

#include <cstdint>

namespace img3d_tool {
namespace {

struct Ball {
    int cx, cy, cz, radius;
};

// Most centres lie on the middle planes (x 56, y 48, z 40), where the
// preview's slices show them.
constexpr Ball kBalls[] = {
    {30, 48, 40, 20},  // large
    {84, 22, 40, 13},  // medium
    {56, 78, 40, 6},   // small
    {88, 78, 40, 3},   // smallest that the demo keeps
    {66, 48, 40, 9},   // touching pair: both hold voxel (75, 48, 40),
    {84, 48, 40, 9},   //   so together they are one object
    {56, 48, 12, 11},  // below the middle slice
    {56, 24, 68, 11},  // above it
};

// Specks: 2x2x2 bright cubes, too small to survive the demo's size filter.
constexpr int kSpecks[][3] = {{14, 84, 40}, {100, 8, 40}, {56, 6, 40}, {12, 10, 22}, {100, 88, 60}};
constexpr int kBackground = 70;
constexpr int kObject = 170;

// A small, fixed linear congruential generator: the phantom must not depend
// on the standard library's distributions, which differ between vendors.
struct Noise {
    std::uint32_t state = 20240611u;
    int next(int span) {  // uniform in 0 ... span - 1
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 8) % static_cast<std::uint32_t>(span));
    }
    // Triangular noise in -amplitude ... amplitude: the sum of two uniforms.
    int triangular(int amplitude) { return next(amplitude + 1) + next(amplitude + 1) - amplitude; }
};

}  // namespace

void draw_phantom(unsigned char*** volume) {
    Img3DClear(volume, kBackground);
    for (const Ball& b : kBalls)
        for (int z = b.cz - b.radius; z <= b.cz + b.radius; ++z)
            for (int y = b.cy - b.radius; y <= b.cy + b.radius; ++y)
                for (int x = b.cx - b.radius; x <= b.cx + b.radius; ++x) {
                    const int dx = x - b.cx, dy = y - b.cy, dz = z - b.cz;
                    if (dx * dx + dy * dy + dz * dz <= b.radius * b.radius) volume[z][y][x] = kObject;
                }
    for (const auto& s : kSpecks)
        for (int z = s[2]; z < s[2] + 2; ++z)
            for (int y = s[1]; y < s[1] + 2; ++y)
                for (int x = s[0]; x < s[0] + 2; ++x) volume[z][y][x] = kObject;

    Noise noise;
    unsigned char* voxel = volume[0][0];
    for (long i = 0; i < long{kPhantomWidth} * kPhantomHeight * kPhantomDepth; ++i) {
        const int value = voxel[i] + noise.triangular(50);
        voxel[i] = static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
    }
}

}  // namespace img3d_tool
