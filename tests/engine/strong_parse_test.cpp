// The strong parse (-u): its streams decode with the plain decoder, no match
// it emits fails the check against the ring, and it codes smaller than the
// deepest normal parse.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "engine/engine.h"
#include "test_util.h"

namespace qev {
namespace {

using Bytes = std::vector<std::uint8_t>;

SearchSettings settings(std::uint32_t ring_size, bool strong) {
    SearchSettings s;
    s.ring_size = ring_size;
    s.hash_bits = 23;
    s.hash_mask = (1u << 19) - 1;
    s.search_depth = 16;
    s.lazy_matching = true;
    s.strong = strong;
    return s;
}

// Byte runs, records repeating with short periods, stretches of noise and
// repeats of them far apart: the shapes that the tree, the periodic sources
// and the ring's limits each meet.
Bytes shapes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < size) {
        switch (rng() % 5) {
            case 0:
                b.insert(b.end(), 1 + rng() % 5000, static_cast<std::uint8_t>(rng() % 3 == 0 ? 0 : rng()));
                break;
            case 1: {
                const std::size_t period = 2 + rng() % 150;
                Bytes record = test::random_bytes(period, rng());
                for (std::size_t n = rng() % 40000; n > 0; --n) b.push_back(record[n % period]);
                break;
            }
            case 2: {
                const Bytes noise = test::random_bytes(1 + rng() % 3000, rng());
                b.insert(b.end(), noise.begin(), noise.end());
                break;
            }
            default:
                if (b.size() > 100) {
                    const std::size_t from = rng() % (b.size() - 50);
                    const std::size_t n = std::min<std::size_t>(8 + rng() % 20000, b.size() - from);
                    for (std::size_t i = 0; i < n; ++i) b.push_back(b[from + i]);
                }
                break;
        }
    }
    b.resize(size);
    return b;
}

struct Stream {
    Bytes data;
    StreamSettings settings;
    bool raw = false;
};

// Codes the streams with one encoder (solid: one reset for all), decodes them
// with a plain decoder and compares; returns the coded bytes.
std::size_t round_trip(const std::vector<Stream>& streams, const SearchSettings& search, bool solid,
                       std::uint32_t block_len) {
    auto enc = std::make_unique<BlockEncoder>(search);
    auto dec = std::make_unique<BlockDecoder>();
    Bytes buf(block_len + BLOCK_SLACK, 0);
    Bytes out(block_len + BLOCK_SLACK, 0);
    std::vector<Bytes> coded;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (!solid || i == 0) {
            EXPECT_TRUE(enc->reset_all());
        }
        test::MemorySink sink;
        enc->begin_stream(&sink, streams[i].settings);
        const Bytes& d = streams[i].data;
        for (std::size_t done = 0; done < d.size(); done += block_len) {
            const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(block_len, d.size() - done));
            std::copy(d.begin() + done, d.begin() + done + n, buf.begin());
            enc->encode_block(buf.data(), n, false, streams[i].raw);
        }
        enc->finish_stream();
        coded.push_back(sink.bytes);
    }
    EXPECT_EQ(enc->token_faults(), 0u);
    std::size_t total = 0;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (!solid || i == 0) {
            EXPECT_TRUE(dec->reset_all(search.ring_size));
        }
        test::MemorySource source(coded[i]);
        dec->begin_stream(&source, streams[i].settings, coded[i].size());
        const Bytes& d = streams[i].data;
        for (std::size_t done = 0; done < d.size(); done += block_len) {
            const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(block_len, d.size() - done));
            bool text_flag = false, raw_flag = false;
            EXPECT_EQ(dec->decode_block(out.data(), n, text_flag, raw_flag), DecodeStatus::Ok);
            EXPECT_EQ(raw_flag, streams[i].raw);
            if (!std::equal(out.begin(), out.begin() + n, d.begin() + done)) {
                ADD_FAILURE() << "stream " << i << " differs in the block at " << done;
                break;
            }
        }
        EXPECT_EQ(dec->consumed(), coded[i].size()) << "stream " << i;
        total += coded[i].size();
    }
    return total;
}

std::vector<Stream> corpus_streams() {
    std::vector<Stream> streams;
    for (const std::string& name : test::corpus_files()) {
        streams.push_back({test::read_file(test::corpus_path(name)), StreamSettings{}, false});
    }
    return streams;
}

}  // namespace

// The corpus and generated shapes, normal and solid, with 8 and 16 MiB
// rings, whole blocks and short ones (a window often ends at a block's end);
// a raw block, a two-lane literal context and streams of 0 to 65 bytes.
TEST(StrongParse, StreamsDecodeWithThePlainDecoder) {
    std::vector<Stream> streams = corpus_streams();
    streams.push_back({shapes(1500000, 1), StreamSettings{}, false});
    streams.push_back({shapes(300000, 2), StreamSettings{}, true});
    StreamSettings lanes;
    lanes.media_mode = true;
    lanes.stride = 2;
    streams.push_back({shapes(200000, 3), lanes, false});
    for (const std::size_t n : {0, 1, 64, 65}) streams.push_back({test::wordy_bytes(n, 4), StreamSettings{}, false});
    for (const std::uint32_t ring : {1u << 23, 1u << 24}) {
        for (const bool solid : {false, true}) {
            SCOPED_TRACE(testing::Message() << "ring " << ring << (solid ? " solid" : ""));
            round_trip(streams, settings(ring, true), solid, BLOCK_SIZE);
            round_trip(streams, settings(ring, true), solid, 70000);
        }
    }
}

// A stream three times the ring: sources near the ring's end, where a match
// must not wrap, and tree entries the ring has overwritten.
TEST(StrongParse, StreamsLongerThanTheRing) {
    Bytes data = shapes(12u << 20, 5);
    const Bytes text = test::wordy_bytes(8u << 20, 6);
    data.insert(data.end(), text.begin(), text.end());
    round_trip({{data, StreamSettings{}, false}}, settings(1u << 23, true), false, BLOCK_SIZE);
}

// What -u is for: smaller than the normal parse at its deepest on text. On
// the shapes, long runs of one byte cost it a few per cent (the tree keeps
// one position of a run), and no more.
TEST(StrongParse, SmallerThanTheDeepestNormalParse) {
    const std::vector<Stream> text = corpus_streams();
    const std::size_t normal = round_trip(text, settings(1u << 23, false), true, BLOCK_SIZE);
    const std::size_t strong = round_trip(text, settings(1u << 23, true), true, BLOCK_SIZE);
    EXPECT_LT(strong, normal * 0.98) << strong << " vs " << normal;
    const std::vector<Stream> generated = {{shapes(2000000, 7), StreamSettings{}, false}};
    EXPECT_LT(round_trip(generated, settings(1u << 23, true), false, BLOCK_SIZE),
              round_trip(generated, settings(1u << 23, false), false, BLOCK_SIZE) * 1.04);
}

// The strong parse's memory: its tree in place of the match table, over at
// most 2^(hash_bits - 1) positions whatever the ring.
TEST(StrongParse, MemoryOfTheMatchFinder) {
    SearchSettings s = settings(1u << 30, true);
    s.hash_bits = 26;
    const std::uint64_t mib = 1u << 20;
    EXPECT_LT(BlockEncoder::search_bytes(s), 384 * mib + 17 * mib);
    s.ring_size = 1u << 23;
    EXPECT_LT(BlockEncoder::search_bytes(s), 96 * mib + 9 * mib);
    s.strong = false;
    EXPECT_EQ(BlockEncoder::search_bytes(s), (256 + 4) * mib);
}

}  // namespace qev
