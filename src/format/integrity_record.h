// The integrity record: the last bytes of every entry the add command
// writes by default, inside entry_size and after the coded stream. A reader
// that decodes unpacked_size bytes from the stream's start and moves on by
// entry_size never sees it; we find it from the entry's end.
//
// A record ends with RECORD_BYTES of fixed layout; from version 2 on, a
// metadata block of pax records (format/metadata.h) may stand before them,
// and the length field counts it. Every later version keeps the fixed
// part where it is, so that a reader that does not know a version still
// finds the content's checksums and restores the content.
//
// Fixed part (little-endian), RECORD_BYTES in all:
//    0  u8   version (2; 1 for records without a metadata block)
//    1  u8   type: 0 regular file, 1 symbolic link (the content is its
//            target), 2 folder, 3 pack (the content is a pax archive of
//            several small files, folders and links; see format/pack.h)
//    2  u16  0
//    4  u32  permission bits (the low 12 bits of the file's mode)
//    8  u64  length of the coded stream
//   16  u64  XXH3-64 of the file's original bytes
//   24  u64  XXH3-64 of the entry header as stored (final entry_size)
//   32  u64  XXH3-64 of the coded stream
//   40  i64  modification time, seconds since 1970
//   48  u32  modification time, nanoseconds
//   52  u64  XXH3-64 of the whole record (metadata block and fixed
//            part) with this field zero
//   60  u32  length of the whole record (72 and the metadata block)
//   64  u8[8] the magic 89 'Q' 'E' 'V' 'r' 'e' 'c' 0A
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qev {

constexpr std::size_t RECORD_BYTES = 72;
constexpr std::uint8_t RECORD_VERSION = 2;
constexpr std::uint8_t RECORD_MAGIC[8] = {0x89, 'Q', 'E', 'V', 'r', 'e', 'c', 0x0A};

enum class EntryType : std::uint8_t {
    File = 0,
    Link = 1,
    Folder = 2,
    Pack = 3,
    // Kinds only pack members have.
    HardLink = 4,  // another name of a file stored before
    Fifo = 5,
    CharDevice = 6,
    BlockDevice = 7,
};

struct IntegrityRecord {
    std::uint8_t version = RECORD_VERSION;
    EntryType type = EntryType::File;
    std::uint32_t mode = 0644;
    std::uint64_t stream_length = 0;
    std::uint64_t content_checksum = 0;
    std::uint64_t header_checksum = 0;
    std::uint64_t stream_checksum = 0;
    std::int64_t mtime_seconds = 0;
    std::uint32_t mtime_nanoseconds = 0;
    // Pax records (format/metadata.h); empty where the record has none or
    // is of a version this reader does not know.
    std::string metadata;

    std::uint64_t length() const { return RECORD_BYTES + metadata.size(); }
};

// The record's bytes, its own checksum included.
std::vector<std::uint8_t> serialize_record(const IntegrityRecord& record);

enum class RecordCheck {
    Absent,   // the entry ends without the magic: a plain entry
    Ok,
    Damaged,  // the magic is there, but the record is not sound
};

// The length of the whole record whose fixed part is tail (the last
// RECORD_BYTES of an entry); 0 where the entry ends without the magic.
std::uint64_t record_length(const std::uint8_t* tail);

// Reads the whole record: length bytes (as record_length gave) that end an
// entry. On Damaged, problem says why.
RecordCheck parse_record(const std::uint8_t* bytes, std::uint64_t length, IntegrityRecord& record,
                         std::string& problem);

// XXH3-64 of a byte range, and a running one for content read in pieces.
std::uint64_t checksum_of(const std::uint8_t* data, std::size_t n);

class ContentChecksum {
public:
    ContentChecksum();
    ~ContentChecksum();
    ContentChecksum(const ContentChecksum&) = delete;
    ContentChecksum& operator=(const ContentChecksum&) = delete;

    void reset();
    void update(const std::uint8_t* data, std::size_t n);
    std::uint64_t value() const;

private:
    void* state_;
};

}  // namespace qev
