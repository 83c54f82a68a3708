// Block layout, token coding and the parse, in both directions.
//
// A block codes its flags, then its first min(64, len) bytes as modelled
// literals under the contexts the previous item left, then either LZ tokens
// (a match flag, then a literal or an offset and length flags) or every
// further byte in channel order.
#include <algorithm>

#include "engine/engine.h"

// The loops of a block are inlined into encode_block and decode_block, so
// that the coder state they share stays in registers.
#define QEV_HOT_INLINE __attribute__((always_inline)) inline
#define QEV_HOT_LAMBDA __attribute__((always_inline))

namespace qev {

namespace {

// How many positions ahead a match's insertion asks for buckets.
constexpr std::uint32_t INSERT_AHEAD = 16;
// How many positions ahead the parse asks for the bucket of a search.
constexpr std::uint32_t SEARCH_AHEAD = 4;
// Length flags the decoder takes between two checks that its stream has not
// run dry.
constexpr std::ptrdiff_t LENGTH_CHECK_SPAN = 4096;

inline std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t load_u64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Copies n >= 8 bytes between buffers that do not overlap, in 16-byte
// pieces, the last one ending at n: matches are mostly a few dozen bytes
// long, for which a call to the library's copy costs as much as the copy.
inline void copy_match_bytes(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    if (n < 16) {
        std::memcpy(to, from, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
        return;
    }
    for (std::size_t i = 0; i + 16 < n; i += 16) std::memcpy(to + i, from + i, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
}

// p[0] * 256 + p[1].
inline std::uint32_t load_be16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0]) << 8 | p[1]; }

// A modelled literal: eight bits down a 255-node tree, each with the pair of
// cells the two context bases give for the node.
inline void encode_literal(RangeEncoder::Bits& rc, const StateTable& st, std::uint16_t* lit, std::uint32_t ctx_a,
                           std::uint32_t ctx_b, unsigned c) {
    std::uint16_t* pa = lit + ctx_a;
    std::uint16_t* pb = lit + ctx_b;
    unsigned node = 1;
    for (int i = 7; i >= 0; --i) {
        const unsigned bit = (c >> i) & 1u;
        rc.encode_with_pair(bit, pa[node], pb[node]);
        pa[node] = st.next[pa[node]][bit];
        pb[node] = st.next[pb[node]][bit];  // the same cell twice when the contexts coincide
        node = node * 2 + bit;
    }
}

// The decoder's walk down the same tree. The cell of a node's next node
// depends on the bit being decided, so both children of each context (2n
// and 2n + 1, neighbours in memory) are read while the bit is still being
// decided, and the next step starts from values in registers rather than
// from a load that may miss the cache. The bits are close to a coin toss:
// the interval step selects instead of branching.
//
// A child read ahead must not be a cell that the current step writes: with
// the bases ctx_a and ctx_b, node n writes a[n] and b[n], and the children
// of nodes up to 127 are used, so the bases must lie more than 128 cells
// apart. They do wherever a token sets them (apart by 256 or more); only
// the first literals of a stream, with both bases 0, take the plain walk.
inline bool literal_bases_apart(std::uint32_t ctx_a, std::uint32_t ctx_b) {
    return (ctx_a > ctx_b ? ctx_a - ctx_b : ctx_b - ctx_a) > 128;
}

QEV_HOT_INLINE unsigned decode_literal_apart(RangeDecoder::Bits& rc, const StateTable& st, std::uint16_t* pa,
                                             std::uint16_t* pb) {
    std::size_t sa = pa[1];
    std::size_t sb = pb[1];
    std::size_t node = 1;
    // Seven bits with children, written out: the step count is fixed, and
    // the loop's own bookkeeping would cost as much as a third of a step.
#pragma GCC unroll 7
    for (int i = 0; i < 7; ++i) {
        std::size_t next_a = pa[2 * node];  // the children's cells for a 0; 2n + 1 for a 1
        std::size_t next_b = pb[2 * node];
        const std::size_t bit = rc.decode_bit_select(static_cast<std::uint32_t>(sa + sb) * (rc.range >> 12), next_a,
                                                     pa[2 * node + 1], next_b, pb[2 * node + 1]);
        pa[node] = st.next[sa][bit];
        pb[node] = st.next[sb][bit];
        node = node * 2 + bit;
        sa = next_a;
        sb = next_b;
    }
    // The eighth bit has no children to read.
    const std::size_t bit = rc.decode_bit_select(static_cast<std::uint32_t>(sa + sb) * (rc.range >> 12));
    pa[node] = st.next[sa][bit];
    pb[node] = st.next[sb][bit];
    return static_cast<unsigned>(node * 2 + bit - 256);
}

// Any two bases, equal ones included: each cell is read when its node is
// reached, and the second step of a shared cell reads what the first wrote.
inline unsigned decode_literal_plain(RangeDecoder::Bits& rc, const StateTable& st, std::uint16_t* pa,
                                     std::uint16_t* pb) {
    unsigned node = 1;
    do {
        std::uint16_t& ca = pa[node];
        std::uint16_t& cb = pb[node];
        const unsigned bit = rc.decode_with_pair(ca, cb);
        ca = st.next[ca][bit];
        cb = st.next[cb][bit];
        node = node * 2 + bit;
    } while (node < 256);
    return node - 256;
}

// Context bytes that would lie before the block start read as 0.
inline std::uint32_t byte_before(const std::uint8_t* x, std::uint32_t p, std::uint32_t distance) {
    return p >= distance ? x[p - distance] : 0;
}

// Literal contexts of a byte coded in channel order.
inline void channel_contexts(const std::uint8_t* x, std::uint32_t p, const StreamSettings& s, std::uint32_t& ctx_a,
                             std::uint32_t& ctx_b) {
    ctx_a = byte_before(x, p, s.stride) * 512;
    ctx_b = channel_context_b(x, p, s.stride, s.second_distance, s.image_width);
}

inline std::uint32_t next_byte_index(const std::uint8_t* x, std::uint32_t p) { return x[p - 2] + 256u * x[p - 1]; }

}  // namespace

