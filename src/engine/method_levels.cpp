#include "engine/method_levels.h"

namespace qev {

std::uint32_t compute_hash_mask(std::uint32_t hash_bits, std::int32_t level) {
    const std::int32_t bits = static_cast<std::int32_t>(hash_bits) - level;
    if (bits <= 0) return 0;
    if (bits >= 32) return 0xFFFFFFFFu;
    return (1u << bits) - 1u;
}

SearchSettings search_settings(int method, int ring_switch, int hash_switch) {
    const MethodLevel& m = METHOD_LEVELS[method];
    SearchSettings s;
    s.ring_size = ring_size_of_switch(ring_switch);
    s.hash_bits = hash_bits_of_switch(hash_switch);
    s.hash_mask = compute_hash_mask(s.hash_bits, m.level);
    s.search_depth = m.search_depth;
    s.lazy_matching = m.lazy_matching;
    return s;
}

}  // namespace qev
