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
#include "format/byte_order.h"

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

// The stored path as the archive holds it: dir followed by name.
inline std::string stored_path(const EntryHeader& header) { return header.dir + header.name; }

// The header's bytes in stored order (entry_size as stored in the header).
std::vector<std::uint8_t> serialize_header(const EntryHeader& header);

// True for a ring size the format allows: a power of two from 2^23 to 2^30.
bool ring_size_valid(std::uint32_t ring_size);

// How far a header can be trusted.
enum class HeaderCheck {
    Ok,
    BadEntry,  // the entry cannot be restored, but its size is sound
    BadSize,   // the entry's size cannot be trusted: a walk ends here
    // The entry's size is 0 but the rest of its header is sound, as an add
    // that was stopped before it finished the entry leaves it; a walk ends
    // here as at BadSize.
    Unfinished,
};

// True for the checks that end a walk.
inline bool ends_walk(HeaderCheck check) { return check == HeaderCheck::BadSize || check == HeaderCheck::Unfinished; }

// Reads the header of an entry from in, which stands at the entry's start
// with room bytes of archive from there on, and checks it: its size must
// cover its header and stay inside the archive, its strings must end with
// their zero, its settings must be ones the decoder can obey. On a problem
// the reason is left in problem; with BadEntry the header's size, name and
// dir are filled in.
HeaderCheck parse_header(ByteSource& in, std::uint64_t room, EntryHeader& header, std::string& problem);

}  // namespace qev
