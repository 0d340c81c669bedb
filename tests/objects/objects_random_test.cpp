// The object list and the label image against a breadth-first labelling,
// and the list against the step-by-step fill, on seeded random volumes of
// odd shapes and densities.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "objects/piece_labels.h"
#include "reference_objects.h"
#include "test_support.h"

namespace {

using img3d::test::Grid;
using img3d::test::RefRun;
using img3d::test::Volume;

struct Case {
    std::string name;
    Grid extent;
    std::vector<std::uint8_t> voxels;
};

// Volumes of value 1 on 0, plus some voxels of other values the fill must
// treat as background.
std::vector<Case> cases(std::mt19937& rng) {
    std::vector<Grid> shapes;
    for (const auto& s : img3d::test::odd_shapes()) shapes.push_back({s.width, s.height, s.depth});
    for (Grid e : {Grid{17, 16, 15}, Grid{33, 9, 4}, Grid{64, 3, 3}, Grid{1, 19, 23}, Grid{300, 2, 2}, Grid{15, 1, 30}})
        shapes.push_back(e);

    std::vector<Case> out;
    auto add = [&](const std::string& name, const Grid& e, const std::function<int(int, int, int)>& f) {
        Case c{name + " " + std::to_string(e.width) + "x" + std::to_string(e.height) + "x" + std::to_string(e.depth), e,
               std::vector<std::uint8_t>(e.size())};
        for (int z = 0; z < e.depth; ++z)
            for (int y = 0; y < e.height; ++y)
                for (int x = 0; x < e.width; ++x) c.voxels[e.index(x, y, z)] = static_cast<std::uint8_t>(f(x, y, z));
        out.push_back(std::move(c));
    };
    std::uniform_real_distribution<double> unit(0, 1);
    for (const Grid& e : shapes) {
        for (double density : {0.1, 0.35, 0.5, 0.65, 0.9, 0.97})
            add("density " + std::to_string(density), e, [&](int, int, int) {
                const double u = unit(rng);
                return u < density ? 1 : (u > 0.98 ? 2 : 0);
            });
        add("all", e, [](int, int, int) { return 1; });
        add("checkerboard", e, [](int x, int y, int z) { return (x + y + z) % 2; });
        add("slice checkerboard", e, [](int x, int y, int) { return (x + y) % 2; });
        add("rows", e, [](int, int y, int z) { return (y + z) % 2; });
        add("columns", e, [](int x, int, int z) { return (x / 3 + z) % 2 == 0; });
        add("shell", e, [&](int x, int y, int z) {
            const bool face = x == 0 || y == 0 || z == 0 || x == e.width - 1 || y == e.height - 1 || z == e.depth - 1;
            return face ? 1 : unit(rng) < 0.4;
        });
        add("stripes", e, [](int x, int y, int z) { return (x % 19 < 17) && ((y + z) % 3 != 0); });
    }
    return out;
}

// The label image and the statistics of every connectivity against the
// breadth-first labelling.
void expect_label_image(unsigned char*** volume, const std::vector<std::uint8_t>& voxels, const Grid& e, int value) {
    for (int connectivity : {6, 18, 26}) {
        SCOPED_TRACE(connectivity);
        const auto expected = img3d::test::label_objects(voxels, e, value, connectivity);
        std::vector<std::int32_t> labels(e.size(), -3);
        ASSERT_EQ(Img3DLabel(volume, value, connectivity, labels.data()), expected.objects);
        ASSERT_EQ(std::vector<int>(labels.begin(), labels.end()), expected.label);
        // The same labels from the voxels' own memory, in either label type,
        // also with the runs numbered in 64 bits, as only the largest arrays
        // otherwise have them.
        for (bool wide_runs : {false, true}) {
            img3d::detail::test_wide_indices(wide_runs);
            std::vector<std::int64_t> wide(e.size(), -3);
            const std::int64_t n = Img3DLabelVoxels(voxels.data(), e.width, e.height, e.depth, value, connectivity,
                                                    wide.data(), IMG3D_INT64);
            img3d::detail::test_wide_indices(false);
            ASSERT_EQ(n, expected.objects) << wide_runs;
            ASSERT_EQ(std::vector<int>(wide.begin(), wide.end()), expected.label);
        }
        labels.assign(e.size(), -3);
        ASSERT_EQ(Img3DLabelVoxels(voxels.data(), e.width, e.height, e.depth, value, connectivity, labels.data(),
                                   IMG3D_INT32),
                  expected.objects);
        ASSERT_EQ(std::vector<int>(labels.begin(), labels.end()), expected.label);
        // As a block of larger arrays, padded with the value itself, with
        // where each object begins, row by row: each first voxel's row once.
        const int pad = 3, vrow = e.width + pad, vslice = vrow * (e.height + 1), lrow = e.width + 2,
                  lslice = lrow * (e.height + 2);
        std::vector<std::uint8_t> padded(static_cast<std::size_t>(vslice) * e.depth, static_cast<std::uint8_t>(value));
        std::vector<std::int32_t> placed(static_cast<std::size_t>(lslice) * e.depth, -3), expected_placed = placed;
        for (int z = 0; z < e.depth; ++z)
            for (int y = 0; y < e.height; ++y)
                for (int x = 0; x < e.width; ++x) {
                    padded[static_cast<std::size_t>(z * vslice + y * vrow + x)] = voxels[e.index(x, y, z)];
                    expected_placed[static_cast<std::size_t>(z * lslice + y * lrow + x)] =
                        expected.label[e.index(x, y, z)];
                }
        std::vector<std::int64_t> begun(static_cast<std::size_t>(e.height) * e.depth, -3), rows(begun.size(), 0);
        for (const std::size_t first : expected.first_voxel) ++rows[first / static_cast<std::size_t>(e.width)];
        ASSERT_EQ(Img3DLabelVoxelsStrided(padded.data(), e.width, e.height, e.depth, vrow, vslice, value, connectivity,
                                          placed.data(), IMG3D_INT32, lrow, lslice, begun.data()),
                  expected.objects);
        ASSERT_EQ(placed, expected_placed);
        ASSERT_EQ(begun, rows);
        // Held between the passes: the same objects, and any box of their
        // labels written through a table.
        std::int64_t held = -1;
        begun.assign(begun.size(), -3);
        Img3DRunLabels* runs = Img3DLabelRuns(padded.data(), e.width, e.height, e.depth, vrow, vslice, value,
                                              connectivity, &held, begun.data());
        ASSERT_NE(runs, nullptr);
        ASSERT_EQ(held, expected.objects);
        ASSERT_EQ(begun, rows);
        std::vector<std::int64_t> table(static_cast<std::size_t>(held) + 1, -5);
        for (std::size_t k = 1; k < table.size(); ++k) table[k] = 1000 + 7 * static_cast<std::int64_t>(k);
        const int x0 = e.width / 3, y0 = e.height / 2, z0 = e.depth / 3;
        const Grid box{e.width - x0, e.height - y0, e.depth - z0};
        std::vector<std::int64_t> boxed(box.size(), -3), expected_box(box.size());
        for (int z = 0; z < box.depth; ++z)
            for (int y = 0; y < box.height; ++y)
                for (int x = 0; x < box.width; ++x) {
                    const int l = expected.label[e.index(x + x0, y + y0, z + z0)];
                    expected_box[box.index(x, y, z)] = l == 0 ? 0 : table[static_cast<std::size_t>(l)];
                }
        ASSERT_EQ(Img3DWriteRunLabels(runs, x0, y0, z0, box.width, box.height, box.depth, boxed.data(), IMG3D_INT64, 0,
                                      0, table.data(), held + 1),
                  0);
        Img3DFreeRunLabels(runs);
        ASSERT_EQ(boxed, expected_box);
        std::vector<Img3DObject> stats(static_cast<std::size_t>(expected.objects) + 1);
        ASSERT_EQ(Img3DObjectStats(labels.data(), e.width, e.height, e.depth, expected.objects, stats.data()), 0);
        for (std::size_t k = 0; k < static_cast<std::size_t>(expected.objects); ++k) {
            const Img3DObject& o = stats[k];
            const auto& box = expected.boxes[k];
            const std::size_t first = expected.first_voxel[k];
            EXPECT_EQ(static_cast<std::size_t>(o.voxels), expected.voxels[k]);
            EXPECT_EQ((std::vector<long long>{o.sumX, o.sumY, o.sumZ}),
                      (std::vector<long long>(expected.sums[k].begin(), expected.sums[k].end())));
            EXPECT_EQ((std::vector<int>{o.xMin, o.xMax, o.yMin, o.yMax, o.zMin, o.zMax}),
                      (std::vector<int>{box.x_min, box.x_max, box.y_min, box.y_max, box.z_min, box.z_max}));
            EXPECT_EQ(e.index(o.firstX, o.firstY, o.firstZ), first);
        }
    }
}

TEST(ObjectListRandom, AgreesWithLabellingAndTheStepByStepFill) {
    std::mt19937 rng(20240611);
    const int value = 1;
    for (const Case& c : cases(rng)) {
        SCOPED_TRACE(c.name);
        const Grid& e = c.extent;
        const auto labels = img3d::test::label_objects(c.voxels, e, value);
        auto painted = c.voxels;
        const auto expected = img3d::test::scanline_objects(painted, e, value, 300);

        Volume v(e.width, e.height, e.depth);
        v.assign(c.voxels);
        expect_label_image(v, c.voxels, e, value);
        int count = -1;
        RunLength3D** list = GetAllRunLength3D(v, value, 300, &count, 0);
        ASSERT_EQ(count, labels.objects);
        ASSERT_EQ(list == nullptr, count == 0);
        ASSERT_EQ(v.voxels(), painted);  // exactly the object voxels, now 300 & 0xFF

        std::vector<int> covered(e.size(), 0);
        for (int i = 0; i < count; ++i) {
            SCOPED_TRACE(i);
            ASSERT_NE(list[i], nullptr);
            const auto runs = img3d::test::runs_of(list[i]);
            ASSERT_EQ(runs, expected[static_cast<std::size_t>(i)]);
            ASSERT_FALSE(runs.empty());
            // Seeds come in raster order: run 0 starts at the object's first voxel.
            EXPECT_EQ(e.index(runs[0].x_start, runs[0].y, runs[0].z), labels.first_voxel[static_cast<std::size_t>(i)]);
            for (const RefRun& r : runs) {
                ASSERT_TRUE(r.x_start <= r.x_end && r.x_start >= 0 && r.x_end < e.width && r.y >= 0 && r.y < e.height &&
                            r.z >= 0 && r.z < e.depth)
                    << r;
                if (r.x_start > 0) EXPECT_NE(c.voxels[e.index(r.x_start - 1, r.y, r.z)], value) << r;
                if (r.x_end < e.width - 1) EXPECT_NE(c.voxels[e.index(r.x_end + 1, r.y, r.z)], value) << r;
                for (int x = r.x_start; x <= r.x_end; ++x) {
                    const std::size_t at = e.index(x, r.y, r.z);
                    ASSERT_EQ(labels.label[at], i + 1) << r;
                    ASSERT_EQ(covered[at]++, 0) << r;
                }
            }
            EXPECT_EQ(static_cast<std::size_t>(ObjVolume(list[i])), labels.voxels[static_cast<std::size_t>(i)]);
            const auto& box = labels.boxes[static_cast<std::size_t>(i)];
            int l[6];
            GetObjectXYLimit3D(list[i], &l[0], &l[1], &l[2], &l[3], &l[4], &l[5]);
            EXPECT_EQ(std::vector<int>(l, l + 6),
                      (std::vector<int>{box.x_min, box.x_max, box.y_min, box.y_max, box.z_min, box.z_max}));
            Img3DFillObject(v, list[i], value);
        }
        EXPECT_EQ(v.voxels(), c.voxels);  // painting every record back restores the volume
        FreeRunLength3D(count, list);
    }
}

// Values at both ends of the range and paints that differ only above the
// low 8 bits of another value.
TEST(ObjectListRandom, AnyValueAndPaint) {
    std::mt19937 rng(77);
    const Grid e{23, 11, 6};
    for (auto [value, paint] : {std::pair{0, 255}, {255, 0}, {128, 129 + 256}, {7, -1}}) {
        SCOPED_TRACE(value);
        std::vector<std::uint8_t> voxels(e.size());
        for (auto& v : voxels) v = rng() % 3 == 0 ? static_cast<std::uint8_t>(rng()) : static_cast<std::uint8_t>(value);
        auto painted = voxels;
        const auto expected = img3d::test::scanline_objects(painted, e, value, paint);
        Volume v(e.width, e.height, e.depth);
        v.assign(voxels);
        int count = -1;
        RunLength3D** list = GetAllRunLength3D(v, value, paint, &count, 0);
        ASSERT_EQ(static_cast<std::size_t>(count), expected.size());
        for (int i = 0; i < count; ++i) EXPECT_EQ(img3d::test::runs_of(list[i]), expected[static_cast<std::size_t>(i)]);
        EXPECT_EQ(v.voxels(), painted);
        FreeRunLength3D(count, list);
    }
}

}  // namespace
