#include "format/filters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "format/inverse_filters.h"

namespace qev {
namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const PROSE =
    "it was the best of times, it was the worst of times, it was the age of wisdom, it was the age of "
    "foolishness, it was the epoch of belief, it was the epoch of incredulity, it was the season of light. ";

// English-like text of n bytes, optionally starting with a given prefix.
Bytes text_block(std::size_t n, const std::string& prefix = "") {
    Bytes b(prefix.begin(), prefix.end());
    while (b.size() < n) b.push_back(static_cast<std::uint8_t>(PROSE[b.size() % std::strlen(PROSE)]));
    b.resize(n);
    return b;
}

// Forward then inverse text transform; true when the block was transformed.
bool text_round_trip(const Bytes& original) {
    Bytes block = original;
    Bytes work(BLOCK_SIZE + 3);
    const bool transformed = text_transform(block.data(), static_cast<std::uint32_t>(block.size()), work.data());
    if (transformed) undo_text_transform(block.data(), static_cast<std::uint32_t>(block.size()), work.data());
    EXPECT_EQ(block, original);
    return transformed;
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FiltersFragments, ListAndTrie) {
    EXPECT_STREQ(fragment_text(0), "");
    EXPECT_STREQ(fragment_text(1), "th");
    EXPECT_STREQ(fragment_text(7), "the");
    EXPECT_STREQ(fragment_text(92), "uo");
    EXPECT_STREQ(fragment_text(130), "her");
    EXPECT_STREQ(fragment_text(132), "fi");
    const FragmentTrie& trie = fragment_trie();
    EXPECT_EQ(trie.node_count, 154);  // the root and 153 letter nodes
    const int t = trie.nodes[0].child['t' - 'a'];
    const int th = trie.nodes[t].child['h' - 'a'];
    EXPECT_EQ(trie.nodes[t].code, 0);
    EXPECT_EQ(trie.nodes[th].code, 123);
    EXPECT_EQ(trie.nodes[trie.nodes[th].child['e' - 'a']].code, 129);
    EXPECT_EQ(trie.fragment_of_code[123], 1);
    EXPECT_EQ(trie.fragment_of_code[254], 132);
    EXPECT_EQ(trie.fragment_of_code[255], 0);
    EXPECT_EQ(trie.fragment_of_code['t'], 0);
}

TEST(FiltersText, RepeatedFragmentKeepsItsFirstLetter) {
    Bytes block = text_block(600, "thethe ");
    Bytes work(BLOCK_SIZE);
    ASSERT_TRUE(text_transform(block.data(), 600, work.data()));
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), (Bytes{129, 116, 124, 32}));
    EXPECT_EQ(block.back(), 0x20);  // padded with spaces
}

TEST(FiltersText, SizeLimits) {
    Bytes work(BLOCK_SIZE);
    Bytes short_block = text_block(511);
    const Bytes short_copy = short_block;
    EXPECT_FALSE(text_transform(short_block.data(), 511, work.data()));
    EXPECT_EQ(short_block, short_copy);

    Bytes just_enough = text_block(512);
    EXPECT_TRUE(text_transform(just_enough.data(), 512, work.data()));

    // Every byte doubled: far above 95% of n, so the block stays as it was.
    Bytes codes(1000);
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint8_t>(123 + i % 132);
    const Bytes codes_copy = codes;
    EXPECT_FALSE(text_transform(codes.data(), 1000, work.data()));
    EXPECT_EQ(codes, codes_copy);
}

TEST(FiltersText, EscapesTheCodeRangeOnly) {
    Bytes block = text_block(800, std::string("{|}~\x7F\xFE\xFF") + "x");
    Bytes work(BLOCK_SIZE);
    ASSERT_TRUE(text_transform(block.data(), 800, work.data()));
    const Bytes expected{123, 123, 124, 124, 125, 125, 126, 126, 127, 127, 254, 254, 255, 'x'};
    EXPECT_EQ(Bytes(block.begin(), block.begin() + expected.size()), expected);

    // A fragment is not coded when the byte after it equals its code: "th"
    // followed by '{' (123, the code of "th") keeps its letters.
    Bytes clash = text_block(800, "th{");
    ASSERT_TRUE(text_transform(clash.data(), 800, work.data()));
    EXPECT_EQ(Bytes(clash.begin(), clash.begin() + 4), (Bytes{'t', 'h', 123, 123}));
}

