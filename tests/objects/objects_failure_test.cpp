// What the list and the records look like when the heap refuses a request.
// Run under the sanitizer build, LeakSanitizer also proves that nothing
// handed out before a failure is lost.
#include <gtest/gtest.h>

#include <random>

#include "objects/objects_internal.h"
#include "platform/heap.h"
#include "reference_objects.h"
#include "test_support.h"

namespace {

using img3d::detail::heap_allocations;
using img3d::detail::heap_fail_at;
using img3d::test::Grid;
using img3d::test::RefRun;
using img3d::test::runs_of;
using img3d::test::Volume;
using Runs = std::vector<RefRun>;

constexpr int kValue = 1;
constexpr int kPaint = 8;

struct Outcome {
    RunLength3D** list;
    int count;
    long allocations;
};

// GetAllRunLength3D with the n-th allocation from now refused (0: none).
Outcome take(Volume& v, long fail_at) {
    const long before = heap_allocations();
    heap_fail_at(fail_at);
    Outcome o{nullptr, -1, 0};
    o.list = GetAllRunLength3D(v, kValue, kPaint, &o.count, 0);
    heap_fail_at(0);
    o.allocations = heap_allocations() - before;
    return o;
}

Volume make(const Grid& e, const std::vector<std::uint8_t>& voxels) {
    Volume v(e.width, e.height, e.depth);
    v.assign(voxels);
    return v;
}

// Whatever request fails, the result is one of the documented outcomes:
// no list (count 0, only earlier objects painted), or a list whose records
// are whole stretches of the value, disjoint and painted.  Voxels of the
// value stay unpainted only behind a null entry (a record refused its first
// block paints nothing, and an object's last voxel has no successor to seed
// it again).
TEST(ObjectListFailure, EveryRefusedRequestLeavesASoundState) {
    std::mt19937 rng(5);
    const Grid shapes[] = {{9, 7, 5}, {40, 6, 3}, {5, 3, 30}};
    for (const Grid& e : shapes) {
        for (double density : {0.3, 0.6, 0.95}) {
            std::vector<std::uint8_t> voxels(e.size());
            std::bernoulli_distribution on(density);
            for (auto& v : voxels) v = on(rng) ? kValue : 0;

            Volume clean = make(e, voxels);
            const Outcome ok = take(clean, 0);
            FreeRunLength3D(ok.count, ok.list);
            ASSERT_GT(ok.allocations, 2);

            for (long n = 1; n <= ok.allocations; ++n) {
                SCOPED_TRACE(testing::Message() << e.width << "x" << e.height << "x" << e.depth
                                                << " " << density << " fail at " << n);
                Volume v = make(e, voxels);
                const Outcome o = take(v, n);
                const auto after = v.voxels();
                if (o.list == nullptr) {
                    ASSERT_EQ(o.count, 0);
                    // Earlier objects stay painted, nothing else changes.
                    for (std::size_t i = 0; i < after.size(); ++i) {
                        if (voxels[i] != kValue)
                            ASSERT_EQ(after[i], voxels[i]);
                        else
                            ASSERT_TRUE(after[i] == kValue || after[i] == kPaint);
                    }
                    continue;
                }
                ASSERT_GT(o.count, 0);
                bool null_entry = false;
                for (int i = 0; i < o.count; ++i) null_entry |= o.list[i] == nullptr;
                std::vector<int> covered(e.size(), 0);
                for (std::size_t i = 0; i < after.size(); ++i) {
                    if (voxels[i] != kValue)
                        ASSERT_EQ(after[i], voxels[i]);
                    else if (!null_entry)
                        ASSERT_EQ(after[i], kPaint);
                    else
                        ASSERT_TRUE(after[i] == kPaint || after[i] == kValue);
                }
                for (int i = 0; i < o.count; ++i) {
                    for (const RefRun& r : runs_of(o.list[i])) {
                        if (r.x_start > 0)
                            ASSERT_NE(voxels[e.index(r.x_start - 1, r.y, r.z)], kValue);
                        if (r.x_end < e.width - 1)
                            ASSERT_NE(voxels[e.index(r.x_end + 1, r.y, r.z)], kValue);
                        for (int x = r.x_start; x <= r.x_end; ++x) {
                            ASSERT_EQ(voxels[e.index(x, r.y, r.z)], kValue);
                            ASSERT_EQ(after[e.index(x, r.y, r.z)], kPaint);
                            ASSERT_EQ(covered[e.index(x, r.y, r.z)]++, 0);
                        }
                    }
                }
                FreeRunLength3D(o.count, o.list);
            }
        }
    }
}

// Allocation order of one list: the list block, then per object its record
// (the stack's first block comes with the first object's first run), the
// record's and the stack's enlargements, the record's trim; the list's trim
// last.

TEST(ObjectListFailure, RefusedFirstRecordBlockPaintsNothing) {
    Volume v(3, 1, 2);
    v.assign({0, 1, 1, 0, 0, 1});
    Outcome o = take(v, 2);  // object 0's record
    ASSERT_NE(o.list, nullptr);
    ASSERT_EQ(o.count, 2);
    EXPECT_EQ(o.list[0], nullptr);
    // The next voxel of the same object seeds it again, whole.
    EXPECT_EQ(runs_of(o.list[1]), (Runs{{0, 0, 1, 2}, {0, 1, 2, 2}}));
    EXPECT_EQ(v.voxels(), (std::vector<std::uint8_t>{0, kPaint, kPaint, 0, 0, kPaint}));
    FreeRunLength3D(o.count, o.list);

    // A single voxel has no next voxel: it keeps the value.
    v.assign({0, 1, 0, 0, 0, 1});
    o = take(v, 2);
    ASSERT_EQ(o.count, 2);
    EXPECT_EQ(o.list[0], nullptr);
    EXPECT_EQ(runs_of(o.list[1]), (Runs{{0, 1, 2, 2}}));
    EXPECT_EQ(v.voxels(), (std::vector<std::uint8_t>{0, 1, 0, 0, 0, kPaint}));
    FreeRunLength3D(o.count, o.list);

    // Straight through the extraction itself: the volume is untouched.
    v.assign({0, 1, 1, 0, 0, 1});
    heap_fail_at(1);
    EXPECT_EQ(img3d::test::GetRunLength3D(v, 1, 0, 0, kValue, kPaint), nullptr);
    heap_fail_at(0);
    EXPECT_EQ(v.voxels(), (std::vector<std::uint8_t>{0, 1, 1, 0, 0, 1}));
}

TEST(ObjectListFailure, RefusedRecordGrowthKeepsWhatWasTaken) {
    // A column of four voxels along y: one run per row.
    Volume v(2, 4, 1);
    v.assign({1, 0, 1, 0, 1, 0, 1, 0});
    // 1 list, 2 record, 3 stack, 4 the record's growth for its second run.
    Outcome o = take(v, 4);
    ASSERT_EQ(o.count, 2);
    EXPECT_EQ(o.list[0], nullptr);
    // The fill goes down from the seed: rows 0 and 1 were painted; what was
    // left is found as a further object.
    EXPECT_EQ(runs_of(o.list[1]), (Runs{{2, 0, 0, 0}, {3, 0, 0, 0}}));
    EXPECT_EQ(v.voxels(), (std::vector<std::uint8_t>{kPaint, 0, kPaint, 0, kPaint, 0, kPaint, 0}));
    FreeRunLength3D(o.count, o.list);
}

TEST(ObjectListFailure, RefusedStackGrowthKeepsWhatWasTaken) {
    // A single voxel above a full row above a row of every other column: the
    // full row needs more points than the stack's first block holds.
    const int width = 2 * static_cast<int>(img3d::detail::kInitialPoints) + 1;
    Volume v(width, 3, 1);
    v.get()[0][0][0] = 1;
    for (int x = 0; x < width; ++x) {
        v.get()[0][1][x] = 1;
        v.get()[0][2][x] = x % 2 == 0;
    }
    // 1 record, 2 stack, 3 record growth, 4 stack growth.
    heap_fail_at(4);
    EXPECT_EQ(img3d::test::GetRunLength3D(v, 0, 0, 0, kValue, kPaint), nullptr);
    heap_fail_at(0);
    for (int x = 0; x < width; ++x) {
        EXPECT_EQ(v.get()[0][1][x], kPaint);
        EXPECT_EQ(v.get()[0][2][x], x % 2 == 0);
    }
    EXPECT_EQ(v.get()[0][0][0], kPaint);

    // Through the list the stack outlives the failure; the row left behind
    // comes out as single voxels.
    v.get()[0][0][0] = 1;
    for (int x = 0; x < width; ++x) v.get()[0][1][x] = 1;
    Outcome o = take(v, 5);
    ASSERT_EQ(o.count, width / 2 + 2);
    EXPECT_EQ(o.list[0], nullptr);
    for (int i = 1; i < o.count; ++i)
        EXPECT_EQ(runs_of(o.list[i]), (Runs{{2, 0, 2 * (i - 1), 2 * (i - 1)}}));
    FreeRunLength3D(o.count, o.list);
}

TEST(ObjectListFailure, RefusedListReleasesEveryRecord) {
    // Single voxels, more than the list's first block holds.
    const int objects = static_cast<int>(img3d::detail::kInitialListEntries) + 3;
    Volume v(2 * objects, 1, 1);
    for (int i = 0; i < objects; ++i) v.get()[0][0][2 * i] = 1;
    const auto before = v.voxels();

    Outcome o = take(v, 1);
    EXPECT_EQ(o.list, nullptr);
    EXPECT_EQ(o.count, 0);
    EXPECT_EQ(v.voxels(), before);

    // 1 list, 2 record 0, 3 stack, then one record per object until the
    // list grows.
    const long growth = 3 + static_cast<long>(img3d::detail::kInitialListEntries);
    o = take(v, growth);
    EXPECT_EQ(o.list, nullptr);
    EXPECT_EQ(o.count, 0);
    for (int x = 0; x < 2 * objects; ++x) {
        const int first_unlisted = 2 * static_cast<int>(img3d::detail::kInitialListEntries);
        EXPECT_EQ(v.get()[0][0][x], x % 2 != 0 ? 0 : (x < first_unlisted ? kPaint : 1)) << x;
    }
}

TEST(ObjectListFailure, RefusedTrimsKeepLargerBlocks) {
    // Three runs: the record grows to four and is trimmed; three objects in
    // a list of sixteen entries: the list is trimmed too.
    Volume v(3, 3, 3);
    auto fill = [&] {
        v.assign(std::vector<std::uint8_t>(27, 0));
        for (int y = 0; y < 3; ++y) v.get()[0][y][0] = 1;
        v.get()[2][0][2] = v.get()[2][2][2] = 1;
    };
    fill();
    Outcome clean = take(v, 0);
    ASSERT_EQ(clean.count, 3);
    const Runs first{{0, 0, 0, 0}, {1, 0, 0, 0}, {2, 0, 0, 0}};
    EXPECT_EQ(runs_of(clean.list[0]), first);
    FreeRunLength3D(clean.count, clean.list);

    // 1 list, 2 record, 3 stack, 4 and 5 growth, 6 trim.
    fill();
    Outcome o = take(v, 6);
    ASSERT_EQ(o.count, 3);
    EXPECT_EQ(runs_of(o.list[0]), first);
    FreeRunLength3D(o.count, o.list);

    fill();
    o = take(v, clean.allocations);  // the list's trim comes last
    ASSERT_EQ(o.count, 3);
    EXPECT_EQ(runs_of(o.list[0]), first);
    EXPECT_EQ(runs_of(o.list[2]), (Runs{{2, 2, 2, 2}}));
    FreeRunLength3D(o.count, o.list);
}

}  // namespace
