#include "compress/archive_format.h"

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

}  // namespace qev