TEST(FiltersText, LastBytesAreNeverFragments) {
    // The block ends in "the": the loop stops at n - 5, the tail is literal.
    Bytes block = text_block(700);
    std::memcpy(block.data() + 700 - 3, "the", 3);
    Bytes work(BLOCK_SIZE);
    ASSERT_TRUE(text_transform(block.data(), 700, work.data()));
    const std::string out(block.begin(), block.end());
    const std::size_t end = out.find_last_not_of(' ');
    EXPECT_EQ(out.substr(end - 2, 3), "the");
}

TEST(FiltersText, RoundTripsCorpusTexts) {
    for (const char* name : {"alice29.txt", "asyoulik.txt", "lcet10.txt", "plrabn12.txt", "html", "urls.10K"}) {
        Bytes data = read_file(std::string(QEV_CORPUS_DIR) + "/" + name);
        ASSERT_FALSE(data.empty()) << name;
        if (data.size() > BLOCK_SIZE) data.resize(BLOCK_SIZE);
        EXPECT_TRUE(text_round_trip(data)) << name;
    }
}

TEST(FiltersText, RoundTripsAdversarialBlocks) {
    // Letters that form fragments mixed with code bytes, 255 and spaces, so
    // that codes meet equal bytes, repeated codes and escaped pairs.
    const std::string alphabet = "ththeeiongquoter ";
    std::mt19937 rng(7);
    int transformed = 0;
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 512 + rng() % 3000;
        Bytes block(n);
        const unsigned code_share = 1 + round % 12;  // in 1/200 of the bytes
        for (auto& b : block) {
            const unsigned r = rng() % 200;
            b = r < code_share ? static_cast<std::uint8_t>(123 + rng() % 133)
                               : static_cast<std::uint8_t>(alphabet[rng() % alphabet.size()]);
        }
        transformed += text_round_trip(block);
    }
    EXPECT_GT(transformed, 100);
}

TEST(FiltersBranch, ForwardCasesAndInverse) {
    struct Case {
        std::uint32_t at;
        std::uint8_t opcode;
        std::int32_t operand;
        std::int32_t expected;
    };
    const Case cases[] = {{0, 0xE8, 16, 17}, {10, 0xE8, -5, 6}, {10, 0xE8, 995, -5}, {996, 0xE9, 100, 100},
                          {10, 0xE8, 1000, 1000}, {10, 0xE8, -12, -12}};
    for (const Case& c : cases) {
        Bytes block(1000 + 4, 0);  // an operand at 997 ends past the block
        block[c.at] = c.opcode;
        std::memcpy(block.data() + c.at + 1, &c.operand, 4);
        const Bytes original = block;
        branch_transform(block.data(), 1000, BranchDirection::Forward);
        std::int32_t v;
        std::memcpy(&v, block.data() + c.at + 1, 4);
        EXPECT_EQ(v, c.expected) << "operand " << c.operand << " at " << c.at;
        branch_transform(block.data(), 1000, BranchDirection::Inverse);
        EXPECT_EQ(block, original);
    }
}

TEST(FiltersBranch, RandomRoundTrips) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        const std::uint32_t n = 1 + rng() % 5000;
        Bytes block(n);
        for (auto& b : block) b = static_cast<std::uint8_t>(rng());
        // Calls and jumps with operands around the block's range, often
        // overlapping each other.
        for (std::uint32_t k = 0; k < n / 8; ++k) {
            const std::uint32_t at = rng() % n;
            block[at] = rng() % 2 ? 0xE8 : 0xE9;
            const std::int32_t operand = static_cast<std::int32_t>(rng() % (4 * n + 4)) - static_cast<std::int32_t>(2 * n);
            if (at + 5 <= n) std::memcpy(block.data() + at + 1, &operand, 4);
        }
        const Bytes original = block;
        branch_transform(block.data(), n, BranchDirection::Forward);
        if (n > 100) {
            EXPECT_NE(block, original);
        }
        branch_transform(block.data(), n, BranchDirection::Inverse);
        ASSERT_EQ(block, original) << "n " << n;
    }
}

