#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "test_util.h"

namespace qev {
namespace {

SearchSettings small_search(std::uint32_t depth, bool lazy) {
    SearchSettings s;
    s.ring_size = 1u << 23;
    s.hash_bits = 23;
    std::uint32_t level = 0;
    while ((1u << level) < depth) ++level;
    s.hash_mask = (1u << (23 - level)) - 1;
    s.search_depth = depth;
    s.lazy_matching = lazy;
    return s;
}

// A block buffer as the drivers keep it: capacity plus zero slack.
std::vector<std::uint8_t> block_buffer(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> buf(data.size() + BLOCK_SLACK, 0);
    std::copy(data.begin(), data.end(), buf.begin());
    return buf;
}

struct Stream {
    std::vector<std::uint8_t> data;
    StreamSettings settings;
    bool raw = false;
};

// Codes several streams with one encoder (solid when asked, else reset per
// stream), then decodes them with one decoder and compares.
void round_trip(const std::vector<Stream>& streams, const SearchSettings& search, bool solid,
                std::uint32_t block_len = BLOCK_SIZE) {
    auto enc = std::make_unique<BlockEncoder>(search);
    auto dec = std::make_unique<BlockDecoder>();
    std::vector<std::vector<std::uint8_t>> coded;
    std::vector<std::uint8_t> buf(block_len + BLOCK_SLACK, 0);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (!solid || i == 0) {
            ASSERT_TRUE(enc->reset_all());
        }
        test::MemorySink sink;
        enc->begin_stream(&sink, streams[i].settings);
        const auto& d = streams[i].data;
        for (std::size_t done = 0; done < d.size(); done += block_len) {
            const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(block_len, d.size() - done));
            std::copy(d.begin() + done, d.begin() + done + n, buf.begin());
            enc->encode_block(buf.data(), n, i % 2 == 1, streams[i].raw);
        }
        enc->finish_stream();
        coded.push_back(sink.bytes);
    }
    std::vector<std::uint8_t> out(block_len + BLOCK_SLACK, 0);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (!solid || i == 0) {
            ASSERT_TRUE(dec->reset_all(search.ring_size));
        }
        test::MemorySource source(coded[i]);
        dec->begin_stream(&source, streams[i].settings, coded[i].size());
        const auto& d = streams[i].data;
        for (std::size_t done = 0; done < d.size(); done += block_len) {
            const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(block_len, d.size() - done));
            bool text_flag = false, raw_flag = false;
            ASSERT_EQ(dec->decode_block(out.data(), n, text_flag, raw_flag), DecodeStatus::Ok);
            if (!streams[i].settings.media_mode) {
                EXPECT_EQ(text_flag, i % 2 == 1);
            }
            EXPECT_EQ(raw_flag, streams[i].raw);
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + n, d.begin() + done)) << "stream " << i << " at " << done;
        }
        EXPECT_EQ(dec->consumed(), coded[i].size()) << "stream " << i;
    }
}

StreamSettings lz() { return StreamSettings{}; }

StreamSettings channels(std::uint8_t stride, std::uint8_t second, std::uint32_t width = 1) {
    StreamSettings s;
    s.lz_mode = false;
    s.stride = stride;
    s.second_distance = second;
    s.image_width = width;
    return s;
}

}  // namespace

TEST(LiteralCoding, FirstByteWalksTreeCellsSteppedTwice) {
    auto enc = std::make_unique<BlockEncoder>(small_search(2, false));
    ASSERT_TRUE(enc->reset_all());
    test::MemorySink sink;
    enc->begin_stream(&sink, lz());
    const auto buf = block_buffer({0x41});
    enc->encode_block(buf.data(), 1, false, false);
    const StateTable& t = state_table();
    const std::uint16_t* lit = enc->state().models.literal;
    // 0x41 = 0 1 0 0 0 0 0 1: nodes 1, 2, 5, 10, 20, 40, 80, 160.
    const int nodes[8] = {1, 2, 5, 10, 20, 40, 80, 160};
    const int bits[8] = {0, 1, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(lit[nodes[i]], t.next[t.next[1024][bits[i]]][bits[i]]) << "node " << nodes[i];
    }
    EXPECT_EQ(lit[3], 1024);
    EXPECT_EQ(lit[256 + 1], 1024);  // the second context was the same cell block
}

