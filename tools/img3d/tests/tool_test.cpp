// End-to-end tests of the img3d tool: the program is run as a user runs it,
// its files are read back with nifti_clib and its numbers checked against
// direct library calls and a naive object labelling.
#include <img3d.h>
#include <nifti2_io.h>

#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "phantom.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Tool : public ::testing::Test {
public:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ =
            fs::temp_directory_path() / ("img3d-tool-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }

    fs::path path(const std::string& name) const { return dir_ / name; }

    // Runs the tool through the shell; prefix (e.g. "ulimit -v 50000;") goes
    // before it.  A run ended by signal N gives 128 + N, as a shell says.
    Result run(const std::string& arguments, const std::string& prefix = "") const {
        const std::string command = prefix + "'" + IMG3D_TOOL + "' " + arguments + " >'" + path("stdout").string() +
                                    "' 2>'" + path("stderr").string() + "'";
        const int raw = std::system(command.c_str());
        Result result;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
        result.out = slurp(path("stdout"));
        result.err = slurp(path("stderr"));
        return result;
    }

    // The names in the test's folder, sorted.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (name != "stdout" && name != "stderr") names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
};

// ---- volumes on both sides of the tool --------------------------------------

struct Grid {
    int width, height, depth;
    std::vector<std::uint8_t> voxels;  // x fastest
    std::size_t at(int x, int y, int z) const { return (static_cast<std::size_t>(z) * height + y) * width + x; }
};

struct NiftiDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using Nifti = std::unique_ptr<nifti_image, NiftiDeleter>;

Nifti make_nifti(int width, int height, int depth, int datatype, const float spacing[3]) {
    const std::int64_t dims[8] = {3, width, height, depth, 1, 1, 1, 1};
    Nifti image(nifti_make_new_nim(dims, datatype, 1));
    image->dx = image->pixdim[1] = spacing[0];
    image->dy = image->pixdim[2] = spacing[1];
    image->dz = image->pixdim[3] = spacing[2];
    image->xyz_units = NIFTI_UNITS_MM;
    // A rotated, shifted orientation, to see it survive.
    image->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    image->quatern_b = 0.0f;
    image->quatern_c = 0.0f;
    image->quatern_d = 0.70710678f;
    image->qoffset_x = -12.5f;
    image->qoffset_y = 30.0f;
    image->qoffset_z = 4.25f;
    image->qfac = -1.0f;
    return image;
}

void write_nifti(nifti_image* image, const fs::path& path) {
    ASSERT_EQ(nifti_set_filenames(image, path.c_str(), 0, 1), 0);
    nifti_image_write(image);
    ASSERT_TRUE(fs::exists(path));
}

void write_grid(const Grid& grid, const fs::path& path, const float spacing[3]) {
    Nifti image = make_nifti(grid.width, grid.height, grid.depth, DT_UINT8, spacing);
    std::memcpy(image->data, grid.voxels.data(), grid.voxels.size());
    write_nifti(image.get(), path);
}

Nifti read_nifti(const fs::path& path) {
    nifti_set_debug_level(0);
    return Nifti(nifti_image_read(path.c_str(), 1));
}

Grid random_grid(int width, int height, int depth, std::mt19937& rng, int density_percent) {
    Grid grid{width, height, depth, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * depth)};
    std::uniform_int_distribution<int> percent(0, 99), grey(0, 255);
    for (auto& v : grid.voxels)
        v = static_cast<std::uint8_t>(percent(rng) < density_percent ? 128 + grey(rng) / 2 : grey(rng) / 2);
    return grid;
}

// ---- a deliberately naive 6-connected labelling ------------------------------

struct Object {
    int voxels = 0;
    int x_min, x_max, y_min, y_max, z_min, z_max;
    int seed_x, seed_y, seed_z;
};

// Whether two voxels this far apart touch under the connectivity (6, 18, 26).
bool touching(int dx, int dy, int dz, int connectivity) {
    const int steps = std::abs(dx) + std::abs(dy) + std::abs(dz);
    return steps > 0 && (connectivity == 26 || steps <= (connectivity == 18 ? 2 : 1));
}

// Objects in raster order of their seeds; labels, when given, receives each
// voxel's object index (-1 outside every object).
std::vector<Object> label_objects(const Grid& grid, int value, std::vector<int>* labels = nullptr,
                                  int connectivity = 6) {
    std::vector<int> label(grid.voxels.size(), -1);
    std::vector<Object> objects;
    for (int z = 0; z < grid.depth; ++z)
        for (int y = 0; y < grid.height; ++y)
            for (int x = 0; x < grid.width; ++x) {
                if (grid.voxels[grid.at(x, y, z)] != value || label[grid.at(x, y, z)] >= 0) continue;
                Object o{0, x, x, y, y, z, z, x, y, z};
                std::vector<std::array<int, 3>> todo{{x, y, z}};
                label[grid.at(x, y, z)] = static_cast<int>(objects.size());
                while (!todo.empty()) {
                    const auto [px, py, pz] = todo.back();
                    todo.pop_back();
                    ++o.voxels;
                    o.x_min = std::min(o.x_min, px), o.x_max = std::max(o.x_max, px);
                    o.y_min = std::min(o.y_min, py), o.y_max = std::max(o.y_max, py);
                    o.z_min = std::min(o.z_min, pz), o.z_max = std::max(o.z_max, pz);
                    for (int step = 0; step < 27; ++step) {
                        const int dx = step % 3 - 1, dy = step / 3 % 3 - 1, dz = step / 9 - 1;
                        if (!touching(dx, dy, dz, connectivity)) continue;
                        const int nx = px + dx, ny = py + dy, nz = pz + dz;
                        if (nx < 0 || ny < 0 || nz < 0 || nx >= grid.width || ny >= grid.height || nz >= grid.depth)
                            continue;
                        const std::size_t i = grid.at(nx, ny, nz);
                        if (grid.voxels[i] != value || label[i] >= 0) continue;
                        label[i] = static_cast<int>(objects.size());
                        todo.push_back({nx, ny, nz});
                    }
                }
                objects.push_back(o);
            }
    if (labels) *labels = std::move(label);
    return objects;
}

Grid grid_of(unsigned char*** volume) {
    Grid grid{Image3DGetWidth(volume), Image3DGetHeight(volume), Image3DGetDepth(volume), {}};
    grid.voxels.assign(volume[0][0], volume[0][0] + static_cast<std::size_t>(grid.width) * grid.height * grid.depth);
    return grid;
}

