// Inverses of the text transform and the sample delta filter. The branch
// transform is undone by branch_transform with BranchDirection::Inverse.
#include "format/inverse_filters.h"

#include <cstring>

#include "format/filters.h"

namespace qev {

namespace {

// What each byte of transformed text expands to, packed in one word: the
// letters of its fragment for a code byte, the byte itself otherwise, in the
// low four bytes (little end first), and their number in the fifth.
const std::uint64_t* expansions() {
    static const struct Table {
        std::uint64_t e[256];
        Table() {
            const FragmentTrie& trie = fragment_trie();
            for (int c = 0; c < 256; ++c) {
                std::uint8_t letters[4] = {static_cast<std::uint8_t>(c), 0, 0, 0};
                std::uint64_t length = 1;
                if (c >= FIRST_FRAGMENT_CODE && c < FRAGMENT_CODE_LIMIT) {
                    const char* text = fragment_text(trie.fragment_of_code[c]);
                    length = std::strlen(text);
                    std::memcpy(letters, text, length);
                }
                e[c] = letters[0] | std::uint64_t{letters[1]} << 8 | std::uint64_t{letters[2]} << 16 |
                       std::uint64_t{letters[3]} << 24 | length << 32;
            }
        }
    } table;
    return table.e;
}

inline void store_le32(std::uint8_t* p, std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    std::memcpy(p, b, 4);
}

// Eight bytes as a word whose low byte is p[0].
inline std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline bool is_code(std::uint8_t c) { return c >= FIRST_FRAGMENT_CODE && c < FRAGMENT_CODE_LIMIT; }

}  // namespace

void undo_text_transform(std::uint8_t* block, std::uint32_t len, std::uint8_t* work) {
    const std::uint64_t* expand = expansions();
    std::uint32_t in = 0;
    std::uint32_t out = 0;
    // A step reads block[in] and block[in + 1] and writes four bytes at out
    // (at most three of them used). Codes are a fifth to a quarter of the
    // bytes of typical text, in no predictable order, so the step takes no
    // branch on whether a byte is one: a plain byte expands to itself. Only
    // a doubled code byte, which stands for itself, is a case of its own,
    // and it is rare in text: eight steps at a time are taken without a
    // look at it once a test of the nine bytes they read has ruled it out.
    // Eight steps read from[0 .. 8] and write to[0 .. 24], so while from + 9
    // <= block + len and to + 23 <= work + len (work holds len + 3 bytes)
    // they need no bound checks either.
    if (len >= 23) {
        const std::uint8_t* from = block;
        std::uint8_t* to = work;
        const std::uint8_t* const from_last = block + len - 9;
        const std::uint8_t* const to_last = work + len - 23;
        while (from <= from_last && to <= to_last) {
            const std::uint64_t v = load_le64(from);
            const std::uint64_t same = v ^ load_le64(from + 1);  // 0 where a byte equals the next
            // Every 0 byte of same gets its top bit (and maybe a byte above
            // it too), and so does every byte of v of 123 or more.
            const std::uint64_t zero = (same - 0x0101010101010101ull) & ~same & 0x8080808080808080ull;
            const std::uint64_t high = (v | ((v & 0x7F7F7F7F7F7F7F7Full) + 0x0505050505050505ull)) & 0x8080808080808080ull;
            if ((zero & high) != 0) {
                // Maybe a doubled code: one step, with the look.
                const std::uint8_t c = from[0];
                if (c == from[1] && is_code(c)) {
                    *to++ = c;
                    from += 2;
                    continue;
                }
                const std::uint64_t e = expand[c];
                store_le32(to, static_cast<std::uint32_t>(e));
                to += e >> 32;
                ++from;
                continue;
            }
#pragma GCC unroll 8
            for (int i = 0; i < 8; ++i) {
                const std::uint64_t e = expand[from[i]];
                store_le32(to, static_cast<std::uint32_t>(e));
                to += e >> 32;
            }
            from += 8;
        }
        in = static_cast<std::uint32_t>(from - block);
        out = static_cast<std::uint32_t>(to - work);
    }
    // While a following byte exists inside the block, every step reads at
    // most block[in + 1] and writes four bytes (at most three of them used).
    while (out < len && in + 1 < len) {
        const std::uint8_t c = block[in];
        if (c == block[in + 1] && is_code(c)) {
            work[out++] = c;  // a doubled code byte stands for itself
            in += 2;
            continue;
        }
        const std::uint64_t e = expand[c];
        store_le32(work + out, static_cast<std::uint32_t>(e));
        out += static_cast<std::uint32_t>(e >> 32);
        ++in;
    }
    // The end of a block: a damaged block that would need more input sees
    // spaces, the padding a sound block carries anyway. Every step emits at
    // least one byte, so this ends.
    auto at = [&](std::uint32_t i) -> std::uint8_t { return i < len ? block[i] : 0x20; };
    while (out < len) {
        const std::uint8_t c = at(in);
        if (is_code(c) && at(in + 1) == c) {
            work[out++] = c;
            in += 2;
            continue;
        }
        const std::uint64_t e = expand[c];
        store_le32(work + out, static_cast<std::uint32_t>(e));
        out += static_cast<std::uint32_t>(e >> 32);
        ++in;
    }
    std::memcpy(block, work, len);  // letters emitted past len are dropped
}

void undo_delta_filter(std::uint8_t* block, std::uint32_t len, std::uint32_t channels, std::uint32_t sample_bytes) {
    // The same guards as the forward filter: such blocks were never filtered.
    if (channels < 1 || channels > MAX_CHANNELS) return;
    if (sample_bytes < 1 || sample_bytes > 4) return;
    std::uint32_t running[MAX_CHANNELS] = {};
    const int width = sample_bytes == 3 ? 1 : static_cast<int>(sample_bytes);
    std::uint32_t k = 0;
    for (std::uint32_t pos = 0; pos < len; pos += sample_bytes) {
        const std::uint32_t x = load_sample(block + pos, width) + running[k];
        store_sample(block + pos, x, width);
        running[k] = width == 4 ? x : x & ((1u << (8 * width)) - 1);
        if (++k == channels) k = 0;
    }
}

}  // namespace qev
