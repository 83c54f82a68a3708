// The compression driver: stores one file as one archive entry.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "compress/analysis.h"
#include "compress/disk_metadata.h"
#include "compress/entry_coder.h"
#include "engine/engine.h"
#include "format/archive_format.h"
#include "format/archive_writer.h"
#include "format/filters.h"
#include "format/integrity_record.h"
#include "format/pack.h"

namespace qev {

struct CompressOptions {
    SearchSettings search;
    bool solid = false;
    bool recurse = false;  // separator runs in stored names and dirs are cut
    bool plain = false;    // entries without the integrity record
    // Asked before every block and at the points between an entry's steps;
    // true stops the run with the unfinished entry cut off.
    std::function<bool()> should_stop;
    // Where given, grows by every byte coded (for a progress display).
    std::atomic<std::uint64_t>* bytes_done = nullptr;
    // Where given, cores the coders may borrow to code a large entry as a
    // pipeline.
    SpareCores* spare_cores = nullptr;
};

// What became of one file.
enum class StoreStatus {
    Stored,      // the entry is complete
    Shrank,      // stored, but the file had fewer bytes than its size: zeros stand for the rest
    Grew,        // stored up to its size, but the file had more bytes by then
    Changed,     // stored as read, but the file was written to while it was read
    Unreadable,  // the input could not be opened; nothing was written
    // The rest end the run; entries completed before stay valid.
    CannotCreateArchive,
    CannotReadArchive,
    SolidRefused,
    ArchiveNotSound,  // the existing archive is damaged or no archive: untouched
    NoMemory,
    WriteFailed,  // the unfinished entry has been cut off again
    Interrupted,  // should_stop said so; the unfinished entry has been cut off again
};

// The file was stored: as a whole, cut to its size, or as it was read.
inline bool entry_written(StoreStatus status) {
    return status == StoreStatus::Stored || status == StoreStatus::Shrank || status == StoreStatus::Grew ||
           status == StoreStatus::Changed;
}

inline bool ends_run(StoreStatus status) {
    return !entry_written(status) && status != StoreStatus::Unreadable;
}

// What became of one member of a pack.
struct MemberResult {
    StoreStatus status = StoreStatus::Stored;  // Stored, Grew, Changed or Unreadable
    std::uint64_t unpacked_size = 0;           // bytes stored
    std::string warning;                       // what of its metadata could not be read
};

struct StoreResult {
    StoreStatus status = StoreStatus::Stored;
    std::uint64_t unpacked_size = 0;  // bytes of the file as its size said
    std::uint64_t entry_size = 0;     // bytes of the entry, header included
    // ArchiveNotSound: what was found where. CannotCreateArchive,
    // CannotReadArchive: why the archive does not open. WriteFailed with
    // spill_file: why that file failed.
    std::uint64_t problem_offset = 0;
    std::string problem;
    // WriteFailed: the temporary file that held the coded entry, when it
    // was that file and not the archive that could not be written or read.
    std::string spill_file;
    // WriteFailed, Interrupted: the archive held no complete entry and was
    // removed.
    bool archive_removed = false;
    // The file's coding had begun (its input and the archive were open).
    bool coding_began = false;
    // A pack: its stored name, and what became of each member, in order.
    // The pack's own status is Stored when its entry is complete, even
    // where some members could not be read.
    std::string pack_name;
    std::vector<MemberResult> members;
    // What of the file's metadata could not be read; it is stored without.
    std::string warning;
};

// One file to store, or a pack of several (type Pack, members filled in,
// path, name and dir unused). A member's name and dir are its stored ones.
struct FileToStore {
    std::string path;
    std::string name;
    std::string dir;
    EntryType type = EntryType::File;
    std::vector<FileToStore> members;
    // A hard link: the stored path (dir and name) of the member or entry
    // that holds the file.
    std::string link_target;
};

// Told when the coding of a file begins (after its input and the archive
// are open and the storage is ready), for progress lines; when the run has
// to wait for another run's lock on the archive; and when an unfinished
// entry at the archive's end was cut off before appending.
class CompressObserver : public LockWaiter {
public:
    virtual void coding_started(const std::string& input_path) = 0;
    virtual void archive_repaired(std::uint64_t offset, std::uint64_t dropped_bytes) = 0;
};

// A file the front has opened and analysed, ready to be coded.
struct PlannedEntry {
    std::string input_path;
    EntryInput input;
    EntryHeader header;
    IntegrityRecord record;
    bool shrank = false;  // the analysis already found fewer bytes than the size
};

class Compressor {
public:
    Compressor(const CompressOptions& options, std::string archive_path);
    ~Compressor();

    void set_observer(CompressObserver* observer) { observer_ = observer; }

    // Stores one file under the given name and dir: a regular file's bytes,
    // a link's target (the link itself is not followed), or a folder's
    // entry (no bytes). A link or a folder needs the integrity record to
    // be told apart from a file.
    StoreResult compress_file(const std::string& input_path, std::string name, std::string dir,
                              EntryType type = EntryType::File);
    // Stores a file or a pack.
    StoreResult compress(const FileToStore& item);

    // The steps compress_file is made of, for drivers that code entries on
    // other threads. plan opens the input (and, at the first file, the
    // archive) and chooses the file's settings; a status other than Stored
    // is the file's result.
    StoreStatus plan(const std::string& input_path, std::string name, std::string dir, EntryType type,
                     PlannedEntry& entry, StoreResult& result);
    // The same for a file or a pack: a pack's members are read into its
    // pax stream here, in memory.
    StoreStatus plan(const FileToStore& item, PlannedEntry& entry, StoreResult& result);
    // Writes a coded entry: the header, the stream's bytes from copy_stream
    // (which writes them to the sink it is given), the record; Stored or
    // the status that ends the run.
    StoreStatus write_entry(const PlannedEntry& entry, const EntryCoder::Outcome& coded,
                            const std::function<bool(ByteSink&)>& copy_stream, StoreResult& result);
    // Ends a run stopped between entries: an archive it created without a
    // complete entry is removed.
    bool end_interrupted();

    const CompressOptions& options() const { return options_; }

private:
    StoreStatus open_archive(StoreResult& result);
    bool stop_requested() const { return options_.should_stop && options_.should_stop(); }
    StoreStatus abandon(StoreStatus status, StoreResult& result);
    StoreStatus plan_pack(const FileToStore& pack, PlannedEntry& entry, StoreResult& result);
    StoreStatus read_member(const FileToStore& m, PackMember& member, std::string& content, std::string& warning);
    // The analysis of the entry's first bytes and its header.
    StoreStatus choose_settings(PlannedEntry& entry, std::string name, std::string dir, StoreResult& result);
    // The record and the size patch of an entry whose stream is written.
    StoreStatus finish_entry(const PlannedEntry& entry, const EntryCoder::Outcome& coded, StoreResult& result);

    CompressOptions options_;
    std::string archive_path_;
    ArchiveWriter archive_;
    CompressObserver* observer_ = nullptr;
    bool archive_opened_ = false;
    std::uint64_t entries_planned_ = 0;  // in this run: the next entry's number, less those before

    std::unique_ptr<std::uint8_t[]> sample_;  // BLOCK_SIZE + SAMPLE_SLACK
    std::unique_ptr<std::uint8_t[]> scratch_;  // BLOCK_SIZE + BLOCK_SLACK
    Analyser analyser_;
    EntryCoder coder_;
    EntropyMeter entropy_;
    DiskMetadata disk_;
};

}  // namespace qev