int line_count(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

// ---- demo --------------------------------------------------------------------

TEST_F(Tool, DemoReportsWhatTheLibraryGivesDirectly) {
    const Result r = run("demo -o '" + path("out").string() + "' --json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const json report = json::parse(r.out);

    CTarnImage3D phantom(img3d_tool::kPhantomWidth, img3d_tool::kPhantomHeight, img3d_tool::kPhantomDepth);
    img3d_tool::draw_phantom(phantom);
    EXPECT_EQ(report["dimensions"], json({phantom.getWidth(), phantom.getHeight(), phantom.getDepth()}));
    int maximum = 0, minimum = 0;
    Img3DLimit(phantom, &maximum, &minimum);
    EXPECT_EQ(report["grey"]["minimum"], minimum);
    EXPECT_EQ(report["grey"]["maximum"], maximum);
    double sum = 0;
    for (int i = 0; i < phantom.getSize(); ++i) sum += phantom.getPixels()[i];
    EXPECT_DOUBLE_EQ(report["grey"]["mean"].get<double>(), sum / phantom.getSize());

    // Otsu's level splits 0 ... t from t+1 ... 255; the objects are above it.
    const int level = Img3DDaJinThreshold(phantom);
    EXPECT_EQ(report["threshold"]["level"], level);
    Grid segmented = grid_of(phantom);
    for (auto& v : segmented.voxels) v = v > level ? 255 : 0;
    std::vector<int> labels;
    const std::vector<Object> found = label_objects(segmented, 255, &labels);
    EXPECT_EQ(report["objects"]["found"], found.size());
    int largest = 0;
    for (const Object& o : found) largest = std::max(largest, o.voxels);
    EXPECT_EQ(report["objects"]["largest"], largest);

    // The size filter by hand: keep objects of at least 50 voxels.
    Grid filtered = segmented;
    for (std::size_t i = 0; i < labels.size(); ++i)
        filtered.voxels[i] = labels[i] >= 0 && found[static_cast<std::size_t>(labels[i])].voxels >= 50 ? 255 : 0;
    const auto kept_objects = label_objects(filtered, 255);
    EXPECT_EQ(report["objects"]["kept"], kept_objects.size());
    EXPECT_EQ(kept_objects.size(), 7u);  // seven balls, the touching pair as one
    EXPECT_LT(kept_objects.size(), found.size());

    // Smoothing with radius 1, straight through the library.
    CTarnImage3D kept(phantom.getWidth(), phantom.getHeight(), phantom.getDepth());
    std::copy(filtered.voxels.begin(), filtered.voxels.end(), kept.getPixels());
    CTarnImage3D smoothed(phantom.getWidth(), phantom.getHeight(), phantom.getDepth());
    ASSERT_EQ(Img3DEdgeSmooth(kept, smoothed, 255, 0, 1), 0);
    const Grid expected = grid_of(smoothed);
    EXPECT_EQ(report["result"]["objects"], label_objects(expected, 255).size());
    EXPECT_EQ(report["result"]["voxels"], std::count(expected.voxels.begin(), expected.voxels.end(), 255));

    // The files: the phantom, the result, the table and the picture.
    const Nifti input = read_nifti(path("out/phantom.nii.gz"));
    ASSERT_TRUE(input);
    EXPECT_EQ(std::memcmp(input->data, phantom.getPixels(), static_cast<std::size_t>(phantom.getSize())), 0);
    const Nifti result = read_nifti(path("out/result.nii.gz"));
    ASSERT_TRUE(result);
    ASSERT_EQ(static_cast<std::size_t>(result->nvox), expected.voxels.size());
    EXPECT_EQ(std::memcmp(result->data, expected.voxels.data(), expected.voxels.size()), 0);
    EXPECT_EQ(line_count(slurp(path("out/objects.csv"))), 1 + report["result"]["objects"].get<int>());
    const Nifti label_image = read_nifti(path("out/labels.nii.gz"));
    ASSERT_TRUE(label_image);
    EXPECT_EQ(label_image->datatype, DT_INT16);
    const std::string png = slurp(path("out/preview.png"));
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));

    // The text report says the same.
    const Result text = run("demo -o '" + path("out").string() + "'");
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("otsu " + std::to_string(level) + ":"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(std::to_string(found.size()) + " found"), std::string::npos) << text.out;
    EXPECT_EQ(run("demo -q -o '" + path("out").string() + "'").out, "");
}

// ---- segment: files in, files out -------------------------------------------

TEST_F(Tool, SegmentKeepsDimensionsSpacingOrientationAndVoxels) {
    std::mt19937 rng(7);
    const float spacing[3] = {0.7f, 1.3f, 2.5f};
    const Grid grid = random_grid(37, 23, 11, rng, 30);
    write_grid(grid, path("in.nii.gz"), spacing);

    const Result r = run("segment '" + path("in.nii.gz").string() + "' --threshold 128 --min-volume 0 -o '" +
                         path("out.nii.gz").string() + "' --json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["dimensions"], json({37, 23, 11}));
    const Nifti in = read_nifti(path("in.nii.gz"));
    const Nifti out = read_nifti(path("out.nii.gz"));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->datatype, DT_UINT8);
    EXPECT_EQ(out->nx, 37);
    EXPECT_EQ(out->ny, 23);
    EXPECT_EQ(out->nz, 11);
    for (int i = 1; i <= 3; ++i) EXPECT_FLOAT_EQ(out->pixdim[i], spacing[i - 1]);
    EXPECT_EQ(out->qform_code, in->qform_code);
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) EXPECT_FLOAT_EQ(out->qto_xyz.m[row][col], in->qto_xyz.m[row][col]);
    const auto* voxels = static_cast<const std::uint8_t*>(out->data);
    for (std::size_t i = 0; i < grid.voxels.size(); ++i)
        ASSERT_EQ(voxels[i], grid.voxels[i] >= 128 ? 255 : 0) << "voxel " << i;

    // The same through raw files, and a band.
    {
        std::ofstream raw(path("in.raw"), std::ios::binary);
        raw.write(reinterpret_cast<const char*>(grid.voxels.data()), static_cast<std::streamsize>(grid.voxels.size()));
    }
    const Result band = run("segment '" + path("in.raw").string() + "' --raw 37x23x11 --spacing 2,3,4 --band 40:90 " +
                            "--min-volume 0 -q -o '" + path("band.nii").string() + "'");
    ASSERT_EQ(band.status, 0) << band.err;
    EXPECT_EQ(band.out, "");
    const Nifti banded = read_nifti(path("band.nii"));
    ASSERT_TRUE(banded);
    EXPECT_FLOAT_EQ(banded->pixdim[1], 2.0f);
    EXPECT_FLOAT_EQ(banded->pixdim[3], 4.0f);
    const auto* b = static_cast<const std::uint8_t*>(banded->data);
    for (std::size_t i = 0; i < grid.voxels.size(); ++i)
        ASSERT_EQ(b[i], grid.voxels[i] >= 40 && grid.voxels[i] <= 90 ? 255 : 0) << "voxel " << i;

    ASSERT_EQ(run("segment '" + path("in.nii.gz").string() + "' --threshold 128 --min-volume 0 -o '" +
                  path("out.raw").string() + "'")
                  .status,
              0);
    const std::string raw_out = slurp(path("out.raw"));
    EXPECT_EQ(raw_out, std::string(static_cast<const char*>(out->data), static_cast<std::size_t>(out->nvox)));
}

TEST_F(Tool, SegmentReadsOtherTypesInFileUnits) {
    const float spacing[3] = {1, 1, 1};
    Nifti image = make_nifti(9, 7, 5, DT_INT16, spacing);
    auto* data = static_cast<std::int16_t*>(image->data);
    for (std::int64_t i = 0; i < image->nvox; ++i)
        data[i] = static_cast<std::int16_t>(-1000 + 10 * static_cast<int>(i));
    write_nifti(image.get(), path("wide.nii"));

    // --rescale is still accepted; a given threshold is in the file's units.
    const Result r = run("segment '" + path("wide.nii").string() + "' --rescale --threshold 128 --min-volume 0 -o '" +
                         path("out.nii").string() + "' --json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(json::parse(r.out)["values"], "INT16");
    const Nifti out = read_nifti(path("out.nii"));
    ASSERT_TRUE(out);
    const auto* voxels = static_cast<const std::uint8_t*>(out->data);
    for (std::int64_t i = 0; i < out->nvox; ++i) ASSERT_EQ(voxels[i], data[i] >= 128 ? 255 : 0) << i;
}

// ---- objects -------------------------------------------------------------------

// The rows of an objects CSV, each cell as a number.
std::vector<std::vector<double>> parse_csv(const std::string& text) {
    std::vector<std::vector<double>> rows;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    const std::string heading =
        "index,voxels,x_min,x_max,y_min,y_max,z_min,z_max,seed_x,seed_y,seed_z,centroid_x_mm,centroid_y_mm,"
        "centroid_z_mm,volume_ml";
    EXPECT_EQ(line.substr(0, heading.size()), heading);
    const std::size_t columns = static_cast<std::size_t>(std::count(line.begin(), line.end(), ',')) + 1;
    while (std::getline(lines, line)) {
        std::vector<double> row;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ',')) row.push_back(std::stod(cell));
        EXPECT_EQ(row.size(), columns) << line;
        rows.push_back(row);
    }
    return rows;
}

