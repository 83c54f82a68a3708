// The archive file: a flat sequence of self-sized entries, one per stored
// file. Each entry is a header of fixed field order followed by one coded
// stream. All integers are little-endian; strings are zero-terminated and
// their length fields count the zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace qev {

// Header bytes besides the name and the dir (each with its terminator).
constexpr std::size_t FIXED_HEADER_BYTES = 39;
// entry_size, solid and name_length: what precedes the name.
constexpr std::size_t HEADER_PREFIX_BYTES = 11;
// unpacked_size .. image_width: what follows the dir.
constexpr std::size_t HEADER_SUFFIX_BYTES = 26;

// The per-file settings the data analysis chooses and every entry stores.
struct FileSettings {
    std::uint8_t media_mode = 0;
    std::uint8_t channels = 0;
    std::uint8_t sample_bytes = 0;
    std::uint8_t lz_mode = 1;
    std::uint8_t stride = 1;
    std::uint8_t second_distance = 2;
    std::uint32_t image_width = 1;
};

// The one rule that compressor and decompressor share for settings that the
// coder and the filters can obey: both modes 0 or 1, stride at least 1; in
// channel order a second distance that is a non-zero multiple of the stride;
// and with the sample filter on, 1 to 32 channels of at least one byte. The analysis falls back to the
// plain settings where a file header would break it; the reader rejects
// entries that break it.
bool settings_usable(const FileSettings& settings);

// The coder's view of the settings.
StreamSettings stream_settings(const FileSettings& settings);

struct EntryHeader {
    std::uint64_t entry_size = 0;
    std::uint8_t solid = 0;
    std::string name;  // without the terminator
    std::string dir;   // without the terminator
    std::uint64_t unpacked_size = 0;
    FileSettings settings;
    std::uint32_t search_depth = 2;
    std::uint32_t ring_size = 1u << 24;

    std::size_t header_size() const { return FIXED_HEADER_BYTES + name.size() + 1 + dir.size() + 1; }
};

// The header's bytes in stored order (entry_size as stored in the header).
std::vector<std::uint8_t> serialize_header(const EntryHeader& header);

// True for a ring size the format allows: a power of two from 2^23 to 2^30.
bool ring_size_valid(std::uint32_t ring_size);

inline void put_le(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
inline std::uint64_t get_le(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace qev
