#include "segment.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include "errors.h"

namespace img3d_tool {
namespace {

double voxel_count(unsigned char*** model) {
    return double(Image3DGetWidth(model)) * Image3DGetHeight(model) * Image3DGetDepth(model);
}

void allocate_like(CTarnImage3D& volume, int width, int height, int depth, const char* purpose) {
    if (!volume.makeImage(width, height, depth))
        throw RunError(std::string("not enough memory for ") + purpose + ": " +
                       mebibytes(double(width) * height * depth) + ", a volume of " + std::to_string(width) + "x" +
                       std::to_string(height) + "x" + std::to_string(depth) + " voxels");
}

// Runs along x of value: the unit of the object functions' working memory.
double count_runs(unsigned char*** volume, int value) {
    const int w = Image3DGetWidth(volume);
    const std::size_t rows = static_cast<std::size_t>(Image3DGetHeight(volume)) * Image3DGetDepth(volume);
    const unsigned char* v = volume[0][0];
    double runs = 0;
    for (std::size_t r = 0; r < rows; ++r, v += w)
        for (int x = 0; x < w; ++x) runs += v[x] == value && (x == 0 || v[x - 1] != value);
    return runs;
}

int count_value(unsigned char*** volume, int value) {
    int histogram[256];
    Img3DHisto(volume, histogram);
    return histogram[value];
}

// The 6-connected objects of one value of a volume, extracted from a copy so
// the volume itself stays intact; the list is released on destruction.
class ObjectList {
public:
    ObjectList(unsigned char*** volume, int value) {
        if (count_value(volume, value) == 0) return;
        // The extraction paints every voxel it takes: give it a copy.
        CTarnImage3D scratch(Image3DGetWidth(volume), Image3DGetHeight(volume), Image3DGetDepth(volume));
        if (scratch.getSize() == 0) fail(volume, value);
        Img3DCopy(volume, scratch);
        list_ = GetAllRunLength3D(scratch, value, value == 0 ? 1 : 0, &count_, 0);
        bool complete = list_ != nullptr;
        for (int i = 0; complete && i < count_; ++i) complete = list_[i] != nullptr;
        if (!complete) {
            FreeRunLength3D(count_, list_);
            list_ = nullptr;
            count_ = 0;
            fail(volume, value);
        }
    }
    ~ObjectList() { FreeRunLength3D(count_, list_); }
    ObjectList(const ObjectList&) = delete;
    ObjectList& operator=(const ObjectList&) = delete;

