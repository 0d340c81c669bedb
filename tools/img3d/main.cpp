// img3d: runs the library's segmentation chain on volume files.
//
//   img3d segment INPUT [-o OUTPUT] [--preview FILE.png] ...
//   img3d objects INPUT [--value V] [--csv | --json]
//   img3d demo [INPUT] [-o DIR]
//
// Exit status: 0 done, 1 the run failed (memory, a write), 2 bad arguments
// or input (nothing is written then).
#include <img3d.h>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "objects_table.h"
#include "phantom.h"
#include "preview.h"
#include "progress.h"
#include "report.h"
#include "segment.h"
#include "volume_io.h"

namespace fs = std::filesystem;
using namespace img3d_tool;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

// Options every command that reads a volume shares.
struct InputOptions {
    std::string path;
    std::string raw;      // WxHxD
    std::string spacing;  // X,Y,Z for raw input
    bool rescale = false;
};

void add_input_options(CLI::App& command, InputOptions& input, bool required) {
    auto* path = command.add_option("INPUT", input.path, "Volume file: .nii, .nii.gz, or raw 8-bit with --raw");
    if (required) path->required();
    command.add_option("--raw", input.raw, "Read INPUT as raw 8-bit voxels of these dimensions, x fastest")
        ->type_name("WxHxD");
    command.add_option("--spacing", input.spacing, "Voxel size in mm of raw input (default 1,1,1)")
        ->type_name("X,Y,Z");
    command.add_flag("--rescale", input.rescale,
                     "Map other data types (16-bit, 32-bit, float) linearly onto 0 ... 255 instead of refusing them");
}

// "WxHxD" or "X,Y,Z": three numbers separated by sep.
template <typename T>
bool parse_triple(const std::string& text, char sep, T out[3]) {
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t end = i < 2 ? text.find(sep, start) : text.size();
        if (end == std::string::npos || end == start) return false;
        const std::string item = text.substr(start, end - start);
        std::size_t used = 0;
        try {
            if constexpr (std::is_same_v<T, int>)
                out[i] = std::stoi(item, &used);
            else
                out[i] = std::stof(item, &used);
        } catch (const std::exception&) {
            return false;
        }
        if (used != item.size() || !(out[i] > 0)) return false;
        start = end + 1;
    }
    return true;
}

ReadOptions read_options(const InputOptions& input) {
    ReadOptions options;
    options.rescale = input.rescale;
    if (!input.raw.empty()) {
        int dims[3];
        if (!parse_triple(input.raw, 'x', dims))
            throw InputError("--raw " + input.raw + ": expected WxHxD with three positive whole numbers");
        options.raw_width = dims[0];
        options.raw_height = dims[1];
        options.raw_depth = dims[2];
    }
    if (!input.spacing.empty()) {
        if (input.raw.empty()) throw InputError("--spacing applies to raw input only (NIfTI files carry their own)");
        if (!parse_triple(input.spacing, ',', options.raw_spacing))
            throw InputError("--spacing " + input.spacing + ": expected X,Y,Z with three positive numbers");
    }
    return options;
}

std::string unit_name(const nifti_1_header& header) {
    switch (header.xyzt_units & 0x07) {
        case NIFTI_UNITS_METER: return "m";
        case NIFTI_UNITS_MM: return "mm";
        case NIFTI_UNITS_MICRON: return "um";
        default: return "";
    }
}