TEST(TokenCoding, OffsetSlots) {
    std::uint32_t slot, rest;
    split_offset(1, slot, rest);
    EXPECT_EQ(slot, 1u);  // slot bits 00000, one offset bit 0
    EXPECT_EQ(rest, 0u);
    split_offset(2, slot, rest);
    EXPECT_EQ(slot, 1u);  // 00000 and 1
    EXPECT_EQ(rest, 1u);
    split_offset(3, slot, rest);
    EXPECT_EQ(slot, 2u);  // 00001 and 00
    EXPECT_EQ(rest, 0u);
    split_offset(6, slot, rest);
    EXPECT_EQ(slot, 2u);
    EXPECT_EQ(rest, 3u);
    split_offset(7, slot, rest);
    EXPECT_EQ(slot, 3u);
    split_offset(1u << 30, slot, rest);
    EXPECT_EQ(slot, 29u + 1);
    EXPECT_LE(slot - 1, 31u);
}

TEST(TokenCoding, EightByteMatchCodesOneZeroFlag) {
    // Random bytes with one 8-byte repeat: exactly one match of length 8.
    auto data = test::random_bytes(400, 5);
    std::copy(data.begin() + 100, data.begin() + 108, data.begin() + 300);
    data[308] = static_cast<std::uint8_t>(data[108] + 1);
    auto enc = std::make_unique<BlockEncoder>(small_search(2, false));
    ASSERT_TRUE(enc->reset_all());
    test::MemorySink sink;
    enc->begin_stream(&sink, lz());
    const auto buf = block_buffer(data);
    enc->encode_block(buf.data(), static_cast<std::uint32_t>(data.size()), false, false);
    const std::uint16_t* len = enc->state().models.length;
    int changed = 0;
    for (std::size_t i = 0; i < LENGTH_CELLS; ++i) {
        if (len[i] != 1024) {
            ++changed;
            EXPECT_EQ(len[i], 996) << i;  // one 0 flag
        }
    }
    EXPECT_EQ(changed, 2);
    // The flag's contexts: source bytes 7,8 and 6,7 of the match.
    EXPECT_EQ(len[data[107] * 256 + data[108]], 996);
    EXPECT_EQ(len[65536 + data[106] * 256 + data[107]], 996);
}


TEST(TokenCoding, OffsetBitsWhoseContextStaysOnOneCell) {
    // The offset bits' context keeps the newest 16 bits of the path, so a run
    // of equal bits longer than that stays on one cell (0 or 0xFFFF), which
    // each bit steps before the next one reads it. Offset value 2^17 - 1 is
    // slot 17 with seventeen 0s; 2^19 - 2 is slot 18 with eighteen 1s.
    auto data = test::random_bytes(600000, 21);
    const std::size_t near = 1000;
    const std::size_t far = 20000;
    std::copy(data.begin() + near, data.begin() + near + 40, data.begin() + near + 131070);
    std::copy(data.begin() + far, data.begin() + far + 40, data.begin() + far + 524285);
    auto enc = std::make_unique<BlockEncoder>(small_search(2, false));
    ASSERT_TRUE(enc->reset_all());
    test::MemorySink sink;
    enc->begin_stream(&sink, lz());
    const auto buf = block_buffer(data);
    enc->encode_block(buf.data(), static_cast<std::uint32_t>(data.size()), false, false);
    ASSERT_NE(enc->state().models.offset_bits[0], PROB_INIT);
    ASSERT_NE(enc->state().models.offset_bits[0xFFFF], PROB_INIT);
    round_trip({{data, lz(), false}}, small_search(2, false), false);
}
TEST(TokenCoding, ChannelOrderForStrideTwo) {
    // Coded with raw literals, a block's later bytes are plain direct bits in
    // coding order; decoding them as one channel shows that order.
    std::vector<std::uint8_t> data(70);
    for (int i = 0; i < 70; ++i) data[i] = static_cast<std::uint8_t>(i);
    auto enc = std::make_unique<BlockEncoder>(small_search(2, false));
    ASSERT_TRUE(enc->reset_all());
    test::MemorySink sink;
    enc->begin_stream(&sink, channels(2, 4));
    const auto buf = block_buffer(data);
    enc->encode_block(buf.data(), 70, false, true);
    enc->finish_stream();
    auto dec = std::make_unique<BlockDecoder>();
    ASSERT_TRUE(dec->reset_all(1u << 23));
    test::MemorySource source(sink.bytes);
    dec->begin_stream(&source, channels(1, 2));
    std::vector<std::uint8_t> out(70 + BLOCK_SLACK);
    bool t, r;
    ASSERT_EQ(dec->decode_block(out.data(), 70, t, r), DecodeStatus::Ok);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(out[i], i);
    const std::uint8_t order[6] = {64, 66, 68, 65, 67, 69};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[64 + i], order[i]);
}

