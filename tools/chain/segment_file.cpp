#include "segment_file.h"

#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "errors.h"

namespace img3d_tool {
namespace {

// The file's voxels, when they are not plain bytes: their type and scaling.
std::string values_text(const FileVoxels& voxels) {
    if (voxels.datatype == DT_UINT8 && !voxels.scaled) return "";
    std::string text = type_name(voxels.datatype);
    if (voxels.scaled)
        text += ", file units = raw x " + format_value(voxels.slope) + (voxels.inter < 0 ? " - " : " + ") +
                format_value(std::fabs(voxels.inter));
    return text;
}

void write_labels(OutputFiles& files, int index, const nifti_image& like, const SegmentReport& r,
                  const ObjectLabels& labels) {
    const std::string& path = files.path(index);
    const std::size_t count = static_cast<std::size_t>(r.width) * r.height * r.depth;
    const std::int32_t* values = labels.labels.get();
    if (labels.count() > 32767) {
        write_volume(files.fd(index), path, output_format(path), like, DT_INT32, values, r.width, r.height, r.depth,
                     NIFTI_INTENT_LABEL);
        return;
    }
    std::vector<std::int16_t> narrow;
    try {
        narrow.assign(values, values + count);
    } catch (const std::bad_alloc&) {
        throw RunError("not enough memory to write the labels: " + mebibytes(2.0 * count) + ", 2 bytes per voxel");
    }
    write_volume(files.fd(index), path, output_format(path), like, DT_INT16, narrow.data(), r.width, r.height, r.depth,
                 NIFTI_INTENT_LABEL);
}

}  // namespace

SegmentRun::SegmentRun(const SegmentRequest& request, Progress& progress)
    : request_(request), progress_(progress), files_({request.input}) {
    summary.options = request.options.segment;
}

void SegmentRun::add_volume_outputs() {
    if (!request_.output.empty()) output_format(request_.output);
    if (!request_.labels.empty()) check_extension(request_.labels, "--labels", {".nii", ".nii.gz"});
    if (!request_.output.empty()) result_ = files_.add(request_.output);
    if (!request_.labels.empty()) labels_ = files_.add(request_.labels);
}

void SegmentRun::read() {
    StageTimer timer(progress_, "read");
    read_volume(request_.input, request_.options.read, loaded_);
    summary.stages.emplace_back("read", timer.milliseconds());
    summary.input = request_.input;
    summary.format = loaded_.format;
    summary.geometry = loaded_.geometry;
    summary.values = values_text(loaded_.voxels);
}

void SegmentRun::segment() {
    summary.report = run_segment(loaded_, request_.options.segment, progress_, volumes);
    summary.stages.insert(summary.stages.end(), summary.report.stages.begin(), summary.report.stages.end());
}

void SegmentRun::write_volumes() {
    if (result_ < 0 && labels_ < 0) return;
    const SegmentReport& r = summary.report;
    StageTimer timer(progress_, "write");
    if (result_ >= 0) {
        const std::string& path = files_.path(result_);
        write_volume(files_.fd(result_), path, output_format(path), *loaded_.header, DT_UINT8,
                     volumes.result.getPixels(), r.width, r.height, r.depth, NIFTI_INTENT_NONE);
    }
    if (labels_ >= 0) write_labels(files_, labels_, *loaded_.header, r, volumes.labels);
    summary.stages.emplace_back("write", timer.milliseconds());
}

void SegmentRun::commit() {
    files_.commit();
    for (int i = 0; i < files_.size(); ++i) summary.outputs.push_back(files_.path(i));
}

std::string segment_file(const SegmentRequest& request) {
    Progress quiet(false);
    SegmentRun run(request, quiet);
    run.add_volume_outputs();
    run.read();
    run.segment();
    run.write_volumes();
    run.commit();
    return json_report(run.summary);
}

}  // namespace img3d_tool
