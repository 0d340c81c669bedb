#include "intensity.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

namespace img3d_tool {
namespace {

// Calls work(values, count) with the voxels in their own type.
template <typename Work>
void visit(const FileVoxels& voxels, Work&& work) {
    const void* d = voxels.data;
    const std::size_t n = voxels.count;
    switch (voxels.datatype) {
        case DT_UINT8: return work(static_cast<const std::uint8_t*>(d), n);
        case DT_INT8: return work(static_cast<const std::int8_t*>(d), n);
        case DT_INT16: return work(static_cast<const std::int16_t*>(d), n);
        case DT_UINT16: return work(static_cast<const std::uint16_t*>(d), n);
        case DT_INT32: return work(static_cast<const std::int32_t*>(d), n);
        case DT_UINT32: return work(static_cast<const std::uint32_t*>(d), n);
        case DT_INT64: return work(static_cast<const std::int64_t*>(d), n);
        case DT_UINT64: return work(static_cast<const std::uint64_t*>(d), n);
        case DT_FLOAT32: return work(static_cast<const float*>(d), n);
        default: return work(static_cast<const double*>(d), n);
    }
}

template <typename T>
constexpr bool kByte = sizeof(T) == 1;

// The file value of every possible raw byte (index: the byte as unsigned).
template <typename T>
void byte_table(const FileVoxels& voxels, double table[256]) {
    for (int b = 0; b < 256; ++b)
        table[b] = file_units(voxels, static_cast<double>(static_cast<T>(static_cast<std::uint8_t>(b))));
}

template <typename T>
std::uint8_t byte_of(T value) {
    std::uint8_t b;
    static_assert(sizeof(T) == 1);
    std::memcpy(&b, &value, 1);
    return b;
}

int level_of(double value, double low, double high) {
    if (!std::isfinite(value) || !(high > low)) return 0;
    const double t = (value - low) * 255.0 / (high - low);
    if (!(t > 0)) return 0;
    if (t >= 255) return 255;
    return static_cast<int>(std::floor(t + 0.5));
}

}  // namespace

ValueStatistics value_statistics(const FileVoxels& voxels) {
    ValueStatistics s;
    double minimum = std::numeric_limits<double>::infinity(), maximum = -minimum;
    long double sum = 0;
    std::size_t finite = 0;
    visit(voxels, [&](const auto* data, std::size_t n) {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        if constexpr (kByte<T>) {
            // A histogram of the bytes, then each byte's value once.
            std::size_t counts[256] = {};
            for (std::size_t i = 0; i < n; ++i) ++counts[byte_of(data[i])];
            double table[256];
            byte_table<T>(voxels, table);
            for (int b = 0; b < 256; ++b) {
                if (counts[b] == 0) continue;
                if (!std::isfinite(table[b])) {
                    s.non_finite += counts[b];
                    continue;
                }
                minimum = std::min(minimum, table[b]);
                maximum = std::max(maximum, table[b]);
                sum += static_cast<long double>(table[b]) * counts[b];
                finite += counts[b];
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const double v = file_units(voxels, static_cast<double>(data[i]));
                if (!std::isfinite(v)) {
                    ++s.non_finite;
                    continue;
                }
                minimum = v < minimum ? v : minimum;
                maximum = v > maximum ? v : maximum;
                sum += v;
                ++finite;
            }
        }
    });
    if (finite > 0) {
        s.minimum = minimum;
        s.maximum = maximum;
        s.mean = static_cast<double>(sum / static_cast<long double>(finite));
    }
    return s;
}

double LevelMap::value_of(const FileVoxels& voxels, int level) const {
    if (raw) return file_units(voxels, level);
    return low + level * (high - low) / 255.0;
}

double LevelMap::lower_bound(const FileVoxels& voxels, int level) const {
    if (raw) return file_units(voxels, level);
    if (level <= 0) return -std::numeric_limits<double>::infinity();
    return low + (level - 0.5) * (high - low) / 255.0;
}

LevelMap choose_levels(const FileVoxels& voxels, const ValueStatistics& statistics, const double* window) {
    LevelMap map;
    map.raw = window == nullptr && voxels.datatype == DT_UINT8 && (!voxels.scaled || voxels.slope > 0);
    if (map.raw) {
        map.low = file_units(voxels, 0);
        map.high = file_units(voxels, 255);
    } else if (window != nullptr) {
        map.low = window[0];
        map.high = window[1];
    } else {
        map.low = statistics.minimum;
        map.high = statistics.maximum;
    }
    return map;
}

// out[i] = byte(value of voxel i in file units), for every voxel; the
// 8-bit types through a table of their 256 values.
template <class Byte>
void map_voxels(const FileVoxels& voxels, unsigned char* out, Byte byte) {
    visit(voxels, [&](const auto* data, std::size_t n) {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        if constexpr (kByte<T>) {
            double table[256];
            byte_table<T>(voxels, table);
            unsigned char mapped[256];
            for (int b = 0; b < 256; ++b) mapped[b] = byte(table[b]);
            for (std::size_t i = 0; i < n; ++i) out[i] = mapped[byte_of(data[i])];
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = byte(file_units(voxels, static_cast<double>(data[i])));
        }
    });
}

void make_levels(const FileVoxels& voxels, const LevelMap& map, unsigned char* levels) {
    map_voxels(voxels, levels, [&](double v) { return static_cast<unsigned char>(level_of(v, map.low, map.high)); });
}

void select_values(const FileVoxels& voxels, double low, double high, unsigned char* mask) {
    map_voxels(voxels, mask, [&](double v) { return static_cast<unsigned char>(low <= v && v <= high ? 255 : 0); });
}

bool raw_interval(const FileVoxels& voxels, double low, double high, int& first, int& last) {
    if (voxels.datatype != DT_UINT8) return false;
    first = 256;
    last = -1;
    for (int b = 0; b < 256; ++b) {
        const double v = file_units(voxels, b);
        if (!(low <= v && v <= high)) continue;
        if (last >= 0 && last != b - 1) return false;  // a second stretch
        if (first > 255) first = b;
        last = b;
    }
    return true;
}

std::string format_value(double value) {
    char text[48];
    if (value == 0) return "0";
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15)
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

}  // namespace img3d_tool

