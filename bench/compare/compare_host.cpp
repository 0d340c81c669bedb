// The img3d side of bench/compare: makes the synthetic inputs, times one
// operation of the shared library on a raw volume, measures the operation's
// peak resident memory and writes its output for the agreement checks.
//
//   compare_host make ball|noise|noise50|noise10|noise8 OUT.raw
//   compare_host run OP IN.raw WIDTH HEIGHT DEPTH [--param N] [--out FILE]
//                [--size N] [--labels FILE]
//                [--min-runs N] [--max-runs N] [--min-seconds S]
//
// OP is memcpy, copy, histo, otsu, segment (param: threshold), label (the
// run-length records), labelimage (param: connectivity), delvolume (param:
// smallest kept voxel count), dilate (param: element), smooth (param:
// radius); or one of the functions on raw memory, param the connectivity:
// bdilate, berode, bopen, bclose (one iteration), fillholes (3-D),
// bysize (keeps objects of --size voxels or more), largest (keeps one),
// labelall (every value of a multi-valued input); or stats, the intensity
// statistics of the grey input over the int32 labels 1 ... param of the
// file --labels, written to --out as Img3DIntensity records.  Binary inputs
// hold 255 on 0.  One JSON object goes to stdout.  Times are CPU time of the
// process (the machine may be shared); wall time is reported beside it.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "img3d.h"
#include "volumes.h"

// An operation the library of this tree does not export yet is reported as
// missing instead of failing the build.
#pragma weak Img3DCopy
#pragma weak Img3DHisto
#pragma weak Img3DDaJinThreshold
#pragma weak Img3DSingleSegment
#pragma weak GetAllRunLength3D
#pragma weak FreeRunLength3D
#pragma weak Img3DLabel
#pragma weak Img3DDelVolume
#pragma weak Img3DDilatation
#pragma weak Img3DEdgeSmooth
#pragma weak Img3DBinaryDilate
#pragma weak Img3DBinaryErode
#pragma weak Img3DBinaryOpen
#pragma weak Img3DBinaryClose
#pragma weak Img3DFillHoles
#pragma weak Img3DKeepLargest
#pragma weak Img3DRemoveBySize
#pragma weak Img3DLabelAll
#pragma weak Img3DIntensityStats

namespace {

struct Volume {
    Volume(int width, int height, int depth) : v(Image3DAlloc(width, height, depth)) {}
    ~Volume() { Image3DFree(v); }
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;
    unsigned char* data() const { return v[0][0]; }
    unsigned char*** v;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "compare_host: %s\n", message.c_str());
    std::exit(2);
}

bool write_file(const std::string& path, const void* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool read_file(const std::string& path, void* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    const bool ok = std::fread(data, 1, size, f) == size && std::fgetc(f) == EOF;
    std::fclose(f);
    return ok;
}

// kB figures of /proc/self/status, in bytes; -1 where unreadable.
long long status_bytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::atoll(line.c_str() + length + 1) * 1024;
    return -1;
}

// Lowers the peak-resident mark to the current resident size (Linux 4.0+).
bool reset_peak() {
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f) return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}


struct Options {
    int param = 0;
    std::string out;
    int size = 0;
    std::string labels;
    int min_runs = 5;
    int max_runs = 30;
    double min_seconds = 1.0;
};

// One operation: prepare runs untimed before each timed run, run is timed,
// finish (untimed, once, after the first run) writes the output and the
// JSON fields of the result.
struct Operation {
    const char* needs = nullptr;  // the missing export, if any
    std::function<void()> prepare = [] {};
    std::function<void()> run;
    std::function<std::string()> finish = [] { return std::string(); };
};

int make(const std::string& kind, const std::string& path) {
    bench::Owned volume;
    if (!volume.v) fail("out of memory");
    if (kind == "ball")
        bench::fill_ball(volume, 100);
    else if (kind == "noise")
        bench::fill_noise(volume);
    else if (kind == "noise50")
        bench::fill_binary_noise(volume, 0.5);
    else if (kind == "noise10")
        bench::fill_binary_noise(volume, 0.1);
    else if (kind == "noise8")
        bench::fill_value_noise(volume, 8);
    else
        fail("unknown volume kind " + kind);
    if (!write_file(path, volume.data(), bench::kVoxels)) fail("cannot write " + path);
    return 0;
}

