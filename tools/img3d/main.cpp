// img3d: runs the library's segmentation chain on volume files.
//
//   img3d segment INPUT [-o OUTPUT] [--labels LABELS] [--preview FILE.png] ...
//   img3d objects INPUT [--value V] [--csv | --json]
//   img3d demo [INPUT] [-o DIR]
//
// Exit status: 0 done; 1 the run failed for want of memory; 2 bad input, bad
// arguments, or an output that cannot or must not be written (nothing is
// written then); 128 + N stopped by signal N (nothing is written either).
#include <img3d.h>

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "errors.h"
#include "intensity.h"
#include "objects_table.h"
#include "outputs.h"
#include "phantom.h"
#include "preview.h"
#include "progress.h"
#include "report.h"
#include "segment.h"
#include "volume_io.h"

namespace fs = std::filesystem;
using namespace img3d_tool;

namespace {

constexpr int kExitMemory = 1;
constexpr int kExitBadInput = 2;

// Options every command that reads a volume shares.
struct InputOptions {
    std::string path;
    std::string raw;      // WxHxD
    std::string spacing;  // X,Y,Z for raw input
};

void add_input_options(CLI::App& command, InputOptions& input, bool required) {
    auto* path = command.add_option("INPUT", input.path,
                                    "Volume file: NIfTI-1 or NIfTI-2 (.nii, .nii.gz), or raw 8-bit with --raw");
    if (required) path->required();
    command.add_option("--raw", input.raw, "Read INPUT as raw 8-bit voxels of these dimensions, x fastest")
        ->type_name("WxHxD");
    command.add_option("--spacing", input.spacing, "Voxel size in mm of raw input (default 1,1,1)")
        ->type_name("X,Y,Z");
}

// A whole number of decimals, finite: "12", "-3.5", "1e3".
bool parse_number(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

// "WxHxD" or "X,Y,Z": three positive numbers separated by sep.
template <typename T>
bool parse_triple(const std::string& text, char sep, T out[3]) {
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t end = i < 2 ? text.find(sep, start) : text.size();
        if (end == std::string::npos || end == start) return false;
        double value = 0;
        if (!parse_number(text.substr(start, end - start), value) || !(value > 0)) return false;
        if constexpr (std::is_same_v<T, int>) {
            if (value != std::floor(value) || value > INT_MAX) return false;
        }
        out[i] = static_cast<T>(value);
        start = end + 1;
    }
    return true;
}

// "LO:HI" with LO <= HI (LO < HI when strict).
bool parse_range(const std::string& text, double range[2], bool strict) {
    // The separator is the colon after the first character, so "-5:-1" works.
    const std::size_t colon = text.find(':', 1);
    if (colon == std::string::npos) return false;
    return parse_number(text.substr(0, colon), range[0]) && parse_number(text.substr(colon + 1), range[1]) &&
           (strict ? range[0] < range[1] : range[0] <= range[1]);
}

ReadOptions read_options(const InputOptions& input) {
    ReadOptions options;
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

// --threshold otsu | two-mode | VALUE, --band LO:HI, --window LO:HI
void parse_threshold(const std::string& threshold, const std::string& band, const std::string& window,
                     SegmentOptions& options) {
    if (!window.empty()) {
        if (!parse_range(window, options.window, true))
            throw InputError("--window " + window + ": expected LO:HI in file units with LO < HI");
        options.has_window = true;
    }
    if (!band.empty()) {
        double range[2];
        if (!parse_range(band, range, false))
            throw InputError("--band " + band + ": expected LO:HI in file units with LO <= HI");
        options.method = SegmentOptions::Method::band;
        options.band_low = range[0];
        options.band_high = range[1];
    } else if (threshold == "otsu") {
        options.method = SegmentOptions::Method::otsu;
    } else if (threshold == "two-mode") {
        options.method = SegmentOptions::Method::two_mode;
    } else {
        if (!parse_number(threshold, options.level))
            throw InputError("--threshold " + threshold + ": expected otsu, two-mode or a value in file units");
        options.method = SegmentOptions::Method::level;
    }
}

// The file's voxels, when they are not plain bytes: their type and scaling.
std::string values_text(const FileVoxels& voxels) {
    if (voxels.datatype == DT_UINT8 && !voxels.scaled) return "";
    std::string text = type_name(voxels.datatype);
    if (voxels.scaled)
        text += ", file units = raw x " + format_value(voxels.slope) + (voxels.inter < 0 ? " - " : " + ") +
                format_value(std::fabs(voxels.inter));
    return text;
}

bool progress_wanted(bool quiet) { return !quiet && ::isatty(STDERR_FILENO); }

void load(const InputOptions& input, LoadedVolume& loaded, RunSummary& run, Progress& progress) {
    const ReadOptions options = read_options(input);
    StageTimer timer(progress, "read");
    read_volume(input.path, options, loaded);
    run.stages.emplace_back("read", timer.milliseconds());
    run.input = input.path;
    run.format = loaded.format;
    run.geometry = loaded.geometry;
    run.values = values_text(loaded.voxels);
}

void check_extension(const std::string& path, const char* option, const std::vector<const char*>& extensions) {
    for (const char* extension : extensions) {
        const std::string e = extension;
        if (path.size() > e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0) return;
    }
    std::string names;
    for (std::size_t i = 0; i < extensions.size(); ++i)
        names += std::string(i == 0 ? "" : i + 1 == extensions.size() ? " or " : ", ") + extensions[i];
    throw InputError(path + ": " + option + " expects a " + names + " file name");
}

// The files a segmenting run writes, each -1 when not asked for.
struct SegmentOutputs {
    int result = -1, labels = -1, preview = -1;
};

std::string foreground_title(const SegmentReport& r) {
    if (!r.empty_reason.empty() || r.low > r.high) return "segmented: none";
    if (std::isinf(r.high)) return "segmented >= " + format_value(r.low);
    return "segmented " + format_value(r.low) + " to " + format_value(r.high);
}

// Writes the run's outputs into their temporaries, timing each stage.
void write_outputs(RunSummary& run, OutputFiles& files, const SegmentOutputs& outputs, const std::string& title,
                   const LoadedVolume& input, SegmentVolumes& volumes, Progress& progress) {
    const SegmentReport& r = run.report;
    if (outputs.result >= 0 || outputs.labels >= 0) {
        StageTimer timer(progress, "write");
        if (outputs.result >= 0) {
            const std::string& path = files.path(outputs.result);
            write_volume(files.fd(outputs.result), path, output_format(path), *input.header, DT_UINT8,
                         volumes.result.getPixels(), r.width, r.height, r.depth, NIFTI_INTENT_NONE);
        }
        if (outputs.labels >= 0) {
            // 16 bits while the labels fit, else 32.
            const std::string& path = files.path(outputs.labels);
            const std::size_t count = static_cast<std::size_t>(r.width) * r.height * r.depth;
            const std::int32_t* labels = volumes.labels.labels.get();
            if (volumes.labels.count() <= 32767) {
                std::vector<std::int16_t> narrow;
                try {
                    narrow.assign(labels, labels + count);
                } catch (const std::bad_alloc&) {
                    throw RunError("not enough memory to write the labels: " + mebibytes(2.0 * count) +
                                   ", 2 bytes per voxel");
                }
                write_volume(files.fd(outputs.labels), path, output_format(path), *input.header, DT_INT16,
                             narrow.data(), r.width, r.height, r.depth, NIFTI_INTENT_LABEL);
            } else {
                write_volume(files.fd(outputs.labels), path, output_format(path), *input.header, DT_INT32, labels,
                             r.width, r.height, r.depth, NIFTI_INTENT_LABEL);
            }
        }
        run.stages.emplace_back("write", timer.milliseconds());
    }
    if (outputs.preview >= 0) {
        StageTimer timer(progress, "preview");
        const std::vector<PreviewColumn> columns = {
            {"input", PreviewColumn::Kind::grey, display_volume(input, volumes), nullptr},
            {foreground_title(r), PreviewColumn::Kind::mask, volumes.segmented, nullptr},
            {"result: " + std::to_string(r.final_objects) + (r.final_objects == 1 ? " object" : " objects"),
             PreviewColumn::Kind::labels, nullptr, volumes.labels.labels.get()},
        };
        run.plan = plan_preview(input.geometry, r.width, r.height, r.depth, &volumes.labels);
        run.previewed = true;
        const std::string png = png_bytes(render_preview(columns, input.geometry, run.plan, title));
        write_all(files.fd(outputs.preview), files.path(outputs.preview), png.data(), png.size());
        run.stages.emplace_back("preview", timer.milliseconds());
    }
}

void print_summary(const RunSummary& run, bool json, bool quiet) {
    if (json)
        std::printf("%s\n", json_report(run).dump(2).c_str());
    else if (!quiet)
        print_text_report(stdout, run);
}

// ---- segment ---------------------------------------------------------------

struct SegmentCommand {
    InputOptions input;
    std::string output, labels, preview, threshold = "otsu", band, window;
    bool rescale = false;
    SegmentOptions options;
    bool json = false, quiet = false;
};

int run_segment_command(SegmentCommand& c) {
    parse_threshold(c.threshold, c.band, c.window, c.options);
    if (c.options.min_volume > c.options.max_volume)
        throw InputError("--min-volume " + std::to_string(c.options.min_volume) + " exceeds --max-volume " +
                         std::to_string(c.options.max_volume));
    if (!c.output.empty()) output_format(c.output);
    if (!c.labels.empty()) check_extension(c.labels, "--labels", {".nii", ".nii.gz"});
    if (!c.preview.empty()) check_extension(c.preview, "--preview", {".png"});

    // Every output is made (empty) before any work: one that cannot be
    // written stops the run at once.
    OutputFiles files({c.input.path});
    SegmentOutputs outputs;
    if (!c.output.empty()) outputs.result = files.add(c.output);
    if (!c.labels.empty()) outputs.labels = files.add(c.labels);
    if (!c.preview.empty()) outputs.preview = files.add(c.preview);

    Progress progress(progress_wanted(c.quiet));
    RunSummary run;
    run.options = c.options;
    LoadedVolume loaded;
    load(c.input, loaded, run, progress);

    SegmentVolumes volumes;
    run.report = run_segment(loaded, c.options, progress, volumes);
    run.stages.insert(run.stages.end(), run.report.stages.begin(), run.report.stages.end());
    write_outputs(run, files, outputs, "img3d segment " + fs::path(c.input.path).filename().string(), loaded,
                  volumes, progress);
    files.commit();
    for (const std::string* path : {&c.output, &c.labels, &c.preview})
        if (!path->empty()) run.outputs.push_back(*path);
    print_summary(run, c.json, c.quiet);
    return 0;
}

// ---- objects ---------------------------------------------------------------

struct ObjectsCommand {
    InputOptions input;
    std::string value = "255";
    bool csv = false, json = false;
    std::string order = "size";
    int limit = 50;
};

int run_objects_command(ObjectsCommand& c) {
    double value = 0;
    if (!parse_number(c.value, value)) throw InputError("--value " + c.value + ": expected a value in file units");
    Progress progress(progress_wanted(c.csv || c.json));
    RunSummary run;
    LoadedVolume loaded;
    load(c.input, loaded, run, progress);

    ObjectLabels labels;
    {
        StageTimer timer(progress, "objects");
        // The file's own bytes where one byte holds the value; else a mask
        // of the voxels that equal it.
        int first = 0, last = 0;
        if (raw_interval(loaded.voxels, value, value, first, last) && first == last) {
            labels = label_objects(loaded.volume, first);
        } else {
            const int w = static_cast<int>(loaded.header->nx), h = static_cast<int>(loaded.header->ny),
                      d = static_cast<int>(loaded.header->nz);
            CTarnImage3D mask(w, h, d);
            if (mask.getSize() == 0)
                throw RunError("not enough memory for the mask of the value: a volume of " + std::to_string(w) + "x" +
                               std::to_string(h) + "x" + std::to_string(d) + " voxels");
            select_values(loaded.voxels, value, value, mask.getPixels());
            labels = label_objects(mask, kObject);
        }
    }
    const std::vector<ObjectRow> rows =
        object_table(labels, c.order == "raster" ? TableOrder::raster : TableOrder::size);
    const std::string shown = format_value(value);
    if (c.csv) {
        print_csv(stdout, rows);
    } else if (c.json) {
        std::printf("%s\n", table_json(rows, c.input.path, labels, shown).c_str());
    } else {
        std::printf("%zu object%s of value %s in %s (%d x %d x %d voxels), %s\n", rows.size(),
                    rows.size() == 1 ? "" : "s", shown.c_str(), c.input.path.c_str(), labels.width, labels.height,
                    labels.depth, c.order == "raster" ? "in raster order" : "largest first");
        if (!rows.empty()) print_table(stdout, rows, c.limit == 0 ? rows.size() : static_cast<std::size_t>(c.limit));
    }
    if (rows.empty()) {
        const ValueStatistics s = value_statistics(loaded.voxels);
        std::fprintf(stderr,
                     "img3d: no voxel of %s has the value %s (its values lie in %s ... %s); objects lists the objects "
                     "of one value, such as the 255 of a segmented volume (img3d segment -o): pick one with --value\n",
                     c.input.path.c_str(), shown.c_str(), format_value(s.minimum).c_str(),
                     format_value(s.maximum).c_str());
    }
    return 0;
}

// ---- demo ------------------------------------------------------------------

struct DemoCommand {
    InputOptions input;
    std::string folder = "img3d-demo";
    bool json = false, quiet = false;
};

// Removes the demo's folder again when the run made it and fails.
struct MadeFolder {
    std::string path;
    bool keep = false;
    ~MadeFolder() {
        std::error_code error;
        if (!keep && !path.empty()) fs::remove(path, error);  // only when empty
    }
};

int run_demo_command(DemoCommand& c) {
    SegmentOptions options;
    options.min_volume = 50;
    options.smooth = 1;

    Progress progress(progress_wanted(c.quiet));
    RunSummary run;
    run.options = options;
    LoadedVolume loaded;
    if (!c.input.path.empty()) load(c.input, loaded, run, progress);

    // Only once the input has been read: a bad input leaves nothing behind.
    MadeFolder made;
    std::error_code error;
    if (!fs::exists(c.folder, error)) {
        if (!fs::create_directories(c.folder, error) || error)
            throw InputError(c.folder + ": cannot create the folder: " + error.message());
        made.path = c.folder;
        remove_on_interrupt(c.folder);
    } else if (!fs::is_directory(c.folder, error)) {
        throw InputError(c.folder + ": " + std::strerror(ENOTDIR));
    }
    const fs::path folder(c.folder);
    OutputFiles files({c.input.path});
    int phantom = -1;
    if (c.input.path.empty()) phantom = files.add((folder / "phantom.nii.gz").string());
    SegmentOutputs outputs;
    outputs.result = files.add((folder / "result.nii.gz").string());
    outputs.labels = files.add((folder / "labels.nii.gz").string());
    outputs.preview = files.add((folder / "preview.png").string());
    const int csv = files.add((folder / "objects.csv").string());

    if (c.input.path.empty()) {
        if (!loaded.volume.makeImage(kPhantomWidth, kPhantomHeight, kPhantomDepth))
            throw RunError("not enough memory for the phantom");
        draw_phantom(loaded.volume);
        const float spacing[3] = {1, 1, 1};
        loaded.header = make_header(kPhantomWidth, kPhantomHeight, kPhantomDepth, spacing);
        loaded.voxels.datatype = DT_UINT8;
        loaded.voxels.count = static_cast<std::size_t>(loaded.volume.getSize());
        loaded.voxels.data = loaded.volume.getPixels();
        loaded.geometry.unit = "mm";
        run.input = "built-in phantom (balls, a touching pair, specks, noise)";
        run.geometry = loaded.geometry;
        write_volume(files.fd(phantom), files.path(phantom), VolumeFormat::nifti_gz, *loaded.header, DT_UINT8,
                     loaded.volume.getPixels(), kPhantomWidth, kPhantomHeight, kPhantomDepth, NIFTI_INTENT_NONE);
    }

    SegmentVolumes volumes;
    run.report = run_segment(loaded, options, progress, volumes);
    run.stages.insert(run.stages.end(), run.report.stages.begin(), run.report.stages.end());
    write_outputs(run, files, outputs, "img3d demo: otsu, min volume 50, smooth 1", loaded, volumes, progress);
    const std::string table = csv_text(object_table(volumes.labels, TableOrder::size));
    write_all(files.fd(csv), files.path(csv), table.data(), table.size());
    files.commit();
    made.keep = true;
    for (int i = phantom >= 0 ? phantom : outputs.result; i <= csv; ++i) run.outputs.push_back(files.path(i));
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
    install_interrupt_handlers();
    // Past a file size limit a write fails with EFBIG, which is reported and
    // cleaned up like any other, instead of killing the run mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
    CLI::App app{"img3d " IMG3D_VERSION ": segment 3D volumes (NIfTI-1, NIfTI-2 or raw) with the img3d library",
                 "img3d"};
    app.require_subcommand(1);
    app.set_version_flag("--version", IMG3D_VERSION);
    app.footer(
        "Exit status: 0 done; 1 not enough memory; 2 bad input, bad arguments, or an output that cannot or must not "
        "be written; 128+N stopped by signal N.  A failed or stopped run leaves no output behind.");

    SegmentCommand segment;
    CLI::App* segment_app = app.add_subcommand(
        "segment", "Threshold a volume, keep the objects of a size range, smooth them; print a report");
    add_input_options(*segment_app, segment.input, true);
    segment_app->add_option("-o,--output", segment.output, "Result volume (.nii, .nii.gz or .raw): objects 255, rest 0");
    segment_app->add_option("--labels", segment.labels,
                            "Label image of the result (.nii or .nii.gz): object k (the k-th in raster order, as "
                            "`objects --order raster` numbers them) holds k, the rest 0; 16-bit, 32-bit past 32767")
        ->type_name("FILE");
    segment_app->add_option("--preview", segment.preview, "Picture of a slice in each plane through the result (PNG)")
        ->type_name("FILE.png");
    auto* threshold = segment_app->add_option("--threshold", segment.threshold,
                                              "otsu, two-mode, or a value in file units: objects are values >= it")
                          ->capture_default_str();
    segment_app->add_option("--band", segment.band, "Objects are values LO ... HI inclusive, in file units")
        ->type_name("LO:HI")
        ->excludes(threshold);
    segment_app->add_option("--window", segment.window,
                            "The file units that otsu, two-mode and the preview map linearly onto levels 0 ... 255 "
                            "(default: the volume's minimum ... maximum; plain bytes are used as they are)")
        ->type_name("LO:HI");
    segment_app->add_flag("--rescale", segment.rescale,
                          "Accepted for compatibility: the default --window (the volume's minimum ... maximum)");
    segment_app->add_option("--min-volume", segment.options.min_volume, "Remove objects of fewer voxels")
        ->capture_default_str()
        ->check(CLI::Range(0, INT_MAX));
    segment_app->add_option("--max-volume", segment.options.max_volume, "Remove objects of more voxels")
        ->check(CLI::Range(0, INT_MAX));
    segment_app->add_option("--smooth", segment.options.smooth, "Edge smoothing radius, 0 = off")
        ->capture_default_str()
        ->check(CLI::Range(0, 101));
    segment_app->add_option("--dilate", segment.options.dilate, "Dilate the result by one voxel")
        ->check(CLI::IsMember({6, 26}))
        ->type_name("6|26");
    auto* segment_json = segment_app->add_flag("--json", segment.json, "Print the report as JSON");
    segment_app->add_flag("-q,--quiet", segment.quiet, "Print nothing but errors (no report, no progress)")
        ->excludes(segment_json);

    ObjectsCommand objects;
    CLI::App* objects_app =
        app.add_subcommand("objects", "List the 6-connected objects of one value: size, bounding box, seed");
    add_input_options(*objects_app, objects.input, true);
    objects_app->add_option("--value", objects.value, "The objects' value, in file units")->capture_default_str();
    auto* csv = objects_app->add_flag("--csv", objects.csv, "Print CSV");
    objects_app->add_flag("--json", objects.json, "Print JSON")->excludes(csv);
    objects_app->add_option("--order", objects.order, "size: largest first; raster: by seed position")
        ->capture_default_str()
        ->check(CLI::IsMember({"size", "raster"}));
    objects_app->add_option("--limit", objects.limit, "Rows of the plain table, 0 = all")
        ->capture_default_str()
        ->check(CLI::Range(0, INT_MAX));

    DemoCommand demo;
    CLI::App* demo_app = app.add_subcommand(
        "demo", "Segment a built-in phantom (or INPUT) and write the volumes, labels, table and a picture to a folder");
    add_input_options(*demo_app, demo.input, false);
    demo_app->add_option("-o,--output", demo.folder, "Folder for the outputs")->capture_default_str();
    auto* demo_json = demo_app->add_flag("--json", demo.json, "Print the report as JSON");
    demo_app->add_flag("-q,--quiet", demo.quiet, "Print nothing but errors (no report, no progress)")
        ->excludes(demo_json);

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