TEST_F(Tool, ObjectTableMatchesANaiveLabelling) {
    std::mt19937 rng(11);
    const float spacing[3] = {1, 1, 1};
    for (const auto& shape : std::vector<std::array<int, 3>>{{29, 17, 13}, {5, 40, 3}, {64, 2, 9}}) {
        // Values 0, 7 and 255: the objects of 255 and, separately, of 7.
        Grid grid{shape[0], shape[1], shape[2],
                  std::vector<std::uint8_t>(static_cast<std::size_t>(shape[0]) * shape[1] * shape[2])};
        std::discrete_distribution<int> pick({50, 15, 35});
        for (auto& v : grid.voxels) v = static_cast<std::uint8_t>(std::array<int, 3>{0, 7, 255}[pick(rng)]);
        write_grid(grid, path("labels.nii"), spacing);

        for (int value : {255, 7}) {
            const std::vector<Object> expected = label_objects(grid, value);
            const Result r = run("objects '" + path("labels.nii").string() + "' --csv --order raster --value " +
                                 std::to_string(value));
            ASSERT_EQ(r.status, 0) << r.err;
            const auto rows = parse_csv(r.out);
            ASSERT_EQ(rows.size(), expected.size());
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const Object& o = expected[i];
                EXPECT_EQ(std::vector<int>(rows[i].begin(), rows[i].begin() + 11),
                          (std::vector<int>{static_cast<int>(i) + 1, o.voxels, o.x_min, o.x_max, o.y_min, o.y_max,
                                            o.z_min, o.z_max, o.seed_x, o.seed_y, o.seed_z}))
                    << "object " << i;
            }
        }

        // JSON, largest first, ties in raster order.
        const Result r = run("objects '" + path("labels.nii").string() + "' --json");
        ASSERT_EQ(r.status, 0) << r.err;
        const json table = json::parse(r.out);
        const std::vector<Object> expected = label_objects(grid, 255);
        ASSERT_EQ(table["count"], expected.size());
        for (std::size_t i = 1; i < expected.size(); ++i) {
            const json& a = table["objects"][i - 1];
            const json& b = table["objects"][i];
            EXPECT_TRUE(a["voxels"] > b["voxels"] || (a["voxels"] == b["voxels"] && a["index"] < b["index"]));
        }
        for (const json& row : table["objects"]) {
            const Object& o = expected[row["index"].get<std::size_t>() - 1];
            EXPECT_EQ(row["voxels"], o.voxels);
            EXPECT_EQ(row["seed"], json({o.seed_x, o.seed_y, o.seed_z}));
        }
    }
}

json read_report(const Result& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? json::parse(r.out) : json();
}

// ---- the finishing steps ------------------------------------------------------

// 255 where the grid holds value, 0 elsewhere.
Grid mask_of(const Grid& grid, int value) {
    Grid mask = grid;
    for (auto& v : mask.voxels) v = v == value ? 255 : 0;
    return mask;
}

// Naive dilation of the 255 voxels: outside the grid counts as background.
Grid dilated(const Grid& g, int connectivity) {
    Grid out = g;
    for (int z = 0; z < g.depth; ++z)
        for (int y = 0; y < g.height; ++y)
            for (int x = 0; x < g.width; ++x) {
                bool hit = g.voxels[g.at(x, y, z)] == 255;
                for (int step = 0; step < 27 && !hit; ++step) {
                    const int dx = step % 3 - 1, dy = step / 3 % 3 - 1, dz = step / 9 - 1;
                    const int nx = x + dx, ny = y + dy, nz = z + dz;
                    hit = touching(dx, dy, dz, connectivity) && nx >= 0 && ny >= 0 && nz >= 0 && nx < g.width &&
                          ny < g.height && nz < g.depth && g.voxels[g.at(nx, ny, nz)] == 255;
                }
                out.voxels[out.at(x, y, z)] = hit ? 255 : 0;
            }
    return out;
}

Grid read_grid(const fs::path& path) {
    const Nifti image = read_nifti(path);
    EXPECT_TRUE(image);
    if (!image) return {};
    Grid grid{static_cast<int>(image->nx), static_cast<int>(image->ny), static_cast<int>(image->nz), {}};
    const auto* bytes = static_cast<const std::uint8_t*>(image->data);
    grid.voxels.assign(bytes, bytes + image->nvox);
    return grid;
}

// A hollow cube (218 voxels, 343 with its hole), a solid block (250) and two
// specks touching at a corner, all 200 on 0.
Grid finishing_grid() {
    Grid g{24, 14, 16, std::vector<std::uint8_t>(24 * 14 * 16)};
    for (int z = 2; z <= 8; ++z)
        for (int y = 2; y <= 8; ++y)
            for (int x = 2; x <= 8; ++x)
                if (std::min({x, y, z}) == 2 || std::max({x, y, z}) == 8) g.voxels[g.at(x, y, z)] = 200;
    for (int z = 2; z <= 11; ++z)
        for (int y = 2; y <= 6; ++y)
            for (int x = 12; x <= 16; ++x) g.voxels[g.at(x, y, z)] = 200;
    g.voxels[g.at(20, 10, 12)] = g.voxels[g.at(21, 11, 13)] = 200;
    return g;
}

TEST_F(Tool, TheChainRunsItsStepsInTheStatedOrder) {
    const Grid grid = finishing_grid();
    const float spacing[3] = {1, 1, 1};
    write_grid(grid, path("in.nii"), spacing);
    const std::string in = "segment '" + path("in.nii").string() + "' --threshold 100 --json ";

    // Holes first: the filled cube outgrows the block and is the largest.
    json report = read_report(run(in + "--fill-holes --largest 1 -o '" + path("a.nii").string() + "'"));
    EXPECT_EQ(report["chain"], json({"threshold", "size bounds", "fill holes", "largest 1", "labels"}));
    EXPECT_EQ(report["fill_holes"]["filled"], 1);
    EXPECT_EQ(report["keep_largest"], json({{"objects", 1}, {"kept", 1}, {"removed", 3}}));
    Grid cube = mask_of(grid, -1);
    for (int z = 2; z <= 8; ++z)
        for (int y = 2; y <= 8; ++y)
            for (int x = 2; x <= 8; ++x) cube.voxels[cube.at(x, y, z)] = 255;
    EXPECT_EQ(read_grid(path("a.nii")).voxels, cube.voxels);

    // The bounds hold the hollow cube, not the filled one: it goes at the end,
    // and the specks count as one object only 26-connected.
    report = read_report(run(in + "--max-volume 300 --fill-holes"));
    EXPECT_EQ(report["objects"]["kept"], 4);
    EXPECT_EQ(report["result"]["removed_after"], 1);
    EXPECT_EQ(report["result"]["objects"], 3);
    EXPECT_EQ(report["result"]["voxels"], 252);
    report = read_report(run(in + "--max-volume 300 --fill-holes --connectivity 26"));
    EXPECT_EQ(report["objects"]["found"], 3);
    EXPECT_EQ(report["result"]["objects"], 2);

    // Opening, closing, erosion, dilation: as the library gives them in that
    // order, which here differs from erosion after dilation.
    report = read_report(run(in + "--open 6 --close 26 --erode 6x2 --dilate 18 -o '" + path("d.nii").string() + "'"));
    EXPECT_EQ(report["chain"], json({"threshold", "size bounds", "opening 6x1", "closing 26x1", "erosion 6x2",
                                     "dilation 18x1", "size bounds again", "labels"}));
    EXPECT_EQ(report["erosion"], json({{"element", 6}, {"iterations", 2}}));
    const auto steps = [&](bool erosion_first) {
        Grid g = mask_of(grid, 200);
        std::uint8_t* v = g.voxels.data();
        Img3DBinaryOpen(v, v, g.width, g.height, g.depth, 255, 0, 6, 1);
        Img3DBinaryClose(v, v, g.width, g.height, g.depth, 255, 0, 26, 1);
        if (erosion_first) Img3DBinaryErode(v, v, g.width, g.height, g.depth, 255, 0, 6, 2);
        Img3DBinaryDilate(v, v, g.width, g.height, g.depth, 255, 0, 18, 1);
        if (!erosion_first) Img3DBinaryErode(v, v, g.width, g.height, g.depth, 255, 0, 6, 2);
        return g.voxels;
    };
    EXPECT_EQ(read_grid(path("d.nii")).voxels, steps(true));
    EXPECT_NE(steps(true), steps(false));

    const Result text = run("segment '" + path("in.nii").string() + "' --threshold 100 --fill-holes --smooth 1");
    EXPECT_NE(text.out.find("chain      threshold -> size bounds -> fill holes -> smoothing 1 -> size bounds again"),
              std::string::npos)
        << text.out;
}

