#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <new>

#include "commands.h"
#include "errors.h"
#include "preview.h"
#include "text_report.h"

namespace img3d_tool {
namespace {

std::string foreground_title(const SegmentReport& r) {
    if (!r.empty_reason.empty() || r.low > r.high) return "segmented: none";
    if (std::isinf(r.high)) return "segmented >= " + format_value(r.low);
    return "segmented " + format_value(r.low) + " to " + format_value(r.high);
}

}  // namespace

bool progress_wanted(bool quiet) { return !quiet && ::isatty(STDERR_FILENO); }

void write_preview(SegmentRun& run, int index, const std::string& caption, Progress& progress) {
    StageTimer timer(progress, "preview");
    RunSummary& summary = run.summary;
    const SegmentReport& r = summary.report;
    SegmentVolumes& volumes = run.volumes;
    const std::vector<PreviewColumn> columns = {
        {"input", PreviewColumn::Kind::grey, display_volume(run.volume(), volumes), nullptr},
        {foreground_title(r), PreviewColumn::Kind::mask, volumes.segmented, nullptr},
        {"result: " + std::to_string(r.final_objects) + (r.final_objects == 1 ? " object" : " objects"),
         PreviewColumn::Kind::labels, nullptr, volumes.labels.labels.get()},
    };
    summary.plan = plan_preview(run.volume().geometry, r.width, r.height, r.depth, &volumes.labels);
    summary.previewed = true;
    const std::string png = png_bytes(render_preview(columns, run.volume().geometry, summary.plan, caption));
    write_all(run.files().fd(index), run.files().path(index), png.data(), png.size());
    summary.stages.emplace_back("preview", timer.milliseconds());
}

void print_summary(const RunSummary& run, bool json, bool quiet) {
    if (json)
        std::printf("%s\n", json_report(run).c_str());
    else if (!quiet)
        print_text_report(stdout, run);
}

std::string one_line(std::string text) {
    for (char& ch : text)
        if (ch == '\n' || ch == '\r') ch = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

int run_command(const Arguments& arguments) {
    try {
        check_exclusions(arguments);
        if (arguments.command == "segment") return run_segment_command(arguments);
        if (arguments.command == "objects") return run_objects_command(arguments);
        return run_demo_command(arguments);
    } catch (const InputError& e) {
        std::fprintf(stderr, "img3d: %s\n", one_line(e.what()).c_str());
        return kExitBadInput;
    } catch (const RunError& e) {
        std::fprintf(stderr, "img3d: %s\n", one_line(e.what()).c_str());
        return kExitMemory;
    } catch (const std::bad_alloc&) {
        const std::string& stage = current_stage();
        std::fprintf(stderr, "img3d: not enough memory%s\n",
                     stage.empty() ? "" : (" in the stage '" + stage + "'").c_str());
        return kExitMemory;
    } catch (const std::exception& e) {
        // Threads and buffers that cannot be had are memory too.
        std::fprintf(stderr, "img3d: %s\n", one_line(e.what()).c_str());
        return kExitMemory;
    }
}

}  // namespace img3d_tool