// --threshold otsu | two-mode | N, --band LO:HI
void parse_threshold(const std::string& threshold, const std::string& band, SegmentOptions& options) {
    if (!band.empty()) {
        const std::size_t colon = band.find(':');
        int low = -1, high = -1;
        try {
            std::size_t used_low = 0, used_high = 0;
            low = std::stoi(band.substr(0, colon), &used_low);
            high = std::stoi(band.substr(colon + 1), &used_high);
            if (colon == std::string::npos || used_low != colon || used_high != band.size() - colon - 1) low = -1;
        } catch (const std::exception&) {
            low = -1;
        }
        if (low < 0 || high > 255 || low > high)
            throw InputError("--band " + band + ": expected LO:HI with 0 <= LO <= HI <= 255");
        options.method = SegmentOptions::Method::band;
        options.band_low = low;
        options.band_high = high;
        return;
    }
    if (threshold == "otsu") {
        options.method = SegmentOptions::Method::otsu;
    } else if (threshold == "two-mode") {
        options.method = SegmentOptions::Method::two_mode;
    } else {
        std::size_t used = 0;
        int level = -1;
        try {
            level = std::stoi(threshold, &used);
        } catch (const std::exception&) {
        }
        if (used != threshold.size() || level < 0 || level > 255)
            throw InputError("--threshold " + threshold + ": expected otsu, two-mode or a grey level 0 ... 255");
        options.method = SegmentOptions::Method::level;
        options.level = level;
    }
}

void check_output(const std::string& path) {
    output_format(path);
    check_writable(path, "");
}

// Writes the chain's outputs, timing each, and names them in the summary.
void write_outputs(RunSummary& run, const std::string& output, const std::string& preview, const std::string& title,
                   unsigned char*** input, const nifti_1_header& header, SegmentVolumes& volumes, Progress& progress) {
    if (!output.empty()) {
        StageTimer timer(progress, "write");
        write_volume(output, volumes.result, header);
        run.stages.emplace_back("write", timer.milliseconds());
        run.outputs.push_back(output);
    }
    if (!preview.empty()) {
        StageTimer timer(progress, "preview");
        const std::vector<PreviewColumn> columns = {
            {"input", input, PreviewColumn::Kind::grey},
            {"segmented " + (run.options.method == SegmentOptions::Method::band
                                ? std::to_string(run.report.foreground_low) + "-" +
                                      std::to_string(run.report.foreground_high)
                                : ">= " + std::to_string(run.report.foreground_low)),
             volumes.segmented, PreviewColumn::Kind::mask},
            {"result: " + std::to_string(run.report.final_objects) +
                 (run.report.final_objects == 1 ? " object" : " objects"),
             volumes.labels,
             PreviewColumn::Kind::labels},
        };
        write_png(preview, render_preview(columns, run.spacing, title));
        run.stages.emplace_back("preview", timer.milliseconds());
        run.outputs.push_back(preview);
    }
}

void print_summary(const RunSummary& run, bool json, bool quiet) {
    if (json)
        std::printf("%s\n", json_report(run).dump(2).c_str());
    else if (!quiet)
        print_text_report(stdout, run);
}

bool progress_wanted(bool quiet) { return !quiet && ::isatty(STDERR_FILENO); }

void load(const InputOptions& input, LoadedVolume& loaded, RunSummary& run, Progress& progress) {
    const ReadOptions options = read_options(input);
    StageTimer timer(progress, "read");
    read_volume(input.path, options, loaded);
    run.stages.emplace_back("read", timer.milliseconds());
    run.input = input.path;
    run.note = loaded.note;
    header_spacing(loaded.header, run.spacing);
    run.unit = unit_name(loaded.header);
}

// A conversion changes what the numbers mean: the reports say so; the
// object table, which has no place for it, says so on stderr.
void note(const RunSummary& run) {
    if (!run.note.empty()) std::fprintf(stderr, "img3d: %s: %s\n", run.input.c_str(), run.note.c_str());
}

// ---- segment ---------------------------------------------------------------

struct SegmentCommand {
    InputOptions input;
    std::string output, preview, threshold = "otsu", band;
    SegmentOptions options;
    bool json = false, quiet = false;
};

int run_segment_command(SegmentCommand& c) {
    parse_threshold(c.threshold, c.band, c.options);
    if (c.options.min_volume > c.options.max_volume)
        throw InputError("--min-volume " + std::to_string(c.options.min_volume) + " exceeds --max-volume " +
                         std::to_string(c.options.max_volume));
    if (!c.output.empty()) check_output(c.output);
    if (!c.preview.empty()) check_writable(c.preview, ".png");
    c.options.labels = !c.preview.empty();

    Progress progress(progress_wanted(c.quiet));
    RunSummary run;
    run.options = c.options;
    LoadedVolume loaded;
    load(c.input, loaded, run, progress);

    SegmentVolumes volumes;
    run.report = run_segment(loaded.volume, c.options, progress, volumes);
    run.stages.insert(run.stages.end(), run.report.stages.begin(), run.report.stages.end());
    write_outputs(run, c.output, c.preview, "img3d segment " + fs::path(c.input.path).filename().string(),
                  loaded.volume, loaded.header, volumes, progress);
    print_summary(run, c.json, c.quiet);
    return 0;
}

