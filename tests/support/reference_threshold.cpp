#include "reference_threshold.h"

#include <cstdint>

namespace img3d::test {

Histogram count_levels(const Volume& volume) {
    Histogram histogram{};
    for (int z = 0; z < volume.depth(); ++z)
        for (int y = 0; y < volume.height(); ++y)
            for (int x = 0; x < volume.width(); ++x) ++histogram[volume.get()[z][y][x]];
    return histogram;
}

int reference_otsu(const Histogram& histogram) {
    int voxels = 0;
    for (int count : histogram) voxels += count;
    double p[256];
    for (int i = 0; i < 256; ++i) p[i] = static_cast<double>(histogram[i]) / static_cast<double>(voxels);
    double total_mean = 0.0;
    for (int i = 0; i < 256; ++i) total_mean = i * p[i] + total_mean;

    double variance[256];
    for (int t = 0; t < 256; ++t) {
        double omega = 0.0;
        double mu = 0.0;
        for (int j = 0; j <= t; ++j) {
            omega = omega + p[j];
            mu = j * p[j] + mu;
        }
        const double d = (1 - omega) * omega;
        if (d == 0.0)
            variance[t] = 0.0;
        else
            variance[t] = (total_mean * omega - mu) * (total_mean * omega - mu) / d;
    }
    int best = 0;
    double maximum = variance[0];
    for (int j = 0; j < 256; ++j) {
        if (maximum <= variance[j]) {
            maximum = variance[j];
            best = j;
        }
    }
    return best;
}

int reference_two_mode(const Histogram& h) {
    int s[256];
    for (int i = 1; i <= 254; ++i) s[i] = (h[i - 1] + h[i] + h[i + 1]) / 3;
    s[0] = (h[0] + h[1]) / 2;
    s[255] = (h[254] + h[255]) / 2;

    std::int64_t best_score = 0;
    int best = 0;
    for (int m = 1; m <= 254; ++m) {
        for (int j = 0; j < m; j += 2) {
            const int left = s[j] - s[m];
            if (left <= 0) continue;
            for (int k = m + 1; k <= 255; k += 2) {
                const int right = s[k] - s[m];
                const std::int64_t score = static_cast<std::int64_t>(right) * left;
                if (score > best_score) {
                    best_score = score;
                    best = m;
                }
            }
        }
    }
    return best;
}

unsigned char reference_single(unsigned char voxel, int threshold, unsigned char high,
                               unsigned char low) {
    const int v = voxel;
    if (v < threshold) return low;
    return high;
}

unsigned char reference_double(unsigned char voxel, int low_threshold, int high_threshold,
                               unsigned char inside, unsigned char outside) {
    const int v = voxel;
    if (v < low_threshold) return outside;
    if (v > high_threshold) return outside;
    return inside;
}

}  // namespace img3d::test
