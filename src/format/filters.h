// Reversible block filters applied before coding, and the entropy measure
// that decides whether a block's literals are coded raw.
//
// All of them work in place on a block of n bytes (1 <= n <= BLOCK_SIZE).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qev {

// Word fragments: 132 frequent lower-case pairs and triples, written in
// transformed text as the single bytes 123..254.
constexpr int FRAGMENT_COUNT = 132;
constexpr int FIRST_FRAGMENT_CODE = 123;
constexpr int FRAGMENT_CODE_LIMIT = FIRST_FRAGMENT_CODE + FRAGMENT_COUNT;  // 255, never a code
constexpr int FRAGMENT_TRIE_NODES = 500;

struct FragmentTrie {
    struct Node {
        std::uint16_t child[26];  // 0: no child
        std::uint8_t code;        // fragment code ending here, 0: none
    };
    Node nodes[FRAGMENT_TRIE_NODES];
    int node_count;
    // Fragment number k (1..132) of each code byte; 0 for other bytes.
    std::uint8_t fragment_of_code[256];
};

// Fragment k (1..132) as a zero-terminated string; slot 0 is empty.
const char* fragment_text(int k);

void build_fragment_trie(FragmentTrie& trie);
// The process's trie, built on first use.
const FragmentTrie& fragment_trie();

// Replaces the block by its transformed form (same length, padded with
// spaces) and returns true, or leaves it unchanged and returns false (blocks
// under 512 bytes, or when the transformed text would exceed 95% of n).
// work must hold BLOCK_SIZE bytes.
bool text_transform(std::uint8_t* block, std::uint32_t n, std::uint8_t* work);

enum class BranchDirection { Forward, Inverse };

// Turns the relative targets of E8/E9 operands that land inside the block
// into block positions (forward) or back (inverse).
void branch_transform(std::uint8_t* block, std::uint32_t n, BranchDirection direction);

constexpr std::uint32_t MAX_CHANNELS = 32;

// A little-endian sample of 1 to 4 bytes.
inline std::uint32_t load_sample(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

inline void store_sample(std::uint8_t* p, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Replaces every sample of 1, 2, 3 (first byte only) or 4 bytes by its
// difference to the previous sample of the same channel; other widths are
// left unchanged. The chain restarts in every call. A last sample that
// reaches past n is processed in the buffer as a whole, so the buffer must
// have 3 writable bytes after n. channels must be 1..MAX_CHANNELS.
void delta_filter(std::uint8_t* block, std::uint32_t n, std::uint32_t channels, std::uint32_t sample_bytes);

// Order-0 entropy of a block's first 2 MiB in hundredths of a bit per byte
// (0..800). Blocks under 512 bytes keep the previous score.
class EntropyMeter {
public:
    // score: what an earlier block left, kept by blocks under 512 bytes.
    explicit EntropyMeter(std::int32_t score = 0) : score_(score) {}
    void measure(const std::uint8_t* block, std::uint32_t n);
    std::int32_t score() const { return score_; }

private:
    std::int32_t score_ = 0;
};

// Blocks shorter than this keep the score an earlier block left.
constexpr std::uint32_t ENTROPY_MIN_BLOCK = 512;

// Literals are coded raw when the score exceeds this.
constexpr std::int32_t RAW_ENTROPY_THRESHOLD = 797;

}  // namespace qev
