// The coding engine: binary range coder, adaptive probability states, the
// context-modelled literal coder, the match finder with its parse, and the
// bit layout of a coded block, in both directions.
//
// Every decision is one bit. A probability is the 11-bit chance of a 1 and a
// 1 takes the lower part of the coder's interval. The bit operations below
// are inline: they run for every coded bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace qev {

constexpr std::uint32_t BLOCK_SIZE = 4194304;
// Bytes after a block buffer's capacity that the hash of the last positions
// reads (and the sample filters may touch).
constexpr std::uint32_t BLOCK_SLACK = 8;
constexpr std::uint32_t MIN_MATCH = 8;
constexpr std::uint32_t MAX_MATCH = 262144;
constexpr std::uint32_t MIN_RING_SIZE = 1u << 23;
constexpr std::uint32_t MAX_RING_SIZE = 1u << 30;
// Smallest ring the decoder makes: one page. A stream that starts from an
// empty ring may be decoded in a ring smaller than the stored size (see
// BlockDecoder::ring_for).
constexpr std::uint32_t MIN_DECODER_RING = 1u << 12;

// ---------------------------------------------------------------------------
// Probability states

// Successor of every state value after a 0 and after a 1.
struct StateTable {
    std::uint16_t next[2048][2];
};

// The one table of the process, built on first use and read-only afterwards.
const StateTable& state_table();
void build_state_table(StateTable& table);

constexpr std::uint32_t PROB_INIT = 1024;

// ---------------------------------------------------------------------------
// Byte streams the coder writes to and reads from.

class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool write(const std::uint8_t* data, std::size_t n) = 0;
};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to n bytes; fewer at the end of the data.
    virtual std::size_t read(std::uint8_t* data, std::size_t n) = 0;
};

// ---------------------------------------------------------------------------
// Range coder

class RangeEncoder {
public:
    // The output is handed to the sink whenever the buffer holds more than
    // 32,768 bytes, that is in writes of exactly 32,769 bytes.
    static constexpr std::size_t FLUSH_THRESHOLD = 32768;

    // The coder state the bit steps work on. The block loops copy it into a
    // local for their duration, so that it lives in registers.
    struct Bits {
        std::uint32_t range;
        std::uint64_t low;  // bit 32 is the carry
        std::uint32_t cache;
        std::uint32_t cache_size;
        std::size_t pos;
        std::uint8_t* buffer;
        RangeEncoder* owner;

        // One interval step with bound B, then at most one normalisation step.
        inline void encode_bit(unsigned bit, std::uint32_t bound) {
            if (bit) {
                range = bound;
            } else {
                low += bound;
                range -= bound;
            }
            if (range < (1u << 24)) {
                range <<= 8;
                shift_low();
            }
        }
        inline void encode_with_state(unsigned bit, std::uint32_t s) { encode_bit(bit, s * (range >> 11)); }
        inline void encode_with_pair(unsigned bit, std::uint32_t s, std::uint32_t t) {
            encode_bit(bit, (s + t) * (range >> 12));
        }
        inline void encode_direct_bits(std::uint32_t value, int count) {
            for (int i = count - 1; i >= 0; --i) encode_bit((value >> i) & 1u, range >> 1);
        }
        inline void shift_low() {
            const std::uint32_t low32 = static_cast<std::uint32_t>(low);
            const std::uint32_t carry = static_cast<std::uint32_t>(low >> 32);
            if (low32 < 0xFF000000u || carry != 0) {
                emit(static_cast<std::uint8_t>(cache + carry));
                for (; cache_size > 1; --cache_size) emit(static_cast<std::uint8_t>(0xFF + carry));
                cache = low32 >> 24;
                cache_size = 0;
            }
            ++cache_size;
            low = static_cast<std::uint32_t>(low32 << 8);
        }
        inline void emit(std::uint8_t byte) {
            buffer[pos++] = byte;
            if (pos > FLUSH_THRESHOLD) {
                owner->flush(pos);
                pos = 0;
            }
        }
    };

    RangeEncoder() = default;
    RangeEncoder(const RangeEncoder&) = delete;
    RangeEncoder& operator=(const RangeEncoder&) = delete;