    int size() const { return count_; }
    const RunLength3D* operator[](int i) const { return list_[i]; }

private:
    [[noreturn]] static void fail(unsigned char*** volume, int value) {
        throw RunError("not enough memory to extract the objects: about " +
                       mebibytes(voxel_count(volume) + 8 * count_runs(volume, value)) +
                       " (a copy of the volume and 8 bytes per run of object voxels)");
    }
    RunLength3D** list_ = nullptr;
    int count_ = 0;
};

// Runs one stage and records its time; a failed allocation inside it is
// reported as the stage's want of memory.
template <typename Work>
void stage(SegmentReport& report, Progress& progress, const char* name, Work&& work) {
    StageTimer timer(progress, name);
    try {
        work();
    } catch (const std::bad_alloc&) {
        throw RunError(std::string("not enough memory in the stage '") + name + "'");
    }
    report.stages.emplace_back(name, timer.milliseconds());
}

// Chooses the threshold: what the automatic methods pick on the 8-bit levels,
// or the given file values.
void choose_threshold(const LoadedVolume& input, const SegmentOptions& options, unsigned char*** levels,
                      SegmentReport& report) {
    const double infinity = std::numeric_limits<double>::infinity();
    report.high = infinity;
    switch (options.method) {
        case SegmentOptions::Method::otsu:
        case SegmentOptions::Method::two_mode: {
            report.automatic = true;
            const bool otsu = options.method == SegmentOptions::Method::otsu;
            report.method = otsu ? "otsu" : "two-mode";
            // Both split the levels into 0 ... t and t+1 ... 255; the
            // objects are the upper class.
            report.level = otsu ? Img3DDaJinThreshold(levels) : Img3D2ModeThreshold(levels);
            report.level_value = report.levels.value_of(input.voxels, report.level);
            if (report.grey.non_finite == input.voxels.count)
                report.empty_reason = "no voxel holds a finite value";
            else if (report.grey.minimum == report.grey.maximum)
                report.empty_reason = "every voxel is " + format_value(report.grey.minimum);
            else if (otsu && report.level == 255)
                report.empty_reason = "every level lies in the lower class";
            else if (!otsu && report.level == 0)
                report.empty_reason = "the histogram has no valley between two modes";
            report.low = report.empty_reason.empty() ? report.levels.lower_bound(input.voxels, report.level + 1)
                                                     : infinity;
            break;
        }
        case SegmentOptions::Method::level:
            report.method = "given";
            report.low = options.level;
            break;
        case SegmentOptions::Method::band:
            report.method = "band";
            report.low = options.band_low;
            report.high = options.band_high;
            break;
    }
}

void segment(const LoadedVolume& input, const SegmentReport& report, unsigned char*** levels,
             unsigned char*** segmented) {
    if (!report.empty_reason.empty()) {
        Img3DClear(segmented, kBackground);
    } else if (report.automatic) {
        Img3DSingleSegment(levels, segmented, report.level + 1, kObject, kBackground);
    } else {
        // The library selects raw bytes; other data, or a selection that is
        // no single stretch of bytes, is selected value by value.
        int first = 0, last = 0;
        if (raw_interval(input.voxels, report.low, report.high, first, last)) {
            unsigned char*** bytes = const_cast<CTarnImage3D&>(input.volume);
            if (first > last)
                Img3DClear(segmented, kBackground);
            else
                Img3DDoubleSegment(bytes, segmented, first, last, kObject, kBackground);
        } else {
            select_values(input.voxels, report.low, report.high, segmented[0][0]);
        }
    }
}

}  // namespace

unsigned char*** display_volume(const LoadedVolume& input, SegmentVolumes& volumes) {
    if (volumes.levels.getSize() > 0) return volumes.levels;
    return const_cast<CTarnImage3D&>(input.volume);
}

SegmentReport run_segment(const LoadedVolume& input, const SegmentOptions& options, Progress& progress,
                          SegmentVolumes& out) {
    SegmentReport report;
    const int w = static_cast<int>(input.header->nx), h = static_cast<int>(input.header->ny),
              d = static_cast<int>(input.header->nz);
    report.width = w;
    report.height = h;
    report.depth = d;

    stage(report, progress, "statistics", [&] {
        report.grey = value_statistics(input.voxels);
        report.levels = choose_levels(input.voxels, report.grey, options.has_window ? options.window : nullptr);
        if (!report.levels.raw) {
            allocate_like(out.levels, w, h, d, "the 8-bit levels");
            make_levels(input.voxels, report.levels, out.levels.getPixels());
        }
    });
    unsigned char*** levels = display_volume(input, out);

    stage(report, progress, "threshold", [&] { choose_threshold(input, options, levels, report); });

    allocate_like(out.segmented, w, h, d, "the segmentation");
    stage(report, progress, "segmentation", [&] { segment(input, report, levels, out.segmented); });

    stage(report, progress, "objects", [&] {
        ObjectList found(out.segmented, kObject);
        report.found = found.size();
        for (int i = 0; i < found.size(); ++i) report.largest = std::max(report.largest, ObjVolume(found[i]));
    });

    CTarnImage3D kept;
    allocate_like(kept, w, h, d, "the size filter");
    stage(report, progress, "size filter", [&] {
        // With no object at all there is nothing to filter (and the filter
        // says so by returning -1).
        if (report.found == 0) {
            Img3DCopy(out.segmented, kept);
        } else if (Img3DDelVolume(out.segmented, kept, kObject, kBackground, options.min_volume,
                                  options.max_volume) != 0) {
            throw RunError("not enough memory in the size filter: about " +
                           mebibytes(4 * count_runs(out.segmented, kObject)) + " (4 bytes per run of object voxels)");
        }
        report.kept = ObjectList(kept, kObject).size();
    });

    allocate_like(out.result, w, h, d, "the result");
    if (options.smooth > 0 && report.kept > 0) {
        stage(report, progress, "smoothing", [&] {
            if (Img3DEdgeSmooth(kept, out.result, kObject, kBackground, options.smooth) != 0)
                throw RunError("not enough memory in the edge smoothing: " +
                               mebibytes(std::ceil(w / 8.0) * h * d) +
                               " for its mask of one bit per voxel, and the largest object's box");
        });
    } else {
        Img3DCopy(kept, out.result);
    }

    if (options.dilate != 0) {
        stage(report, progress, "dilation", [&] {
            Img3DCopy(out.result, kept);
            if (Img3DDilatation(kept, out.result, kObject, kBackground, options.dilate == 6 ? 1 : 2) != 0)
                throw RunError("not enough memory in the dilation: " + mebibytes(5.0 * w * h) +
                               " for five slices");
        });
    }

    kept.destroyImage();  // its memory serves the labels

    stage(report, progress, "labels", [&] {
        out.labels = label_objects(out.result, kObject);
        // Smoothing and dilation reshape, split and join objects: the result
        // honours the size bounds only once they are applied again.
        report.removed_after =
            remove_outside(out.labels, out.result, kBackground, options.min_volume, options.max_volume);
        report.final_objects = out.labels.count();
        for (const Img3DObject& o : out.labels.objects) report.voxels += o.voxels;
    });
    return report;
}

}  // namespace img3d_tool