TEST(TokenCoding, ImageRowContext) {
    std::vector<std::uint8_t> x(400);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<std::uint8_t>(i * 7 + 1);
    // Width 100, three bytes a pixel: position 301 looks one row (300 bytes)
    // up; position 300 is not past the row and uses second_distance.
    EXPECT_EQ(channel_context_b(x.data(), 301, 3, 6, 100), x[1] * 512u + 256);
    EXPECT_EQ(channel_context_b(x.data(), 300, 3, 6, 100), x[294] * 512u + 256);
    EXPECT_EQ(channel_context_b(x.data(), 301, 3, 6, 0), x[295] * 512u + 256);
    EXPECT_EQ(channel_context_b(x.data(), 301, 3, 6, 0xFFFFFFFFu), x[295] * 512u + 256);
    EXPECT_EQ(channel_context_b(x.data(), 301, 1, 2, 100), x[299] * 512u + 256);
    EXPECT_EQ(channel_context_b(x.data(), 70, 1, 200, 100), 256u);  // before the block start
}

TEST(MatchFinder, RingPositionZeroIsNeverASource) {
    auto data = test::random_bytes(300, 11);
    std::copy(data.begin() + 64, data.begin() + 96, data.begin() + 200);
    auto enc = std::make_unique<BlockEncoder>(small_search(4, false));
    ASSERT_TRUE(enc->reset_all());
    const auto buf = block_buffer(data);
    enc->insert_positions(buf.data(), 64, 1);  // the copy's source sits at ring position 0
    enc->insert_positions(buf.data(), 65, 135);
    EXPECT_EQ(enc->find_match(buf.data(), 300, 200, 0).length, 0u);
    // One byte later the source is at ring position 1 and is found.
    const auto m = enc->find_match(buf.data(), 300, 201, 0);
    EXPECT_EQ(m.length, 31u);
    EXPECT_EQ(m.source, 1u);
}

TEST(MatchFinder, NewestRingByteIsNotPartOfAMatch) {
    // The ring holds A B ... and the block asks for the bytes again: a source
    // running into the newest ring byte stops one byte short.
    auto data = test::random_bytes(200, 12);
    std::copy(data.begin() + 65, data.begin() + 100, data.begin() + 150);
    auto enc = std::make_unique<BlockEncoder>(small_search(2, false));
    ASSERT_TRUE(enc->reset_all());
    const auto buf = block_buffer(data);
    enc->insert_positions(buf.data(), 64, 1);
    enc->insert_positions(buf.data(), 65, 36);  // ring: data[64..100], newest = data[100]
    const auto m = enc->find_match(buf.data(), 200, 150, 0);
    EXPECT_EQ(m.source, 1u);
    EXPECT_EQ(m.length, 35u);  // data[65..99]; data[100] is the newest byte
    EXPECT_EQ(enc->ring().fill, 37u);
}

TEST(MatchFinder, OneInsertionPerBucketAndCall) {
    // A run of equal bytes hashes every position to one bucket: within one
    // call only the first position enters it.
    std::vector<std::uint8_t> data(200, 'z');
    auto enc = std::make_unique<BlockEncoder>(small_search(4, false));
    ASSERT_TRUE(enc->reset_all());
    const auto buf = block_buffer(data);
    enc->insert_positions(buf.data(), 64, 1);   // ring position 0
    enc->insert_positions(buf.data(), 65, 50);  // ring positions 1..50, one entry: 1
    const auto m = enc->find_match(buf.data(), 200, 120, 0);
    EXPECT_EQ(m.source, 1u);
    EXPECT_EQ(m.length, 49u);  // up to the newest ring byte (position 50), exclusive
}

