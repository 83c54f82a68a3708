// Inverses of the text transform and the sample delta filter. The branch
// transform is undone by branch_transform with BranchDirection::Inverse.
#include "format/inverse_filters.h"

#include <algorithm>
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

inline bool is_code(std::uint8_t c) { return c >= FIRST_FRAGMENT_CODE && c < FRAGMENT_CODE_LIMIT; }

}  // namespace

void undo_text_transform(std::uint8_t* block, std::uint32_t len, std::uint8_t* work) {
    const std::uint64_t* expand = expansions();
    std::uint32_t in = 0;
    std::uint32_t out = 0;
    // A step reads block[in] and block[in + 1] and writes four bytes at out
    // (at most three of them used); it advances in by at most 2 and out by
    // at most 3. So while out < len and in + 1 < len at the start of a run
    // of steps, a run that keeps 3 * steps <= len - out and 2 * steps <=
    // len - 1 - in needs no bound checks. Codes are a fifth to a quarter of
    // the bytes of typical text, in no predictable order, so the step takes
    // no branch on whether a byte is one: a plain byte expands to itself.
    // Only a doubled code byte, which stands for itself, branches, and it is
    // rare in text.
    while (out < len && in + 1 < len) {
        const std::uint32_t steps = std::min((len - out) / 3, (len - 1 - in) / 2);
        if (steps < 16) break;
        const std::uint8_t* from = block + in;
        std::uint8_t* to = work + out;
        for (std::uint32_t i = 0; i < steps; ++i) {
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
