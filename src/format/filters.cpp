// Block filters: the word-fragment text transform, the E8/E9 branch target
// transform, the per-channel sample delta filter and the order-0 entropy
// measure.
#include "format/filters.h"

#include <cmath>
#include <cstring>

#include "engine/engine.h"

namespace qev {

namespace {

// Slot 0 is empty; fragment k is written as the byte 122 + k.
const char* const FRAGMENTS[FRAGMENT_COUNT + 1] = {
    "",
    "th", "he", "in", "er", "an", "on", "the", "re", "or", "ti", "at", "te", "en", "es", "al", "is", "ar",
    "nd", "st", "ed", "nt", "it", "of", "le", "ri", "to", "ng", "io", "ic", "me", "as", "se", "co", "and",
    "ra", "de", "ion", "ve", "ro", "ot", "li", "la", "om", "ing", "ha", "ne", "ce", "ea", "si", "ta", "ma",
    "ou", "hi", "ll", "am", "el", "ca", "tio", "ch", "ent", "us", "ns", "na", "tr", "qu", "ge", "di", "ur",
    "be", "ec", "ia", "ni", "ol", "ac", "il", "ct", "rs", "mp", "ter", "ati", "pe", "et", "id", "nc", "ie",
    "rt", "fo", "ly", "lo", "ut", "un", "uo", "no", "quo", "uot", "pr", "ate", "ho", "em", "so", "lt", "ss",
    "pa", "ry", "im", "mo", "po", "ts", "ad", "mi", "ag", "vi", "ee", "for", "ci", "ig", "os", "ir", "wa",
    "sh", "ai", "su", "wi", "ul", "iv", "con", "ow", "op", "ev", "her", "ver", "fi",
};

inline bool is_lower(std::uint8_t c) { return c >= 'a' && c <= 'z'; }

// Bytes that could be mistaken for fragment codes are written twice.
inline bool is_escaped(std::uint8_t c) { return c >= FIRST_FRAGMENT_CODE && c < FRAGMENT_CODE_LIMIT; }

}  // namespace

const char* fragment_text(int k) {
    if (k < 0 || k > FRAGMENT_COUNT) return "";
    return FRAGMENTS[k];
}

void build_fragment_trie(FragmentTrie& trie) {
    std::memset(&trie, 0, sizeof trie);
    int next_free = 1;
    for (int k = 1; k <= FRAGMENT_COUNT; ++k) {
        int node = 0;
        for (const char* p = FRAGMENTS[k]; *p != '\0'; ++p) {
            std::uint16_t& child = trie.nodes[node].child[*p - 'a'];
            if (child == 0) child = static_cast<std::uint16_t>(next_free++);
            node = child;
        }
        const int code = FIRST_FRAGMENT_CODE - 1 + k;
        trie.nodes[node].code = static_cast<std::uint8_t>(code);
        trie.fragment_of_code[code] = static_cast<std::uint8_t>(k);
    }
    trie.node_count = next_free;
}

const FragmentTrie& fragment_trie() {
    static const FragmentTrie trie = [] {
        FragmentTrie t;
        build_fragment_trie(t);
        return t;
    }();
    return trie;
}

bool text_transform(std::uint8_t* block, std::uint32_t n, std::uint8_t* work) {
    if (n < 512) return false;
    const FragmentTrie& trie = fragment_trie();
    // The single-precision 0.95, widened; the product is compared unrounded.
    const double limit = static_cast<double>(n) * static_cast<double>(0.95f);

    // The output of the main loop only grows, so the block is refused exactly
    // when that output would end above the limit. It writes at least one byte
    // per byte it consumes (it consumes all of [0, n - 5)), one more per
    // escaped byte there, and saves at most two bytes per three letters
    // through fragments: when even that lower bound exceeds the limit, the
    // walk is not worth making (most binary data).
    {
        std::uint32_t escaped = 0;
        std::uint32_t letters = 0;
        for (std::uint32_t k = 0; k < n; ++k) {
            const std::uint8_t c = block[k];
            escaped += (k < n - 5) & is_escaped(c);
            letters += is_lower(c);
        }
        const std::int64_t least = std::int64_t{n} - 5 + escaped - (2 * std::int64_t{letters}) / 3;
        if (static_cast<double>(least) > limit) return false;
    }

    std::uint32_t pos = 0;
    std::uint32_t i = 0;
    std::uint8_t previous_code = 0;
    while (pos < n - 5) {
        const std::uint8_t c = block[pos];
        if (c < 'a') {
            work[i++] = c;
            pos += 1;
            previous_code = 0;
        } else if (c > 'z') {
            work[i++] = c;
            if (is_escaped(c)) work[i++] = c;
            pos += 1;
            previous_code = 0;
        } else {
            // Longest fragment starting here. A walk never goes deeper than
            // three letters, so it stays inside the block.
            int node = 0;
            std::uint32_t walked = 0;
            std::uint8_t code = 0;
            std::uint32_t length = 0;
            std::uint8_t stop;
            for (;;) {
                stop = block[pos + walked];
                if (!is_lower(stop)) break;
                const int child = trie.nodes[node].child[stop - 'a'];
                if (child == 0) break;
                node = child;
                ++walked;
                if (trie.nodes[node].code != 0) {
                    code = trie.nodes[node].code;
                    length = walked;
                }
            }
            // A fragment code is never followed by the same byte value (which
            // would read as an escaped pair) and never repeats the previous
            // code.
            if (code != 0 && code != stop && code != previous_code) {
                work[i++] = code;
                pos += length;
                previous_code = code;
            } else {
                work[i++] = c;
                pos += 1;
                previous_code = 0;
            }
        }
        if (static_cast<double>(i) > limit) return false;
    }
    for (; pos < n; ++pos) {
        const std::uint8_t c = block[pos];
        work[i++] = c;
        if (is_escaped(c)) work[i++] = c;
    }
    // The tail adds at most ten bytes to less than 95% of n (n >= 512), so
    // the output always fits in n.
    if (i < n) std::memset(work + i, 0x20, n - i);
    std::memcpy(block, work, n);
    return true;
}

void branch_transform(std::uint8_t* block, std::uint32_t n, BranchDirection direction) {
    if (n <= 4) return;
    const std::int64_t size = n;
    for (std::uint32_t p = 0; p < n - 4;) {
        if (block[p] != 0xE8 && block[p] != 0xE9) {
            ++p;
            continue;
        }
        const std::uint32_t o = p + 1;
        const std::int64_t at = o;
        std::int64_t v = static_cast<std::int32_t>(load_sample(block + o, 4));
        if (direction == BranchDirection::Forward) {
            if (v >= -at && v < size - at) {
                v += at;  // target inside the block: its absolute position
            } else if (v > 0 && v < size) {
                v -= size;  // would collide with the positions: moved below 0
            }
        } else {
            if (v >= 0 && v < size) {
                v -= at;
            } else if (v < 0 && v + at >= 0) {
                v += size;
            }
        }
        store_sample(block + o, static_cast<std::uint32_t>(v), 4);
        p += 5;
    }
}

void delta_filter(std::uint8_t* block, std::uint32_t n, std::uint32_t channels, std::uint32_t sample_bytes) {
    // Guards only: the analysis never lets such settings through.
    if (channels < 1 || channels > MAX_CHANNELS) return;
    if (sample_bytes < 1 || sample_bytes > 4) return;
    std::uint32_t previous[MAX_CHANNELS] = {};
    const int width = sample_bytes == 3 ? 1 : static_cast<int>(sample_bytes);
    std::uint32_t ch = 0;
    for (std::uint32_t p = 0; p < n; p += sample_bytes) {
        // A three-byte sample has only its first byte filtered.
        const std::uint32_t x = load_sample(block + p, width);
        store_sample(block + p, x - previous[ch], width);
        previous[ch] = x;
        if (++ch == channels) ch = 0;
    }
}

void EntropyMeter::measure(const std::uint8_t* block, std::uint32_t n) {
    const std::uint32_t m = n < 2097152 ? n : 2097152;
    if (m < ENTROPY_MIN_BLOCK) return;
    std::uint32_t counts[256] = {};
    for (std::uint32_t i = 0; i < m; ++i) ++counts[block[i]];
    double h = 0.0;
    for (std::uint32_t k : counts) {
        if (k == 0) continue;
        const double q = static_cast<double>(k) / static_cast<double>(m);
        h = h - q * std::log(q) / std::log(2.0);
    }
    score_ = static_cast<std::int32_t>(h * 100.0);
}

}  // namespace qev