TEST(MatchFinder, LazyTestAppliesUpTo2048) {
    // R is random; the ring holds copy 1 = R[0 .. L) followed by a different
    // byte, then a separator, then copy 2 = R[1 .. 4000) preceded by a byte
    // other than R[0]. At p (block holds R) the best match is L long from
    // copy 1, while p + 1 matches 3,999 bytes of copy 2.
    for (std::uint32_t L : {2048u, 2049u}) {
        const auto r = test::random_bytes(4000, 21);
        std::vector<std::uint8_t> data(80, 0x55);
        data.insert(data.end(), r.begin(), r.begin() + L);
        data.push_back(static_cast<std::uint8_t>(r[L] ^ 0xFF));
        data.insert(data.end(), 16, 0xAA);
        const std::uint32_t second = static_cast<std::uint32_t>(data.size());
        data.push_back(static_cast<std::uint8_t>(r[0] ^ 0xFF));
        data.insert(data.end(), r.begin() + 1, r.end());
        data.insert(data.end(), 16, 0xBB);
        const std::uint32_t p = static_cast<std::uint32_t>(data.size());
        data.insert(data.end(), r.begin(), r.end());
        const auto buf = block_buffer(data);
        const std::uint32_t len = static_cast<std::uint32_t>(data.size());

        auto enc = std::make_unique<BlockEncoder>(small_search(2, true));
        ASSERT_TRUE(enc->reset_all());
        // Separate calls, as separate tokens would make them: within one call a
        // bucket takes only its first position.
        enc->insert_positions(buf.data(), 64, 1);
        enc->insert_positions(buf.data(), 65, second - 65);
        enc->insert_positions(buf.data(), second, p - second);
        const auto best = enc->find_match(buf.data(), len, p, 0);
        ASSERT_EQ(best.length, L);
        const auto chosen = enc->choose_token(buf.data(), len, p);
        if (L == 2048) {
            EXPECT_EQ(chosen.length, 0u) << "2048 takes the lazy test and gives way";
        } else {
            EXPECT_EQ(chosen.length, L) << "2049 skips the lazy test";
        }
    }
}

TEST(MatchFinder, EqualCandidatesPreferTheNewest) {
    auto seg = test::random_bytes(40, 31);
    std::vector<std::uint8_t> data(64, 1);
    data.insert(data.end(), seg.begin(), seg.end());
    data.push_back(9);
    data.insert(data.end(), seg.begin(), seg.end());
    data.push_back(9);
    const std::uint32_t p = static_cast<std::uint32_t>(data.size());
    data.insert(data.end(), seg.begin(), seg.end());
    data.push_back(7);
    const auto buf = block_buffer(data);
    auto enc = std::make_unique<BlockEncoder>(small_search(4, false));
    ASSERT_TRUE(enc->reset_all());
    // Insert the two copies in separate calls so both enter the bucket.
    enc->insert_positions(buf.data(), 64, 41);
    enc->insert_positions(buf.data(), 105, p - 105);
    const auto m = enc->find_match(buf.data(), static_cast<std::uint32_t>(data.size()), p, 0);
    EXPECT_EQ(m.length, 40u);
    EXPECT_EQ(m.source, 41u);  // the second copy
}

TEST(BlockCoding, ShortBlocksNeverTouchTheRing) {
    for (std::uint32_t n : {1u, 63u, 64u}) {
        auto enc = std::make_unique<BlockEncoder>(small_search(2, false));
        ASSERT_TRUE(enc->reset_all());
        test::MemorySink sink;
        enc->begin_stream(&sink, lz());
        const auto buf = block_buffer(test::random_bytes(n, n));
        enc->encode_block(buf.data(), n, false, false);
        EXPECT_EQ(enc->ring().fill, 0u);
        EXPECT_EQ(enc->ring().pos, 0u);
    }
}