// ---- objects ---------------------------------------------------------------

struct ObjectsCommand {
    InputOptions input;
    int value = 255;
    bool csv = false, json = false;
    std::string order = "size";
    std::size_t limit = 50;
};

int run_objects_command(ObjectsCommand& c) {
    Progress progress(progress_wanted(c.csv || c.json));
    RunSummary run;
    LoadedVolume loaded;
    load(c.input, loaded, run, progress);
    note(run);

    std::vector<ObjectRow> rows;
    {
        StageTimer timer(progress, "objects");
        rows = object_table(loaded.volume, c.value, c.order == "raster" ? TableOrder::raster : TableOrder::size);
    }
    if (c.csv) {
        print_csv(stdout, rows);
    } else if (c.json) {
        std::printf("%s\n", table_json(rows, c.input.path, loaded.volume, c.value).c_str());
    } else {
        unsigned char*** v = loaded.volume;
        std::printf("%zu object%s of value %d in %s (%d x %d x %d voxels), %s\n", rows.size(),
                    rows.size() == 1 ? "" : "s", c.value, c.input.path.c_str(), Image3DGetWidth(v),
                    Image3DGetHeight(v), Image3DGetDepth(v),
                    c.order == "raster" ? "in raster order" : "largest first");
        if (!rows.empty()) print_table(stdout, rows, c.limit == 0 ? rows.size() : c.limit);
    }
    return 0;
}

// ---- demo ------------------------------------------------------------------

struct DemoCommand {
    InputOptions input;
    std::string folder = "img3d-demo";
    bool json = false, quiet = false;
};

int run_demo_command(DemoCommand& c) {
    SegmentOptions options;
    options.min_volume = 50;
    options.smooth = 1;
    options.labels = true;

    Progress progress(progress_wanted(c.quiet));
    RunSummary run;
    run.options = options;
    LoadedVolume loaded;
    if (!c.input.path.empty()) {
        load(c.input, loaded, run, progress);
    }

    // Only once the input has been read: a bad input leaves nothing behind.
    std::error_code error;
    fs::create_directories(c.folder, error);
    if (error || !fs::is_directory(c.folder)) throw InputError(c.folder + ": cannot create the folder");
    const fs::path folder(c.folder);

    if (c.input.path.empty()) {
        if (!loaded.volume.makeImage(kPhantomWidth, kPhantomHeight, kPhantomDepth))
            throw RunError("not enough memory for the phantom");
        draw_phantom(loaded.volume);
        const float spacing[3] = {1, 1, 1};
        loaded.header = make_header(kPhantomWidth, kPhantomHeight, kPhantomDepth, spacing);
        run.input = "built-in phantom (balls, a touching pair, specks, noise)";
        run.unit = "mm";
        const std::string phantom = (folder / "phantom.nii.gz").string();
        write_volume(phantom, loaded.volume, loaded.header);
        run.outputs.push_back(phantom);
    }

    SegmentVolumes volumes;
    run.report = run_segment(loaded.volume, options, progress, volumes);
    run.stages.insert(run.stages.end(), run.report.stages.begin(), run.report.stages.end());
    write_outputs(run, (folder / "result.nii.gz").string(), (folder / "preview.png").string(),
                  "img3d demo: otsu, min volume 50, smooth 1", loaded.volume, loaded.header, volumes, progress);

    const std::string csv = (folder / "objects.csv").string();
    std::FILE* table = std::fopen(csv.c_str(), "w");
    if (!table) throw RunError(csv + ": cannot create");
    print_csv(table, object_table(volumes.result, kObject, TableOrder::size));
    if (std::fclose(table) != 0) throw RunError(csv + ": write failed");
    run.outputs.push_back(csv);

    print_summary(run, c.json, c.quiet);
    return 0;
}