// ---------------------------------------------------------------------------
// Match tokens: an offset, then length flags. Each encoder sits beside its
// decoder, so that the two directions are read side by side. The decoder's
// walks are written for its own bottlenecks (cells read ahead, steps that
// select rather than branch) but visit the same cells in the same order.

namespace {

// The offset's bits, most significant first, walk one binary tree: the five
// bits of slot - 1 under the slot cells, then the slot's remainder bits under
// the offset bit cells, each cell picked by the path so far (its newest 16
// bits). code_bit(cell, i) codes bit i of the field and returns it.
template <class CodeBit>
QEV_HOT_INLINE std::uint32_t walk_offset_field(const StateTable& st, std::uint16_t* cells, int count,
                                               std::uint32_t& path, CodeBit code_bit) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        const unsigned bit = code_bit(cells[path], i);
        step_state(st, cells[path], bit);
        path = (path * 2 + bit) & 0xFFFF;
        value = value * 2 + bit;
    }
    return value;
}

// The bits of a known field go out; a read field's come in.
struct OffsetFieldWriter {
    RangeEncoder::Bits& rc;
    std::uint32_t field;
    QEV_HOT_INLINE unsigned operator()(std::uint16_t cell, int i) const {
        const unsigned bit = (field >> i) & 1u;
        rc.encode_with_state(bit, cell);
        return bit;
    }
};

// The decoder's offset walk. Each cell is picked by the bits decided before
// it, so a plain walk waits for every bit before it can even ask for the
// next cell, which for the offset bit cells (128 KiB) often lies outside the
// first-level cache. This walk reads both children of the current node
// (neighbours in memory) while the current bit is decided. A child that is
// the node itself (paths 0 and 0xFFFF, which a run of sixteen equal bits
// reaches) takes the value just stepped.
struct OffsetWalk {
    RangeDecoder::Bits& rc;
    const StateTable& st;
    std::size_t path;  // the current node
    std::size_t s;     // its cell

    // kids holds the children: the slot cells for the first four slot bits,
    // the offset bit cells after that.
    QEV_HOT_INLINE std::size_t step(std::uint16_t* cells, const std::uint16_t* kids) {
        const std::size_t first = (path * 2) & 0xFFFF;
        std::size_t next_s = kids[first];  // for a 0; first + 1 for a 1
        const std::size_t bit =
            rc.decode_bit_select(static_cast<std::uint32_t>(s) * (rc.range >> 11), next_s, kids[first + 1]);
        cells[path] = st.next[s][bit];
        const std::size_t next = first + bit;
        s = __builtin_expect(next == path, 0) ? cells[next] : next_s;
        path = next;
        return bit;
    }
    // The last bit: no children to read.
    QEV_HOT_INLINE std::size_t decide(std::uint16_t* cells) {
        const std::size_t bit = rc.decode_bit_select(static_cast<std::uint32_t>(s) * (rc.range >> 11));
        cells[path] = st.next[s][bit];
        return bit;
    }
};

// Length flag k is coded under two cells picked by the source bytes r[6 + k],
// r[7 + k] and r[8 + k]: the last two bytes the match has copied and the one
// the flag would copy. The three bytes are kept as a sliding window.
struct LengthWindow {
    std::uint32_t bytes;