TEST_F(Tool, DilateKeepsEveryObjectVoxelUpToTheBorder) {
    std::mt19937 rng(23);
    Grid grid = random_grid(19, 13, 9, rng, 4);
    grid.voxels[grid.at(0, 0, 0)] = 255;  // a voxel in a corner, which a dilation must keep
    const float spacing[3] = {1, 1, 1};
    write_grid(grid, path("in.nii"), spacing);
    Grid segmented = grid;
    for (auto& v : segmented.voxels) v = v >= 128 ? 255 : 0;
    for (const int connectivity : {6, 18, 26}) {
        const Result r = run("segment '" + path("in.nii").string() + "' --threshold 128 --min-volume 0 --dilate " +
                             std::to_string(connectivity) + " -q -o '" + path("out.nii").string() + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        const Grid out = read_grid(path("out.nii"));
        EXPECT_EQ(out.voxels, dilated(segmented, connectivity).voxels) << connectivity;
        EXPECT_EQ(out.voxels[0], 255);
    }
}

TEST_F(Tool, ObjectsByConnectivityWithGreyValuesCentroidsAndMillilitres) {
    std::mt19937 rng(29);
    const float spacing[3] = {0.7f, 1.3f, 2.5f};
    Grid objects = random_grid(23, 17, 11, rng, 25);
    for (auto& v : objects.voxels) v = v >= 128 ? 255 : 0;
    write_grid(objects, path("mask.nii"), spacing);
    // Grey values in file units raw x 0.5 - 10, and a float volume.
    Nifti wide = make_nifti(23, 17, 11, DT_INT16, spacing);
    wide->scl_slope = 0.5f;
    wide->scl_inter = -10.0f;
    Nifti real = make_nifti(23, 17, 11, DT_FLOAT32, spacing);
    std::uniform_int_distribution<int> raw(-300, 300);
    std::vector<double> wide_units(objects.voxels.size()), real_units(objects.voxels.size());
    for (std::size_t i = 0; i < objects.voxels.size(); ++i) {
        const int value = raw(rng);
        static_cast<std::int16_t*>(wide->data)[i] = static_cast<std::int16_t>(value);
        wide_units[i] = value * 0.5 - 10;
        static_cast<float*>(real->data)[i] = static_cast<float>(value) / 7.0f;
        real_units[i] = static_cast<float>(value) / 7.0f;
    }
    write_nifti(wide.get(), path("wide.nii"));
    write_nifti(real.get(), path("real.nii"));

    for (const int connectivity : {6, 18, 26}) {
        const bool is_real = connectivity == 18;
        const std::vector<double>& units = is_real ? real_units : wide_units;
        const Result r =
            run("objects '" + path("mask.nii").string() + "' --csv --order raster --connectivity " +
                std::to_string(connectivity) + " --grey '" + path(is_real ? "real.nii" : "wide.nii").string() + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        const auto rows = parse_csv(r.out);
        std::vector<int> labels;
        const std::vector<Object> expected = label_objects(objects, 255, &labels, connectivity);
        ASSERT_EQ(rows.size(), expected.size()) << connectivity;
        std::vector<std::array<double, 6>> sums(expected.size(), {0, 0, 0, 0, 1e300, -1e300});  // x y z grey min max
        for (int z = 0, i = 0; z < objects.depth; ++z)
            for (int y = 0; y < objects.height; ++y)
                for (int x = 0; x < objects.width; ++x, ++i) {
                    if (labels[static_cast<std::size_t>(i)] < 0) continue;
                    auto& s = sums[static_cast<std::size_t>(labels[static_cast<std::size_t>(i)])];
                    const double g = units[static_cast<std::size_t>(i)];
                    s = {s[0] + x, s[1] + y, s[2] + z, s[3] + g, std::min(s[4], g), std::max(s[5], g)};
                }
        for (std::size_t k = 0; k < rows.size(); ++k) {
            const double n = expected[k].voxels;
            const auto& s = sums[k];
            ASSERT_EQ(rows[k].size(), 18u);
            EXPECT_EQ(rows[k][1], n);
            const double want[7] = {
                s[0] / n * 0.7f, s[1] / n * 1.3f, s[2] / n * 2.5f, n * 0.7f * 1.3f * 2.5f / 1000, s[3] / n, s[4], s[5]};
            for (int c = 0; c < 7; ++c)
                EXPECT_NEAR(rows[k][static_cast<std::size_t>(11 + c)], want[c],
                            1e-8 * std::max(1.0, std::fabs(want[c])))
                    << "object " << k << " column " << 11 + c << " connectivity " << connectivity;
        }
    }

    // Units the header does not give are taken as mm, and said to be.
    Nifti bare = make_nifti(23, 17, 11, DT_UINT8, spacing);
    bare->xyz_units = NIFTI_UNITS_UNKNOWN;
    std::memcpy(bare->data, objects.voxels.data(), objects.voxels.size());
    write_nifti(bare.get(), path("bare.nii"));
    const Result j = run("objects '" + path("bare.nii").string() + "' --json");
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_EQ(json::parse(j.out)["unit_assumed"], "mm");
    EXPECT_EQ(json::parse(run("objects '" + path("mask.nii").string() + "' --json").out).count("unit_assumed"), 0u);

    // A grey volume of another grid is refused.
    write_grid(mask_of(random_grid(23, 17, 10, rng, 25), 0), path("other.nii"), spacing);
    const Result other = run("objects '" + path("mask.nii").string() + "' --grey '" + path("other.nii").string() + "'");
    EXPECT_EQ(other.status, 2);
    EXPECT_NE(other.err.find("--grey"), std::string::npos) << other.err;
}

// ---- bad input -------------------------------------------------------------------

TEST_F(Tool, BadInputGivesOneLineStatusTwoAndNoOutput) {
    const float spacing[3] = {1, 1, 1};
    std::mt19937 rng(3);
    const Grid grid = random_grid(40, 30, 20, rng, 50);
    write_grid(grid, path("good.nii.gz"), spacing);

    // Truncated gzip: the header survives, the voxels do not.
    {
        const std::string whole = slurp(path("good.nii.gz"));
        std::ofstream cut(path("cut.nii.gz"), std::ios::binary);
        cut.write(whole.data(), static_cast<std::streamsize>(whole.size() / 2));
        // A whole member followed by a truncated one.
        std::ofstream tail(path("cut_member.nii.gz"), std::ios::binary);
        tail << whole;
        tail.write(whole.data(), static_cast<std::streamsize>(whole.size() / 2));
    }
    Nifti colour = make_nifti(8, 8, 8, DT_RGB24, spacing);
    write_nifti(colour.get(), path("rgb.nii"));
    {
        std::ofstream raw(path("short.raw"), std::ios::binary);
        raw << std::string(999, '\x10');
        std::ofstream text(path("text.nii"));
        text << "not a volume\n";
    }
    // Damaged headers, made by patching a good 8-bit file.
    Nifti small = make_nifti(8, 8, 8, DT_UINT8, spacing);
    write_nifti(small.get(), path("small.nii"));
    const std::string good_bytes = slurp(path("small.nii"));
    auto patched = [&](const std::string& name, std::vector<std::pair<std::size_t, std::vector<std::int16_t>>> fields,
                       bool analyze, std::size_t keep) {
        std::string bytes = good_bytes.substr(0, keep);
        for (const auto& [offset, values] : fields)
            std::memcpy(&bytes[offset], values.data(), values.size() * sizeof(std::int16_t));
        if (analyze) std::memset(&bytes[344], 0, 4);  // no "n+1": an ANALYZE 7.5 header
        std::ofstream(path(name), std::ios::binary) << bytes;
    };
    patched("bad_type.nii", {{70, {999}}}, false, good_bytes.size());
    // nifti_clib lets a zero dimension through here (it used to crash the
    // tool), and makes up dimensions for a negative one.
    patched("zero_dim.nii", {{40, {0, 16, 0, 16, 0, 16, 0, 16}}}, true, good_bytes.size());
    // A header of a few hundred bytes that claims 1.7 GB of voxels.
    patched("negative_dim.nii", {{40, {0, 12384, 256, -12177, 1, 1, 1, 1}}, {70, {2}}}, true, good_bytes.size());
    {
        patched("negative_offset.nii", {}, false, good_bytes.size());
        std::string bytes = slurp(path("negative_offset.nii"));
        const float offset = -4.0f;
        std::memcpy(&bytes[108], &offset, sizeof offset);
        std::ofstream(path("negative_offset.nii"), std::ios::binary) << bytes;
        bytes = good_bytes;
        bytes[346] = '2';
        std::ofstream(path("version2.nii"), std::ios::binary) << bytes;
        // nifti_clib would read these as ANALYZE 7.5, or read the voxels of
        // a two-file header from the .nii itself.
        bytes = good_bytes;
        std::memcpy(&bytes[344], "xyz", 4);
        std::ofstream(path("analyze.nii"), std::ios::binary) << bytes;
        bytes = good_bytes;
        std::memcpy(&bytes[344], "ni1", 4);
        std::ofstream(path("pair_magic.nii"), std::ios::binary) << bytes;
        bytes = good_bytes;
        const std::int32_t wrong_size = 12345;
        std::memcpy(&bytes[0], &wrong_size, 4);
        std::ofstream(path("header_size.nii"), std::ios::binary) << bytes;
        // Big-endian fields with the magic's bytes reversed: nifti_clib
        // swaps them back into "n+1".
        bytes = good_bytes;
        for (std::size_t offset :
             {std::size_t{0}, std::size_t{40}, std::size_t{42}, std::size_t{44}, std::size_t{46}, std::size_t{48},
              std::size_t{50}, std::size_t{52}, std::size_t{54}, std::size_t{70}, std::size_t{72}, std::size_t{108}})
            std::reverse(&bytes[offset], &bytes[offset] + (offset == 0 || offset == 108 ? 4 : 2));
        std::reverse(&bytes[344], &bytes[348]);
        std::ofstream(path("reversed_magic.nii"), std::ios::binary) << bytes;
        // The same big-endian fields with the magic as it should be, but the
        // header size still little-endian.
        std::reverse(&bytes[344], &bytes[348]);
        std::reverse(&bytes[0], &bytes[4]);
        std::ofstream(path("mixed_order.nii"), std::ios::binary) << bytes;
    }
    patched("huge.nii", {{40, {3, 1200, 1200, 1200}}}, false, 400);

    struct Case {
        std::string input, options, reason;
        std::vector<std::string> commands;
    };
    const std::vector<std::string> all = {"segment", "objects", "demo"};
    const std::vector<Case> cases = {
        {"missing.nii.gz", "", "No such file", all},
        {"cut.nii.gz", "", "truncated", all},
        {"cut_member.nii.gz", "", "truncated", all},
        {"rgb.nii", "", "RGB24 voxels are not grey levels", all},
        {"short.raw", "--raw 10x10x10", "999 bytes", all},
        {"text.nii", "", "NIfTI", all},
        {"bad_type.nii", "", "NIfTI", all},
        {"zero_dim.nii", "", "NIfTI-1 header", all},
        {"negative_dim.nii", "", "NIfTI-1 header", all},
        {"negative_offset.nii", "", "voxel offset", all},
        {"version2.nii", "", "NIfTI-1 header", all},
        {"analyze.nii", "", "NIfTI-1 header", all},
        {"pair_magic.nii", "", "NIfTI-1 header", all},
        {"header_size.nii", "", "NIfTI-1 header", all},
        {"reversed_magic.nii", "", "NIfTI-1 header", all},
        {"mixed_order.nii", "", "NIfTI-1 header", all},
        {"huge.nii", "", "truncated", all},
        {"good.nii.gz", "--raw 0x3x3", "--raw", all},
        {"good.nii.gz", "--threshold high", "--threshold", {"segment"}},
        {"good.nii.gz", "--band 9:3", "--band", {"segment"}},
        {"good.nii.gz", "--value grey", "--value", {"objects"}},
        {"good.nii.gz", "--limit -1", "--limit", {"objects"}},
        {"good.nii.gz", "--json -q", "--json", {"segment", "demo"}},
        {"good.nii.gz", "--window 5:5", "--window", {"segment"}},
    };
    for (const Case& c : cases) {
        const std::string input = path(c.input).string();
        for (const std::string& command : c.commands) {
            std::string arguments = command + " '" + input + "' " + c.options;
            if (command == "segment")
                arguments += " -o '" + path("out.nii.gz").string() + "' --preview '" + path("out.png").string() + "'";
            if (command == "demo") arguments += " -o '" + path("demo").string() + "'";
            const Result r = run(arguments);
            EXPECT_EQ(r.status, 2) << arguments << "\n" << r.err;
            EXPECT_EQ(line_count(r.err), 1) << arguments << "\n" << r.err;
            EXPECT_NE(r.err.find(c.reason), std::string::npos) << arguments << "\n" << r.err;
            if (c.input != "good.nii.gz") {
                EXPECT_NE(r.err.find(input), std::string::npos) << r.err;
            }
            EXPECT_EQ(r.out, "") << arguments;
            EXPECT_FALSE(fs::exists(path("out.nii.gz"))) << arguments;
            EXPECT_FALSE(fs::exists(path("out.png"))) << arguments;
            EXPECT_FALSE(fs::exists(path("demo"))) << arguments;
        }
    }
    // Nothing left behind in the folder either (no temporary files).
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find("img3d-tmp"), std::string::npos) << entry.path();

    const Result usage = run("segment");
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(line_count(usage.err), 1) << usage.err;
    EXPECT_EQ(
        run("segment '" + path("good.nii.gz").string() + "' -o '" + path("no/such/dir/out.nii").string() + "'").status,
        2);
    EXPECT_EQ(run("segment '" + path("good.nii.gz").string() + "' -o '" + path("out.tiff").string() + "'").status, 2);
}

// ---- real data, where Debian's mricron-data is installed ---------------------

TEST_F(Tool, SegmentsTheCh2Brain) {
    const fs::path ch2 = "/usr/share/mricron/templates/ch2.nii.gz";
    if (!fs::exists(ch2)) GTEST_SKIP() << "mricron-data is not installed";
    const Result r = run("segment " + ch2.string() + " --min-volume 1000 --smooth 1 -o '" +
                         path("out.nii.gz").string() + "' --preview '" + path("out.png").string() + "' --json");
    ASSERT_EQ(r.status, 0) << r.err;
    const json report = json::parse(r.out);
    EXPECT_EQ(report["dimensions"], json({181, 217, 181}));
    EXPECT_GE(report["objects"]["kept"].get<int>(), 1);
    const Nifti out = read_nifti(path("out.nii.gz"));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->nx, 181);
    EXPECT_EQ(out->ny, 217);
    EXPECT_EQ(out->nz, 181);
    // A head: a large share of the volume, far from all of it.
    const double share = report["result"]["voxels"].get<double>() / (181.0 * 217 * 181);
    EXPECT_GT(share, 0.2);
    EXPECT_LT(share, 0.7);
    EXPECT_TRUE(fs::exists(path("out.png")));
}