std::string one_line(std::string text) {
    for (char& ch : text)
        if (ch == '\n' || ch == '\r') ch = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"img3d " IMG3D_VERSION ": segment 8-bit 3D volumes (NIfTI-1 or raw) with the img3d library", "img3d"};
    app.require_subcommand(1);
    app.set_version_flag("--version", IMG3D_VERSION);

    SegmentCommand segment;
    CLI::App* segment_app = app.add_subcommand(
        "segment", "Threshold a volume, keep the objects of a size range, smooth them; print a report");
    add_input_options(*segment_app, segment.input, true);
    segment_app->add_option("-o,--output", segment.output, "Result volume (.nii, .nii.gz or .raw): objects 255, rest 0");
    segment_app->add_option("--preview", segment.preview, "Picture of the middle slices (PNG)")->type_name("FILE.png");
    auto* threshold = segment_app->add_option("--threshold", segment.threshold,
                                              "otsu, two-mode, or a grey level: objects are grey >= it")
                          ->capture_default_str();
    segment_app->add_option("--band", segment.band, "Objects are grey LO ... HI inclusive")
        ->type_name("LO:HI")
        ->excludes(threshold);
    segment_app->add_option("--min-volume", segment.options.min_volume, "Remove objects of fewer voxels")
        ->capture_default_str()
        ->check(CLI::Range(0, INT_MAX));
    segment_app->add_option("--max-volume", segment.options.max_volume, "Remove objects of more voxels")
        ->check(CLI::Range(0, INT_MAX));
    segment_app->add_option("--smooth", segment.options.smooth, "Edge smoothing radius, 0 = off")
        ->capture_default_str()
        ->check(CLI::Range(0, 16));
    segment_app->add_option("--dilate", segment.options.dilate, "Dilate the result by one voxel")
        ->check(CLI::IsMember({6, 26}))
        ->type_name("6|26");
    segment_app->add_flag("--json", segment.json, "Print the report as JSON");
    segment_app->add_flag("-q,--quiet", segment.quiet, "Print nothing but errors");

    ObjectsCommand objects;
    CLI::App* objects_app =
        app.add_subcommand("objects", "List the 6-connected objects of one grey value: size, bounding box, seed");
    add_input_options(*objects_app, objects.input, true);
    objects_app->add_option("--value", objects.value, "Grey value of the objects")
        ->capture_default_str()
        ->check(CLI::Range(0, 255));
    auto* csv = objects_app->add_flag("--csv", objects.csv, "Print CSV");
    objects_app->add_flag("--json", objects.json, "Print JSON")->excludes(csv);
    objects_app->add_option("--order", objects.order, "size: largest first; raster: by seed position")
        ->capture_default_str()
        ->check(CLI::IsMember({"size", "raster"}));
    objects_app->add_option("--limit", objects.limit, "Rows of the plain table, 0 = all")->capture_default_str();

    DemoCommand demo;
    CLI::App* demo_app = app.add_subcommand(
        "demo", "Segment a built-in phantom (or INPUT) and write the volumes, the table and a picture to a folder");
    add_input_options(*demo_app, demo.input, false);
    demo_app->add_option("-o,--output", demo.folder, "Folder for the outputs")->capture_default_str();
    demo_app->add_flag("--json", demo.json, "Print the report as JSON");
    demo_app->add_flag("-q,--quiet", demo.quiet, "Print nothing but errors");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "img3d: %s (see img3d --help)\n", one_line(e.what()).c_str());
        return kExitBadInput;
    }

    try {
        if (*segment_app) return run_segment_command(segment);
        if (*objects_app) return run_objects_command(objects);
        return run_demo_command(demo);
    } catch (const InputError& e) {
        std::fprintf(stderr, "img3d: %s\n", one_line(e.what()).c_str());
        return kExitBadInput;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "img3d: %s\n", one_line(e.what()).c_str());
        return kExitFailed;
    }
}