    explicit LengthWindow(const std::uint8_t* r) : LengthWindow(r[6], r[7], r[8]) {}
    LengthWindow(std::uint32_t r6, std::uint32_t r7, std::uint32_t r8) : bytes(r6 << 16 | r7 << 8 | r8) {}
    std::uint32_t a() const { return bytes & 0xFFFF; }
    std::uint32_t b() const { return 65536u + (bytes >> 8); }
    // On to flag k + 1, whose newest byte is r[9 + k].
    void slide(std::uint8_t next) { bytes = (bytes << 8 & 0xFFFFFF) | next; }
};

}  // namespace

// An offset value, (pos - source) mod ring size + 1 for a match whose source
// is at ring index source and whose next byte goes to pos.
QEV_HOT_INLINE void BlockEncoder::encode_offset(RangeEncoder::Bits& rc, const StateTable& st, std::uint32_t offset) {
    std::uint32_t n;
    std::uint32_t remainder;
    split_offset(offset, n, remainder);
    std::uint32_t path = 1;
    walk_offset_field(st, state_->models.offset_slot, 5, path, OffsetFieldWriter{rc, n - 1});
    walk_offset_field(st, state_->models.offset_bits, static_cast<int>(n), path, OffsetFieldWriter{rc, remainder});
}

// The source of a match whose next byte goes to pos. A damaged stream may
// give slots 31 and 32, which the encoder never writes; their offsets wrap
// around the ring like any other.
QEV_HOT_INLINE std::uint32_t BlockDecoder::decode_offset(RangeDecoder::Bits& rc, const StateTable& st,
                                                         std::uint32_t pos) {
    std::uint16_t* const slot = state_->models.offset_slot;
    std::uint16_t* const bits = state_->models.offset_bits;
    // The slot's five bits: nodes 1 to 31, whose children from node 16 on
    // are the first offset bit cells.
    OffsetWalk walk{rc, st, 1, slot[1]};
    for (int i = 0; i < 4; ++i) walk.step(slot, slot);
    walk.step(slot, bits);
    const std::uint32_t n = static_cast<std::uint32_t>(walk.path) - 31;  // the path is now 32 + n - 1
    const std::uint64_t slot_base = (std::uint64_t{1} << n) - 2;
    // The source is a random place in megabytes of history, and the length
    // flags start from its bytes: with the last five bits still to come, it
    // lies within 32 bytes, and the lines that hold its first nine bytes are
    // asked for while those bits are decided.
    const std::uint32_t last = n < 5 ? n : 5;
    std::uint32_t remainder = 0;
    for (std::uint32_t i = n - last; i != 0; --i) remainder = remainder * 2 + walk.step(bits, bits);
    const std::uint64_t nearest = (std::uint64_t{remainder} << last) + slot_base;
    const std::uint32_t mask = ring_.mask();
    const std::uint8_t* ring = ring_.data();
    prefetch_line(ring + ((pos - nearest - ((1u << last) - 1)) & mask));
    prefetch_line(ring + ((pos - nearest + MIN_MATCH) & mask));
    for (std::uint32_t i = last - 1; i != 0; --i) remainder = remainder * 2 + walk.step(bits, bits);
    remainder = remainder * 2 + walk.decide(bits);
    return static_cast<std::uint32_t>((pos - (remainder + slot_base)) & mask);
}

// L - 8 flags of 1 and a closing 0. The flags read the source up to r[L]:
// r[0 .. L - 1] are the matched bytes, r[L] is the token's byte after.
QEV_HOT_INLINE void BlockEncoder::encode_length(RangeEncoder::Bits& rc, const StateTable& st,
                                                const std::uint8_t* match, const Token& token) {
    std::uint16_t* cells = state_->models.length;
    const std::uint32_t length = token.length;
    const std::uint32_t extra = length - MIN_MATCH;
    LengthWindow window(match[6], match[7], length > MIN_MATCH ? match[MIN_MATCH] : token.after);
    std::uint32_t k = 0;
    for (;;) {
        const std::uint32_t a = window.a();
        const std::uint32_t b = window.b();
        const unsigned more = k < extra ? 1u : 0u;
        rc.encode_with_pair(more, cells[a], cells[b]);
        step_state(st, cells[a], more);
        step_state(st, cells[b], more);
        if (!more) break;
        ++k;
        window.slide(MIN_MATCH + k < length ? match[MIN_MATCH + k] : token.after);
    }
    state_->ctx_a = window.a();
    state_->ctx_b = window.b();
}