TEST(FiltersDelta, StereoSixteenBitExample) {
    Bytes block{0x10, 0x00, 0x20, 0x00, 0x30, 0x00, 0x50, 0x00, 0, 0, 0};
    delta_filter(block.data(), 8, 2, 2);
    EXPECT_EQ(block, (Bytes{0x10, 0x00, 0x20, 0x00, 0x20, 0x00, 0x30, 0x00, 0, 0, 0}));
}

TEST(FiltersDelta, WidthsAndGuards) {
    // 16-bit differences borrow across the byte boundary.
    Bytes wide{0x00, 0x01, 0xFF, 0x00, 0, 0, 0};
    delta_filter(wide.data(), 4, 1, 2);
    EXPECT_EQ(wide, (Bytes{0x00, 0x01, 0xFF, 0xFF, 0, 0, 0}));
    // Three-byte samples: only the first byte of each changes.
    Bytes three{5, 6, 7, 9, 10, 11, 20, 30, 40};
    delta_filter(three.data(), 9, 1, 3);
    EXPECT_EQ(three, (Bytes{5, 6, 7, 4, 10, 11, 11, 30, 40}));
    // Settings no valid header gives leave the block as it is.
    const Bytes plain{1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0};
    for (auto [channels, width] : {std::pair{0u, 1u}, {33u, 1u}, {2u, 0u}, {2u, 5u}}) {
        Bytes b = plain;
        delta_filter(b.data(), 8, channels, width);
        EXPECT_EQ(b, plain) << channels << " channels, width " << width;
    }
}

TEST(FiltersDelta, RoundTripsEveryWidthAndChannelCount) {
    std::mt19937 rng(3);
    for (std::uint32_t width = 1; width <= 4; ++width) {
        for (std::uint32_t channels = 1; channels <= 32; ++channels) {
            const std::uint32_t n = width * channels * 7 + 1 + rng() % (width * 3);
            Bytes block(n + 3);
            for (auto& b : block) b = static_cast<std::uint8_t>(rng());
            const Bytes original = block;
            delta_filter(block.data(), n, channels, width);
            EXPECT_NE(Bytes(block.begin(), block.begin() + n), Bytes(original.begin(), original.begin() + n));
            undo_delta_filter(block.data(), n, channels, width);
            // Inside the block every byte comes back; a last partial sample
            // may leave its bytes past n changed.
            ASSERT_EQ(Bytes(block.begin(), block.begin() + n), Bytes(original.begin(), original.begin() + n))
                << "width " << width << " channels " << channels;
        }
    }
}

TEST(FiltersEntropy, Scores) {
    EntropyMeter meter;
    Bytes all(512);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
    meter.measure(all.data(), 512);
    EXPECT_EQ(meter.score(), 800);

    Bytes four(512);
    for (std::size_t i = 0; i < four.size(); ++i) four[i] = static_cast<std::uint8_t>(i % 4 * 60);
    meter.measure(four.data(), 512);
    EXPECT_EQ(meter.score(), 200);

    const Bytes tiny(100, 9);
    meter.measure(tiny.data(), 100);
    EXPECT_EQ(meter.score(), 200);  // too short: the previous score stays

    const Bytes same(1000, 42);
    meter.measure(same.data(), 1000);
    EXPECT_EQ(meter.score(), 0);

    // Only the first 2 MiB count: a constant first half scores 0.
    Bytes big(BLOCK_SIZE, 0);
    for (std::size_t i = 2097152; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
    meter.measure(all.data(), 512);
    meter.measure(big.data(), BLOCK_SIZE);
    EXPECT_EQ(meter.score(), 0);
}

}  // namespace
}  // namespace qev
