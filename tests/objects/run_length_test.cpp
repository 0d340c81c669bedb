// Hand-drawn volumes whose records are known run for run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "objects/flood_fill.h"
#include "reference_objects.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define IMG3D_EXACT_BLOCK_SIZES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define IMG3D_EXACT_BLOCK_SIZES 1
#endif
#endif
#if IMG3D_EXACT_BLOCK_SIZES
// AddressSanitizer's allocator knows the size each block was requested with.
extern "C" std::size_t __sanitizer_get_allocated_size(const volatile void* block);
#endif

namespace {

using img3d::test::GetRunLength3D;
using img3d::test::RefRun;
using img3d::test::runs_of;
using img3d::test::Volume;
using Runs = std::vector<RefRun>;

// The record is exactly count runs long (only the sanitizer's allocator
// knows a block's requested size).
void expect_exact_size(const RunLength3D* record) {
#if IMG3D_EXACT_BLOCK_SIZES
    EXPECT_EQ(__sanitizer_get_allocated_size(record),
              4u + 8u * static_cast<unsigned>(record->count));
#else
    (void)record;
#endif
}

// Sets the voxels listed as (x, y, z) to value.
void set(Volume& v, std::initializer_list<std::array<int, 3>> voxels, int value) {
    for (const auto& p : voxels) v.get()[p[2]][p[1]][p[0]] = static_cast<unsigned char>(value);
}

Runs extract(Volume& v, int x, int y, int z, int value = 1, int paint = 9) {
    RunLength3D* record = GetRunLength3D(v, x, y, z, value, paint);
    if (record == nullptr) {
        ADD_FAILURE() << "no record";
        return {};
    }
    expect_exact_size(record);
    Runs runs = runs_of(record);
    std::free(record);
    return runs;
}

TEST(RunLength, SingleVoxelsAndWholeRows) {
    Volume v(5, 4, 3);
    set(v, {{2, 1, 2}}, 1);
    EXPECT_EQ(extract(v, 2, 1, 2), (Runs{{1, 2, 2, 2}}));
    EXPECT_EQ(v.get()[2][1][2], 9);

    Volume row(6, 3, 2);
    for (int x = 0; x < 6; ++x) row.get()[1][2][x] = 1;
    EXPECT_EQ(extract(row, 4, 2, 1), (Runs{{2, 1, 0, 5}}));
}

TEST(RunLength, RunsStopAtTheStretchEnds) {
    for (int seed : {3, 1, 5}) {
        Volume v(8, 1, 1);
        v.assign({4, 1, 1, 1, 1, 1, 4, 4});
        EXPECT_EQ(extract(v, seed, 0, 0), (Runs{{0, 0, 1, 5}}));
        EXPECT_EQ(v.voxels(), (std::vector<std::uint8_t>{4, 9, 9, 9, 9, 9, 4, 4}));
    }
    Volume v(8, 1, 1);
    v.assign({1, 1, 1, 1, 1, 1, 1, 4});
    EXPECT_EQ(extract(v, 0, 0, 0), (Runs{{0, 0, 0, 6}}));
    EXPECT_EQ(v.voxels().back(), 4);
}

TEST(RunLength, EdgeAndCornerContactDoesNotConnect) {
    Volume v(2, 2, 2);
    set(v, {{0, 0, 0}, {1, 1, 0}, {1, 0, 1}, {0, 1, 1}}, 1);
    EXPECT_EQ(extract(v, 0, 0, 0), (Runs{{0, 0, 0, 0}}));
}

TEST(RunLength, DocumentedOrders) {
    {
        // The rightmost stretch of the row below is taken first.
        Volume v(3, 2, 1);
        v.assign({1, 1, 1, 1, 0, 1});
        EXPECT_EQ(extract(v, 0, 0, 0), (Runs{{0, 0, 0, 2}, {1, 0, 2, 2}, {1, 0, 0, 0}}));
    }
    {
        Volume v(3, 3, 1);
        v.assign({0, 1, 0, 1, 1, 1, 0, 1, 0});
        EXPECT_EQ(extract(v, 1, 0, 0), (Runs{{0, 0, 1, 1}, {1, 0, 0, 2}, {2, 0, 1, 1}}));
    }
    {
        // (1, 1, 0) is reached twice; the second time it is already painted.
        Volume v(2, 2, 2);
        v.assign(std::vector<std::uint8_t>(8, 1));
        EXPECT_EQ(extract(v, 0, 0, 0),
                  (Runs{{0, 0, 0, 1}, {0, 1, 0, 1}, {1, 1, 0, 1}, {1, 0, 0, 1}}));
    }
}

TEST(RunLength, SeedWithoutTheValueGivesAnEmptyRecord) {
    Volume v(4, 3, 2);
    v.assign(std::vector<std::uint8_t>(24, 3));
    v.get()[1][1][1] = 1;
    const auto before = v.voxels();
    RunLength3D* record = GetRunLength3D(v, 2, 1, 1, 1, 9);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->count, 0);
    expect_exact_size(record);
    std::free(record);
    record = GetRunLength3D(v, 2, 1, 1, 259, 9);  // no voxel can hold 259
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->count, 0);
    std::free(record);
    EXPECT_EQ(v.voxels(), before);
}

