#include "segment.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include "errors.h"
#include "working_memory.h"

namespace img3d_tool {
namespace {

void allocate_like(CTarnImage3D& volume, int width, int height, int depth, const char* purpose) {
    if (!volume.makeImage(width, height, depth))
        throw RunError(std::string("not enough memory for ") + purpose + ": " +
                       mebibytes(double(width) * height * depth) + ", a volume of " + std::to_string(width) + "x" +
                       std::to_string(height) + "x" + std::to_string(depth) + " voxels");
}

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
            report.low =
                report.empty_reason.empty() ? report.levels.lower_bound(input.voxels, report.level + 1) : infinity;
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

namespace {

// Statistics, the threshold and the segmentation into out.segmented.
void threshold_stages(const LoadedVolume& input, const SegmentOptions& options, Progress& progress, SegmentVolumes& out,
                      SegmentReport& report) {
    const int w = report.width, h = report.height, d = report.depth;
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
}

// Smoothing and dilation of kept into out.result.  Returns whether either
// ran; kept is scratch afterwards.
bool reshape_stages(const SegmentOptions& options, Progress& progress, CTarnImage3D& kept, SegmentVolumes& out,
                    SegmentReport& report) {
    const bool smooth = options.smooth > 0 && report.kept > 0;
    if (smooth) {
        stage(report, progress, "smoothing", [&] {
            if (Img3DEdgeSmooth(kept, out.result, kObject, kBackground, options.smooth) != 0)
                throw RunError("not enough memory in the edge smoothing: " +
                               working_memory(Operation::edge_smooth, kept, kObject));
        });
    } else {
        Img3DCopy(kept, out.result);
    }
    if (options.dilate != 0) {
        stage(report, progress, "dilation", [&] {
            Img3DCopy(out.result, kept);
            if (Img3DDilatation(kept, out.result, kObject, kBackground, options.dilate == 6 ? 1 : 2) != 0)
                throw RunError("not enough memory in the dilation: " +
                               working_memory(Operation::dilation, kept, kObject));
        });
    }
    return smooth || options.dilate != 0;
}

}  // namespace

SegmentReport run_segment(const LoadedVolume& input, const SegmentOptions& options, Progress& progress,
                          SegmentVolumes& out) {
    SegmentReport report;
    const int w = static_cast<int>(input.header->nx), h = static_cast<int>(input.header->ny),
              d = static_cast<int>(input.header->nz);
    report.width = w;
    report.height = h;
    report.depth = d;
    threshold_stages(input, options, progress, out, report);

    // One engine finds and filters the objects: the label image, whose
    // 6-connected objects are those the library's object filters take.
    stage(report, progress, "objects", [&] {
        out.labels = label_objects(out.segmented, kObject);
        report.found = out.labels.count();
        for (const Img3DObject& o : out.labels.objects) report.largest = std::max(report.largest, o.voxels);
    });

    CTarnImage3D kept;
    allocate_like(kept, w, h, d, "the size filter");
    stage(report, progress, "size filter", [&] {
        Img3DCopy(out.segmented, kept);
        remove_outside(out.labels, kept, kBackground, options.min_volume, options.max_volume);
        report.kept = out.labels.count();
    });

    allocate_like(out.result, w, h, d, "the result");
    const bool reshaped = reshape_stages(options, progress, kept, out, report);
    kept.destroyImage();  // its memory serves the labels

    // Smoothing and dilation reshape, split and join objects: the result
    // honours the size bounds only once they are applied again.  Without
    // them the size filter's labels are the result's.
    if (reshaped) {
        stage(report, progress, "labels", [&] {
            out.labels = ObjectLabels();
            out.labels = label_objects(out.result, kObject);
            report.removed_after =
                remove_outside(out.labels, out.result, kBackground, options.min_volume, options.max_volume);
        });
    }
    report.final_objects = out.labels.count();
    for (const Img3DObject& o : out.labels.objects) report.voxels += o.voxels;
    return report;
}

}  // namespace img3d_tool
