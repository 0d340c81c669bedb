#include "segment.h"

#include "volume_io.h"

#include <algorithm>

namespace img3d_tool {
namespace {

[[noreturn]] void out_of_memory(const char* while_doing) {
    throw RunError(std::string("not enough memory ") + while_doing);
}

void allocate_like(CTarnImage3D& volume, unsigned char*** model, const char* purpose) {
    if (!volume.makeImage(Image3DGetWidth(model), Image3DGetHeight(model), Image3DGetDepth(model)))
        out_of_memory(purpose);
}

int count_value(unsigned char*** volume, int value) {
    int histogram[256];
    Img3DHisto(volume, histogram);
    return histogram[value];
}

// Runs one stage, records its time.
template <typename Work>
void stage(SegmentReport& report, Progress& progress, const char* name, Work&& work) {
    StageTimer timer(progress, name);
    work();
    report.stages.emplace_back(name, timer.milliseconds());
}

}  // namespace

ObjectList::ObjectList(unsigned char*** volume, int value) {
    if (count_value(volume, value) == 0) return;
    // The extraction paints every voxel it takes: give it a copy.
    CTarnImage3D scratch(Image3DGetWidth(volume), Image3DGetHeight(volume), Image3DGetDepth(volume));
    if (scratch.getSize() == 0) out_of_memory("to extract objects");
    Img3DCopy(volume, scratch);
    list_ = GetAllRunLength3D(scratch, value, value == 0 ? 1 : 0, &count_, 0);
    if (!list_) {
        count_ = 0;
        out_of_memory("to extract objects");
    }
    for (int i = 0; i < count_; ++i)
        if (!list_[i]) {
            FreeRunLength3D(count_, list_);
            list_ = nullptr;
            count_ = 0;
            out_of_memory("to extract objects");
        }
}

SegmentReport run_segment(unsigned char*** input, const SegmentOptions& options, Progress& progress,
                          SegmentVolumes& out) {
    SegmentReport report;
    report.width = Image3DGetWidth(input);
    report.height = Image3DGetHeight(input);
    report.depth = Image3DGetDepth(input);

    stage(report, progress, "statistics", [&] {
        Img3DLimit(input, &report.maximum, &report.minimum);
        report.mean = Img3DMean(input);
    });

    stage(report, progress, "threshold", [&] {
        switch (options.method) {
            case SegmentOptions::Method::otsu:
            case SegmentOptions::Method::two_mode:
                // Both split the grey levels into 0 ... t and t+1 ... 255; the
                // objects are the upper class.
                if (options.method == SegmentOptions::Method::otsu) {
                    report.method = "otsu";
                    report.level = Img3DDaJinThreshold(input);
                } else {
                    report.method = "two-mode";
                    report.level = Img3D2ModeThreshold(input);
                }
                report.foreground_low = report.level + 1;
                report.foreground_high = 255;
                break;
            case SegmentOptions::Method::level:
                report.method = "given";
                report.level = options.level;
                report.foreground_low = options.level;
                report.foreground_high = 255;
                break;
            case SegmentOptions::Method::band:
                report.method = "band";
                report.level = options.band_low;
                report.foreground_low = options.band_low;
                report.foreground_high = options.band_high;
                break;
        }
    });

    allocate_like(out.segmented, input, "for the segmentation");
    stage(report, progress, "segmentation", [&] {
        if (options.method == SegmentOptions::Method::band)
            Img3DDoubleSegment(input, out.segmented, report.foreground_low, report.foreground_high, kObject,
                               kBackground);
        else
            Img3DSingleSegment(input, out.segmented, report.foreground_low, kObject, kBackground);
    });

    stage(report, progress, "objects", [&] {
        ObjectList found(out.segmented, kObject);
        report.found = found.size();
        for (int i = 0; i < found.size(); ++i) report.largest = std::max(report.largest, ObjVolume(found[i]));
    });

    CTarnImage3D kept;
    allocate_like(kept, input, "for the size filter");
    stage(report, progress, "size filter", [&] {
        // With no object at all there is nothing to filter (and the filter
        // says so by returning -1).
        if (report.found == 0) {
            Img3DCopy(out.segmented, kept);
        } else if (Img3DDelVolume(out.segmented, kept, kObject, kBackground, options.min_volume,
                                  options.max_volume) != 0) {
            out_of_memory("in the size filter");
        }
        report.kept = ObjectList(kept, kObject).size();
    });

    allocate_like(out.result, input, "for the result");
    if (options.smooth > 0 && report.kept > 0) {
        stage(report, progress, "smoothing", [&] {
            if (Img3DEdgeSmooth(kept, out.result, kObject, kBackground, options.smooth) != 0)
                out_of_memory("in the edge smoothing");
        });
    } else {
        Img3DCopy(kept, out.result);
    }

    if (options.dilate != 0) {
        stage(report, progress, "dilation", [&] {
            Img3DCopy(out.result, kept);
            Img3DDilatation(kept, out.result, kObject, kBackground, options.dilate == 6 ? 1 : 2);
        });
    }

    stage(report, progress, "labels", [&] {
        report.voxels = count_value(out.result, kObject);
        ObjectList result(out.result, kObject);
        report.final_objects = result.size();
        if (options.labels) {
            allocate_like(out.labels, input, "for the object labels");
            for (int i = 0; i < result.size(); ++i) Img3DFillObject(out.labels, result[i], 1 + i % 255);
        }
    });
    return report;
}

}  // namespace img3d_tool
