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
// system without locks is used unlocked. False when the wait was ended by
// an interruption (the file is then not locked).
bool lock_archive(platform::File& file, const std::string& path, bool exclusive, LockWaiter* waiter);

// Where the entry starts that an integrity record ending at end (the
// record's last byte is at end - 1) closes: the record must be sound, and
// the entry's header, found at or after not_before right before the
// record's stream, must hold the size end - start and match the record's
// header checksum. False when there is no such entry.
bool find_entry_ending_at(platform::File& file, std::uint64_t end, std::uint64_t not_before, std::uint64_t& start);

// Reads the integrity record that ends at offset end, where room bytes lie
// before end that it may take; Absent where there is none (or no room).
RecordCheck read_record_ending_at(platform::File& file, std::uint64_t end, std::uint64_t room, IntegrityRecord& record,
                                  std::string& problem);

// The first entry at or after not_before, and before size, that ends with
// an integrity record proving it sound (find_entry_ending_at), found in one
// pass over the bytes from not_before on. False when there is none.
bool find_entry_after(platform::File& file, std::uint64_t not_before, std::uint64_t size, std::uint64_t& start);

class ArchiveReader {
public:
    ArchiveReader() = default;
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Opens the archive with a shared lock, so that no add changes it
    // while it is read, and places the walk at its first entry. False when
    // it cannot be opened for reading, when it is no regular file (a pipe
    // or a device is not waited on), when it is empty, or when the wait for
    // the lock was interrupted; problem() then says why.
    bool open(const std::string& path, LockWaiter* waiter = nullptr);
    // Opens the archive without locking it, for a second reader beside one
    // that holds the lock.
    bool open_unlocked(const std::string& path);
    // Why the last open failed: a phrase such as "it is a folder" or "it is
    // empty, not an archive"; empty when there is no file at the path.
    const std::string& problem() const { return problem_; }
    // Why the archive at path cannot be opened for reading now (as
    // problem(), without waiting for a lock); empty when it can, or when
    // there is no file there.
    static std::string unreadable_reason(const std::string& path);
    // Walks an archive that the caller holds open (and locked).
    void walk(platform::File& file);
    // With look-ahead on (the default), an entry whose size cannot be
    // trusted does not end the walk: it goes on at the next entry that its
    // integrity record proves sound (Entry::resumes_at).
    void set_look_ahead(bool on) { look_ahead_ = on; }
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
        // With a check that ends a walk (BadSize, Unfinished): where the
        // walk goes on, at the first entry after the damage that its
        // integrity record proves sound (problem then names the skipped
        // bytes); 0 when none was found and the walk ends here.
        std::uint64_t resumes_at = 0;
    };

    // Reads and checks the next entry's header, and its integrity record
    // where it has one (a damaged record or a header that does not match
    // its checksum makes the check BadEntry). False at the end of the
    // archive. An entry whose check is BadSize or Unfinished has a size
    // that cannot be trusted: the walk looks ahead for the next entry that
    // an integrity record proves sound and goes on there (resumes_at), or
    // ends when there is none (or look-ahead is off).
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
    bool open_file(const std::string& path);
    // Looks for the record at the end of the entry at offset.
    void read_record(Entry& entry);
    // After an entry whose size cannot be trusted: where the walk goes on.
    void look_ahead(Entry& entry);

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
    bool look_ahead_ = true;
    // The entry before the current one: where it began, and whether its
    // integrity record proved its size.
    bool have_last_ = false;
    std::uint64_t last_start_ = 0;
    bool last_proven_ = false;
    std::string problem_;
    std::uint64_t stream_start_ = 0;
    std::uint64_t stream_length_ = 0;
    Source source_;
};

}  // namespace qev
