// Inverses of the text transform and the sample delta filter. The branch
// transform is undone by branch_transform with BranchDirection::Inverse.
#include "format/inverse_filters.h"

#include <cstring>

#include "format/filters.h"

namespace qev {

namespace {

// What each byte of transformed text expands to: the letters of its fragment
// for a code byte, the byte itself otherwise.
struct Expansion {
    std::uint8_t letters[4];
    std::uint32_t length;
};

const Expansion* expansions() {
    static const struct Table {
        Expansion e[256];
        Table() {
            const FragmentTrie& trie = fragment_trie();
            for (int c = 0; c < 256; ++c) {
                e[c] = Expansion{{static_cast<std::uint8_t>(c), 0, 0, 0}, 1};
                if (c < FIRST_FRAGMENT_CODE || c >= FRAGMENT_CODE_LIMIT) continue;
                const char* text = fragment_text(trie.fragment_of_code[c]);
                e[c].length = static_cast<std::uint32_t>(std::strlen(text));
                std::memcpy(e[c].letters, text, e[c].length);
            }
        }
    } table;
    return table.e;
}

}  // namespace

void undo_text_transform(std::uint8_t* block, std::uint32_t len, std::uint8_t* work) {
    const Expansion* expand = expansions();
    std::uint32_t in = 0;
    std::uint32_t out = 0;
    // While a following byte exists inside the block, every step reads at
    // most block[in + 1] and writes four bytes (at most three of them used).
    while (out < len && in + 1 < len) {
        const std::uint8_t c = block[in];
        if (c >= FIRST_FRAGMENT_CODE && c < FRAGMENT_CODE_LIMIT && block[in + 1] == c) {
            work[out++] = c;  // a doubled code byte stands for itself
            in += 2;
            continue;
        }
        std::memcpy(work + out, expand[c].letters, 4);
        out += expand[c].length;
        ++in;
    }
    // The end of a block: a damaged block that would need more input sees
    // spaces, the padding a sound block carries anyway. Every step emits at
    // least one byte, so this ends.
    auto at = [&](std::uint32_t i) -> std::uint8_t { return i < len ? block[i] : 0x20; };
    while (out < len) {
        const std::uint8_t c = at(in);
        if (c >= FIRST_FRAGMENT_CODE && c < FRAGMENT_CODE_LIMIT && at(in + 1) == c) {
            work[out++] = c;
            in += 2;
            continue;
        }
        std::memcpy(work + out, expand[c].letters, 4);
        out += expand[c].length;
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
