// Writing an archive: entries are appended at its end, each begun with
// entry_size 0 and finished by patching its size in, so that an entry
// that was never finished is recognisable as such.
//
// The writer holds an exclusive lock on the archive from its first check to
// its last write, so that two runs never append at once and no reader sees
// an entry being written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "format/archive_format.h"
#include "format/archive_reader.h"
#include "format/integrity_record.h"
#include "platform/platform_file.h"

namespace qev {

class ArchiveWriter {
public:
    ArchiveWriter() = default;
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    enum class OpenStatus {
        Ok,
        CannotCreate,  // no archive there, and none can be created
        CannotRead,    // an existing archive cannot be read to be checked
        SolidRefused,  // appending to a solid archive, or in a solid run
        NotSound,      // the existing file is damaged or no archive: left untouched
        Interrupted,   // the wait for another run's lock was interrupted
    };

    struct OpenReport {
        OpenStatus status = OpenStatus::Ok;
        // NotSound: where and what. CannotCreate, CannotRead: why (a
        // phrase such as "it is a folder" or "permission denied").
        std::uint64_t problem_offset = 0;
        std::string problem;
        // Ok: an unfinished entry at the end, left by an add that was
        // stopped, was cut off.
        bool repaired = false;
        std::uint64_t dropped_offset = 0;
        std::uint64_t dropped_bytes = 0;
    };

    // Creates the archive, or accepts an existing one for appending: only a
    // sound, non-solid archive takes more entries, and never from a solid
    // run. Its entries' headers are walked first (nothing is decoded). A
    // path that exists but cannot be opened for reading and writing (a
    // folder, a link that leads nowhere, a read-only file) fails at once;
    // one that another run creates, removes or replaces meanwhile is opened
    // again, a bounded number of times.
    OpenReport open(const std::string& path, bool solid, LockWaiter* waiter = nullptr);
    bool is_open() const { return file_.is_open(); }
    void close() { file_.close(); }

    // Starts an entry at the end of the archive: its header, with the
    // entry_size field 0. False when the header cannot be written.
    bool begin_entry(const EntryHeader& header);
    // Where the entry's coded stream goes.
    ByteSink& sink() { return sink_; }
    // Bytes of the entry so far: header and stream.
    std::uint64_t entry_bytes() const { return header_.size() + sink_.written; }
    // Ends the entry: with a record, appends it (its stream length and
    // header checksum filled in here), then patches the entry's size into
    // its first field. False when that cannot be written.
    bool finish_entry(const IntegrityRecord* record = nullptr);
    // Cuts the archive back to where the unfinished entry began, so that
    // every earlier entry stays valid. An archive this run created that
    // holds no complete entry is removed. Closes the archive.
    void abandon_entry();
    // Closes the archive between entries; one this run created that holds
    // no complete entry is removed (true then).
    bool end_without_entry();
    // True when abandon_entry removed the archive.
    bool removed() const { return removed_; }
    std::uint64_t entry_start() const { return entry_start_; }
    // The place of the first entry this run appends, from which packs are
    // named: the complete entries the archive held when it was opened, or
    // more, past the highest place a pack there is named after (a removal
    // keeps the names of the packs it keeps).
    std::uint64_t entries_before() const { return entries_before_; }

private:
    // Walks an existing archive; repairs or refuses as open() says.
    OpenReport check_existing(bool solid);

    class Sink : public ByteSink {
    public:
        bool write(const std::uint8_t* data, std::size_t n) override {
            if (!file->write(data, n)) return false;
            written += n;
            checksum.update(data, n);
            return true;
        }
        platform::File* file = nullptr;
        std::uint64_t written = 0;
        ContentChecksum checksum;
    };

    std::string path_;
    platform::File file_;
    bool created_ = false;
    bool removed_ = false;
    std::uint64_t completed_ = 0;  // entries finished in this run
    std::uint64_t entries_before_ = 0;
    std::uint64_t entry_start_ = 0;
    std::vector<std::uint8_t> header_;  // as written, entry_size 0
    Sink sink_;
};

}  // namespace qev
