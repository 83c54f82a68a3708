#include "format/inverse_filters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "format/filters.h"
#include "engine/engine.h"

namespace qev {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The inverse text transform of a block, with a work buffer of exactly
// len + 3 bytes so that a sanitizer build catches any overrun.
Bytes undo_text(Bytes block) {
    const auto len = static_cast<std::uint32_t>(block.size());
    Bytes work(len + 3);
    undo_text_transform(block.data(), len, work.data());  // reads past len would be caught too
    return block;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(InverseFiltersText, CodesEscapesAndPlainBytes) {
    EXPECT_EQ(undo_text({129, 116, 124, 32, 32, 32, 32}), text("thethe "));
    // A doubled code byte is that byte; 255 and bytes below 123 stand alone.
    EXPECT_EQ(undo_text({123, 123, 254, 254, 255, 'a', 248, ' ', ' ', ' ', ' '}),
              (Bytes{123, 254, 255, 'a', 'c', 'o', 'n', ' ', ' ', ' ', ' '}));
}

TEST(InverseFiltersText, FragmentAtTheEndIsCut) {
    EXPECT_EQ(undo_text({' ', 129}), text(" t"));
    EXPECT_EQ(undo_text({'x', 'y', 159}), text("xyi"));
}

TEST(InverseFiltersText, DamagedBlocksStayInBounds) {
    // Every byte a code: the output fills up long before the input ends.
    Bytes codes(1000);
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint8_t>(129 + i % 2);
    const Bytes out = undo_text(codes);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 8), "therethe");
    // A code in the last byte has no partner inside the block: a fragment.
    EXPECT_EQ(undo_text({'a', 200}), text("am"));
    std::mt19937 rng(5);
    for (int round = 0; round < 500; ++round) {
        Bytes block(1 + rng() % 64);
        for (auto& b : block) b = static_cast<std::uint8_t>(rng());
        EXPECT_EQ(undo_text(block).size(), block.size());
    }
}

TEST(InverseFiltersBranch, RestoresOperandsAndLeavesOthers) {
    struct Case {
        std::uint32_t at;
        std::int32_t stored;
        std::int32_t restored;
    };
    // Inverses of the forward cases, then values the forward mapping never
    // produces from a changed operand: len or more, and a negative operand
    // whose sum with its offset stays negative.
    const Case cases[] = {{0, 17, 16}, {10, 6, -5}, {10, -5, 995}, {10, 1000, 1000}, {10, -12, -12}, {996, 7, 7}};
    for (const Case& c : cases) {
        Bytes block(1000 + 4, 0);  // an operand at 997 ends past the block
        block[c.at] = 0xE8;
        std::memcpy(block.data() + c.at + 1, &c.stored, 4);
        branch_transform(block.data(), 1000, BranchDirection::Inverse);
        std::int32_t v;
        std::memcpy(&v, block.data() + c.at + 1, 4);
        EXPECT_EQ(v, c.restored) << "stored " << c.stored << " at " << c.at;
    }
    Bytes small{0xE8, 0, 0, 0};
    branch_transform(small.data(), 4, BranchDirection::Inverse);
    EXPECT_EQ(small, (Bytes{0xE8, 0, 0, 0}));
}

TEST(InverseFiltersDelta, StereoAndThreeByteSamples) {
    Bytes stereo{0x10, 0x00, 0x20, 0x00, 0x20, 0x00, 0x30, 0x00, 0, 0, 0};
    undo_delta_filter(stereo.data(), 8, 2, 2);
    EXPECT_EQ(stereo, (Bytes{0x10, 0x00, 0x20, 0x00, 0x30, 0x00, 0x50, 0x00, 0, 0, 0}));

    Bytes three{5, 6, 7, 4, 10, 11, 11, 30, 40};
    undo_delta_filter(three.data(), 9, 1, 3);
    EXPECT_EQ(three, (Bytes{5, 6, 7, 9, 10, 11, 20, 30, 40}));

    // Every call starts the running values at 0.
    Bytes twice{1, 1, 1, 1, 1, 1, 0, 0, 0};
    undo_delta_filter(twice.data(), 3, 1, 1);
    undo_delta_filter(twice.data() + 3, 3, 1, 1);
    EXPECT_EQ(twice, (Bytes{1, 2, 3, 1, 2, 3, 0, 0, 0}));

    const Bytes plain{1, 2, 3, 4, 0, 0, 0};
    for (auto [channels, width] : {std::pair{0u, 1u}, {33u, 2u}, {1u, 0u}, {1u, 7u}}) {
        Bytes b = plain;
        undo_delta_filter(b.data(), 4, channels, width);
        EXPECT_EQ(b, plain);
    }
}

}  // namespace
}  // namespace qev