    void start(ByteSink* sink) {
        sink_ = sink;
        bits_ = Bits{0xFFFFFFFFu, 0, 0, 1, 0, buffer_, this};
        bytes_written_ = 0;
        write_failed_ = false;
    }

    inline void encode_with_state(unsigned bit, std::uint32_t s) { bits_.encode_with_state(bit, s); }
    inline void encode_with_pair(unsigned bit, std::uint32_t s, std::uint32_t t) { bits_.encode_with_pair(bit, s, t); }
    inline void encode_direct_bits(std::uint32_t value, int count) { bits_.encode_direct_bits(value, count); }

    // Five shifts, then the rest of the buffer goes to the sink.
    void finish();

    Bits& bits() { return bits_; }
    // Bytes handed to the sink so far.
    std::uint64_t bytes_written() const { return bytes_written_; }
    // True once any write to the sink has failed.
    bool write_failed() const { return write_failed_; }
    std::uint32_t range() const { return bits_.range; }

private:
    // Hands the first n bytes of the buffer to the sink.
    void flush(std::size_t n);

    Bits bits_{0xFFFFFFFFu, 0, 0, 1, 0, buffer_, this};
    ByteSink* sink_ = nullptr;
    std::uint64_t bytes_written_ = 0;
    bool write_failed_ = false;
    std::uint8_t buffer_[FLUSH_THRESHOLD + 1];
};

class RangeDecoder {
public:
    static constexpr std::size_t BUFFER_SIZE = 65536;

    // The decoder state the bit steps work on; see RangeEncoder::Bits.
    struct Bits {
        std::uint32_t range;
        std::uint32_t code;
        std::size_t pos;
        std::uint64_t base;  // bytes fetched before the buffer start
        const std::uint8_t* buffer;
        RangeDecoder* owner;

