#include "format/archive_reader.h"

#include "format/metadata.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace qev {

namespace {

// The shortest and the longest header the format allows (both strings
// empty; both of 65,534 bytes).
constexpr std::uint64_t MIN_HEADER_BYTES = FIXED_HEADER_BYTES + 2;
constexpr std::uint64_t MAX_HEADER_BYTES = FIXED_HEADER_BYTES + 2 * 0xFFFFu;

}  // namespace

RecordCheck read_record_ending_at(platform::File& file, std::uint64_t end, std::uint64_t room, IntegrityRecord& record,
                                  std::string& problem) {
    if (room < RECORD_BYTES || end < RECORD_BYTES) return RecordCheck::Absent;
    std::uint8_t tail[RECORD_BYTES];
    if (!file.seek(end - RECORD_BYTES) || file.read(tail, RECORD_BYTES) != RECORD_BYTES) return RecordCheck::Absent;
    const std::uint64_t length = record_length(tail);
    if (length == 0) return RecordCheck::Absent;
    if (length == RECORD_BYTES) return parse_record(tail, RECORD_BYTES, record, problem);
    if (length < RECORD_BYTES || length > room || length > RECORD_BYTES + MAX_METADATA_BYTES) {
        problem = length < RECORD_BYTES || length > RECORD_BYTES + MAX_METADATA_BYTES
                      ? "its integrity record is of an unknown kind"
                      : "its integrity record does not fit the entry";
        return RecordCheck::Damaged;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    if (!file.seek(end - length) || file.read(bytes.data(), bytes.size()) != bytes.size()) {
        problem = "its integrity record cannot be read";
        return RecordCheck::Damaged;
    }
    return parse_record(bytes.data(), length, record, problem);
}

bool find_entry_ending_at(platform::File& file, std::uint64_t end, std::uint64_t not_before, std::uint64_t& start) {
    if (end < not_before || end - not_before < MIN_HEADER_BYTES + RECORD_BYTES) return false;
    IntegrityRecord record;
    std::string problem;
    if (read_record_ending_at(file, end, end - not_before - MIN_HEADER_BYTES, record, problem) != RecordCheck::Ok) {
        return false;
    }
    // The header ends where the record's stream begins.
    const std::uint64_t stream_end = end - record.length();
    if (record.stream_length > stream_end - not_before - MIN_HEADER_BYTES) return false;
    const std::uint64_t header_end = stream_end - record.stream_length;
    const std::uint64_t lowest = std::max(not_before, header_end >= MAX_HEADER_BYTES ? header_end - MAX_HEADER_BYTES : 0);
    const std::uint64_t highest = header_end - MIN_HEADER_BYTES;  // >= lowest, as checked above
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(header_end - lowest));
    if (!file.seek(lowest) || file.read(bytes.data(), bytes.size()) != bytes.size()) return false;
    // Short headers first: the name and dir lengths of real entries are small.
    for (std::uint64_t at = highest + 1; at-- > lowest;) {
        const std::uint8_t* h = bytes.data() + (at - lowest);
        if (get_le(h, 8) != end - at) continue;
        const std::uint64_t header_bytes = header_end - at;
        const std::uint64_t name_length = get_le(h + 9, 2);
        if (HEADER_PREFIX_BYTES + name_length + 2 > header_bytes) continue;
        const std::uint64_t dir_length = get_le(h + HEADER_PREFIX_BYTES + name_length, 2);
        if (FIXED_HEADER_BYTES + name_length + dir_length != header_bytes) continue;
        if (checksum_of(h, static_cast<std::size_t>(header_bytes)) != record.header_checksum) continue;
        start = at;
        return true;
    }
    return false;
}

bool find_entry_after(platform::File& file, std::uint64_t not_before, std::uint64_t size, std::uint64_t& start) {
    constexpr std::size_t CHUNK = 1u << 20;
    constexpr std::size_t MAGIC_BYTES = sizeof RECORD_MAGIC;
    std::vector<std::uint8_t> chunk(CHUNK + MAGIC_BYTES - 1);
    // The earliest place the magic of such an entry's record can be.
    for (std::uint64_t from = not_before + MIN_HEADER_BYTES + RECORD_BYTES - MAGIC_BYTES; from + MAGIC_BYTES <= size;
         from += CHUNK) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - from));
        if (!file.seek(from) || file.read(chunk.data(), want) != want) return false;
        const std::size_t positions = want - (MAGIC_BYTES - 1);  // where a whole magic fits
        const std::uint8_t* p = chunk.data();
        const std::uint8_t* const last = chunk.data() + positions;
        while (p < last) {
            p = static_cast<const std::uint8_t*>(std::memchr(p, RECORD_MAGIC[0], static_cast<std::size_t>(last - p)));
            if (p == nullptr) break;
            if (std::memcmp(p, RECORD_MAGIC, MAGIC_BYTES) == 0) {
                const std::uint64_t end = from + static_cast<std::uint64_t>(p - chunk.data()) + MAGIC_BYTES;
                if (find_entry_ending_at(file, end, not_before, start)) return true;
            }
            ++p;
        }
    }
    return false;
}

std::size_t ArchiveReader::Source::read(std::uint8_t* data, std::size_t n) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, left));
    const std::size_t got = take ? file->read(data, take) : 0;
    left -= got;
    checksum.update(data, got);
    return got;
}

