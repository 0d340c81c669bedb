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

using Morphology = SegmentOptions::Morphology;
using BinaryOperation = int (*)(const uint8_t*, uint8_t*, int64_t, int64_t, int64_t, int, int, int, int);

std::string morphology_step(const char* name, const Morphology& m) {
    return std::string(name) + " " + std::to_string(m.element) + "x" + std::to_string(m.iterations);
}

// Hole filling and the K largest objects on kept, whose objects labels
// describes while fresh.
void selection_stages(const SegmentOptions& options, Progress& progress, CTarnImage3D& kept, SegmentVolumes& out,
                      SegmentReport& report, bool& fresh) {
    const int w = report.width, h = report.height, d = report.depth;
    if (options.fill_holes) {
        report.steps.push_back("fill holes");
        stage(report, progress, "hole filling", [&] {
            report.holes = Img3DFillHoles(kept.getPixels(), kept.getPixels(), w, h, d, kObject, kBackground, 6, -1);
            if (report.holes < 0)
                throw RunError("not enough memory in the hole filling: " +
                               working_memory(Operation::fill_holes, kept, kObject));
        });
        // A filled hole grows its object, and may join objects around it.
        fresh = fresh && report.holes == 0;
    }
    if (options.largest > 0) {
        report.steps.push_back("largest " + std::to_string(options.largest));
        stage(report, progress, "largest", [&] {
            if (!fresh) {
                out.labels = ObjectLabels();
                out.labels = label_objects(kept, kObject, options.connectivity);
                fresh = true;
            }
            report.removed_largest = keep_largest(out.labels, kept, kBackground, options.largest);
            report.kept_largest = out.labels.count();
        });
    }
}

// Smoothing and the binary morphology, from kept into out.result.  Returns
// whether any ran; kept is scratch afterwards.
bool reshape_stages(const SegmentOptions& options, Progress& progress, CTarnImage3D& kept, SegmentVolumes& out,
                    SegmentReport& report) {
    const bool smooth = options.smooth > 0 && out.labels.count() > 0;
    if (options.smooth > 0) report.steps.push_back("smoothing " + std::to_string(options.smooth));
    if (smooth) {
        stage(report, progress, "smoothing", [&] {
            if (Img3DEdgeSmooth(kept, out.result, kObject, kBackground, options.smooth) != 0)
                throw RunError("not enough memory in the edge smoothing: " +
                               working_memory(Operation::edge_smooth, kept, kObject));
        });
    } else {
        Img3DCopy(kept, out.result);
    }
    struct Step {
        const char* name;
        const Morphology& m;
        BinaryOperation operation;
    };
    const Step steps[] = {{"opening", options.open, Img3DBinaryOpen},
                          {"closing", options.close, Img3DBinaryClose},
                          {"erosion", options.erode, Img3DBinaryErode},
                          {"dilation", options.dilate, Img3DBinaryDilate}};
    bool reshaped = smooth;
    for (const Step& step : steps) {
        if (step.m.element == 0) continue;
        report.steps.push_back(morphology_step(step.name, step.m));
        stage(report, progress, step.name, [&] {
            unsigned char* v = out.result.getPixels();
            if (step.operation(v, v, report.width, report.height, report.depth, kObject, kBackground, step.m.element,
                               step.m.iterations) != 0)
                throw RunError(std::string("not enough memory in the ") + step.name + ": " +
                               working_memory(Operation::morphology, out.result, kObject));
        });
        reshaped = true;
    }
    return reshaped;
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
    report.steps = {"threshold", "size bounds"};

    // One engine finds and filters the objects: the label image, whose
    // objects are those the library's object filters take.
    stage(report, progress, "objects", [&] {
        out.labels = label_objects(out.segmented, kObject, options.connectivity);
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

    // Whether out.labels still describes the objects.
    bool fresh = true;
    selection_stages(options, progress, kept, out, report, fresh);
    allocate_like(out.result, w, h, d, "the result");
    fresh = !reshape_stages(options, progress, kept, out, report) && fresh;
    kept.destroyImage();  // its memory serves the labels

    // Filling, smoothing and morphology reshape, split and join objects: the
    // result honours the size bounds and the K largest only once they are
    // applied again.  Without them the last labels are the result's.
    if (!fresh) {
        report.steps.push_back(options.largest > 0 ? "size bounds and largest again" : "size bounds again");
        stage(report, progress, "labels", [&] {
            out.labels = ObjectLabels();
            out.labels = label_objects(out.result, kObject, options.connectivity);
            report.removed_after =
                remove_outside(out.labels, out.result, kBackground, options.min_volume, options.max_volume);
            if (options.largest > 0)
                report.removed_after += keep_largest(out.labels, out.result, kBackground, options.largest);
        });
    }
    report.steps.push_back("labels");
    report.final_objects = out.labels.count();
    for (const Img3DObject& o : out.labels.objects) report.voxels += o.voxels;
    return report;
}

}  // namespace img3d_tool
