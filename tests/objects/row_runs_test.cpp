#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "objects/row_scan.h"

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

}  // namespace
