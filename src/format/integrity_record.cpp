#include "format/integrity_record.h"

#include <xxhash.h>

#include <cstring>
#include <new>

#include "format/byte_order.h"
#include "format/metadata.h"

namespace qev {

namespace {

constexpr std::size_t CHECKSUM_AT = 52;
constexpr std::size_t LENGTH_AT = 60;
constexpr std::size_t MAGIC_AT = 64;

// Over the metadata block and the fixed part, the checksum field as zero.
std::uint64_t record_checksum(const std::uint8_t* bytes, std::uint64_t length) {
    const std::size_t block = static_cast<std::size_t>(length - RECORD_BYTES);
    std::uint8_t fixed[RECORD_BYTES];
    std::memcpy(fixed, bytes + block, RECORD_BYTES);
    std::memset(fixed + CHECKSUM_AT, 0, 8);
    XXH3_state_t* state = XXH3_createState();
    if (state == nullptr) throw std::bad_alloc();
    XXH3_64bits_reset(state);
    XXH3_64bits_update(state, bytes, block);
    XXH3_64bits_update(state, fixed, RECORD_BYTES);
    const std::uint64_t value = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    return value;
}

}  // namespace

std::uint64_t checksum_of(const std::uint8_t* data, std::size_t n) { return XXH3_64bits(data, n); }

std::vector<std::uint8_t> serialize_record(const IntegrityRecord& r) {
    std::vector<std::uint8_t> out(r.metadata.begin(), r.metadata.end());
    out.reserve(r.length());
    // A record without metadata is one the first version could read.
    put_le(out, r.metadata.empty() ? 1 : r.version, 1);
    put_le(out, static_cast<std::uint8_t>(r.type), 1);
    put_le(out, 0, 2);
    put_le(out, r.mode, 4);
    put_le(out, r.stream_length, 8);
    put_le(out, r.content_checksum, 8);
    put_le(out, r.header_checksum, 8);
    put_le(out, r.stream_checksum, 8);
    put_le(out, static_cast<std::uint64_t>(r.mtime_seconds), 8);
    put_le(out, r.mtime_nanoseconds, 4);
    put_le(out, 0, 8);  // the record's checksum, below
    put_le(out, r.length(), 4);
    out.insert(out.end(), RECORD_MAGIC, RECORD_MAGIC + sizeof RECORD_MAGIC);
    const std::size_t fixed = r.metadata.size();
    store_le(out.data() + fixed + CHECKSUM_AT, record_checksum(out.data(), out.size()), 8);
    return out;
}

std::uint64_t record_length(const std::uint8_t* tail) {
    if (std::memcmp(tail + MAGIC_AT, RECORD_MAGIC, sizeof RECORD_MAGIC) != 0) return 0;
    return get_le(tail + LENGTH_AT, 4);
}

RecordCheck parse_record(const std::uint8_t* bytes, std::uint64_t length, IntegrityRecord& r, std::string& problem) {
    if (length < RECORD_BYTES) return RecordCheck::Absent;
    const std::uint8_t* tail = bytes + (length - RECORD_BYTES);
    if (std::memcmp(tail + MAGIC_AT, RECORD_MAGIC, sizeof RECORD_MAGIC) != 0) return RecordCheck::Absent;
    if (get_le(tail + LENGTH_AT, 4) != length || length > RECORD_BYTES + MAX_METADATA_BYTES) {
        problem = "its integrity record is of an unknown kind";
        return RecordCheck::Damaged;
    }
    if (get_le(tail + CHECKSUM_AT, 8) != record_checksum(bytes, length)) {
        problem = "checksum mismatch: its integrity record is damaged";
        return RecordCheck::Damaged;
    }
    if (tail[0] == 0 || (tail[0] == 1 && length != RECORD_BYTES) ||
        tail[1] > static_cast<std::uint8_t>(EntryType::Pack)) {
        problem = "its integrity record is of an unknown kind";
        return RecordCheck::Damaged;
    }
    // A later version's metadata is not read: its content still is.
    r.metadata.clear();
    if (tail[0] == RECORD_VERSION) {
        r.metadata.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length - RECORD_BYTES));
        Metadata parsed;
        if (!parse_metadata_records(bytes, static_cast<std::size_t>(length - RECORD_BYTES), parsed, problem)) {
            return RecordCheck::Damaged;
        }
    }
    r.version = tail[0];
    r.type = static_cast<EntryType>(tail[1]);
    r.mode = static_cast<std::uint32_t>(get_le(tail + 4, 4));
    r.stream_length = get_le(tail + 8, 8);
    r.content_checksum = get_le(tail + 16, 8);
    r.header_checksum = get_le(tail + 24, 8);
    r.stream_checksum = get_le(tail + 32, 8);
    r.mtime_seconds = static_cast<std::int64_t>(get_le(tail + 40, 8));
    r.mtime_nanoseconds = static_cast<std::uint32_t>(get_le(tail + 48, 4));
    return RecordCheck::Ok;
}

ContentChecksum::ContentChecksum() : state_(XXH3_createState()) {
    if (state_ == nullptr) throw std::bad_alloc();
    reset();
}

ContentChecksum::~ContentChecksum() { XXH3_freeState(static_cast<XXH3_state_t*>(state_)); }

void ContentChecksum::reset() { XXH3_64bits_reset(static_cast<XXH3_state_t*>(state_)); }

void ContentChecksum::update(const std::uint8_t* data, std::size_t n) {
    XXH3_64bits_update(static_cast<XXH3_state_t*>(state_), data, n);
}

std::uint64_t ContentChecksum::value() const { return XXH3_64bits_digest(static_cast<XXH3_state_t*>(state_)); }

}  // namespace qev