// ---- orientation, labels and file units ---------------------------------------

using Matrix = std::array<std::array<double, 4>, 3>;  // voxel (i, j, k, 1) to world mm

// A uint8 NIfTI of the grid whose sform is m (and no qform).
Nifti oriented_nifti(const Grid& grid, const Matrix& m) {
    const float spacing[3] = {1, 1, 1};
    Nifti image = make_nifti(grid.width, grid.height, grid.depth, DT_UINT8, spacing);
    std::memcpy(image->data, grid.voxels.data(), grid.voxels.size());
    image->qform_code = 0;
    image->sform_code = NIFTI_XFORM_ALIGNED_ANAT;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) image->sto_xyz.m[r][c] = m[r][c];
    for (int c = 0; c < 3; ++c)
        image->pixdim[c + 1] = std::sqrt(m[0][c] * m[0][c] + m[1][c] * m[1][c] + m[2][c] * m[2][c]);
    return image;
}

// The same volume stored another way: new axis n runs along old axis
// order[n], backwards where flip[n].
std::pair<Grid, Matrix> restored(const Grid& g, const Matrix& m, const int order[3], const bool flip[3]) {
    const int dims[3] = {g.width, g.height, g.depth};
    Grid out{dims[order[0]], dims[order[1]], dims[order[2]], std::vector<std::uint8_t>(g.voxels.size())};
    Matrix n{};
    for (int r = 0; r < 3; ++r) n[r][3] = m[r][3];
    for (int a = 0; a < 3; ++a)
        for (int r = 0; r < 3; ++r) {
            n[r][a] = flip[a] ? -m[r][order[a]] : m[r][order[a]];
            if (flip[a]) n[r][3] += m[r][order[a]] * (dims[order[a]] - 1);
        }
    int at[3];
    for (int k = 0; k < out.depth; ++k)
        for (int j = 0; j < out.height; ++j)
            for (int i = 0; i < out.width; ++i) {
                const int index[3] = {i, j, k};
                for (int a = 0; a < 3; ++a) at[order[a]] = flip[a] ? dims[order[a]] - 1 - index[a] : index[a];
                out.voxels[out.at(i, j, k)] = g.voxels[g.at(at[0], at[1], at[2])];
            }
    return {out, n};
}

struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
};

Picture read_png(const fs::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Picture picture;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return picture;
    image.format = PNG_FORMAT_RGB;
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
        picture.width = static_cast<int>(image.width);
        picture.height = static_cast<int>(image.height);
    }
    return picture;
}