int run(const std::string& op, const std::string& input, int width, int height, int depth,
        const Options& options) {
    Volume source(width, height, depth), destination(width, height, depth), work(width, height, depth);
    if (!source.v || !destination.v || !work.v) fail("cannot allocate the volumes");
    const std::size_t voxels = static_cast<std::size_t>(width) * height * depth;
    if (!read_file(input, source.data(), voxels)) fail("cannot read " + input + " as that many voxels");
    // Every page touched before measuring, so the peak counts only what the
    // operation itself allocates.
    std::memset(destination.data(), 1, voxels);
    std::memset(work.data(), 1, voxels);

    const std::string out = options.out;
    auto write_destination = [&, out] {
        if (!out.empty() && !write_file(out, destination.data(), voxels)) fail("cannot write " + out);
        return std::string();
    };

    // The label image and the statistics are the caller's arrays, resident
    // before the peak mark is reset, as any output buffer a host keeps; so
    // are the labels that the statistics read.
    std::vector<std::int32_t> label_image(op == "labelimage" || op == "labelall" ? voxels : 0, -1);
    std::vector<std::int32_t> labels(op == "stats" ? voxels : 0);
    std::vector<Img3DIntensity> stats(op == "stats" ? static_cast<std::size_t>(std::max(options.param, 0)) : 0);
    if (op == "stats" && !read_file(options.labels, labels.data(), voxels * sizeof(std::int32_t)))
        fail("cannot read --labels " + options.labels + " as that many int32 labels");

    using Morphology =
        int (*)(const std::uint8_t*, std::uint8_t*, std::int64_t, std::int64_t, std::int64_t, int, int, int, int);
    const struct {
        const char* op;
        const char* name;
        Morphology function;
    } morphology[] = {{"bdilate", "Img3DBinaryDilate", &Img3DBinaryDilate},
                      {"berode", "Img3DBinaryErode", &Img3DBinaryErode},
                      {"bopen", "Img3DBinaryOpen", &Img3DBinaryOpen},
                      {"bclose", "Img3DBinaryClose", &Img3DBinaryClose}};
    const auto* binary =
        std::find_if(std::begin(morphology), std::end(morphology), [&](const auto& m) { return op == m.op; });

    Operation operation;
    long long result = 0;
    // The functions on raw memory: a result below 0 is a refusal that wrote
    // nothing, which no output check should mistake for a result.
    auto write_raw_result = [&] {
        if (result < 0) fail(op + " failed");
        return write_destination();
    };
    int histogram[256] = {};
    RunLength3D** list = nullptr;
    int count = 0;

    if (op == "memcpy") {
        operation.run = [&] { std::memcpy(destination.data(), source.data(), voxels); };
        operation.finish = [&] {
            return std::string(", \"same\": ") +
                   (std::memcmp(destination.data(), source.data(), voxels) ? "false" : "true");
        };
    } else if (op == "copy") {
        if (!&Img3DCopy) operation.needs = "Img3DCopy";
        operation.run = [&] { result = Img3DCopy(source.v, destination.v); };
        operation.finish = [&] {
            return std::string(", \"same\": ") +
                   (std::memcmp(destination.data(), source.data(), voxels) ? "false" : "true");
        };
    } else if (op == "histo") {
        if (!&Img3DHisto) operation.needs = "Img3DHisto";
        operation.run = [&] { result = Img3DHisto(source.v, histogram); };
        operation.finish = [&] {
            std::string counts = ", \"histogram\": [";
            for (int i = 0; i < 256; ++i) counts += (i ? "," : "") + std::to_string(histogram[i]);
            return counts + "]";
        };
    } else if (op == "otsu") {
        if (!&Img3DDaJinThreshold) operation.needs = "Img3DDaJinThreshold";
        operation.run = [&] { result = Img3DDaJinThreshold(source.v); };
        operation.finish = [&] { return ", \"threshold\": " + std::to_string(result); };
    } else if (op == "segment") {
        if (!&Img3DSingleSegment) operation.needs = "Img3DSingleSegment";
        operation.run = [&] { result = Img3DSingleSegment(source.v, destination.v, options.param, 255, 0); };
        operation.finish = write_destination;
    } else if (op == "label") {
        if (!&GetAllRunLength3D) operation.needs = "GetAllRunLength3D";
        if (!&FreeRunLength3D) operation.needs = "FreeRunLength3D";
        // The extraction consumes its input: each run takes a fresh copy.
        operation.prepare = [&] { std::memcpy(work.data(), source.data(), voxels); };
        operation.run = [&] {
            list = GetAllRunLength3D(work.v, 255, 0, &count, 0);
            FreeRunLength3D(count, list);
        };
        operation.finish = [&] {
            // Labels 1 ... count in list order, 0 for the rest: the partition
            // the peers' labels are checked against.
            std::memcpy(work.data(), source.data(), voxels);
            list = GetAllRunLength3D(work.v, 255, 0, &count, 0);
            long long labelled = 0;
            bool complete = count == 0 || list;
            std::vector<std::int32_t> labels(out.empty() ? 0 : voxels, 0);
            for (int i = 0; list && i < count; ++i) {
                if (!list[i]) {
                    complete = false;
                    continue;
                }
                const Run3D* runs = RunLength3DRuns(list[i]);
                for (int r = 0; r < list[i]->count; ++r) {
                    const Run3D& run = runs[r];
                    labelled += run.xEnd - run.xStart + 1;
                    if (out.empty()) continue;
                    const std::size_t row = (static_cast<std::size_t>(run.z) * height + run.y) * width;
                    std::fill(labels.begin() + static_cast<std::ptrdiff_t>(row + run.xStart),
                              labels.begin() + static_cast<std::ptrdiff_t>(row + run.xEnd + 1), i + 1);
                }
            }
            FreeRunLength3D(count, list);
            if (!out.empty() && !write_file(out, labels.data(), voxels * sizeof(std::int32_t)))
                fail("cannot write " + out);
            return ", \"objects\": " + std::to_string(count) + ", \"labelled\": " + std::to_string(labelled) +
                   ", \"complete\": " + (complete ? "true" : "false");
        };
    } else if (op == "labelimage") {
        if (!&Img3DLabel) operation.needs = "Img3DLabel";
        operation.run = [&] { result = Img3DLabel(source.v, 255, options.param, label_image.data()); };
        operation.finish = [&] {
            if (result < 0) fail("Img3DLabel failed");
            if (!out.empty() && !write_file(out, label_image.data(), voxels * sizeof(std::int32_t)))
                fail("cannot write " + out);
            return ", \"objects\": " + std::to_string(result);
        };
    } else if (op == "delvolume") {
        if (!&Img3DDelVolume) operation.needs = "Img3DDelVolume";
        operation.run = [&] {
            result = Img3DDelVolume(source.v, destination.v, 255, 0, options.param, INT_MAX);
        };
        operation.finish = write_destination;
    } else if (op == "dilate") {
        if (!&Img3DDilatation) operation.needs = "Img3DDilatation";
        operation.run = [&] { result = Img3DDilatation(source.v, destination.v, 255, 0, options.param); };
        operation.finish = write_destination;
    } else if (op == "smooth") {
        if (!&Img3DEdgeSmooth) operation.needs = "Img3DEdgeSmooth";
        operation.run = [&] { result = Img3DEdgeSmooth(source.v, destination.v, 255, 0, options.param); };
        operation.finish = write_destination;
    } else if (binary != std::end(morphology)) {
        if (!binary->function) operation.needs = binary->name;
        operation.run = [&] {
            result =
                binary->function(source.data(), destination.data(), width, height, depth, 255, 0, options.param, 1);
        };
        operation.finish = write_raw_result;
    } else if (op == "fillholes") {
        if (!&Img3DFillHoles) operation.needs = "Img3DFillHoles";
        operation.run = [&] {
            result = Img3DFillHoles(source.data(), destination.data(), width, height, depth, 255, 0, options.param, -1);
        };
        operation.finish = write_raw_result;
    } else if (op == "bysize") {
        if (!&Img3DRemoveBySize) operation.needs = "Img3DRemoveBySize";
        operation.run = [&] {
            result = Img3DRemoveBySize(source.data(), destination.data(), width, height, depth, 255, options.param,
                                       options.size, INT64_MAX, 0);
        };
        operation.finish = write_raw_result;
    } else if (op == "largest") {
        if (!&Img3DKeepLargest) operation.needs = "Img3DKeepLargest";
        operation.run = [&] {
            result =
                Img3DKeepLargest(source.data(), destination.data(), width, height, depth, 255, options.param, 1, 0);
        };
        operation.finish = write_raw_result;
    } else if (op == "labelall") {
        if (!&Img3DLabelAll) operation.needs = "Img3DLabelAll";
        operation.run = [&] {
            result = Img3DLabelAll(source.data(), IMG3D_UINT8, width, height, depth, options.param, label_image.data(),
                                   IMG3D_INT32, nullptr, 0);
        };
        operation.finish = [&] {
            if (result < 0) fail("Img3DLabelAll failed");
            if (!out.empty() && !write_file(out, label_image.data(), voxels * sizeof(std::int32_t)))
                fail("cannot write " + out);
            return ", \"objects\": " + std::to_string(result);
        };
    } else if (op == "stats") {
        if (!&Img3DIntensityStats) operation.needs = "Img3DIntensityStats";
        operation.run = [&] {
            result = Img3DIntensityStats(labels.data(), IMG3D_INT32, source.data(), IMG3D_UINT8, width, height, depth,
                                         options.param, stats.data());
        };
        operation.finish = [&] {
            if (result < 0) fail("Img3DIntensityStats failed");
            if (!out.empty() && !write_file(out, stats.data(), stats.size() * sizeof(Img3DIntensity)))
                fail("cannot write " + out);
            return std::string();
        };
    } else {
        fail("unknown operation " + op);
    }

    if (operation.needs) {
        std::printf("{\"op\": \"%s\", \"available\": false, \"missing\": \"%s\"}\n", op.c_str(), operation.needs);
        return 0;
    }

    // The first run also warms the caches and measures the peak memory.
    operation.prepare();
    const long long resident = status_bytes("VmRSS");
    const bool reset = reset_peak();
    operation.run();
    const long long peak = status_bytes("VmHWM");
    const std::string fields = operation.finish();

    std::vector<double> cpu, wall;
    double spent = 0;
    while (static_cast<int>(cpu.size()) < options.max_runs &&
           (static_cast<int>(cpu.size()) < options.min_runs || spent < options.min_seconds)) {
        operation.prepare();
        const double c0 = cpu_seconds(), w0 = wall_seconds();
        operation.run();
        const double c1 = cpu_seconds(), w1 = wall_seconds();
        cpu.push_back(1e3 * (c1 - c0));
        wall.push_back(1e3 * (w1 - w0));
        spent += c1 - c0;
    }

    std::printf(
        "{\"op\": \"%s\", \"available\": true, \"runs\": %zu, \"median_ms\": %.4f, \"min_ms\": %.4f, "
        "\"wall_median_ms\": %.4f, \"resident_bytes\": %lld, \"peak_bytes\": %lld, \"peak_reset\": %s, "
        "\"input_bytes\": %zu, \"result\": %lld%s}\n",
        op.c_str(), cpu.size(), median(cpu), *std::min_element(cpu.begin(), cpu.end()), median(wall), resident, peak,
        reset ? "true" : "false", voxels, result, fields.c_str());
    return 0;
}