        // For bits whose value steers a branch anyway (flags), or that are
        // mostly one value (the length flags of a long match).
        inline unsigned decode_bit(std::uint32_t bound) {
            unsigned bit;
            if (code < bound) {
                bit = 1;
                range = bound;
            } else {
                bit = 0;
                code -= bound;
                range -= bound;
            }
            normalise();
            return bit;
        }
        // The same step without a branch on the bit, for bits that are
        // close to a coin toss (literal and offset bits), where a branch
        // would often be mispredicted: the new range and code are selected,
        // and so are, for each pair given, the value that the next step
        // needs (x becomes x1 after a 1 and keeps its value after a 0), so
        // that it is ready as soon as the coder is.
        //
        // The bit and the selected values are word-sized: they index the
        // model arrays, and this spares the widening before each use. The
        // values for a 1 are cells, read where they lie: that spares the
        // registers they would take. x and y must hold cell values (below
        // 65536), since a 1 replaces only their low 16 bits.
        inline std::size_t decode_bit_select(std::uint32_t bound) {
            std::uint32_t range0 = range - bound;  // after a 0
            std::uint32_t code0 = code - bound;
#if defined(__x86_64__) || defined(__i386__)
            // The compiler turns conditional expressions here back into
            // branches; conditional moves keep the step at a few cycles.
            std::size_t bit = 0;
            asm("cmpl %[bound], %[code]\n\t"
                "cmovbl %[bound], %[range0]\n\t"
                "cmovbl %[code], %[code0]\n\t"
                "setb %b[bit]"
                : [range0] "+r"(range0), [code0] "+r"(code0), [bit] "+q"(bit)
                : [bound] "r"(bound), [code] "r"(code)
                : "cc");
#else
            const std::size_t bit = code < bound ? 1 : 0;
            range0 = bit ? bound : range0;
            code0 = bit ? code : code0;
#endif
            range = range0;
            code = code0;
            normalise();
            return bit;
        }
        inline std::size_t decode_bit_select(std::uint32_t bound, std::size_t& x, const std::uint16_t& x1) {
            std::uint32_t range0 = range - bound;
            std::uint32_t code0 = code - bound;
#if defined(__x86_64__) || defined(__i386__)
            std::size_t bit = 0;
            asm("cmpl %[bound], %[code]\n\t"
                "cmovbl %[bound], %[range0]\n\t"
                "cmovbl %[code], %[code0]\n\t"
                "cmovbw %[x1], %w[x]\n\t"
                "setb %b[bit]"
                : [range0] "+r"(range0), [code0] "+r"(code0), [x] "+r"(x), [bit] "+q"(bit)
                : [bound] "r"(bound), [code] "r"(code), [x1] "m"(x1)
                : "cc");
#else
            const std::size_t bit = code < bound ? 1 : 0;
            range0 = bit ? bound : range0;
            code0 = bit ? code : code0;
            x = bit ? x1 : x;
#endif
            range = range0;
            code = code0;
            normalise();
            return bit;
        }
        inline std::size_t decode_bit_select(std::uint32_t bound, std::size_t& x, const std::uint16_t& x1,
                                             std::size_t& y, const std::uint16_t& y1) {
            std::uint32_t range0 = range - bound;
            std::uint32_t code0 = code - bound;
#if defined(__x86_64__) || defined(__i386__)
            std::size_t bit = 0;
            asm("cmpl %[bound], %[code]\n\t"
                "cmovbl %[bound], %[range0]\n\t"
                "cmovbl %[code], %[code0]\n\t"
                "cmovbw %[x1], %w[x]\n\t"
                "cmovbw %[y1], %w[y]\n\t"
                "setb %b[bit]"
                : [range0] "+r"(range0), [code0] "+r"(code0), [x] "+r"(x), [y] "+r"(y), [bit] "+q"(bit)
                : [bound] "r"(bound), [code] "r"(code), [x1] "m"(x1), [y1] "m"(y1)
                : "cc");
#else
            const std::size_t bit = code < bound ? 1 : 0;
            range0 = bit ? bound : range0;
            code0 = bit ? code : code0;
            x = bit ? x1 : x;
            y = bit ? y1 : y;
#endif
            range = range0;
            code = code0;
            normalise();
            return bit;
        }
        inline void normalise() {
            if (range < (1u << 24)) {
                range <<= 8;
                code = (code << 8) | next_byte();
            }
        }
        inline unsigned decode_with_state(std::uint32_t s) { return decode_bit(s * (range >> 11)); }
        inline unsigned decode_with_pair(std::uint32_t s, std::uint32_t t) {
            return decode_bit((s + t) * (range >> 12));
        }
        inline std::uint32_t decode_direct_bits(int count) {
            std::uint32_t value = 0;
            for (int i = 0; i < count; ++i) value = (value << 1) | decode_bit(range >> 1);
            return value;
        }
        // When more than half the buffer has been used, the unread rest moves
        // to the front and the freed end is read anew.
        inline std::uint8_t next_byte() {
            if (pos > BUFFER_SIZE / 2) {
                owner->refill(pos);
                base += pos;
                pos = 0;
            }
            return buffer[pos++];
        }
        std::uint64_t consumed() const { return base + pos; }
    };

    RangeDecoder() = default;
    RangeDecoder(const RangeDecoder&) = delete;
    RangeDecoder& operator=(const RangeDecoder&) = delete;

    // One read of 65,536 bytes, then five bytes primed into the code.
    void start(ByteSource* source);

    inline unsigned decode_with_state(std::uint32_t s) { return bits_.decode_with_state(s); }
    inline unsigned decode_with_pair(std::uint32_t s, std::uint32_t t) { return bits_.decode_with_pair(s, t); }
    inline std::uint32_t decode_direct_bits(int count) { return bits_.decode_direct_bits(count); }

    Bits& bits() { return bits_; }
    // Number of stream bytes fetched so far: 5 at the start, then one per
    // normalisation. A stream our encoder wrote is consumed exactly.
    std::uint64_t consumed() const { return bits_.consumed(); }

private:
    // Moves the unread bytes after the first used ones to the front and reads
    // the freed end.
    void refill(std::size_t used);

    Bits bits_{0xFFFFFFFFu, 0, 0, 0, buffer_, this};
    ByteSource* source_ = nullptr;
    std::uint8_t buffer_[BUFFER_SIZE];
};

// ---------------------------------------------------------------------------
// Model arrays

constexpr std::size_t LITERAL_CELLS = 257 * 512;
constexpr std::size_t LENGTH_CELLS = 257 * 512;
constexpr std::size_t OFFSET_SLOT_CELLS = 32;
constexpr std::size_t OFFSET_BITS_CELLS = 65536;
constexpr std::size_t NEXT_BYTE_ENTRIES = 65536;

