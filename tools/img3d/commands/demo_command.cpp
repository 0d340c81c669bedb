#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "commands.h"
#include "errors.h"
#include "object_table.h"
#include "phantom.h"

namespace fs = std::filesystem;

namespace img3d_tool {
namespace {

// Removes the demo's folder again when the run made it and fails.
struct MadeFolder {
    std::string path;
    bool keep = false;
    ~MadeFolder() {
        std::error_code error;
        if (!keep && !path.empty()) fs::remove(path, error);  // only when empty
    }
};

void make_folder(const std::string& folder, MadeFolder& made) {
    std::error_code error;
    if (!fs::exists(folder, error)) {
        if (!fs::create_directories(folder, error) || error)
            throw InputError(folder + ": cannot create the folder: " + error.message());
        made.path = folder;
        remove_on_interrupt(folder);
    } else if (!fs::is_directory(folder, error)) {
        throw InputError(folder + ": not a folder; -o names the folder for the demo's outputs");
    }
}

// The built-in phantom as the run's input, written to the phantom output.
void use_phantom(SegmentRun& run, int output) {
    LoadedVolume& loaded = run.volume();
    if (!loaded.volume.makeImage(kPhantomWidth, kPhantomHeight, kPhantomDepth))
        throw RunError("not enough memory for the phantom");
    draw_phantom(loaded.volume);
    const float spacing[3] = {1, 1, 1};
    loaded.header = make_header(kPhantomWidth, kPhantomHeight, kPhantomDepth, spacing);
    loaded.voxels.datatype = DT_UINT8;
    loaded.voxels.count = static_cast<std::size_t>(loaded.volume.getSize());
    loaded.voxels.data = loaded.volume.getPixels();
    loaded.geometry.unit = "mm";
    run.summary.input = "built-in phantom (balls, a touching pair, specks, noise)";
    run.summary.geometry = loaded.geometry;
    write_volume(run.files().fd(output), run.files().path(output), VolumeFormat::nifti_gz, *loaded.header, DT_UINT8,
                 loaded.volume.getPixels(), kPhantomWidth, kPhantomHeight, kPhantomDepth, NIFTI_INTENT_NONE);
}

}  // namespace

int run_demo_command(const Arguments& arguments) {
    SegmentRequest request;
    request.input = arguments.text("input");
    request.options = parse_options(chain_options_given(arguments), Preset::demo);
    const std::string folder = arguments.text("output", "img3d-demo");
    const bool json = arguments.has("json"), quiet = arguments.has("quiet");

    Progress progress(progress_wanted(quiet));
    SegmentRun run(request, progress);
    if (!request.input.empty()) run.read();

    // Only once the input has been read: a bad input leaves nothing behind.
    MadeFolder made;
    make_folder(folder, made);
    const fs::path in(folder);
    const int phantom = request.input.empty() ? run.files().add((in / "phantom.nii.gz").string()) : -1;
    request.output = (in / "result.nii.gz").string();
    request.labels = (in / "labels.nii.gz").string();
    run.add_volume_outputs();
    const int preview = run.files().add((in / "preview.png").string());
    const int csv = run.files().add((in / "objects.csv").string());

    if (phantom >= 0) use_phantom(run, phantom);
    run.segment();
    run.write_volumes();
    const SegmentOptions& o = request.options.segment;
    write_preview(
        run, preview,
        "img3d demo: otsu, min volume " + std::to_string(o.min_volume) + ", smooth " + std::to_string(o.smooth),
        progress);
    const std::string table = csv_text(object_table(run.volumes.labels, TableOrder::size, run.summary.geometry));
    write_all(run.files().fd(csv), run.files().path(csv), table.data(), table.size());
    run.commit();
    made.keep = true;
    print_summary(run.summary, json, quiet);
    return 0;
}

}  // namespace img3d_tool