// Equal pictures, but for the colours of the labels, which follow the
// storage order: grey pixels must match, coloured ones map one to one.
void expect_same_picture(const Picture& a, const Picture& b) {
    ASSERT_GT(a.width, 0);
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    std::map<std::uint32_t, std::uint32_t> forth, back;
    int differing = 0;
    for (std::size_t i = 0; i < a.rgb.size(); i += 3) {
        const std::uint32_t ca = a.rgb[i] << 16 | a.rgb[i + 1] << 8 | a.rgb[i + 2];
        const std::uint32_t cb = b.rgb[i] << 16 | b.rgb[i + 1] << 8 | b.rgb[i + 2];
        const bool grey = a.rgb[i] == a.rgb[i + 1] && a.rgb[i] == a.rgb[i + 2];
        if (grey ? ca != cb : forth.emplace(ca, cb).first->second != cb || back.emplace(cb, ca).first->second != ca)
            ++differing;
    }
    EXPECT_EQ(differing, 0);
}

// A volume and its sform against two other storage orders of it: the same
// planes at the same world positions make the same picture.
void expect_storage_order_ignored(const Tool& tool, const std::string& name, const Grid& grid, const Matrix& m,
                                  const std::string& options) {
    const int orders[2][3] = {{1, 2, 0}, {2, 0, 1}};  // P-I-R for a R-A-S volume, then S-R-P
    const bool flips[2][3] = {{true, true, false}, {false, false, true}};
    fs::create_directories(tool.path(name + "0"));
    write_nifti(oriented_nifti(grid, m).get(), tool.path(name + "0/in.nii.gz"));
    const std::string args = " " + options + " --json --preview ";
    const json first = read_report(
        tool.run("segment " + tool.path(name + "0/in.nii.gz").string() + args + tool.path(name + "0/p.png").string()));
    const Picture canonical = read_png(tool.path(name + "0/p.png"));
    for (int k = 0; k < 2; ++k) {
        const auto [other, n] = restored(grid, m, orders[k], flips[k]);
        const std::string folder = name + std::to_string(k + 1);
        fs::create_directories(tool.path(folder));
        write_nifti(oriented_nifti(other, n).get(), tool.path(folder + "/in.nii.gz"));
        const json report = read_report(tool.run("segment " + tool.path(folder + "/in.nii.gz").string() + args +
                                                 tool.path(folder + "/p.png").string()));
        EXPECT_EQ(report["preview"]["position_mm"], first["preview"]["position_mm"]) << folder;
        expect_same_picture(canonical, read_png(tool.path(folder + "/p.png")));
    }
}

TEST_F(Tool, PreviewPlanesFollowTheOrientationNotTheStorageOrder) {
    std::mt19937 rng(5);
    Grid grid = random_grid(33, 26, 19, rng, 2);
    for (int z = 3; z < 9; ++z)  // a block and a bar, larger than the specks
        for (int y = 4; y < 20; ++y)
            for (int x = 2; x < 30; ++x)
                if (x < 9 || (y > 15 && z < 5)) grid.voxels[grid.at(x, y, z)] = 200;
    const Matrix m = {{{1.5, 0, 0, -20}, {0, 1, 0, 31}, {0, 0, 2, -7}}};
    expect_storage_order_ignored(*this, "synthetic", grid, m, "--threshold 128");

    const fs::path ch2 = "/usr/share/mricron/templates/ch2.nii.gz";
    if (!fs::exists(ch2)) GTEST_SKIP() << "mricron-data is not installed";
    const Nifti brain = read_nifti(ch2);
    ASSERT_TRUE(brain);
    Grid head{static_cast<int>(brain->nx), static_cast<int>(brain->ny), static_cast<int>(brain->nz), {}};
    const auto* bytes = static_cast<const std::uint8_t*>(brain->data);
    head.voxels.assign(bytes, bytes + brain->nvox);
    Matrix from{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) from[r][c] = brain->sto_xyz.m[r][c];
    expect_storage_order_ignored(*this, "ch2", head, from, "--min-volume 1000 --smooth 1");
}

// Each of the preview's three planes crosses the object it names.
void expect_planes_cross_object(const json& report, const Nifti& labels) {
    ASSERT_TRUE(labels);
    const int object = report["preview"]["object"];
    ASSERT_GT(object, 0);
    const auto voxel = report["preview"]["voxel"].get<std::array<int, 3>>();
    std::array<bool, 3> crossed{};
    const auto* l = static_cast<const std::int16_t*>(labels->data);
    for (std::int64_t z = 0, i = 0; z < labels->nz; ++z)
        for (std::int64_t y = 0; y < labels->ny; ++y)
            for (std::int64_t x = 0; x < labels->nx; ++x, ++i)
                if (l[i] == object)
                    crossed = {crossed[0] || x == voxel[0], crossed[1] || y == voxel[1], crossed[2] || z == voxel[2]};
    EXPECT_EQ(crossed, (std::array<bool, 3>{true, true, true}));
}

TEST_F(Tool, PreviewCutsThroughTheResult) {
    // One small object far from the middle slices.
    Grid grid{64, 56, 48, std::vector<std::uint8_t>(64 * 56 * 48, 30)};
    for (int z = 38; z < 41; ++z)
        for (int y = 45; y < 50; ++y)
            for (int x = 3; x < 7; ++x) grid.voxels[grid.at(x, y, z)] = 200;
    const float spacing[3] = {1, 1, 1};
    write_grid(grid, path("in.nii.gz"), spacing);
    const std::string outputs =
        " --labels '" + path("labels.nii.gz").string() + "' --preview '" + path("p.png").string() + "' --json";
    json report = read_report(run("segment '" + path("in.nii.gz").string() + "' --band 200:200" + outputs));
    expect_planes_cross_object(report, read_nifti(path("labels.nii.gz")));

    const fs::path aal = "/usr/share/mricron/templates/aal.nii.gz";
    if (!fs::exists(aal)) GTEST_SKIP() << "mricron-data is not installed";
    report = read_report(run("segment " + aal.string() + " --band 5:5" + outputs));
    EXPECT_EQ(report["result"]["voxels"], 7654);
    expect_planes_cross_object(report, read_nifti(path("labels.nii.gz")));
}

// Every object of a 0/255 result file lies within the bounds, and the
// report counts them.
void expect_within_bounds(const Nifti& out, const json& report, int min_volume, int max_volume) {
    ASSERT_TRUE(out);
    Grid result{static_cast<int>(out->nx), static_cast<int>(out->ny), static_cast<int>(out->nz), {}};
    const auto* bytes = static_cast<const std::uint8_t*>(out->data);
    result.voxels.assign(bytes, bytes + out->nvox);
    const std::vector<Object> objects = label_objects(result, 255);
    EXPECT_EQ(report["result"]["objects"], objects.size());
    for (const Object& o : objects) {
        EXPECT_GE(o.voxels, min_volume);
        EXPECT_LE(o.voxels, max_volume);
    }
    EXPECT_GT(report["result"]["removed_after"].get<int>(), 0);  // the case needed the second filter
}

TEST_F(Tool, TheResultHonoursTheSizeBoundsAfterSmoothing) {
    std::mt19937 rng(17);
    const Grid grid = random_grid(48, 40, 36, rng, 30);
    const float spacing[3] = {1, 1, 1};
    write_grid(grid, path("in.nii.gz"), spacing);
    const std::string out = " -o '" + path("out.nii.gz").string() + "' --json";
    json report = read_report(run("segment '" + path("in.nii.gz").string() +
                                  "' --threshold 128 --min-volume 20 --max-volume 3000 --smooth 1" + out));
    expect_within_bounds(read_nifti(path("out.nii.gz")), report, 20, 3000);

    // The same by hand: the library's filter and smoothing, then the bounds.
    CTarnImage3D segmented(grid.width, grid.height, grid.depth), kept(grid.width, grid.height, grid.depth);
    for (std::size_t i = 0; i < grid.voxels.size(); ++i) segmented.getPixels()[i] = grid.voxels[i] >= 128 ? 255 : 0;
    ASSERT_EQ(Img3DDelVolume(segmented, kept, 255, 0, 20, 3000), 0);
    ASSERT_EQ(Img3DEdgeSmooth(kept, segmented, 255, 0, 1), 0);
    Grid expected = grid_of(segmented);
    std::vector<int> labels;
    const std::vector<Object> objects = label_objects(expected, 255, &labels);
    for (std::size_t i = 0; i < labels.size(); ++i)
        if (labels[i] >= 0 && objects[static_cast<std::size_t>(labels[i])].voxels < 20) expected.voxels[i] = 0;
    const Nifti written = read_nifti(path("out.nii.gz"));
    EXPECT_EQ(std::memcmp(written->data, expected.voxels.data(), expected.voxels.size()), 0);

    const fs::path ch2 = "/usr/share/mricron/templates/ch2.nii.gz";
    if (!fs::exists(ch2)) GTEST_SKIP() << "mricron-data is not installed";
    report = read_report(run("segment " + ch2.string() + " --min-volume 1000 --smooth 1" + out));
    expect_within_bounds(read_nifti(path("out.nii.gz")), report, 1000, INT32_MAX);
}

