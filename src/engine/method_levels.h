// The method levels -m0 .. -m9, ring sizes -b1 .. -b8 and match table sizes
// -h1 .. -h6, and the search settings they make: the one table every part
// of the program (and every benchmark, fuzzer and test) takes them from.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace qev {

struct MethodLevel {
    std::uint32_t search_depth;  // entries per match-table bucket
    bool lazy_matching;
    std::int32_t level;  // the table is cut into 2^(hash_bits - level) buckets
};

constexpr int METHOD_LEVEL_COUNT = 10;
constexpr MethodLevel METHOD_LEVELS[METHOD_LEVEL_COUNT] = {
    {1, false, 0}, {1, true, 0}, {2, false, 1}, {2, true, 1}, {4, false, 2},
    {4, true, 2},  {8, false, 3}, {8, true, 3},  {16, false, 4}, {16, true, 4},
};
constexpr int DEFAULT_METHOD = 2;

// -bN: a history ring of 2^(22+N) bytes, N = 1..8 (default 2: 16 MiB).
constexpr int MIN_RING_SWITCH = 1;
constexpr int MAX_RING_SWITCH = 8;
constexpr int DEFAULT_RING_SWITCH = 2;
constexpr std::uint32_t ring_size_of_switch(int n) { return 1u << (22 + n); }

// -hN: a match table of 2^(22+N) four-byte entries, N = 1..6 (default 4).
constexpr int MIN_HASH_SWITCH = 1;
constexpr int MAX_HASH_SWITCH = 6;
constexpr int DEFAULT_HASH_SWITCH = 4;
constexpr std::uint32_t hash_bits_of_switch(int n) { return static_cast<std::uint32_t>(22 + n); }

// 2^(hash_bits - level) - 1: the mask that picks a bucket.
std::uint32_t compute_hash_mask(std::uint32_t hash_bits, std::int32_t level);

// The search settings of -m<method> -b<ring_switch> -h<hash_switch>.
SearchSettings search_settings(int method, int ring_switch = DEFAULT_RING_SWITCH,
                               int hash_switch = DEFAULT_HASH_SWITCH);

}  // namespace qev