namespace img3d_tool {
namespace {

// Copies the values into out as T.
template <typename T>
void convert(const FileVoxels& voxels, std::vector<T>& out) {
    out.resize(voxels.count);
    visit(voxels, [&](const auto* values, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<T>(values[i]);
    });
}

}  // namespace

std::vector<GreyOfObject> grey_of_objects(const ObjectLabels& labels, const FileVoxels& grey) {
    std::vector<std::int16_t> wide;
    std::vector<float> real;
    std::vector<Img3DIntensity> stats;
    const void* data = grey.data;
    int type = IMG3D_FLOAT32;
    try {
        switch (grey.datatype) {
            case DT_UINT8: type = IMG3D_UINT8; break;
            case DT_INT16: type = IMG3D_INT16; break;
            case DT_UINT16: type = IMG3D_UINT16; break;
            case DT_FLOAT32: break;
            case DT_INT8:
                convert(grey, wide);
                data = wide.data();
                type = IMG3D_INT16;
                break;
            default: convert(grey, real); data = real.data();
        }
        stats.resize(labels.objects.size());
    } catch (const std::bad_alloc&) {
        throw RunError("not enough memory for the grey values of " + std::to_string(labels.count()) + " objects");
    }
    if (Img3DIntensityStats(labels.labels.get(), IMG3D_INT32, data, type, labels.width, labels.height, labels.depth,
                            labels.count(), stats.data()) < 0)
        throw RunError("not enough memory for the grey values of " + std::to_string(labels.count()) +
                       " objects: " + mebibytes(56.0 * labels.count()));
    std::vector<GreyOfObject> out;
    out.reserve(stats.size());
    for (const Img3DIntensity& s : stats) {
        // Scaling is linear: the mean follows it, and a negative slope swaps
        // the extremes.
        const double low = file_units(grey, s.minimum), high = file_units(grey, s.maximum);
        out.push_back({file_units(grey, s.mean), std::min(low, high), std::max(low, high)});
    }
    return out;
}

}  // namespace img3d_tool