struct Models {
    std::uint16_t literal[LITERAL_CELLS];
    std::uint16_t length[LENGTH_CELLS];
    std::uint16_t offset_slot[OFFSET_SLOT_CELLS];
    std::uint16_t offset_bits[OFFSET_BITS_CELLS];

    // Literal, length and slot cells: once per stream, or once per solid run.
    void reset_carried();
    // Offset bit cells: every stream.
    void reset_offset_bits();
};

// Steps one cell after a coded bit.
inline void step_state(const StateTable& table, std::uint16_t& cell, unsigned bit) {
    cell = table.next[cell][bit];
}

// ---------------------------------------------------------------------------
// Size estimator: an order-1 bit-tree model that counts roughly how many bytes
// a sample would code to, without producing any.

class SizeEstimator {
public:
    void prepare();
    void estimate_byte(std::uint8_t byte, std::uint8_t previous);
    std::uint32_t count() const { return count_; }
    // prepare, then every byte but the first with its predecessor as context.
    std::uint32_t estimate(const std::uint8_t* data, std::size_t n);

private:
    std::uint16_t probs_[65536];
    std::uint32_t range_ = 0xFFFFFF;
    std::uint32_t count_ = 0;
};

// ---------------------------------------------------------------------------
// History ring and match table. Both are large, zero-filled mappings whose
// untouched pages cost nothing; clearing hands the touched pages back.

class RingBuffer {
public:
    RingBuffer() = default;
    ~RingBuffer();
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // Makes a zeroed ring of the given size (a power of two); false when the
    // memory cannot be had.
    bool allocate(std::uint32_t size);
    void release();
    // All bytes zero, position and fill 0.
    void clear();
    bool allocated() const { return data_ != nullptr; }

    std::uint8_t* data() { return data_; }
    std::uint32_t size() const { return size_; }
    std::uint32_t mask() const { return size_ - 1; }

    std::uint32_t pos = 0;   // where the next byte goes
    std::uint32_t fill = 0;  // number of valid bytes, at most size()

private:
    std::uint8_t* data_ = nullptr;
    std::uint32_t size_ = 0;
};

// Asks the memory system for the cache line holding p. The optimiser is
// free to drop a plain prefetch hint, and does so in the parse loop; an
// explicit instruction stays.
inline void prefetch_line(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
    __builtin_prefetch(p);
#endif
}

// The match table is cleared lazily: every 64-byte line of it carries the
// number of the clear it belongs to, and a line from an earlier one is zeroed
// when a bucket in it is first used again. A clear is O(1), and a file pays
// only for the lines it touches.
class MatchTable {
public:
    static constexpr std::size_t LINE_BYTES = 64;

    MatchTable() = default;
    ~MatchTable();
    MatchTable(const MatchTable&) = delete;
    MatchTable& operator=(const MatchTable&) = delete;

    // 2^hash_bits zeroed entries, in buckets of depth entries (a power of two
    // up to 16, so that a bucket never straddles a line).
    bool allocate(std::uint32_t hash_bits, std::uint32_t depth);
    void release();
    void clear();
    bool allocated() const { return entries_ != nullptr; }
    std::size_t bytes() const { return bytes_; }
    // Asks for the table to be backed by huge pages where the system offers
    // them: fewer page faults and TLB misses once most of it is in use, at
    // the price of whole 2 MiB pages for the few lines a small input uses.
    void use_huge_pages();
    // Has the kernel back every page now (zeroed pages, the contents stay
    // as they are), so that another thread pays for it rather than the one
    // that fills the table. Only for an input that will touch most pages.
    void populate() const;

