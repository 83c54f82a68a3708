#include "format/archive_reader.h"

#include <algorithm>

namespace qev {

std::size_t ArchiveReader::Source::read(std::uint8_t* data, std::size_t n) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, left));
    const std::size_t got = take ? file->read(data, take) : 0;
    left -= got;
    checksum.update(data, got);
    return got;
}

void lock_archive(platform::File& file, const std::string& path, bool exclusive, LockWaiter* waiter) {
    if (file.lock(exclusive, false) != platform::LockResult::Busy) return;
    if (waiter != nullptr) waiter->waiting_for(path);
    file.lock(exclusive, true);
}

bool ArchiveReader::open(const std::string& path, LockWaiter* waiter) {
    if (!own_.open_read(path)) return false;
    lock_archive(own_, path, false, waiter);
    walk(own_);
    return true;
}

bool ArchiveReader::open_unlocked(const std::string& path) {
    if (!own_.open_read(path)) return false;
    walk(own_);
    return true;
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
        walk_over_ = true;
        stream_length_ = 0;
        return true;
    }
    stream_start_ = next_offset_ + entry.header.header_size();
    stream_length_ = entry.header.entry_size - entry.header.header_size();
    if (entry.check == HeaderCheck::Ok) read_record(entry);
    next_offset_ += entry.header.entry_size;
    return true;
}

void ArchiveReader::read_record(Entry& entry) {
    const EntryHeader& h = entry.header;
    if (stream_length_ < RECORD_BYTES) return;
    std::uint8_t tail[RECORD_BYTES];
    if (!file_->seek(entry.offset + h.entry_size - RECORD_BYTES) || file_->read(tail, RECORD_BYTES) != RECORD_BYTES) {
        return;  // the walk has checked that the entry lies inside the archive
    }
    const RecordCheck check = parse_record(tail, entry.record, entry.problem);
    if (check == RecordCheck::Absent) return;
    entry.check = HeaderCheck::BadEntry;
    if (check == RecordCheck::Damaged) return;
    if (entry.record.stream_length != stream_length_ - RECORD_BYTES) {
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
