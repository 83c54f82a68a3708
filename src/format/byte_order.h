// Little-endian integers, the byte order of every multi-byte field an
// archive holds.
#pragma once

#include <cstdint>
#include <vector>

namespace qev {

// Appends the low `bytes` bytes of value, least significant first.
inline void put_le(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Writes the low `bytes` bytes of value at p, least significant first.
inline void store_le(std::uint8_t* p, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint64_t get_le(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace qev