    // The entries of bucket index, valid for the current clear.
    inline std::uint32_t* bucket(std::uint32_t index) {
        const std::size_t offset = static_cast<std::size_t>(index) * depth_;
        const std::size_t line = offset / (LINE_BYTES / 4);
        std::uint32_t* entries = entries_ + offset;
        if (line_epoch_[line] != epoch_) {
            std::memset(entries_ + line * (LINE_BYTES / 4), 0, LINE_BYTES);
            line_epoch_[line] = epoch_;
        }
        return entries;
    }
    // Asks for a bucket and its line's clear number ahead of their use.
    inline void prefetch(std::uint32_t index) const {
        const std::size_t offset = static_cast<std::size_t>(index) * depth_;
        prefetch_line(entries_ + offset);
        prefetch_line(line_epoch_ + offset / (LINE_BYTES / 4));
    }

private:
    std::uint32_t* entries_ = nullptr;
    std::size_t bytes_ = 0;
    std::uint32_t depth_ = 1;
    std::uint8_t* line_epoch_ = nullptr;
    std::uint8_t epoch_ = 1;
    bool huge_pages_ = false;
};

// A large zero-filled array in its own mapping, for the strong parse's match
// finder: like the ring, its untouched pages cost nothing and a clear hands
// the touched ones back.
class ZeroedMapping {
public:
    ZeroedMapping() = default;
    ~ZeroedMapping();
    ZeroedMapping(const ZeroedMapping&) = delete;
    ZeroedMapping& operator=(const ZeroedMapping&) = delete;

    // With huge pages where the system offers them: the strong parse
    // touches its arrays densely, and TLB misses would dominate.
    bool allocate(std::size_t bytes);
    void release();
    void clear();
    void* data() const { return data_; }
    std::size_t bytes() const { return bytes_; }

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;
};

// ---------------------------------------------------------------------------
// Block coding

// An offset value v (1 .. ring size) is coded as a slot n (1..30), whose
// n - 1 takes 5 bits, and n bits of the remainder v - 1 after subtracting
// 2 + 4 + ... + 2^(n-1).
inline void split_offset(std::uint32_t v, std::uint32_t& slot, std::uint32_t& remainder) {
    std::uint32_t n = 1;
    while (v > (1u << n)) {
        v -= 1u << n;
        ++n;
    }
    slot = n;
    remainder = v - 1;
}

// Settings of one coded stream, as the entry header stores them.
struct StreamSettings {
    bool lz_mode = true;
    bool media_mode = false;
    std::uint8_t stride = 1;
    std::uint8_t second_distance = 2;
    std::uint32_t image_width = 1;
};

// How the encoder searches; fixed for a run.
struct SearchSettings {
    std::uint32_t ring_size = 1u << 24;
    std::uint32_t hash_bits = 26;
    std::uint32_t hash_mask = (1u << 25) - 1;
    std::uint32_t search_depth = 2;
    bool lazy_matching = false;
    // The strong encoder: a price-driven parse that reads the coder's
    // models, so that its parse cannot run ahead of the coder.
    bool strong = false;
};

// Second literal context of a byte coded in channel order: the byte
// second_distance back, or for three-byte pixels with a known width the byte
// one row up. Bytes before the block start read as 0.
inline std::uint32_t channel_context_b(const std::uint8_t* x, std::uint32_t p, std::uint8_t stride,
                                       std::uint8_t second_distance, std::uint32_t image_width) {
    const std::uint32_t row = 3u * image_width;
    if (stride == 3 && image_width != 0 && p > row) return x[p - row] * 512u + 256;
    return (p >= second_distance ? x[p - second_distance] : 0u) * 512u + 256;
}

// State both directions share: the models, the two literal contexts and the
// next-byte table.
struct CoderState {
    Models models;
    std::uint32_t ctx_a = 0;
    std::uint32_t ctx_b = 0;
    std::uint8_t next_byte[NEXT_BYTE_ENTRIES];

    // What every stream starts with: contexts 0, next-byte table cleared,
    // offset bit cells at one half.
    void begin_stream();
};

// One decision of the parse, as the token coder takes it: a run of
// literals, then a match of length bytes (none when length is 0, which only
// the last token of a block may be). The coder needs no ring: the matched
// bytes are in the block, and the one source byte past the match's end that
// the last length flag's context reads travels with the token.
//
// No member has an initialiser, so that an array of them is not cleared: its
// pages cost nothing until the parse writes them.
struct Token {
    std::uint32_t literals;
    std::uint32_t length;
    std::uint32_t offset;  // (ring position - source) mod ring size + 1
    std::uint8_t after;    // the source byte just past the match
};

