// The label image and object statistics on hand-drawn volumes, at the edges
// of their contracts, and when memory runs out.  (Random volumes of every
// connectivity are compared with the breadth-first labelling in
// objects_random_test.cpp.)
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>

#include "objects/piece_labels.h"
#include "reference_objects.h"
#include "test_support.h"

namespace {

using img3d::test::Volume;
using Labels = std::vector<std::int32_t>;

Labels label(const Volume& v, int value, int connectivity, int* objects = nullptr) {
    Labels labels(v.size(), -9);
    const int n = Img3DLabel(v, value, connectivity, labels.data());
    if (objects != nullptr) *objects = n;
    return labels;
}

// With 6-connectivity label k is record k-1 of the object list, voxel for
// voxel; 18 and 26 join the objects that touch along an edge or at a corner.
TEST(Labelling, DocumentedVolumes) {
    Volume list_example(4, 3, 2);
    for (auto p : {std::array<int, 3>{3, 0, 0}, {0, 1, 0}, {0, 2, 0}, {1, 2, 0}, {3, 0, 1}, {3, 1, 1}})
        list_example.get()[p[2]][p[1]][p[0]] = 200;
    Volume corners(3, 3, 2);
    corners.assign({1, 0, 1, 0, 1, 0, 0, 0, 0,  //
                    0, 0, 0, 0, 0, 0, 0, 0, 1});
    struct Example {
        const Volume& volume;
        int value;
        int objects6, objects18, objects26;
    };
    for (const Example& example : {Example{list_example, 200, 2, 2, 2}, Example{corners, 1, 4, 2, 1}}) {
        const Volume& v = example.volume;
        int n6 = -1, n18 = -1, n26 = -1;
        const Labels six = label(v, example.value, 6, &n6);
        label(v, example.value, 18, &n18);
        label(v, example.value, 26, &n26);
        EXPECT_EQ(n6, example.objects6);
        EXPECT_EQ(n18, example.objects18);
        EXPECT_EQ(n26, example.objects26);

        Volume work(v.width(), v.height(), v.depth());
        work.assign(v.voxels());
        int count = 0;
        RunLength3D** list = GetAllRunLength3D(work, example.value, 0, &count, 0);
        ASSERT_EQ(count, n6);
        Labels from_records(v.size(), 0);
        for (int k = 0; k < count; ++k)
            for (const auto& run : img3d::test::runs_of(list[k]))
                for (int x = run.x_start; x <= run.x_end; ++x)
                    from_records[(static_cast<std::size_t>(run.z) * v.height() + run.y) * v.width() + x] = k + 1;
        FreeRunLength3D(count, list);
        EXPECT_EQ(six, from_records);
    }
}

TEST(Labelling, RefusalsAndValuesOutsideTheGreyLevels) {
    Volume v(5, 4, 3);
    v.assign(std::vector<std::uint8_t>(v.size(), 7));
    Labels labels(v.size(), -9);
    for (int connectivity : {0, 4, 5, 8, 19, 27, -6})
        EXPECT_EQ(Img3DLabel(v, 7, connectivity, labels.data()), -1) << connectivity;
    EXPECT_EQ(Img3DLabel(nullptr, 7, 6, labels.data()), -1);
    EXPECT_EQ(Img3DLabel(v, 7, 6, nullptr), -1);
    EXPECT_EQ(labels, Labels(v.size(), -9));

    for (int value : {-1, 256, 7 + 256}) {
        int n = -1;
        EXPECT_EQ(label(v, value, 26, &n), Labels(v.size(), 0)) << value;
        EXPECT_EQ(n, 0);
    }
    int n = -1;
    EXPECT_EQ(label(v, 7, 6, &n), Labels(v.size(), 1));
    EXPECT_EQ(n, 1);
}

// No 16-bit record is made, so extents beyond IMG3D_MAX_OBJECT_EXTENT are
// labelled like any.
TEST(Labelling, ExtentsBeyondRecords) {
    Volume v(40000, 1, 2);
    v.assign(std::vector<std::uint8_t>(v.size(), 1));
    v.get()[0][0][35000] = 0;
    v.get()[1][0][35000] = 0;
    v.get()[1][0][0] = 0;
    int n = -1;
    const Labels labels = label(v, 1, 6, &n);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(labels[34999], 1);
    EXPECT_EQ(labels[35001], 2);
    EXPECT_EQ(labels[40000 + 39999], 2);
    EXPECT_EQ(labels[40000], 0);
}

// The voxels' own memory is refused as the volume is, and for what only a
// plain array can get wrong: its extents and the label type.
TEST(Labelling, VoxelMemoryRefusals) {
    const std::vector<std::uint8_t> voxels(60, 7);
    std::vector<std::int64_t> labels(60, -9);
    auto call = [&](std::int64_t w, std::int64_t h, std::int64_t d, int value, int connectivity, int type) {
        return Img3DLabelVoxels(voxels.data(), w, h, d, value, connectivity, labels.data(), type);
    };
    for (int connectivity : {0, 4, 19, 27, -6}) EXPECT_EQ(call(5, 4, 3, 7, connectivity, IMG3D_INT64), -1);
    for (int type : {0, 1, 2, 3, 6, 99, -1}) EXPECT_EQ(call(5, 4, 3, 7, 6, type), -1) << type;
    EXPECT_EQ(Img3DLabelVoxels(voxels.data(), 5, 4, 3, 7, 6, nullptr, IMG3D_INT32), -1);
    EXPECT_EQ(Img3DLabelVoxels(nullptr, 5, 4, 3, 7, 6, labels.data(), IMG3D_INT32), -1);
    // Strides that would make rows or slices overlap, or negative ones.
    auto strided = [&](std::int64_t vr, std::int64_t vs, std::int64_t lr, std::int64_t ls) {
        return Img3DLabelVoxelsStrided(voxels.data(), 5, 4, 3, vr, vs, 7, 6, labels.data(), IMG3D_INT64, lr, ls,
                                       nullptr);
    };
    for (const auto& s : std::vector<std::array<std::int64_t, 4>>{
             {4, 0, 0, 0}, {0, 19, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 19}, {-5, 0, 0, 0}, {0, 0, 0, -20}})
        EXPECT_EQ(strided(s[0], s[1], s[2], s[3]), -1);
    EXPECT_EQ(labels, std::vector<std::int64_t>(60, -9));
    // Extents below 1 or past 2^31 - 1, and arrays whose last entry's
    // offset would wrap, are refused before any entry is touched.
    const std::int64_t big = std::int64_t{1} << 40;
    for (const auto& e : std::vector<std::array<std::int64_t, 3>>{{0, 4, 3},
                                                                  {5, -1, 3},
                                                                  {5, 4, 0},
                                                                  {big, big, big},
                                                                  {INT64_MAX, 1, 1},
                                                                  {1, 1, INT64_MAX},
                                                                  {2147483648, 1, 1}})
        EXPECT_EQ(call(e[0], e[1], e[2], -1, 26, IMG3D_INT64), -1) << e[0] << "x" << e[1] << "x" << e[2];
    EXPECT_EQ(call(2147483647, 2147483647, 2147483647, -1, 26, IMG3D_INT32), -1);
    EXPECT_EQ(labels, std::vector<std::int64_t>(60, -9));

    // More objects than int32 labels hold: -2, nothing written; int64
    // labels take them.
    std::vector<std::uint8_t> dots(60, 0);
    for (std::size_t i = 0; i < 60; ++i)
        if ((i % 5 + i / 5 % 4 + i / 20) % 2 == 0) dots[i] = 7;  // a checkerboard
    std::vector<std::int32_t> narrow(60, -9);
    img3d::detail::test_int32_objects(29);
    EXPECT_EQ(Img3DLabelVoxels(dots.data(), 5, 4, 3, 7, 6, narrow.data(), IMG3D_INT32), -2);
    EXPECT_EQ(narrow, std::vector<std::int32_t>(60, -9));
    EXPECT_EQ(Img3DLabelVoxels(dots.data(), 5, 4, 3, 7, 6, labels.data(), IMG3D_INT64), 30);
    img3d::detail::test_int32_objects(30);
    EXPECT_EQ(Img3DLabelVoxels(dots.data(), 5, 4, 3, 7, 6, narrow.data(), IMG3D_INT32), 30);
    img3d::detail::test_int32_objects(INT32_MAX);

    EXPECT_EQ(call(5, 4, 3, 7 + 256, 18, IMG3D_INT64), 0);
    EXPECT_EQ(labels, std::vector<std::int64_t>(60, 0));
    EXPECT_EQ(call(5, 4, 3, 7, 6, IMG3D_INT64), 1);
    EXPECT_EQ(labels, std::vector<std::int64_t>(60, 1));
}

// Renumbering through a table, both label types: values the table holds
// are replaced, all others (negative, past its end) kept and counted.
template <class Label>
void check_relabel(int type) {
    std::mt19937 rng(31);
    std::uniform_int_distribution<int> pick(-3, 40);
    std::vector<Label> table(30), labels(1001);
    for (auto& t : table) t = static_cast<Label>(pick(rng));
    for (auto& l : labels) l = static_cast<Label>(pick(rng));
    std::vector<Label> expected = labels;
    std::int64_t missed = 0;
    for (auto& l : expected) {
        if (l >= 0 && l < 30)
            l = table[static_cast<std::size_t>(l)];
        else
            ++missed;
    }
    // Into another array, the source only read; a refusal writes nothing.
    const std::vector<Label> source = labels;
    std::vector<Label> into(1001, -7);
    EXPECT_EQ(Img3DRelabelVoxelsInto(labels.data(), into.data(), 1001, type, table.data(), 30), missed);
    EXPECT_EQ(into, expected);
    EXPECT_EQ(labels, source);
    into.assign(1001, -7);
    EXPECT_EQ(Img3DRelabelVoxelsInto(labels.data(), nullptr, 1001, type, table.data(), 30), -1);
    EXPECT_EQ(Img3DRelabelVoxelsInto(labels.data(), into.data(), 1001, IMG3D_UINT8, table.data(), 30), -1);
    EXPECT_EQ(Img3DRelabelVoxelsInto(labels.data(), into.data(), 1001, type, table.data(), 0), -1);
    EXPECT_EQ(into, std::vector<Label>(1001, -7));
    EXPECT_EQ(Img3DRelabelVoxels(labels.data(), 1001, type, table.data(), 30), missed);
    EXPECT_EQ(labels, expected);
    const std::vector<Label> kept = labels;
    EXPECT_EQ(Img3DRelabelVoxels(labels.data(), 0, type, table.data(), 30), 0);
    EXPECT_EQ(Img3DRelabelVoxels(labels.data(), -1, type, table.data(), 30), -1);
    EXPECT_EQ(Img3DRelabelVoxels(labels.data(), 1001, type, table.data(), 0), -1);
    EXPECT_EQ(Img3DRelabelVoxels(nullptr, 1001, type, table.data(), 30), -1);
    EXPECT_EQ(Img3DRelabelVoxels(labels.data(), 1001, type, nullptr, 30), -1);
    EXPECT_EQ(Img3DRelabelVoxels(labels.data(), 1001, IMG3D_UINT8, table.data(), 30), -1);
    EXPECT_EQ(labels, kept);
}

TEST(Labelling, RelabelThroughATable) {
    check_relabel<std::int32_t>(IMG3D_INT32);
    check_relabel<std::int64_t>(IMG3D_INT64);
}

// A held labelling refuses boxes outside its block, short tables and
// int32 labels that cannot hold its objects, writing nothing.
TEST(Labelling, HeldRunsRefusals) {
    const std::vector<std::uint8_t> voxels = {7, 0, 7, 0, 7, 7, 0, 7, 0, 0, 0, 7};  // 4 x 3 x 1
    EXPECT_EQ(Img3DLabelRuns(nullptr, 4, 3, 1, 0, 0, 7, 6, nullptr, nullptr), nullptr);
    EXPECT_EQ(Img3DLabelRuns(voxels.data(), 4, 3, 1, 0, 0, 7, 5, nullptr, nullptr), nullptr);
    EXPECT_EQ(Img3DLabelRuns(voxels.data(), 4, 0, 1, 0, 0, 7, 6, nullptr, nullptr), nullptr);
    EXPECT_EQ(Img3DLabelRuns(voxels.data(), 4, 3, 1, 3, 0, 7, 6, nullptr, nullptr), nullptr);
    std::int64_t n = -1;
    Img3DRunLabels* runs = Img3DLabelRuns(voxels.data(), 4, 3, 1, 0, 0, 7, 6, &n, nullptr);
    ASSERT_NE(runs, nullptr);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(Img3DRunLabelsCount(runs), 3);
    EXPECT_EQ(Img3DRunLabelsCount(nullptr), -1);
    std::vector<std::int32_t> labels(12, -9), table = {0, 10, 20, 30};
    auto write = [&](std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h, const std::int32_t* t,
                     std::int64_t entries) {
        return Img3DWriteRunLabels(runs, x, y, 0, w, h, 1, labels.data(), IMG3D_INT32, 0, 0, t, entries);
    };
    EXPECT_EQ(write(1, 0, 4, 3, nullptr, 0), -1);
    EXPECT_EQ(write(0, 1, 4, 3, nullptr, 0), -1);
    EXPECT_EQ(write(-1, 0, 2, 3, nullptr, 0), -1);
    EXPECT_EQ(write(0, 0, 0, 3, nullptr, 0), -1);
    EXPECT_EQ(write(0, 0, 4, 3, table.data(), 3), -1);
    EXPECT_EQ(Img3DWriteRunLabels(runs, 0, 0, 0, 4, 3, 1, labels.data(), IMG3D_UINT8, 0, 0, nullptr, 0), -1);
    EXPECT_EQ(Img3DWriteRunLabels(nullptr, 0, 0, 0, 4, 3, 1, labels.data(), IMG3D_INT32, 0, 0, nullptr, 0), -1);
    img3d::detail::test_int32_objects(2);
    EXPECT_EQ(write(0, 0, 4, 3, nullptr, 0), -2);
    img3d::detail::test_int32_objects(INT32_MAX);
    EXPECT_EQ(labels, std::vector<std::int32_t>(12, -9));
    EXPECT_EQ(write(0, 0, 4, 3, table.data(), 4), 0);
    EXPECT_EQ(labels, (std::vector<std::int32_t>{10, 0, 20, 0, 10, 10, 0, 30, 0, 0, 0, 30}));
    Img3DFreeRunLabels(runs);
    Img3DFreeRunLabels(nullptr);
}

TEST(Labelling, OutOfMemoryLeavesTheLabelsUntouched) {
    std::mt19937 rng(8);
    const Volume v = img3d::test::random_volume({23, 9, 7}, rng, {0, 1}, {1, 1});
    const std::vector<std::uint8_t> voxels = v.voxels();
    int expected = -1;
    const Labels reference = label(v, 1, 26, &expected);
    // Every call through every door, with labels of the type it writes.
    auto walk = [&](auto entry, auto no_label) {
        using Entries = std::vector<decltype(no_label)>;
        img3d::test::walk_allocation_failures(
            [&] {
                Entries labels(v.size(), no_label);
                const std::int64_t n = entry(labels.data());
                return std::make_pair(n, labels);
            },
            [&](const std::pair<std::int64_t, Entries>& result, bool failed) {
                if (failed) {
                    EXPECT_EQ(result.first, -1);
                    EXPECT_EQ(result.second, Entries(v.size(), no_label));
                } else {
                    EXPECT_EQ(result.first, expected);
                    EXPECT_EQ(result.second, Entries(reference.begin(), reference.end()));
                }
            });
    };
    walk([&](std::int32_t* labels) { return Img3DLabel(v, 1, 26, labels); }, std::int32_t{-9});
    walk([&](std::int32_t* labels) { return Img3DLabelVoxels(voxels.data(), 23, 9, 7, 1, 26, labels, IMG3D_INT32); },
         std::int32_t{-9});
    std::vector<std::int64_t> rows(9 * 7);
    walk(
        [&](std::int64_t* labels) {
            return Img3DLabelVoxelsStrided(voxels.data(), 23, 9, 7, 0, 0, 1, 26, labels, IMG3D_INT64, 0, 0,
                                           rows.data());
        },
        std::int64_t{-9});
    walk(
        [&](std::int64_t* labels) -> std::int64_t {
            std::int64_t n = -1;
            Img3DRunLabels* runs = Img3DLabelRuns(voxels.data(), 23, 9, 7, 0, 0, 1, 26, &n, nullptr);
            if (runs == nullptr) return -1;
            EXPECT_EQ(Img3DWriteRunLabels(runs, 0, 0, 0, 23, 9, 7, labels, IMG3D_INT64, 0, 0, nullptr, 0), 0);
            Img3DFreeRunLabels(runs);
            return n;
        },
        std::int64_t{-9});
}

TEST(ObjectStats, LabelsOutsideTheCountAreLeftOut) {
    // Two rows of a 5 x 2 x 1 array: labels 2 and 1 as given, -4 and 7
    // outside 0 ... 2.
    const Labels labels = {2,  2, 0, 7, 1,  //
                           -4, 2, 2, 0, 0};
    Img3DObject objects[3];
    std::memset(objects, 0x5A, sizeof objects);
    EXPECT_EQ(Img3DObjectStats(labels.data(), 5, 2, 1, 3, objects), 2);
    EXPECT_EQ(objects[0].voxels, 1);
    EXPECT_EQ((std::vector<int>{objects[0].xMin, objects[0].xMax, objects[0].firstX, objects[0].firstY}),
              (std::vector<int>{4, 4, 4, 0}));
    EXPECT_EQ(objects[1].voxels, 4);
    EXPECT_EQ((std::vector<long long>{objects[1].sumX, objects[1].sumY, objects[1].sumZ}),
              (std::vector<long long>{0 + 1 + 1 + 2, 2, 0}));
    EXPECT_EQ((std::vector<int>{objects[1].xMin, objects[1].xMax, objects[1].yMin, objects[1].yMax}),
              (std::vector<int>{0, 2, 0, 1}));
    Img3DObject none;
    std::memset(&none, 0, sizeof none);
    EXPECT_EQ(std::memcmp(&objects[2], &none, sizeof none), 0);  // label 3 is on no voxel

    // Refused: nothing written.
    std::memset(objects, 0x5A, sizeof objects);
    const Img3DObject untouched = objects[0];
    EXPECT_EQ(Img3DObjectStats(nullptr, 5, 2, 1, 3, objects), -1);
    EXPECT_EQ(Img3DObjectStats(labels.data(), 5, 2, 1, 3, nullptr), -1);
    EXPECT_EQ(Img3DObjectStats(labels.data(), 5, 2, 1, -1, objects), -1);
    EXPECT_EQ(Img3DObjectStats(labels.data(), 0, 2, 1, 3, objects), -1);
    EXPECT_EQ(Img3DObjectStats(labels.data(), 65536, 65536, 1, 3, objects), -1);
    EXPECT_EQ(std::memcmp(&objects[0], &untouched, sizeof untouched), 0);
    EXPECT_EQ(Img3DObjectStats(labels.data(), 5, 2, 1, 0, nullptr), 7);  // every label left out
}

}  // namespace