// Copies the match from ring index source to out, which has room bytes left
// in the block: the first 8 bytes, then one per flag of 1. The flags read the
// source up to r[L], which must stay inside the ring, and the bytes must stay
// inside the block; a stream that asks for more, or for a match longer than
// MAX_MATCH (which no encoder writes), is damaged.
//
// The flags of a long match are nearly all 1, so the loop branches on each
// flag and is predicted to go on. Its cells come from source bytes that are
// known ahead, so nothing in it waits on the flag just decoded but the coder
// state; the bytes are copied once the length is known.
//
// Past the end of a stream the coder reads zeros, which decode as an endless
// run of 1 flags: every LENGTH_CHECK_SPAN flags the loop makes sure that the
// stream has not run dry, so that such a run ends within a few thousand
// flags of the stream's end rather than at the block's.
QEV_HOT_INLINE DecodeStatus BlockDecoder::decode_length(RangeDecoder::Bits& rc, const StateTable& st,
                                                        std::uint32_t source, std::uint8_t* out, std::uint32_t room,
                                                        std::uint32_t& length) {
    const std::uint32_t ring_size = ring_.size();
    if (room < MIN_MATCH || ring_size - source <= MIN_MATCH) return DecodeStatus::Damaged;
    const std::uint8_t* r = ring_.data() + source;
    const std::uint32_t ring_room = ring_size - source - MIN_MATCH;  // flags k < ring_room may be read
    const std::uint32_t block_room = room - MIN_MATCH;                // bytes that may still be copied
    // A flag of 1 at k is allowed while k < block_room and k + 1 < ring_room,
    // and no match is longer than MAX_MATCH.
    const std::uint32_t limit = std::min(std::min(block_room, ring_room - 1), MAX_MATCH - MIN_MATCH);
    // Flag k's cells: A(k) in the first half of the length cells, B(k) in
    // the second. B(k + 1) is 65536 + A(k), so the next flag's second cell
    // lies 65536 cells after this flag's first. q points at r[8 + k], the
    // newest byte of A(k).
    std::uint16_t* const cells = state_->models.length;
    const std::uint8_t* q = r + MIN_MATCH;
    const std::uint8_t* const last = q + limit;
    std::uint16_t* ca = cells + load_be16(q - 1);
    std::uint16_t* cb = cells + 65536 + load_be16(q - 2);
    // Flag k, under the cells ca and cb: true for a 1.
    const auto flag = [&]() QEV_HOT_LAMBDA -> bool {
        const std::uint32_t sa = *ca;
        const std::uint32_t sb = *cb;
        const std::uint32_t bound = (sa + sb) * (rc.range >> 12);
        if (rc.code >= bound) {
            rc.code -= bound;
            rc.range -= bound;
            rc.normalise();
            const std::uint16_t na = st.next[sa][0];
            const std::uint16_t nb = st.next[sb][0];
            *ca = na;
            *cb = nb;
            return false;
        }
        rc.range = bound;
        rc.normalise();
        const std::uint16_t na = st.next[sa][1];
        const std::uint16_t nb = st.next[sb][1];
        *ca = na;
        *cb = nb;
        return true;
    };
    const auto advance = [&]() QEV_HOT_LAMBDA {
        ++q;
        cb = ca + 65536;
        ca = cells + load_be16(q - 1);
    };
    bool more;
    for (;;) {
        const std::uint8_t* const stop = last - q > LENGTH_CHECK_SPAN ? q + LENGTH_CHECK_SPAN : last;
        // Two flags a round: the loop's bookkeeping is a good part of a flag.
        while ((more = flag()) && q != stop) {
            advance();
            if (!(more = flag()) || q == stop) break;
            advance();
        }
        if (!more || q == last) break;
        // A 1 at the end of a span: the match goes on, if the stream does.
        if (rc.consumed() > stream_length_) return DecodeStatus::Exhausted;
        advance();
    }
    if (more) {
        // A 1 at the limit: damaged. The bytes before the failing check
        // are copied, as a byte-by-byte copy would have left them.
        const std::uint32_t k = limit;
        std::memcpy(out, r, MIN_MATCH + (k < block_room ? k + 1 : k));
        return DecodeStatus::Damaged;
    }
    const std::uint32_t k = static_cast<std::uint32_t>(q - (r + MIN_MATCH));
    copy_match_bytes(out, r, MIN_MATCH + k);
    state_->ctx_a = static_cast<std::uint32_t>(ca - cells);
    state_->ctx_b = static_cast<std::uint32_t>(cb - cells);
    length = MIN_MATCH + k;
    return DecodeStatus::Ok;
}

// ---------------------------------------------------------------------------
// Encoder

BlockEncoder::BlockEncoder(const SearchSettings& search) : search_(search), state_(new CoderState) {}

BlockEncoder::~BlockEncoder() { delete state_; }

bool BlockEncoder::reset_all() {
    state_->models.reset_carried();
    if (ring_.size() == search_.ring_size) {
        ring_.pos = 0;
        ring_.fill = 0;
    } else if (!ring_.allocate(search_.ring_size)) {
        return false;
    }
    // The strong parse finds its matches in a tree of its own.
    if (search_.strong) return reset_strong();
    return table_.allocate(search_.hash_bits, search_.search_depth);
}

