// Inverses of the text transform and the sample delta filter. The branch
// transform is undone by branch_transform with BranchDirection::Inverse.
#include "extract/inverse_filters.h"

#include <cstring>

#include "compress/filters.h"

namespace qev {

namespace {

inline std::uint32_t load_le(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

inline void store_le(std::uint8_t* p, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

void undo_text_transform(std::uint8_t* block, std::uint32_t len, std::uint8_t* work) {
    const FragmentTrie& trie = fragment_trie();
    // Only block[0 .. len) is read: a damaged block that would need more
    // input sees spaces, the padding a sound block carries anyway. Every step
    // emits at least one byte, so the input position stays below 2 * len.
    auto at = [&](std::uint32_t i) -> std::uint8_t { return i < len ? block[i] : 0x20; };
    std::uint32_t in = 0;
    std::uint32_t out = 0;
    while (out < len) {
        const std::uint8_t c = at(in);
        if (c < FIRST_FRAGMENT_CODE || c >= FRAGMENT_CODE_LIMIT) {
            work[out++] = c;
        } else if (at(in + 1) == c) {
            work[out++] = c;  // a doubled code byte stands for itself
            ++in;
        } else {
            // At most three letters, so out stays below len + 3.
            for (const char* p = fragment_text(trie.fragment_of_code[c]); *p != '\0'; ++p) {
                work[out++] = static_cast<std::uint8_t>(*p);
            }
        }
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
        const std::uint32_t x = load_le(block + pos, width) + running[k];
        store_le(block + pos, x, width);
        running[k] = width == 4 ? x : x & ((1u << (8 * width)) - 1);
        if (++k == channels) k = 0;
    }
}

}  // namespace qev