TEST(BlockCoding, SyntheticRoundTrips) {
    std::vector<std::vector<std::uint8_t>> inputs = {
        {},
        test::random_bytes(1, 1),
        test::random_bytes(63, 2),
        test::random_bytes(64, 3),
        test::random_bytes(65, 4),
        std::vector<std::uint8_t>(5000, 'a'),
        test::random_bytes(20000, 5),
        test::wordy_bytes(60000, 6),
    };
    for (std::uint32_t depth : {1u, 2u, 4u, 8u, 16u}) {
        for (bool lazy : {false, true}) {
            for (bool raw : {false, true}) {
                std::vector<Stream> streams;
                for (const auto& d : inputs) streams.push_back({d, lz(), raw});
                round_trip(streams, small_search(depth, lazy), false);
                round_trip(streams, small_search(depth, lazy), true);
            }
        }
    }
    // Channel order with several strides, distances and the row context.
    std::vector<Stream> streams;
    for (std::uint8_t stride : {1, 2, 3, 4, 7, 100, 255}) {
        const std::uint8_t second = static_cast<std::uint8_t>(stride < 128 ? stride * 2 : stride);
        StreamSettings s = channels(stride, second, 37);
        streams.push_back({test::wordy_bytes(9000, stride), s, false});
        streams.push_back({test::random_bytes(3000, stride), s, true});
    }
    round_trip(streams, small_search(2, false), false);
    round_trip(streams, small_search(2, false), true);
}

TEST(BlockCoding, BlocksAcrossBoundariesAndAfterAMatch) {
    // Small blocks force many boundaries, including blocks that begin right
    // after a match and inherit its length contexts (ctx_b >= 65536).
    const auto text = test::wordy_bytes(50000, 8);
    std::vector<Stream> streams = {{text, lz(), false}, {text, lz(), true}};
    StreamSettings wide = lz();
    wide.stride = 200;  // LZ contexts from before the block start read as 0
    streams.push_back({text, wide, false});
    for (std::uint32_t block : {65u, 100u, 1000u, 4096u}) {
        round_trip(streams, small_search(2, false), false, block);
        round_trip(streams, small_search(16, true), true, block);
    }
}

TEST(BlockCoding, CorpusRoundTrips) {
    std::vector<Stream> streams;
    for (const auto& name : test::corpus_files()) {
        auto data = test::read_file(test::corpus_path(name));
        ASSERT_FALSE(data.empty()) << name;
        streams.push_back({data, lz(), false});
    }
    round_trip(streams, small_search(2, false), false);
    round_trip(streams, small_search(16, true), true);
    // Channel order over the same data, as images and audio would be coded.
    for (auto& s : streams) s.settings = channels(3, 6, 50);
    round_trip(streams, small_search(1, false), false);
}

TEST(BlockCoding, DamagedStreamsNeverCrash) {
    const auto text = test::wordy_bytes(30000, 13);
    auto enc = std::make_unique<BlockEncoder>(small_search(2, false));
    ASSERT_TRUE(enc->reset_all());
    test::MemorySink sink;
    enc->begin_stream(&sink, lz());
    auto buf = block_buffer(text);
    enc->encode_block(buf.data(), static_cast<std::uint32_t>(text.size()), false, false);
    enc->finish_stream();

    std::mt19937 rng(77);
    auto dec = std::make_unique<BlockDecoder>();
    std::vector<std::uint8_t> out(text.size() + BLOCK_SLACK);
    int damaged = 0;
    int exhausted = 0;
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<std::uint8_t> bad;
        if (trial % 3 == 0) {
            bad = test::random_bytes(rng() % 2000, rng());
        } else if (trial % 3 == 1) {
            bad = sink.bytes;
            for (int f = 0; f < 4; ++f) bad[1 + rng() % (bad.size() - 1)] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        } else {
            bad.assign(sink.bytes.begin(), sink.bytes.begin() + rng() % sink.bytes.size());
        }
        ASSERT_TRUE(dec->reset_all(1u << 23));
        test::MemorySource source(bad);
        StreamSettings s = lz();
        s.stride = static_cast<std::uint8_t>(1 + trial % 5);
        dec->begin_stream(&source, s, bad.size());
        bool t, r;
        const auto status = dec->decode_block(out.data(), static_cast<std::uint32_t>(text.size()), t, r);
        if (status == DecodeStatus::Damaged) ++damaged;
        if (status == DecodeStatus::Exhausted) ++exhausted;
        if (status == DecodeStatus::Ok) {
            EXPECT_LE(dec->consumed(), bad.size());
        }
    }
    EXPECT_GT(damaged, 0);
    EXPECT_GT(exhausted, 0);
}

}  // namespace qev