void BlockEncoder::begin_stream(ByteSink* sink, const StreamSettings& settings) {
    settings_ = settings;
    rc_.start(sink);
    state_->begin_stream();
}

void BlockEncoder::finish_stream() { rc_.finish(); }

void BlockEncoder::encode_block(const std::uint8_t* x, std::uint32_t len, bool text_flag, bool raw_flag) {
    if (search_.strong && settings_.lz_mode) {
        strong_block(x, len, text_flag, raw_flag);
        return;
    }
    std::uint32_t count = 0;
    if (settings_.lz_mode) {
        if (!tokens_) tokens_.reset(new Token[max_tokens(BLOCK_SIZE)]);
        count = parse_block(x, len, tokens_.get());
    }
    begin_code(x, len, text_flag, raw_flag);
    code_tokens(tokens_.get(), count);
}

void BlockEncoder::begin_code(const std::uint8_t* x, std::uint32_t len, bool text_flag, bool raw_flag) {
    RangeEncoder::Bits rc = rc_.bits();
    if (!settings_.media_mode) rc.encode_direct_bits(text_flag ? 1 : 0, 1);
    rc.encode_direct_bits(raw_flag ? 1 : 0, 1);

    const StateTable& st = state_table();
    const std::uint32_t head = std::min<std::uint32_t>(len, 64);
    for (std::uint32_t p = 0; p < head; ++p) {
        encode_literal(rc, st, state_->models.literal, state_->ctx_a, state_->ctx_b, x[p]);
    }
    if (len > 64 && !settings_.lz_mode) encode_channels(rc, x, len, raw_flag);
    rc_.bits() = rc;
    code_x_ = x;
    code_raw_ = raw_flag;
    code_pos_ = 64;
}

void BlockEncoder::code_tokens(const Token* tokens, std::uint32_t count) {
    if (count == 0) return;
    RangeEncoder::Bits rc = rc_.bits();
    encode_tokens(rc, code_x_, code_pos_, code_raw_, tokens, count);
    rc_.bits() = rc;
}

QEV_HOT_INLINE void BlockEncoder::encode_channels(RangeEncoder::Bits& rc, const std::uint8_t* x, std::uint32_t len, bool raw) {
    const StateTable& st = state_table();
    std::uint16_t* lit = state_->models.literal;
    std::uint32_t ctx_a = state_->ctx_a;
    std::uint32_t ctx_b = state_->ctx_b;
    for (std::uint32_t c = 0; c < settings_.stride; ++c) {
        for (std::uint32_t p = c + 64; p < len; p += settings_.stride) {
            channel_contexts(x, p, settings_, ctx_a, ctx_b);
            if (raw) {
                rc.encode_direct_bits(x[p], 8);
            } else {
                encode_literal(rc, st, lit, ctx_a, ctx_b, x[p]);
            }
        }
    }
    state_->ctx_a = ctx_a;
    state_->ctx_b = ctx_b;
}

// Enters a position as the newest entry of a bucket of depth entries; the
// oldest drops out. The sizes are constants, so each case is a few vector
// moves.
inline void push_front(std::uint32_t* bucket, std::uint32_t depth, std::uint32_t position) {
    std::uint32_t older[15];
    switch (depth) {
        case 16:
            std::memcpy(older, bucket, 15 * 4);
            std::memcpy(bucket + 1, older, 15 * 4);
            break;
        case 8:
            std::memcpy(older, bucket, 7 * 4);
            std::memcpy(bucket + 1, older, 7 * 4);
            break;
        case 4:
            std::memcpy(older, bucket, 3 * 4);
            std::memcpy(bucket + 1, older, 3 * 4);
            break;
        case 2:
            bucket[1] = bucket[0];
            break;
        default:
            for (std::uint32_t k = depth - 1; k > 0; --k) bucket[k] = bucket[k - 1];
            break;
    }
    bucket[0] = position;
}

// Bucket of the eight bytes at p.
inline std::uint32_t hash_eight(const std::uint8_t* at, std::uint32_t mask) {
    const std::uint32_t a = load_le32(at);
    const std::uint32_t b = load_le32(at + 4);
    std::uint32_t h = ((a * 2979u) ^ (b * 5491u)) >> 9;
    h ^= (a >> 2) ^ (b >> 3);
    return h & mask;
}

