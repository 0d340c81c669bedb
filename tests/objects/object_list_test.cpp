// The object list and the record operations on hand-drawn volumes.
#include <gtest/gtest.h>

#include "reference_objects.h"
#include "test_support.h"

namespace {

using img3d::test::RefRun;
using img3d::test::runs_of;
using img3d::test::Volume;
using Runs = std::vector<RefRun>;

// The list as runs, released afterwards.
std::vector<Runs> all_objects(Volume& v, int value, int paint, int* count_out = nullptr) {
    int count = -7;
    RunLength3D** list = GetAllRunLength3D(v, value, paint, &count, 0);
    std::vector<Runs> objects;
    if (list == nullptr) EXPECT_EQ(count, 0);
    for (int i = 0; list != nullptr && i < count; ++i) objects.push_back(runs_of(list[i]));
    FreeRunLength3D(count, list);
    if (count_out != nullptr) *count_out = count;
    return objects;
}

TEST(ObjectList, DocumentedList) {
    Volume v(4, 3, 2);
    for (auto p :
         {std::array<int, 3>{3, 0, 0}, {0, 1, 0}, {0, 2, 0}, {1, 2, 0}, {3, 0, 1}, {3, 1, 1}})
        v.get()[p[2]][p[1]][p[0]] = 200;
    const auto before = v.voxels();
    EXPECT_EQ(all_objects(v, 200, 7), (std::vector<Runs>{{{0, 0, 3, 3}, {0, 1, 3, 3}, {1, 1, 3, 3}},
                                                         {{1, 0, 0, 0}, {2, 0, 0, 1}}}));
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(v.voxels()[i], before[i] == 200 ? 7 : 0);
}

TEST(ObjectList, NothingToTake) {
    Volume v(5, 3, 2);
    v.assign(std::vector<std::uint8_t>(30, 4));
    v.get()[1][2][4] = 255;
    v.get()[0][0][0] = 0;
    const auto before = v.voxels();
    int count = -1;
    for (int value : {3, 256, -1, 511, -256}) {
        EXPECT_EQ(GetAllRunLength3D(v, value, 9, &count, 0), nullptr) << value;
        EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(v.voxels(), before);
}

TEST(ObjectList, StretchBetweenOtherValues) {
    Volume v(8, 1, 1);
    v.assign({3, 1, 1, 1, 1, 1, 0, 0});
    EXPECT_EQ(all_objects(v, 1, 2), (std::vector<Runs>{{{0, 0, 1, 5}}}));
    EXPECT_EQ(v.voxels(), (std::vector<std::uint8_t>{3, 2, 2, 2, 2, 2, 0, 0}));
}

TEST(ObjectList, EdgeAndCornerNeighboursAreSeparateObjects) {
    Volume v(3, 3, 2);
    v.assign({1, 0, 1, 0, 1, 0, 0, 0, 0,  //
              0, 0, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(all_objects(v, 1, 0),
              (std::vector<Runs>{{{0, 0, 0, 0}}, {{0, 0, 2, 2}}, {{1, 0, 1, 1}}, {{2, 1, 2, 2}}}));
}

TEST(ObjectList, EverythingIsOneObject) {
    Volume v(7, 5, 3);
    v.assign(std::vector<std::uint8_t>(v.size(), 0));
    const auto objects = all_objects(v, 0, 255);
    ASSERT_EQ(objects.size(), 1u);
    ASSERT_EQ(objects[0].size(), 15u);
    for (const RefRun& run : objects[0]) {
        EXPECT_EQ(run.x_start, 0);
        EXPECT_EQ(run.x_end, 6);
    }
    EXPECT_EQ(v.voxels(), std::vector<std::uint8_t>(v.size(), 255));
}

TEST(ObjectList, RefusesAPaintThatStillMatches) {
    Volume v(4, 4, 2);
    v.assign(std::vector<std::uint8_t>(32, 5));
    const auto before = v.voxels();
    int count = -1;
    for (int paint : {5, 261, -251}) {
        EXPECT_EQ(GetAllRunLength3D(v, 5, paint, &count, 0), nullptr);
        EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(v.voxels(), before);
}

TEST(ObjectList, ExtentsOf16BitCoordinates) {
    for (auto shape : {std::array<int, 3>{32769, 1, 1}, {1, 32769, 1}, {1, 1, 32769}}) {
        Volume v(shape[0], shape[1], shape[2]);
        v.assign(std::vector<std::uint8_t>(v.size(), 1));
        int count = -1;
        EXPECT_EQ(GetAllRunLength3D(v, 1, 0, &count, 0), nullptr);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(v.voxels(), std::vector<std::uint8_t>(v.size(), 1));
    }
    // The largest extents still fit.
    Volume wide(32768, 1, 2);
    wide.assign(std::vector<std::uint8_t>(wide.size(), 1));
    wide.get()[1][0][32767] = 0;
    EXPECT_EQ(all_objects(wide, 1, 0), (std::vector<Runs>{{{0, 0, 0, 32767}, {0, 1, 0, 32766}}}));
    Volume deep(1, 2, 32768);
    deep.get()[32767][1][0] = 1;
    EXPECT_EQ(all_objects(deep, 1, 0), (std::vector<Runs>{{{1, 32767, 0, 0}}}));
}

TEST(ObjectList, FreeAcceptsNullListsAndEntries) {
    FreeRunLength3D(0, nullptr);
    FreeRunLength3D(3, nullptr);
    auto** list = static_cast<RunLength3D**>(std::malloc(3 * sizeof(RunLength3D*)));
    list[0] = static_cast<RunLength3D*>(std::malloc(4));
    list[0]->count = 0;
    list[1] = nullptr;
    list[2] = nullptr;
    FreeRunLength3D(3, list);
    FreeRunLength3D(0, static_cast<RunLength3D**>(std::malloc(sizeof(RunLength3D*))));
}

// A record put together by hand, as a host might.
struct HandRecord {
    explicit HandRecord(const Runs& runs)
        : block(static_cast<RunLength3D*>(std::malloc(4 + 8 * runs.size()))) {
        block->count = static_cast<int>(runs.size());
        for (std::size_t i = 0; i < runs.size(); ++i)
            RunLength3DRuns(block)[i] = {
                static_cast<int16_t>(runs[i].y), static_cast<int16_t>(runs[i].z),
                static_cast<int16_t>(runs[i].x_start), static_cast<int16_t>(runs[i].x_end)};
    }
    ~HandRecord() { std::free(block); }
    HandRecord(const HandRecord&) = delete;
    HandRecord& operator=(const HandRecord&) = delete;
    RunLength3D* block;
};

std::array<int, 6> limits(const RunLength3D* record) {
    std::array<int, 6> l{};
    GetObjectXYLimit3D(record, &l[0], &l[1], &l[2], &l[3], &l[4], &l[5]);
    return l;
}

TEST(ObjectMeasures, DocumentedRecords) {
    HandRecord plus({{0, 0, 1, 1}, {1, 0, 0, 2}, {2, 0, 1, 1}});
    EXPECT_EQ(ObjVolume(plus.block), 5);
    EXPECT_EQ(limits(plus.block), (std::array<int, 6>{0, 2, 0, 2, 0, 0}));

    HandRecord single({{4, 6, 3, 3}});
    EXPECT_EQ(ObjVolume(single.block), 1);
    EXPECT_EQ(limits(single.block), (std::array<int, 6>{3, 3, 4, 4, 6, 6}));

    // Slices are searched upwards from run 0 only.
    HandRecord unordered({{1, 3, 5, 9}, {0, 1, 2, 4}, {7, 5, 0, 0}});
    EXPECT_EQ(ObjVolume(unordered.block), 9);
    EXPECT_EQ(limits(unordered.block), (std::array<int, 6>{0, 9, 0, 7, 3, 5}));

    // Without a run there is no box: nothing is written.
    HandRecord empty({});
    EXPECT_EQ(ObjVolume(empty.block), 0);
    EXPECT_EQ(limits(empty.block), (std::array<int, 6>{}));
}

TEST(ObjectMeasures, FillPaintsExactlyTheRuns) {
    Volume v(4, 3, 2);
    v.assign(std::vector<std::uint8_t>(24, 5));
    HandRecord record({{2, 1, 1, 3}, {0, 0, 0, 0}});
    Img3DFillObject(v, record.block, 256);
    auto expected = std::vector<std::uint8_t>(24, 5);
    expected[0] = expected[12 + 8 + 1] = expected[12 + 8 + 2] = expected[12 + 8 + 3] = 0;
    EXPECT_EQ(v.voxels(), expected);
    Img3DFillObject(v, record.block, -1);
    for (auto& e : expected) e = e == 0 ? 255 : e;
    EXPECT_EQ(v.voxels(), expected);
    HandRecord empty({});
    Img3DFillObject(v, empty.block, 7);
    EXPECT_EQ(v.voxels(), expected);

    // Runs that do not lie wholly inside the volume are skipped.
    HandRecord outside({{3, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, -1, 1}, {0, 0, 2, 4}, {-1, 0, 0, 0},
                        {0, -1, 0, 0}, {1, 1, 2, 1}, {1, 0, 1, 2}});
    Img3DFillObject(v, outside.block, 9);
    expected[4 + 1] = expected[4 + 2] = 9;  // only the last run is inside
    EXPECT_EQ(v.voxels(), expected);
}

TEST(ObjectRefusals, NullArgumentsWriteNothing) {
    Volume v(4, 3, 2);
    v.assign(std::vector<std::uint8_t>(24, 1));
    int count = 5;
    EXPECT_EQ(GetAllRunLength3D(nullptr, 1, 0, &count, 0), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(GetAllRunLength3D(v, 1, 0, nullptr, 0), nullptr);
    EXPECT_EQ(v.voxels(), std::vector<std::uint8_t>(24, 1));
    FreeRunLength3D(3, nullptr);

    HandRecord record({{0, 0, 0, 3}});
    EXPECT_EQ(ObjVolume(nullptr), -1);
    std::array<int, 6> l{};
    GetObjectXYLimit3D(nullptr, &l[0], &l[1], &l[2], &l[3], &l[4], &l[5]);
    GetObjectXYLimit3D(record.block, nullptr, &l[1], &l[2], &l[3], &l[4], &l[5]);
    GetObjectXYLimit3D(record.block, &l[0], &l[1], &l[2], &l[3], &l[4], nullptr);
    EXPECT_EQ(l, (std::array<int, 6>{}));
    Img3DFillObject(nullptr, record.block, 7);
    Img3DFillObject(v, nullptr, 7);
    EXPECT_EQ(v.voxels(), std::vector<std::uint8_t>(24, 1));
}

}  // namespace