TEST(RunLength, RefusesWhatItCannotDo) {
    Volume v(4, 3, 2);
    v.assign(std::vector<std::uint8_t>(24, 1));
    const auto before = v.voxels();
    EXPECT_EQ(GetRunLength3D(v, 0, 0, 0, 1, 257), nullptr);  // paint would still match
    EXPECT_EQ(GetRunLength3D(v, 4, 0, 0, 1, 9), nullptr);
    EXPECT_EQ(GetRunLength3D(v, 0, -1, 0, 1, 9), nullptr);
    EXPECT_EQ(GetRunLength3D(v, 0, 0, 2, 1, 9), nullptr);
    EXPECT_EQ(v.voxels(), before);
}

// A comb: one full row in slice 0, and from every other column a column of
// voxels rising through the slices, so the record needs many runs and the
// stack holds many points at once.
TEST(RunLength, LargeObjectsMatchTheStepByStepFill) {
    const img3d::test::Grid e{301, 40, 2};
    Volume v(e.width, e.height, e.depth);
    for (int x = 0; x < e.width; ++x) v.get()[0][0][x] = 1;
    for (int x = 0; x < e.width; x += 2)
        for (int y = 1; y < e.height; ++y) v.get()[0][y][x] = v.get()[1][y][x] = 1;
    auto copy = v.voxels();
    const Runs expected = img3d::test::scanline_fill(copy, e, 150, 0, 0, 1, 9);
    ASSERT_GT(expected.size(), 10000u);
    EXPECT_EQ(extract(v, 150, 0, 0), expected);
    EXPECT_EQ(v.voxels(), copy);
}

}  // namespace

namespace {

// The segmented stack against a std::vector: bursts of pushes of every size
// (each announced by make_room, as the fill does) and pops.  The first round
// is scripted: a small burst makes the second segment, which later has to
// take a larger one.
TEST(PointStack, BehavesAsOneLastInFirstOutStack) {
    std::mt19937 rng(3);
    img3d::detail::PointStack stack;
    const std::size_t first = img3d::detail::kInitialPoints;
    const std::vector<long> script = {10, static_cast<long>(first), -static_cast<long>(first),
                                      static_cast<long>(first) * 5, -100000};
    for (int round = 0; round < 4; ++round) {
        std::vector<img3d::detail::StackPoint> model;
        stack.clear();
        for (long step : round == 0 ? script : std::vector<long>{}) {
            if (step > 0) {
                ASSERT_TRUE(stack.make_room(static_cast<std::size_t>(step)));
                for (long i = 0; i < step; ++i) {
                    stack.top[stack.size++] = {static_cast<std::int16_t>(i), 0, 0};
                    model.push_back({static_cast<std::int16_t>(i), 0, 0});
                }
            } else {
                for (long i = 0; i < -step && !(stack.size == 0 && !stack.drop_segment()); ++i) {
                    EXPECT_EQ(stack.top[--stack.size].x, model.back().x);
                    model.pop_back();
                }
            }
        }
        ASSERT_TRUE(model.empty());
        if (round == 0) continue;
        for (int step = 0; step < 3000; ++step) {
            if (rng() % 3 != 0) {
                const std::size_t burst = rng() % 8 == 0 ? rng() % 3000 : rng() % 20;
                ASSERT_TRUE(stack.make_room(burst));
                ASSERT_GE(stack.room - stack.size, burst);
                const std::size_t pushed = burst == 0 ? 0 : rng() % (burst + 1);
                for (std::size_t i = 0; i < pushed; ++i) {
                    const auto p = img3d::detail::StackPoint{
                        static_cast<std::int16_t>(rng() % 30000), static_cast<std::int16_t>(step),
                        static_cast<std::int16_t>(round)};
                    stack.top[stack.size++] = p;
                    model.push_back(p);
                }
            } else {
                for (std::size_t pops = rng() % 6 == 0 ? rng() % 6000 : rng() % 400; pops > 0;
                     --pops) {
                    if (stack.size == 0 && !stack.drop_segment()) {
                        ASSERT_TRUE(model.empty());
                        break;
                    }
                    ASSERT_FALSE(model.empty());
                    const auto p = stack.top[--stack.size];
                    EXPECT_TRUE(p.x == model.back().x && p.y == model.back().y &&
                                p.z == model.back().z);
                    model.pop_back();
                }
            }
        }
        while (!(stack.size == 0 && !stack.drop_segment())) {
            ASSERT_FALSE(model.empty());
            EXPECT_EQ(stack.top[--stack.size].x, model.back().x);
            model.pop_back();
        }
        EXPECT_TRUE(model.empty());
    }
}

}  // namespace