BlockEncoder::Match BlockEncoder::find_match(const std::uint8_t* x, std::uint32_t len, std::uint32_t p,
                                             std::uint32_t start_best) {
    Match m;
    m.length = start_best;
    const std::uint32_t fill = ring_.fill;
    if (fill == 0) return m;
    const std::uint8_t* ring = ring_.data();
    const std::uint32_t* bucket = table_.bucket(hash_eight(x + p, search_.hash_mask));
    const std::uint32_t block_room = len - p;
    const std::uint8_t* xp = x + p;
    std::uint32_t best = start_best;
    for (std::uint32_t k = 0; k < search_.search_depth; ++k) {
        const std::uint32_t s = bucket[k];
        if (s == 0) break;
        // Quick reject: a candidate that differs at the current best length
        // cannot be longer.
        if (s + best > fill - 1 || ring[s + best] != xp[best]) continue;
        if (s + 1 >= fill) continue;
        // A match never wraps around the ring's end and never takes in the
        // newest ring byte; past MAX_MATCH the length no longer matters.
        std::uint32_t limit = std::min(block_room, fill - 1 - s);
        limit = std::min(limit, MAX_MATCH + 1);
        const std::uint8_t* rs = ring + s;
        std::uint32_t l = 0;
        while (l + 8 <= limit) {
            const std::uint64_t diff = load_u64(rs + l) ^ load_u64(xp + l);
            if (diff != 0) {
                l += static_cast<std::uint32_t>(__builtin_ctzll(diff)) >> 3;
                goto measured;
            }
            l += 8;
        }
        while (l < limit && rs[l] == xp[l]) ++l;
    measured:
        if (l > best) {
            best = l;
            m.source = s;
            if (best > MAX_MATCH) {
                best = MAX_MATCH;
                break;
            }
        }
    }
    m.length = best;
    return m;
}

std::uint32_t BlockEncoder::score_position(const std::uint8_t* x, std::uint32_t len, std::uint32_t q) {
    if (q >= len) return 16;
    const std::uint32_t best = find_match(x, len, q, 4).length;
    return best * best;  // modulo 2^32: a capped scan scores 0
}

void BlockEncoder::insert_positions(const std::uint8_t* x, std::uint32_t p, std::uint32_t n) {
    std::uint8_t* ring = ring_.data();
    const std::uint32_t depth = search_.search_depth;
    const std::uint32_t mask = search_.hash_mask;
    const std::uint32_t ring_mask = ring_.mask();
    const std::uint32_t ring_size = ring_.size();
    const std::uint32_t p0 = ring_.pos;
    std::uint32_t pos = ring_.pos;
    std::uint32_t fill = ring_.fill;
    // The buckets are spread over a table far larger than the caches: the
    // bucket INSERT_AHEAD positions on is asked for while this one is
    // updated (the parse asked for the first ones), and its hash is kept.
    std::uint32_t hashes[INSERT_AHEAD];
    const std::uint32_t first = std::min(n, INSERT_AHEAD);
    for (std::uint32_t i = 0; i < first; ++i) hashes[i] = hash_eight(x + p + i, mask);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t slot = i % INSERT_AHEAD;
        std::uint32_t* bucket = table_.bucket(hashes[slot]);
        if (i + INSERT_AHEAD < n) {
            hashes[slot] = hash_eight(x + p + i + INSERT_AHEAD, mask);
            table_.prefetch(hashes[slot]);
        }
        const std::uint32_t newest = bucket[0];
        // A bucket whose newest entry came from this same call gets no more.
        if (!(p0 <= newest && newest < p0 + i)) {
            push_front(bucket, depth, pos);
        }
        ring[pos] = x[p + i];
        pos = (pos + 1) & ring_mask;
        if (fill < ring_size) ++fill;
    }
    ring_.pos = pos;
    ring_.fill = fill;
}

BlockEncoder::Match BlockEncoder::choose_token(const std::uint8_t* x, std::uint32_t len, std::uint32_t p) {
    const Match none;
    const Match m = find_match(x, len, p, 0);
    if (m.length < MIN_MATCH) return none;
    if (search_.lazy_matching && m.length <= 2048) {
        // A match gives way to a literal when a match starting one to four
        // bytes later scores higher: sums of squared lengths, compared as
        // signed 32-bit values.
        const std::int32_t here = static_cast<std::int32_t>(m.length * m.length + score_position(x, len, p + m.length));
        for (std::uint32_t l = 1; l <= 4; ++l) {
            if (static_cast<std::int32_t>(l * l + score_position(x, len, p + l)) > here) return none;
        }
    }
    return m;
}