// Told by a parse, now and then, how many of its tokens are complete.
class TokenProgress {
public:
    virtual ~TokenProgress() = default;
    virtual void tokens_ready(std::uint32_t count) = 0;
};

// Positions a parse goes between two reports of its progress.
constexpr std::uint32_t TOKEN_REPORT_SPAN = 65536;

// Most tokens a block of len bytes can take: a match covers at least
// MIN_MATCH bytes, and one run of literals may close the block.
constexpr std::uint32_t max_tokens(std::uint32_t len) { return len / MIN_MATCH + 2; }

class BlockEncoder {
public:
    explicit BlockEncoder(const SearchSettings& search);
    ~BlockEncoder();
    BlockEncoder(const BlockEncoder&) = delete;
    BlockEncoder& operator=(const BlockEncoder&) = delete;

    // Fresh models, an empty ring and an empty match table (every stream of a
    // normal run; the first stream of a solid run). False when the ring or the
    // table cannot be allocated. The ring's old bytes are not cleared: the
    // search never reads past the bytes appended since.
    bool reset_all();
    // Starts a stream: coder started on the sink, per-stream resets.
    void begin_stream(ByteSink* sink, const StreamSettings& settings);
    // Codes one block. x must have BLOCK_SLACK readable bytes after len, and
    // the bytes there must be what the caller's buffer holds (they feed the
    // hash of the last positions).
    void encode_block(const std::uint8_t* x, std::uint32_t len, bool text_flag, bool raw_flag);
    void finish_stream();

    // encode_block in two halves that may run on two threads, the parse a
    // block or more ahead: parse_block uses only the ring and the match
    // table, the coding only the coder and the models. parse_block (LZ mode
    // only) writes at most max_tokens(len) tokens, returns their number, and
    // tells progress, where given, every TOKEN_REPORT_SPAN positions or so.
    // A block is coded by begin_code (its flags and first bytes; all of it
    // in channel mode), then code_tokens for its tokens in order, in as many
    // pieces as come; x must stay in place until the last.
    std::uint32_t parse_block(const std::uint8_t* x, std::uint32_t len, Token* tokens,
                              TokenProgress* progress = nullptr);
    void begin_code(const std::uint8_t* x, std::uint32_t len, bool text_flag, bool raw_flag);
    void code_tokens(const Token* tokens, std::uint32_t count);
    bool lz_mode() const { return settings_.lz_mode; }
    // For a pipeline's large input, which touches most of the match table:
    // the table asks for huge pages now (on the thread that starts the
    // pipeline), and populate_table, on a thread beside the parse, has
    // its pages backed ahead of the parse.
    void expect_full_table() { table_.use_huge_pages(); }
    void populate_table() const { table_.populate(); }

    // Bytes the match finder of these settings takes: the match table, or
    // with strong set the strong parse's tree, its heads and its window.
    static std::uint64_t search_bytes(const SearchSettings& search);
    // Matches of the strong parse that failed the check against the ring
    // before coding (and went out as literals instead): always 0 unless the
    // parse has a fault.
    std::uint64_t token_faults() const { return token_faults_; }

    const RangeEncoder& coder() const { return rc_; }
    const RingBuffer& ring() const { return ring_; }
    const CoderState& state() const { return *state_; }

    // Parse helpers, public for tests.
    struct Match {
        std::uint32_t length = 0;
        std::uint32_t source = 0;
    };
    Match find_match(const std::uint8_t* x, std::uint32_t len, std::uint32_t p, std::uint32_t start_best);
    std::uint32_t score_position(const std::uint8_t* x, std::uint32_t len, std::uint32_t q);
    void insert_positions(const std::uint8_t* x, std::uint32_t p, std::uint32_t n);
    // The parse's decision at p: a match, or length 0 for a literal.
    Match choose_token(const std::uint8_t* x, std::uint32_t len, std::uint32_t p);

private:
    struct Strong;
    void encode_tokens(RangeEncoder::Bits& rc, const std::uint8_t* x, std::uint32_t& pos, bool raw,
                       const Token* tokens, std::uint32_t count);
    bool reset_strong();
    void strong_block(const std::uint8_t* x, std::uint32_t len, bool text_flag, bool raw_flag);
    std::uint32_t strong_window(const std::uint8_t* x, std::uint32_t len, bool raw, std::uint32_t w0);
    std::uint32_t strong_search(const std::uint8_t* x, std::uint32_t len, std::uint32_t p, std::uint32_t max_dist,
                                bool collect);
    void strong_advance(std::uint8_t byte);
    void check_tokens(const std::uint8_t* x, std::uint32_t len, std::uint32_t start, std::uint32_t pos0,
                      std::uint32_t fill0, Token* tokens, std::uint32_t count);
    void encode_channels(RangeEncoder::Bits& rc, const std::uint8_t* x, std::uint32_t len, bool raw);
    void encode_offset(RangeEncoder::Bits& rc, const StateTable& st, std::uint32_t offset);
    void encode_length(RangeEncoder::Bits& rc, const StateTable& st, const std::uint8_t* match, const Token& token);

