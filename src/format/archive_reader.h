// Reading an archive: the walk from entry to entry by their sizes, with
// every header checked before it is used, and the coded stream of the
// current entry as a byte source that ends where the entry ends.
#pragma once

#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "format/archive_format.h"
#include "format/integrity_record.h"
#include "platform/platform_file.h"

namespace qev {

// Told once when a run has to wait for another run's lock on the archive.
class LockWaiter {
public:
    virtual ~LockWaiter() = default;
    virtual void waiting_for(const std::string& archive_path) = 0;
};

// Takes a lock on an open archive, waiting for it if another run holds a
// conflicting one (and telling the waiter so, where there is one). A file
// system without locks is used unlocked.
void lock_archive(platform::File& file, const std::string& path, bool exclusive, LockWaiter* waiter);

class ArchiveReader {
public:
    ArchiveReader() = default;
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Opens the archive with a shared lock, so that no add changes it
    // while it is read, and places the walk at its first entry. False when
    // it cannot be opened for reading.
    bool open(const std::string& path, LockWaiter* waiter = nullptr);
    // Opens the archive without locking it, for a second reader beside one
    // that holds the lock.
    bool open_unlocked(const std::string& path);
    // Walks an archive that the caller holds open (and locked).
    void walk(platform::File& file);
    void close() { own_.close(); }
    std::uint64_t size() const { return size_; }
    // Which file the archive is.
    bool identity(platform::FileId& id) const { return file_ != nullptr && file_->identity(id); }

    struct Entry {
        std::uint64_t offset = 0;  // where the entry starts
        EntryHeader header;
        HeaderCheck check = HeaderCheck::Ok;
        std::string problem;  // why, when check is not Ok
        // With check Ok: whether the entry ends with an integrity record,
        // whose header checksum has then been verified.
        bool has_record = false;
        IntegrityRecord record;
    };

    // Reads and checks the next entry's header, and its integrity record
    // where it has one (a damaged record or a header that does not match
    // its checksum makes the check BadEntry). False at the end of the
    // archive. An entry whose check is BadSize ends the walk: its size
    // cannot be trusted, so nothing after it can be found.
    bool next(Entry& entry);

    // Makes entry, found by another reader of the same archive, the current
    // one, for stream().
    void select(const Entry& entry);

    // The current entry's coded stream, positioned at its first byte; it
    // yields no byte past the entry's end. Valid until the next call of
    // next() or stream().
    ByteSource& stream();
    // The length of the current entry's coded stream.
    std::uint64_t stream_length() const { return stream_length_; }
    // Reads what is left of the current stream and tells whether all its
    // bytes match the stream checksum of the entry's record.
    bool stream_matches(const IntegrityRecord& record);

private:
    // Looks for the record at the end of the entry at offset.
    void read_record(Entry& entry);

    class Source : public ByteSource {
    public:
        std::size_t read(std::uint8_t* data, std::size_t n) override;
        platform::File* file = nullptr;
        std::uint64_t left = 0;
        ContentChecksum checksum;
    };

    platform::File own_;
    platform::File* file_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t next_offset_ = 0;
    bool walk_over_ = false;
    std::uint64_t stream_start_ = 0;
    std::uint64_t stream_length_ = 0;
    Source source_;
};

}  // namespace qev