std::uint32_t BlockEncoder::parse_block(const std::uint8_t* x, std::uint32_t len, Token* tokens,
                                        TokenProgress* progress) {
    if (len <= 64) return 0;
    // A block with two positions for every 4 KiB page of the table touches
    // most of its pages anyway.
    if (len >= table_.bytes() / 2048) table_.use_huge_pages();
    std::uint32_t count = 0;
    std::uint32_t run = 0;
    std::uint32_t p = 64;
    std::uint32_t next_report = p + TOKEN_REPORT_SPAN;
    while (p < len) {
        // Literals come in runs: fetch the bucket of the search a few bytes
        // on while this token is decided (a match fetches its own).
        if (p + SEARCH_AHEAD < len) table_.prefetch(hash_eight(x + p + SEARCH_AHEAD, search_.hash_mask));
        const Match m = choose_token(x, len, p);
        if (m.length == 0) {
            insert_positions(x, p, 1);
            ++run;
            ++p;
            continue;
        }
        // The search goes on after the match: ask for those buckets now,
        // while its positions are entered.
        for (std::uint32_t i = 0; i < SEARCH_AHEAD && p + m.length + i < len; ++i) {
            table_.prefetch(hash_eight(x + p + m.length + i, search_.hash_mask));
        }
        Token& t = tokens[count++];
        t.literals = run;
        t.length = m.length;
        t.offset = ((ring_.pos - m.source) & ring_.mask()) + 1;
        t.after = ring_.data()[m.source + m.length];
        run = 0;
        insert_positions(x, p, m.length);
        p += m.length;
        if (progress != nullptr && p >= next_report) {
            progress->tokens_ready(count);
            next_report = p + TOKEN_REPORT_SPAN;
        }
    }
    if (run != 0) {
        Token& t = tokens[count++];
        t.literals = run;
        t.length = 0;
    }
    return count;
}

QEV_HOT_INLINE void BlockEncoder::encode_tokens(RangeEncoder::Bits& rc, const std::uint8_t* x, std::uint32_t& pos,
                                                bool raw, const Token* tokens, std::uint32_t count) {
    const StateTable& st = state_table();
    std::uint16_t* lit = state_->models.literal;
    std::uint8_t* next_byte = state_->next_byte;
    std::uint32_t p = pos;
    // The match flag at p, under the byte before and the byte that followed
    // the last two bytes when they were last seen.
    auto code_flag = [&](unsigned flag) QEV_HOT_LAMBDA {
        const std::uint32_t ctx_a = byte_before(x, p, settings_.stride) * 512;
        const std::uint32_t nb_index = next_byte_index(x, p);
        const std::uint32_t ctx_b = next_byte[nb_index] * 512u + 256;
        state_->ctx_a = ctx_a;
        state_->ctx_b = ctx_b;
        rc.encode_with_pair(flag, lit[ctx_a], lit[ctx_b]);
        step_state(st, lit[ctx_a], flag);
        step_state(st, lit[ctx_b], flag);
        next_byte[nb_index] = x[p];
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        const Token& t = tokens[i];
        for (const std::uint32_t end = p + t.literals; p < end; ++p) {
            code_flag(0);
            if (raw) {
                rc.encode_direct_bits(x[p], 8);
            } else {
                encode_literal(rc, st, lit, state_->ctx_a, state_->ctx_b, x[p]);
            }
        }
        if (t.length != 0) {
            code_flag(1);
            encode_offset(rc, st, t.offset);
            encode_length(rc, st, x + p, t);
            p += t.length;
        }
    }
    pos = p;
}

// ---------------------------------------------------------------------------
// Decoder

BlockDecoder::BlockDecoder() : state_(new CoderState) {}

BlockDecoder::~BlockDecoder() { delete state_; }

bool BlockDecoder::reset_all(std::uint32_t ring_size) {
    state_->models.reset_carried();
    return ring_.allocate(ring_size);
}

std::uint32_t BlockDecoder::ring_for(std::uint32_t ring_size, std::uint64_t unpacked_size, bool lz_mode) {
    std::uint32_t ring = MIN_DECODER_RING;
    while (lz_mode && ring < ring_size && ring < unpacked_size) ring <<= 1;
    return std::min(ring, ring_size);
}

void BlockDecoder::begin_stream(ByteSource* source, const StreamSettings& settings, std::uint64_t stream_length) {
    settings_ = settings;
    stream_length_ = stream_length;
    rc_.start(source);
    state_->begin_stream();
}

DecodeStatus BlockDecoder::decode_block(std::uint8_t* x, std::uint32_t len, bool& text_flag, bool& raw_flag) {
    RangeDecoder::Bits& rc = rc_.bits();
    text_flag = settings_.media_mode ? false : rc.decode_direct_bits(1) != 0;
    raw_flag = rc.decode_direct_bits(1) != 0;

    const StateTable& st = state_table();
    std::uint16_t* const lit = state_->models.literal;
    std::uint16_t* const pa = lit + state_->ctx_a;
    std::uint16_t* const pb = lit + state_->ctx_b;
    const bool apart = literal_bases_apart(state_->ctx_a, state_->ctx_b);
    const std::uint32_t head = std::min<std::uint32_t>(len, 64);
    for (std::uint32_t p = 0; p < head; ++p) {
        x[p] = static_cast<std::uint8_t>(apart ? decode_literal_apart(rc, st, pa, pb)
                                               : decode_literal_plain(rc, st, pa, pb));
    }
    DecodeStatus status = DecodeStatus::Ok;
    if (len > 64) status = settings_.lz_mode ? decode_lz(rc, x, len, raw_flag) : decode_channels(rc, x, len, raw_flag);
    if (status == DecodeStatus::Ok && exhausted()) status = DecodeStatus::Exhausted;
    return status;
}