    SearchSettings search_;
    StreamSettings settings_;
    RangeEncoder rc_;
    CoderState* state_;
    RingBuffer ring_;
    MatchTable table_;
    std::unique_ptr<Token[]> tokens_;  // encode_block's, max_tokens(BLOCK_SIZE)
    // The block being coded: its bytes, raw flag and next position.
    const std::uint8_t* code_x_ = nullptr;
    bool code_raw_ = false;
    std::uint32_t code_pos_ = 0;
    struct StrongDeleter {
        void operator()(Strong* strong) const;
    };
    std::unique_ptr<Strong, StrongDeleter> strong_;
    std::uint64_t token_faults_ = 0;
};

enum class DecodeStatus {
    Ok,
    Damaged,    // the stream asked for data outside the ring or the block
    Exhausted,  // the stream ran out before the block was complete
};

class BlockDecoder {
public:
    BlockDecoder();
    ~BlockDecoder();
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;

    // Fresh models and an empty ring of the given size (a power of two from
    // MIN_DECODER_RING to 2^30). False when the ring cannot be allocated.
    bool reset_all(std::uint32_t ring_size);
    std::uint32_t ring_size() const { return ring_.size(); }
    // Hands the ring's memory back; the next reset_all makes a new one.
    void release_ring() { ring_.release(); }

    // The ring that decodes a stream of unpacked_size bytes, stored with
    // ring_size, which starts from an empty ring (every stream but the
    // second and later ones of a solid run). Its matches reach back only
    // into its own bytes, and an offset is coded the same whatever the ring
    // size, so while the stream's bytes fit in the ring without wrapping,
    // any ring that holds them all yields the same sources: the smallest
    // power of two that does, at least MIN_DECODER_RING, and never more than
    // ring_size. A stream in channel order uses no ring at all.
    static std::uint32_t ring_for(std::uint32_t ring_size, std::uint64_t unpacked_size, bool lz_mode);
    // stream_length: the bytes the stream has; decoding stops as soon as it
    // has fetched more than that (a stream our encoder wrote is consumed
    // exactly).
    void begin_stream(ByteSource* source, const StreamSettings& settings,
                      std::uint64_t stream_length = UINT64_MAX);
    // Fills x[0 .. len - 1]; x must have BLOCK_SLACK bytes after len.
    DecodeStatus decode_block(std::uint8_t* x, std::uint32_t len, bool& text_flag, bool& raw_flag);
    std::uint64_t consumed() const { return rc_.consumed(); }

    const CoderState& state() const { return *state_; }

private:
    DecodeStatus decode_lz(RangeDecoder::Bits& rc, std::uint8_t* x, std::uint32_t len, bool raw);
    DecodeStatus decode_channels(RangeDecoder::Bits& rc, std::uint8_t* x, std::uint32_t len, bool raw);
    std::uint32_t decode_offset(RangeDecoder::Bits& rc, const StateTable& st, std::uint32_t pos);
    DecodeStatus decode_length(RangeDecoder::Bits& rc, const StateTable& st, std::uint32_t source, std::uint8_t* out,
                               std::uint32_t room, std::uint32_t& length);
    bool exhausted() const { return rc_.consumed() > stream_length_; }

    StreamSettings settings_;
    std::uint64_t stream_length_ = UINT64_MAX;
    RangeDecoder rc_;
    CoderState* state_;
    RingBuffer ring_;
};

}  // namespace qev