bool lock_archive(platform::File& file, const std::string& path, bool exclusive, LockWaiter* waiter) {
    if (file.lock(exclusive, false) != platform::LockResult::Busy) return true;
    if (waiter != nullptr) waiter->waiting_for(path);
    return file.lock(exclusive, true) != platform::LockResult::Interrupted;
}

bool ArchiveReader::open_file(const std::string& path) {
    problem_.clear();
    if (own_.open_read_regular(path)) return true;
    const int error = errno;
    // Nothing at the path: the caller's plain "cannot open" says enough.
    if (error != ENOENT || platform::is_dangling_link(path)) problem_ = platform::open_failure_reason(path, error);
    return false;
}

bool ArchiveReader::open(const std::string& path, LockWaiter* waiter) {
    if (!open_file(path)) return false;
    if (!lock_archive(own_, path, false, waiter)) {
        own_.close();
        problem_ = "the wait for another run's lock on it was interrupted";
        return false;
    }
    walk(own_);
    // Looked at once the lock is held: an add that has just created the
    // archive holds its lock until the first entry is in.
    if (size_ == 0) {
        own_.close();
        problem_ = "it is empty, not an archive";
        return false;
    }
    return true;
}

bool ArchiveReader::open_unlocked(const std::string& path) {
    if (!open_file(path)) return false;
    walk(own_);
    if (size_ == 0) {
        own_.close();
        problem_ = "it is empty, not an archive";
        return false;
    }
    return true;
}

std::string ArchiveReader::unreadable_reason(const std::string& path) {
    ArchiveReader probe;
    probe.open_unlocked(path);
    return probe.problem_;
}

void ArchiveReader::select(const Entry& entry) {
    stream_start_ = entry.offset + entry.header.header_size();
    stream_length_ = entry.has_record ? entry.record.stream_length : entry.header.entry_size - entry.header.header_size();
}

void ArchiveReader::walk(platform::File& file) {
    file_ = &file;
    size_ = file.size();
    next_offset_ = 0;
    walk_over_ = false;
    have_last_ = false;
    last_start_ = 0;
    last_proven_ = false;
    stream_length_ = 0;
}

bool ArchiveReader::next(Entry& entry) {
    if (walk_over_ || next_offset_ >= size_) return false;
    entry = Entry();
    entry.offset = next_offset_;
    // The header is read through a source bounded like a stream, so a
    // header that claims more than the archive holds reads short.
    source_.file = file_;
    source_.left = size_ - next_offset_;
    if (!file_->seek(next_offset_)) source_.left = 0;
    entry.check = parse_header(source_, size_ - next_offset_, entry.header, entry.problem);
    if (ends_walk(entry.check)) {
        stream_length_ = 0;
        look_ahead(entry);
        return true;
    }
    stream_start_ = next_offset_ + entry.header.header_size();
    stream_length_ = entry.header.entry_size - entry.header.header_size();
    if (entry.check == HeaderCheck::Ok) read_record(entry);
    have_last_ = true;
    last_start_ = entry.offset;
    last_proven_ = entry.has_record;
    next_offset_ += entry.header.entry_size;
    return true;
}

void ArchiveReader::look_ahead(Entry& entry) {
    walk_over_ = true;
    if (!look_ahead_) return;
    // An entry before this one whose size no record proved may itself be
    // the one whose size is wrong, so that this entry's offset lies inside
    // the next sound entry: the search then starts just after its start.
    const std::uint64_t not_before = have_last_ && !last_proven_ ? last_start_ + 1 : entry.offset + 1;
    std::uint64_t start = 0;
    if (!find_entry_after(*file_, not_before, size_, start)) return;
    walk_over_ = false;
    entry.resumes_at = start;
    if (start > entry.offset) {
        entry.problem += "; bytes " + std::to_string(entry.offset) + " to " + std::to_string(start - 1) +
                         " are skipped and the walk goes on at offset " + std::to_string(start);
    } else {
        entry.problem += "; the walk goes on at offset " + std::to_string(start) +
                         ", where an entry that its integrity record proves sound begins";
    }
    next_offset_ = start;
    have_last_ = false;
}

void ArchiveReader::read_record(Entry& entry) {
    const EntryHeader& h = entry.header;
    if (stream_length_ < RECORD_BYTES) return;
    const RecordCheck check =
        read_record_ending_at(*file_, entry.offset + h.entry_size, stream_length_, entry.record, entry.problem);
    if (check == RecordCheck::Absent) return;
    entry.check = HeaderCheck::BadEntry;
    if (check == RecordCheck::Damaged) return;
    if (entry.record.stream_length != stream_length_ - entry.record.length()) {
        entry.problem = "its integrity record does not fit the entry";
        return;
    }
    const std::vector<std::uint8_t> header = serialize_header(h);
    if (checksum_of(header.data(), header.size()) != entry.record.header_checksum) {
        entry.problem = "checksum mismatch: its header is not what was stored";
        return;
    }
    entry.check = HeaderCheck::Ok;
    entry.has_record = true;
    stream_length_ = entry.record.stream_length;
}

ByteSource& ArchiveReader::stream() {
    source_.file = file_;
    source_.left = file_->seek(stream_start_) ? stream_length_ : 0;
    source_.checksum.reset();
    return source_;
}

bool ArchiveReader::stream_matches(const IntegrityRecord& record) {
    std::uint8_t rest[4096];
    while (source_.left > 0) {
        if (source_.read(rest, sizeof rest) == 0) return false;
    }
    return source_.checksum.value() == record.stream_checksum;
}

}  // namespace qev