// The block loops work on a copy of the coder state, which the compiler can
// keep in registers (the coder's own copy may alias the bytes they store),
// and hand it back however they end.

DecodeStatus BlockDecoder::decode_channels(RangeDecoder::Bits& coder, std::uint8_t* x, std::uint32_t len, bool raw) {
    RangeDecoder::Bits rc = coder;
    const StateTable& st = state_table();
    std::uint16_t* lit = state_->models.literal;
    std::uint32_t ctx_a = state_->ctx_a;
    std::uint32_t ctx_b = state_->ctx_b;
    for (std::uint32_t c = 0; c < settings_.stride; ++c) {
        for (std::uint32_t p = c + 64; p < len; p += settings_.stride) {
            // A stream that has run dry can only decode noise: stop at once.
            if (rc.consumed() > stream_length_) {
                coder = rc;
                return DecodeStatus::Exhausted;
            }
            channel_contexts(x, p, settings_, ctx_a, ctx_b);
            x[p] = static_cast<std::uint8_t>(raw ? rc.decode_direct_bits(8)
                                                 : decode_literal_apart(rc, st, lit + ctx_a, lit + ctx_b));
        }
    }
    coder = rc;
    state_->ctx_a = ctx_a;
    state_->ctx_b = ctx_b;
    return DecodeStatus::Ok;
}

DecodeStatus BlockDecoder::decode_lz(RangeDecoder::Bits& coder, std::uint8_t* x, std::uint32_t len, bool raw) {
    RangeDecoder::Bits rc = coder;
    const StateTable& st = state_table();
    std::uint16_t* const lit = state_->models.literal;
    std::uint8_t* const next_byte = state_->next_byte;
    std::uint8_t* const ring = ring_.data();
    const std::uint32_t ring_size = ring_.size();
    const std::uint32_t ring_mask = ring_.mask();
    const std::uint32_t stride = settings_.stride;
    std::uint32_t ring_pos = ring_.pos;
    std::uint32_t ring_fill = ring_.fill;
    DecodeStatus status = DecodeStatus::Ok;
    std::uint32_t p = 64;
    while (p < len) {
        // A stream that has run dry can only decode noise: stop at once.
        if (rc.consumed() > stream_length_) {
            status = DecodeStatus::Exhausted;
            break;
        }
        const std::uint32_t ctx_a = byte_before(x, p, stride) * 512;
        const std::uint32_t nb_index = next_byte_index(x, p);
        const std::uint32_t ctx_b = next_byte[nb_index] * 512u + 256;
        state_->ctx_a = ctx_a;
        state_->ctx_b = ctx_b;
        std::uint16_t* const pa = lit + ctx_a;
        std::uint16_t* const pb = lit + ctx_b;
        const std::uint32_t fa = *pa;
        const std::uint32_t fb = *pb;
        const unsigned flag = rc.decode_bit((fa + fb) * (rc.range >> 12));
        *pa = st.next[fa][flag];
        *pb = st.next[fb][flag];
        if (flag == 0) {
            const std::uint8_t c =
                static_cast<std::uint8_t>(raw ? rc.decode_direct_bits(8) : decode_literal_apart(rc, st, pa, pb));
            x[p] = c;
            ring[ring_pos] = c;
            ring_pos = (ring_pos + 1) & ring_mask;
            if (ring_fill < ring_size) ++ring_fill;
            next_byte[nb_index] = c;
            p += 1;
            continue;
        }

        const std::uint32_t source = decode_offset(rc, st, ring_pos);
        std::uint32_t length;
        status = decode_length(rc, st, source, x + p, len - p, length);
        if (status != DecodeStatus::Ok) break;

        // Only now do the match's bytes enter the ring.
        if (length <= ring_size - ring_pos) {
            copy_match_bytes(ring + ring_pos, x + p, length);
        } else {
            const std::uint32_t first = ring_size - ring_pos;
            std::memcpy(ring + ring_pos, x + p, first);
            std::memcpy(ring, x + p + first, length - first);
        }
        ring_pos = (ring_pos + length) & ring_mask;
        ring_fill = std::min<std::uint64_t>(std::uint64_t{ring_fill} + length, ring_size);
        next_byte[nb_index] = x[p];
        p += length;
    }
    coder = rc;
    ring_.pos = ring_pos;
    ring_.fill = ring_fill;
    return status;
}

}  // namespace qev