TEST_F(Tool, LabelImageNumbersObjectsAsTheObjectTableDoes) {
    std::mt19937 rng(23);
    const float spacing[3] = {0.8f, 1.2f, 3.0f};
    const Grid grid = random_grid(31, 27, 13, rng, 25);
    write_grid(grid, path("in.nii"), spacing);
    ASSERT_EQ(run("segment '" + path("in.nii").string() + "' --threshold 128 --min-volume 0 -o '" +
                  path("out.nii").string() + "' --labels '" + path("labels.nii.gz").string() + "'")
                  .status,
              0);
    const Nifti in = read_nifti(path("in.nii"));
    const Nifti labels = read_nifti(path("labels.nii.gz"));
    ASSERT_TRUE(labels);
    EXPECT_EQ(labels->datatype, DT_INT16);
    EXPECT_EQ(labels->intent_code, NIFTI_INTENT_LABEL);
    EXPECT_EQ(labels->qform_code, in->qform_code);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_FLOAT_EQ(labels->qto_xyz.m[r][c], in->qto_xyz.m[r][c]);
    Grid segmented = grid;
    for (auto& v : segmented.voxels) v = v >= 128 ? 255 : 0;
    std::vector<int> expected;
    label_objects(segmented, 255, &expected);
    const auto* l = static_cast<const std::int16_t*>(labels->data);
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(l[i], expected[i] + 1) << i;
    // objects on the result numbers them the same way.
    const Result table = run("objects '" + path("out.nii").string() + "' --csv --order raster");
    ASSERT_EQ(table.status, 0) << table.err;
    for (const auto& row : parse_csv(table.out))
        EXPECT_EQ(row[1], std::count(l, l + expected.size(), static_cast<std::int16_t>(row[0]))) << row[0];

    // More objects than 16 bits hold: 32-bit labels.
    Grid specks{67, 67, 67, std::vector<std::uint8_t>(67 * 67 * 67)};
    for (int z = 0; z < 67; z += 2)
        for (int y = 0; y < 67; y += 2)
            for (int x = 0; x < 67; x += 2) specks.voxels[specks.at(x, y, z)] = 255;
    write_grid(specks, path("specks.nii"), spacing);
    ASSERT_EQ(run("segment '" + path("specks.nii").string() + "' --threshold 128 --labels '" +
                  path("wide.nii").string() + "'")
                  .status,
              0);
    const Nifti wide = read_nifti(path("wide.nii"));
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->datatype, DT_INT32);
    const auto* w = static_cast<const std::int32_t*>(wide->data);
    EXPECT_EQ(*std::max_element(w, w + wide->nvox), 34 * 34 * 34);
}

// One NIfTI of any type with a scaling, written from doubles.
void write_typed(const fs::path& path, int datatype, const std::vector<double>& values, double slope, double inter,
                 int version = 1) {
    const float spacing[3] = {1, 1, 1};
    Nifti image = make_nifti(static_cast<int>(values.size()) / 60, 6, 10, datatype, spacing);
    for (std::size_t i = 0; i < values.size(); ++i) {
        switch (datatype) {
            case DT_UINT8: static_cast<std::uint8_t*>(image->data)[i] = static_cast<std::uint8_t>(values[i]); break;
            case DT_INT16: static_cast<std::int16_t*>(image->data)[i] = static_cast<std::int16_t>(values[i]); break;
            default: static_cast<float*>(image->data)[i] = static_cast<float>(values[i]); break;
        }
    }
    image->scl_slope = slope;
    image->scl_inter = inter;
    if (version == 1) return write_nifti(image.get(), path);
    // nifti_clib's writer makes NIfTI-1 of a .nii name: the header by hand.
    nifti_2_header header{};
    ASSERT_EQ(nifti_convert_nim2n2hdr(image.get(), &header), 0);
    std::memcpy(header.magic, "n+2\0\r\n\032\n", 8);
    header.vox_offset = 544;
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(&header), sizeof header);
    file.write("\0\0\0\0", 4);
    file.write(static_cast<const char*>(image->data), image->nvox * image->nbyper);
}

TEST_F(Tool, ThresholdsAreInTheFileUnits) {
    std::mt19937 rng(29);
    std::uniform_int_distribution<int> byte(0, 255), pick(0, 2);
    std::uniform_real_distribution<double> real(-1, 1);
    std::vector<double> bytes(600), atlas(600), reals(600);
    for (auto& v : bytes) v = byte(rng);
    for (auto& v : atlas) v = std::array<double, 3>{0, 1605, 1861}[pick(rng)];  // 1861 = 1605 + 256
    for (auto& v : reals) v = static_cast<float>(real(rng));
    reals[7] = std::nan("");
    struct Case {
        int datatype;
        const std::vector<double>& raw;
        double slope, inter;
        std::string options;
        double low, high;  // the file values selected
    };
    const double top = HUGE_VAL;
    const std::vector<Case> cases = {
        {DT_UINT8, bytes, 2, 10, "--threshold 100.5", 100.5, top},
        {DT_UINT8, bytes, -1, 255, "--band 50:100", 50, 100},
        {DT_INT16, atlas, 0, 0, "--band 1605:1605", 1605, 1605},
        {DT_FLOAT32, reals, 0, 0, "--threshold=-0.25", -0.25, top},
        {DT_FLOAT32, reals, 4, -1, "--band=-2.5:1.75", -2.5, 1.75},
    };
    for (const Case& c : cases) {
        write_typed(path("in.nii"), c.datatype, c.raw, c.slope, c.inter);
        const Result r = run("segment '" + path("in.nii").string() + "' " + c.options + " --min-volume 0 -o '" +
                             path("out.nii").string() + "' --json");
        ASSERT_EQ(r.status, 0) << c.options << r.err;
        const Nifti out = read_nifti(path("out.nii"));
        ASSERT_TRUE(out);
        const auto* mask = static_cast<const std::uint8_t*>(out->data);
        double minimum = top;
        for (std::size_t i = 0; i < c.raw.size(); ++i) {
            const double value = c.slope != 0 ? c.raw[i] * c.slope + c.inter : c.raw[i];
            if (std::isfinite(value)) minimum = std::min(minimum, value);
            ASSERT_EQ(mask[i], c.low <= value && value <= c.high ? 255 : 0) << c.options << " voxel " << i;
        }
        EXPECT_DOUBLE_EQ(json::parse(r.out)["grey"]["minimum"].get<double>(), minimum) << c.options;
    }

    // An atlas label above 255 is an object of its own.
    write_typed(path("in.nii"), DT_INT16, atlas, 0, 0);
    const Result table = run("objects '" + path("in.nii").string() + "' --value 1861 --csv --order raster");
    ASSERT_EQ(table.status, 0) << table.err;
    Grid wanted{10, 6, 10, std::vector<std::uint8_t>(600)};
    for (std::size_t i = 0; i < 600; ++i) wanted.voxels[i] = atlas[i] == 1861 ? 255 : 0;
    EXPECT_EQ(parse_csv(table.out).size(), label_objects(wanted, 255).size());

    // Otsu on 16-bit data: the volume's range mapped linearly onto 0 ... 255.
    write_typed(
        path("in.nii"), DT_INT16,
        [&] {
            std::vector<double> v(600);
            for (auto& x : v) x = -300 + byte(rng) * 7;
            return v;
        }(),
        0, 0);
    const Nifti in = read_nifti(path("in.nii"));
    const auto* raw = static_cast<const std::int16_t*>(in->data);
    const double low = *std::min_element(raw, raw + 600), high = *std::max_element(raw, raw + 600);
    CTarnImage3D levels(10, 6, 10);
    for (std::size_t i = 0; i < 600; ++i)
        levels.getPixels()[i] = static_cast<std::uint8_t>(std::floor((raw[i] - low) * 255 / (high - low) + 0.5));
    const int level = Img3DDaJinThreshold(levels);
    const json report = read_report(
        run("segment '" + path("in.nii").string() + "' --min-volume 0 --json -o '" + path("out.nii").string() + "'"));
    EXPECT_EQ(report["threshold"]["level"], level);
    EXPECT_EQ(report["threshold"]["levels"], json({low, high}));
    const Nifti out = read_nifti(path("out.nii"));
    for (std::size_t i = 0; i < 600; ++i)
        ASSERT_EQ(static_cast<const std::uint8_t*>(out->data)[i], levels.getPixels()[i] > level ? 255 : 0) << i;
}