int parse_int(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < INT_MIN || value > INT_MAX) fail(std::string("not an integer: ") + text);
    return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "make") return make(args[1], args[2]);
    if (args.size() < 6 || args[0] != "run") {
        std::fprintf(stderr,
                     "usage: compare_host make ball|noise|noise50|noise10|noise8 OUT.raw\n"
                     "       compare_host run OP IN.raw WIDTH HEIGHT DEPTH [--param N] [--out FILE]\n"
                     "                    [--size N] [--labels FILE]\n"
                     "                    [--min-runs N] [--max-runs N] [--min-seconds S]\n");
        return 2;
    }
    Options options;
    for (std::size_t i = 6; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) fail("missing value after " + args[i]);
        const char* value = args[i + 1].c_str();
        if (args[i] == "--param")
            options.param = parse_int(value);
        else if (args[i] == "--out")
            options.out = value;
        else if (args[i] == "--size")
            options.size = parse_int(value);
        else if (args[i] == "--labels")
            options.labels = value;
        else if (args[i] == "--min-runs")
            options.min_runs = std::max(1, parse_int(value));
        else if (args[i] == "--max-runs")
            options.max_runs = std::max(1, parse_int(value));
        else if (args[i] == "--min-seconds")
            options.min_seconds = std::atof(value);
        else
            fail("unknown option " + args[i]);
    }
    options.max_runs = std::max(options.max_runs, options.min_runs);
    return run(args[1], args[2], parse_int(args[3].c_str()), parse_int(args[4].c_str()),
               parse_int(args[5].c_str()), options);
}
