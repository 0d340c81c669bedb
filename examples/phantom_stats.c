/* A minimal host: allocate a volume, draw a synthetic phantom into it, and
 * print its statistics through the C API. */
#include <img3d.h>
#include <stdio.h>

static void draw_phantom(unsigned char*** v, int w, int h, int d) {
    int x, y, z;
    unsigned seed = 12345u;
    for (z = 0; z < d; ++z)
        for (y = 0; y < h; ++y)
            for (x = 0; x < w; ++x) {
                int dx = x - w / 2, dy = y - h / 2, dz = z - d / 2;
                int inside = dx * dx + dy * dy + dz * dz < (w / 3) * (w / 3);
                seed = seed * 1103515245u + 12345u;
                /* a bright ball on a dark background, with a little noise */
                v[z][y][x] = (unsigned char)((inside ? 180 : 40) + (int)((seed >> 16) % 21) - 10);
            }
}

int main(void) {
    const int w = 96, h = 80, d = 64;
    int histogram[256], maximum, minimum, v, peak = 0;
    unsigned char*** volume = Image3DAlloc(w, h, d);
    if (volume == NULL) {
        fprintf(stderr, "phantom_stats: out of memory\n");
        return 1;
    }
    draw_phantom(volume, w, h, d);

    Img3DHisto(volume, histogram);
    Img3DLimit(volume, &maximum, &minimum);
    for (v = 1; v < 256; ++v)
        if (histogram[v] > histogram[peak]) peak = v;

    printf("img3d %s\n", IMG3D_VERSION);
    printf("phantom     %d x %d x %d voxels\n", Image3DGetWidth(volume),
           Image3DGetHeight(volume), Image3DGetDepth(volume));
    printf("grey range  %d ... %d\n", minimum, maximum);
    printf("mean        %d\n", Img3DMean(volume));
    printf("mode        %d (%d voxels)\n", peak, histogram[peak]);

    Image3DFree(volume);
    return 0;
}