TEST_F(Tool, NiftiTwoIsReadAndWrittenBack) {
    std::mt19937 rng(31);
    std::uniform_real_distribution<double> real(0, 100);
    std::vector<double> values(600);
    for (auto& v : values) v = real(rng);
    write_typed(path("in.nii"), DT_FLOAT32, values, 0, 0, 2);
    ASSERT_EQ(run("segment '" + path("in.nii").string() + "' --threshold 50 --min-volume 0 -o '" +
                  path("out.nii").string() + "' --labels '" + path("labels.nii.gz").string() + "'")
                  .status,
              0);
    const Nifti in = read_nifti(path("in.nii"));
    for (const char* name : {"out.nii", "labels.nii.gz"}) {
        int version = 0;
        std::free(nifti_read_header(path(name).c_str(), &version, 1));
        EXPECT_EQ(version, 2) << name;
        const Nifti out = read_nifti(path(name));
        ASSERT_TRUE(out);
        EXPECT_EQ(out->qform_code, in->qform_code);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) EXPECT_DOUBLE_EQ(out->qto_xyz.m[r][c], in->qto_xyz.m[r][c]);
    }
    const Nifti out = read_nifti(path("out.nii"));
    for (std::size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(static_cast<const std::uint8_t*>(out->data)[i],
                  static_cast<const float*>(in->data)[i] >= 50 ? 255 : 0);
}

// ---- outputs a user can trust ---------------------------------------------------

TEST_F(Tool, TheInputIsNeverOverwritten) {
    std::mt19937 rng(37);
    const float spacing[3] = {1, 1, 1};
    write_grid(random_grid(20, 16, 12, rng, 30), path("in.nii"), spacing);
    const std::string original = slurp(path("in.nii"));
    fs::create_symlink("in.nii", path("link.nii"));
    fs::create_hard_link(path("in.nii"), path("hard.nii"));
    fs::permissions(path("in.nii"), fs::perms::owner_read | fs::perms::group_read);
    const std::string in = " '" + path("in.nii").string() + "' ";
    for (const std::string& options : {"-o '" + path("in.nii").string() + "'", "-o '" + path("link.nii").string() + "'",
                                       "--labels '" + path("hard.nii").string() + "'"}) {
        const Result r = run("segment" + in + options);
        EXPECT_EQ(r.status, 2) << options;
        EXPECT_NE(r.err.find("is the input file"), std::string::npos) << r.err;
        EXPECT_EQ(slurp(path("in.nii")), original);
    }
    fs::permissions(path("in.nii"), fs::perms::owner_write, fs::perm_options::add);

    // A link as output: its target is written.  An existing output keeps
    // its permissions.
    fs::create_symlink("target.nii", path("out.nii"));
    std::ofstream(path("kept.nii")) << "old";
    fs::permissions(path("kept.nii"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(run("segment" + in + "--threshold 128 -o '" + path("out.nii").string() + "' --labels '" +
                  path("kept.nii").string() + "'")
                  .status,
              0);
    EXPECT_TRUE(fs::is_symlink(path("out.nii")));
    EXPECT_TRUE(read_nifti(path("target.nii")));
    EXPECT_TRUE(read_nifti(path("kept.nii")));
    EXPECT_EQ(fs::status(path("kept.nii")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(Tool, AFailedWriteLeavesNothingAndSaysWhy) {
    std::mt19937 rng(41);
    const float spacing[3] = {1, 1, 1};
    write_grid(random_grid(64, 64, 64, rng, 30), path("in.nii.gz"), spacing);
    std::ofstream(path("file")) << "a file, not a folder";
    const std::string in =
        "segment '" + path("in.nii.gz").string() + "' --threshold 128 -o '" + path("out.nii.gz").string() + "' ";
    const auto before = listing();

    struct Case {
        std::string prefix, options, reason;
    };
    std::vector<Case> cases = {
        {"", "--preview '" + path("file/p.png").string() + "'", "file/p.png: Not a directory"},
        {"", "--preview /sys/img3d-preview.png", "/sys/img3d-preview.png: Permission denied"},
        // A write that fails midway (past a file size limit), after the
        // result was written.
        {"ulimit -f 256; ", "--labels '" + path("labels.nii").string() + "'", "labels.nii: File too large"},
    };
    if (::geteuid() == 0 && fs::exists("/usr/bin/setpriv"))  // root writes anywhere, another user not here
        cases.push_back({"setpriv --reuid=65534 --regid=65534 --clear-groups ", "", "out.nii.gz: Permission denied"});
    for (const Case& c : cases) {
        const Result r = run(in + c.options, c.prefix);
        EXPECT_EQ(r.status, 2) << c.options;
        EXPECT_EQ(line_count(r.err), 1) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(listing(), before) << c.options;
    }
}

TEST_F(Tool, AnInterruptedRunLeavesNothing) {
    std::mt19937 rng(43);
    const float spacing[3] = {1, 1, 1};
    write_grid(random_grid(160, 160, 160, rng, 30), path("in.nii.gz"), spacing);
    const auto before = listing();
    for (const int signal_number : {SIGTERM, SIGHUP}) {
        const std::string command = std::string("exec '") + IMG3D_TOOL + "' segment '" + path("in.nii.gz").string() +
                                    "' --threshold 128 -o '" + path("out.nii").string() + "' --labels '" +
                                    path("labels.nii.gz").string() + "' >/dev/null 2>&1";
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Interrupted while the labels are being compressed.
        const fs::path temporary = path(".labels.nii.gz.img3d-tmp-" + std::to_string(child));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        std::error_code error;
        while (!(fs::exists(temporary, error) && fs::file_size(temporary, error) > 0) &&
               std::chrono::steady_clock::now() < deadline && ::waitpid(child, nullptr, WNOHANG) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(child, signal_number);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was interrupted";
        EXPECT_EQ(WTERMSIG(status), signal_number);
        EXPECT_EQ(listing(), before);
    }
}

// ---- out of memory ------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// Runs the tool under growing address-space limits: each run succeeds or
// says which stage ran out of memory, exit 1, never blaming the file.
void expect_memory_named(const Tool& tool, const std::string& arguments, int step_mb, int limit_mb) {
    int smallest = 4;  // where the program itself loads
    while (smallest < 256 && tool.run("--version", "ulimit -v " + std::to_string(smallest * 1024) + "; ").status != 0)
        smallest += 4;
    fs::remove(tool.path("out.nii.gz"));
    int failed = 0, done = 0;
    for (int mb = smallest; mb <= limit_mb && done == 0; mb += step_mb) {
        const Result r = tool.run(arguments, "ulimit -v " + std::to_string(mb * 1024) + "; ");
        if (r.status == 0) {
            ++done;
            continue;
        }
        ++failed;
        EXPECT_EQ(r.status, 1) << mb << " MB: " << r.err;
        EXPECT_EQ(line_count(r.err), 1) << mb << " MB: " << r.err;
        EXPECT_NE(r.err.find("not enough memory"), std::string::npos) << mb << " MB: " << r.err;
        EXPECT_FALSE(fs::exists(tool.path("out.nii.gz")));
    }
    EXPECT_GT(failed, 2);
    EXPECT_EQ(done, 1) << "no limit up to " << limit_mb << " MB sufficed";
}

TEST_F(Tool, RunningOutOfMemoryIsCalledSo) {
    // An address-space limit does not work with AddressSanitizer's shadow
    // memory, nor under valgrind: those builds skip this test.
    const char* preload = std::getenv("LD_PRELOAD");
    if (kSanitized || (preload && std::strstr(preload, "vgpreload")))
        GTEST_SKIP() << "memory limits do not apply under the sanitizers or valgrind";
    std::mt19937 rng(47);
    const float spacing[3] = {1, 1, 1};
    write_grid(random_grid(200, 180, 150, rng, 20), path("in.nii.gz"), spacing);
    const std::string outputs = " --min-volume 3 --smooth 1 -o '" + path("out.nii.gz").string() + "' --labels '" +
                                path("labels.nii.gz").string() + "' --preview '" + path("p.png").string() + "' -q";
    expect_memory_named(*this, "segment '" + path("in.nii.gz").string() + "' --threshold 128" + outputs, 4, 600);

    const fs::path ch2better = "/usr/share/mricron/templates/ch2better.nii.gz";
    if (!fs::exists(ch2better)) GTEST_SKIP() << "mricron-data is not installed";
    expect_memory_named(*this, "segment " + ch2better.string() + outputs, 24, 1200);
}

}  // namespace
