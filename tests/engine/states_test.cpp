#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "engine/engine.h"
#include "test_util.h"

namespace qev {

TEST(StateTable, TellingRows) {
    const StateTable& t = state_table();
    struct Row {
        int i, next0, next1;
    } rows[] = {{0, 0, 256},       {7, 7, 262},       {8, 7, 263},       {256, 224, 480},
                {257, 236, 406},   {1024, 996, 1052}, {1031, 1003, 1059}, {1032, 1000, 1063},
                {2040, 1785, 2041}, {2041, 1786, 2041}, {2047, 1792, 2047}};
    for (const Row& r : rows) {
        EXPECT_EQ(t.next[r.i][0], r.next0) << r.i;
        EXPECT_EQ(t.next[r.i][1], r.next1) << r.i;
    }
    for (int i = 0; i <= 7; ++i) EXPECT_EQ(t.next[i][0], i);
    for (int i = 2041; i <= 2047; ++i) EXPECT_EQ(t.next[i][1], i);
}

TEST(StateTable, ReachableStatesFrom1024Stay7To2041) {
    const StateTable& t = state_table();
    std::set<int> seen{1024};
    std::vector<int> todo{1024};
    while (!todo.empty()) {
        const int s = todo.back();
        todo.pop_back();
        for (int bit = 0; bit < 2; ++bit) {
            if (seen.insert(t.next[s][bit]).second) todo.push_back(t.next[s][bit]);
        }
    }
    EXPECT_EQ(seen.size(), 1905u);
    EXPECT_EQ(*seen.begin(), 7);
    EXPECT_EQ(*seen.rbegin(), 2041);
}

TEST(SizeEstimator, CountsOnlyWhenRangeDrops) {
    auto est = std::make_unique<SizeEstimator>();
    const std::vector<std::uint8_t> one{42};
    EXPECT_EQ(est->estimate(one.data(), 0), 0u);
    EXPECT_EQ(est->estimate(one.data(), 1), 0u);
    // Random bytes cost about one count per byte; a constant run far less.
    const auto noise = test::random_bytes(100000, 7);
    const std::uint32_t noisy = est->estimate(noise.data(), noise.size());
    EXPECT_GT(noisy, 90000u);
    EXPECT_LT(noisy, 110000u);
    const std::vector<std::uint8_t> run(100000, 'a');
    EXPECT_LT(est->estimate(run.data(), run.size()), 1000u);
}

TEST(SizeEstimator, FirstByteOneStepsItsCells) {
    // Byte 0x80 after context 0: the first bit is a 1 at node 1, then seven
    // 0 bits. Each count stands for the range falling below 0x10000.
    SizeEstimator est;
    est.prepare();
    est.estimate_byte(0x80, 0);
    EXPECT_EQ(est.count(), 0u);  // 8 bits near one half shrink 2^24 by about 2^8
    for (int i = 0; i < 20; ++i) est.estimate_byte(0x80, 0);
    EXPECT_GT(est.count(), 0u);
}

}  // namespace qev
