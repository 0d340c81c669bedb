// The demo's built-in volume: a deterministic phantom that exercises every
// stage of the segmentation chain.
#pragma once

#include <img3d.h>

namespace img3d_tool {

constexpr int kPhantomWidth = 112;
constexpr int kPhantomHeight = 96;
constexpr int kPhantomDepth = 80;

// Draws the phantom into a volume of kPhantomWidth x kPhantomHeight x
// kPhantomDepth voxels: balls of several sizes, a touching pair that forms
// one object, a few specks too small to keep, on a dark background, with
// grey-level noise from a fixed-seed generator.  Integer arithmetic only, so
// the voxels are the same on every platform.
void draw_phantom(unsigned char*** volume);

}  // namespace img3d_tool
