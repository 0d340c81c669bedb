#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "objects/row_scan.h"
#include "objects/set_runs.h"

namespace {

using Runs = std::vector<std::pair<int, int>>;

Runs naive_runs(const std::vector<std::uint8_t>& row, std::uint8_t value) {
    Runs runs;
    for (int x = 0; x < static_cast<int>(row.size()); ++x) {
        if (row[x] != value) continue;
        const int start = x;
        while (x + 1 < static_cast<int>(row.size()) && row[x + 1] == value) ++x;
        runs.emplace_back(start, x);
    }
    return runs;
}

// Rows of every width up to a few 64-voxel steps, from sparse to solid, so
// that stretches start, end and continue across the steps and the tail.
TEST(RowRuns, FindsEveryWholeStretchInOrder) {
    std::mt19937 rng(17);
    for (int width = 1; width <= 200; ++width)
        for (const double density : {0.05, 0.5, 0.9, 1.0}) {
            std::bernoulli_distribution in(density);
            std::vector<std::uint8_t> row(static_cast<std::size_t>(width));
            for (auto& v : row) v = in(rng) ? 7 : static_cast<std::uint8_t>(rng() % 2 ? 6 : 8);
            Runs found;
            img3d::detail::for_each_run(row.data(), width, 7, [&](int s, int e) { found.emplace_back(s, e); });
            ASSERT_EQ(found, naive_runs(row, 7)) << "width " << width << " density " << density;
        }
}

// The count by halves, which the run union-find takes where the processor
// has no population count instruction; on one that has, no other test
// reaches it.
TEST(RowRuns, CountsBitsByHalvesAsOneByOne) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 10000; ++i) {
        const std::uint64_t word = i < 2 ? std::uint64_t{0} - static_cast<std::uint64_t>(i) : rng() & rng();
        unsigned count = 0;
        for (int k = 0; k < 64; ++k) count += static_cast<unsigned>(word >> k & 1);
        ASSERT_EQ(img3d::detail::bit_count<false>(word), count) << word;
    }
}

}  // namespace
