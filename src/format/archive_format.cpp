#include "format/archive_format.h"

#include <algorithm>

namespace qev {

bool settings_usable(const FileSettings& s) {
    if (s.media_mode > 1 || s.lz_mode > 1) return false;
    if (s.stride == 0) return false;
    // In channel order the second context must be an earlier byte of the same
    // channel: any other distance reaches bytes of a later channel, which
    // the decoder has not restored yet.
    if (s.lz_mode == 0 && (s.second_distance == 0 || s.second_distance % s.stride != 0)) return false;
    if (s.media_mode == 1) {
        if (s.channels == 0 || s.channels > 32) return false;
        if (s.sample_bytes == 0) return false;
    }
    return true;
}

StreamSettings stream_settings(const FileSettings& s) {
    StreamSettings out;
    out.lz_mode = s.lz_mode != 0;
    out.media_mode = s.media_mode == 1;
    out.stride = s.stride;
    out.second_distance = s.second_distance;
    out.image_width = s.image_width;
    return out;
}

bool ring_size_valid(std::uint32_t ring_size) {
    return ring_size >= MIN_RING_SIZE && ring_size <= MAX_RING_SIZE && (ring_size & (ring_size - 1)) == 0;
}

std::vector<std::uint8_t> serialize_header(const EntryHeader& h) {
    std::vector<std::uint8_t> out;
    out.reserve(h.header_size());
    put_le(out, h.entry_size, 8);
    put_le(out, h.solid, 1);
    put_le(out, h.name.size() + 1, 2);
    out.insert(out.end(), h.name.begin(), h.name.end());
    out.push_back(0);
    put_le(out, h.dir.size() + 1, 2);
    out.insert(out.end(), h.dir.begin(), h.dir.end());
    out.push_back(0);
    put_le(out, h.unpacked_size, 8);
    put_le(out, h.settings.media_mode, 1);
    put_le(out, h.settings.channels, 1);
    put_le(out, h.settings.sample_bytes, 1);
    put_le(out, h.settings.lz_mode, 1);
    put_le(out, h.search_depth, 4);
    put_le(out, h.ring_size, 4);
    put_le(out, h.settings.stride, 1);
    put_le(out, h.settings.second_distance, 1);
    put_le(out, h.settings.image_width, 4);
    return out;
}

namespace {

// The string of a length field that counts its terminating zero; the text
// ends at the first zero.
std::string stored_string(const std::uint8_t* bytes, std::size_t length) {
    return std::string(reinterpret_cast<const char*>(bytes),
                       std::find(bytes, bytes + length - 1, 0) - bytes);
}

}  // namespace

namespace {

HeaderCheck parse_fields(ByteSource& in, std::uint64_t room, EntryHeader& h, std::string& problem, bool& unfinished) {
    std::uint8_t prefix[HEADER_PREFIX_BYTES];
    if (room < HEADER_PREFIX_BYTES || in.read(prefix, sizeof prefix) != sizeof prefix) {
        problem = "the entry header is cut short";
        return HeaderCheck::BadSize;
    }
    h.entry_size = get_le(prefix, 8);
    h.solid = prefix[8];
    const std::size_t name_length = static_cast<std::size_t>(get_le(prefix + 9, 2));
    // An unfinished entry is checked as if it reached to the end of the
    // archive, to tell one cut short by an interrupted add from damage.
    unfinished = h.entry_size == 0;
    if (unfinished) h.entry_size = room;
    if (h.entry_size > room) {
        problem = "the entry reaches past the end of the archive";
        return HeaderCheck::BadSize;
    }
    if (name_length == 0 || h.entry_size < FIXED_HEADER_BYTES + name_length + 1) {
        problem = "the entry's name length does not fit the entry";
        return HeaderCheck::BadSize;
    }
    // The name with the dir's length field after it.
    std::vector<std::uint8_t> bytes(name_length + 2);
    if (in.read(bytes.data(), bytes.size()) != bytes.size()) {
        problem = "the entry header is cut short";
        return HeaderCheck::BadSize;
    }
    const std::size_t dir_length = static_cast<std::size_t>(get_le(bytes.data() + name_length, 2));
    if (dir_length == 0 || h.entry_size < FIXED_HEADER_BYTES + name_length + dir_length) {
        problem = "the entry's dir length does not fit the entry";
        return HeaderCheck::BadSize;
    }
    h.name = stored_string(bytes.data(), name_length);
    if (bytes[name_length - 1] != 0) {
        problem = "the entry's name has no terminating zero";
        return HeaderCheck::BadEntry;
    }
    // The dir with the fixed fields after it.
    bytes.resize(dir_length + HEADER_SUFFIX_BYTES);
    if (in.read(bytes.data(), bytes.size()) != bytes.size()) {
        problem = "the entry header is cut short";
        return HeaderCheck::BadSize;
    }
    h.dir = stored_string(bytes.data(), dir_length);
    if (bytes[dir_length - 1] != 0) {
        problem = "the entry's dir has no terminating zero";
        return HeaderCheck::BadEntry;
    }
    const std::uint8_t* f = bytes.data() + dir_length;
    h.unpacked_size = get_le(f, 8);
    h.settings.media_mode = f[8];
    h.settings.channels = f[9];
    h.settings.sample_bytes = f[10];
    h.settings.lz_mode = f[11];
    h.search_depth = static_cast<std::uint32_t>(get_le(f + 12, 4));
    h.ring_size = static_cast<std::uint32_t>(get_le(f + 16, 4));
    h.settings.stride = f[20];
    h.settings.second_distance = f[21];
    h.settings.image_width = static_cast<std::uint32_t>(get_le(f + 22, 4));
    if (!ring_size_valid(h.ring_size)) {
        problem = "the entry's ring size is not a power of two from 8 MiB to 1 GiB";
        return HeaderCheck::BadEntry;
    }
    if (!settings_usable(h.settings)) {
        problem = "the entry's coding settings are invalid";
        return HeaderCheck::BadEntry;
    }
    return HeaderCheck::Ok;
}

}  // namespace

HeaderCheck parse_header(ByteSource& in, std::uint64_t room, EntryHeader& h, std::string& problem) {
    bool unfinished = false;
    const HeaderCheck check = parse_fields(in, room, h, problem, unfinished);
    if (!unfinished) return check;
    h.entry_size = 0;
    problem = "the entry was never finished (its size is 0)";
    return check == HeaderCheck::Ok ? HeaderCheck::Unfinished : HeaderCheck::BadSize;
}

}  // namespace qev
