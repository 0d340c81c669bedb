#include <filesystem>

#include "commands.h"

namespace fs = std::filesystem;

namespace img3d_tool {

int run_segment_command(const Arguments& arguments) {
    const SegmentRequest request = segment_request(arguments);
    const std::string preview = arguments.text("preview");
    if (!preview.empty()) check_extension(preview, "--preview", {".png"});
    const bool json = arguments.has("json"), quiet = arguments.has("quiet");

    Progress progress(progress_wanted(quiet));
    SegmentRun run(request, progress);
    // Every output is made (empty) before any work: one that cannot be
    // written stops the run at once.
    run.add_volume_outputs();
    const int picture = preview.empty() ? -1 : run.files().add(preview);
    run.read();
    run.segment();
    run.write_volumes();
    if (picture >= 0)
        write_preview(run, picture, "img3d segment " + fs::path(request.input).filename().string(), progress);
    run.commit();
    print_summary(run.summary, json, quiet);
    return 0;
}

}  // namespace img3d_tool
