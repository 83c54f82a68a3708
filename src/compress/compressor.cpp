// The compression driver: one file, one entry. It opens the input and the
// archive, lets the analysis choose the file's settings, writes the header
// with entry_size 0, codes the file block by block through its filters and
// finally writes the integrity record and patches the entry's size into the
// header.
#include "compress/compressor.h"

#include <algorithm>
#include <new>

#include "platform/platform_file.h"

namespace qev {

namespace {

std::unique_ptr<std::uint8_t[]> zeroed_buffer(std::size_t n) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[n]());
}

}  // namespace

Compressor::Compressor(const CompressOptions& options, std::string archive_path)
    : options_(options), archive_path_(std::move(archive_path)), coder_(options.search, options.solid, options.spare_cores) {}

Compressor::~Compressor() = default;

// The archive is created, or an archive from an earlier run is checked, at
// the first file that can be read.
StoreStatus Compressor::open_archive(StoreResult& result) {
    if (archive_opened_) return StoreStatus::Stored;
    const ArchiveWriter::OpenReport report = archive_.open(archive_path_, options_.solid, observer_);
    switch (report.status) {
        case ArchiveWriter::OpenStatus::Ok:
            archive_opened_ = true;
            if (report.repaired && observer_ != nullptr) {
                observer_->archive_repaired(report.dropped_offset, report.dropped_bytes);
            }
            return StoreStatus::Stored;
        case ArchiveWriter::OpenStatus::CannotCreate:
            result.problem = report.problem;
            return StoreStatus::CannotCreateArchive;
        case ArchiveWriter::OpenStatus::CannotRead:
            result.problem = report.problem;
            return StoreStatus::CannotReadArchive;
        case ArchiveWriter::OpenStatus::Interrupted:
            return StoreStatus::Interrupted;
        case ArchiveWriter::OpenStatus::SolidRefused:
            return StoreStatus::SolidRefused;
        case ArchiveWriter::OpenStatus::NotSound:
            result.problem_offset = report.problem_offset;
            result.problem = report.problem;
            return StoreStatus::ArchiveNotSound;
    }
    return StoreStatus::CannotReadArchive;
}

StoreStatus Compressor::abandon(StoreStatus status, StoreResult& result) {
    archive_.abandon_entry();
    archive_opened_ = false;
    result.status = status;
    result.archive_removed = archive_.removed();
    return status;
}

bool Compressor::end_interrupted() {
    if (!archive_opened_) return false;
    archive_opened_ = false;
    return archive_.end_without_entry();
}

StoreStatus Compressor::plan(const std::string& input_path, std::string name, std::string dir, EntryType type,
                             PlannedEntry& entry, StoreResult& result) {
    if (stop_requested()) return StoreStatus::Interrupted;
    entry.input_path = input_path;
    if (!entry.input.open(input_path, type, entry.record)) return StoreStatus::Unreadable;
    const StoreStatus opened = open_archive(result);
    if (ends_run(opened)) return opened;
    const std::uint64_t unpacked_size = entry.input.size(input_path);
    result.unpacked_size = unpacked_size;
    if (!sample_) {
        sample_ = zeroed_buffer(BLOCK_SIZE + SAMPLE_SLACK);
        scratch_ = zeroed_buffer(BLOCK_SIZE + BLOCK_SLACK);
        if (!sample_ || !scratch_) {
            sample_.reset();
            return StoreStatus::NoMemory;
        }
    }

    // Analysis of the first 4 MiB. A file that yields fewer bytes than its
    // size is stored with zeros for the missing rest.
    const std::uint32_t sample_len = static_cast<std::uint32_t>(std::min<std::uint64_t>(unpacked_size, BLOCK_SIZE));
    const std::size_t got = entry.input.read(sample_.get(), sample_len);
    entry.shrank = got < sample_len;
    if (entry.shrank) std::fill(sample_.get() + got, sample_.get() + sample_len, 0);
    entry.input.rewind();
    const FileSettings settings = analyser_.analyse(sample_.get(), sample_len, scratch_.get());

    if (options_.recurse) {
        name = platform::normalise_separators(name);
        dir = platform::normalise_separators(dir);
    }
    EntryHeader& header = entry.header;
    header.solid = options_.solid ? 1 : 0;
    header.name = name;
    header.dir = dir;
    header.unpacked_size = unpacked_size;
    header.settings = settings;
    header.search_depth = options_.search.search_depth;
    header.ring_size = options_.search.ring_size;
    return StoreStatus::Stored;
}

StoreStatus Compressor::write_entry(const PlannedEntry& entry, const EntryCoder::Outcome& coded,
                                    const std::function<bool(ByteSink&)>& copy_stream, StoreResult& result) {
    if (!archive_.begin_entry(entry.header)) return abandon(StoreStatus::WriteFailed, result);
    if (coded.interrupted || stop_requested()) return abandon(StoreStatus::Interrupted, result);
    if (coded.write_failed) return abandon(StoreStatus::WriteFailed, result);
    if (!copy_stream(archive_.sink())) {
        return abandon(stop_requested() ? StoreStatus::Interrupted : StoreStatus::WriteFailed, result);
    }
    return finish_entry(entry, coded, result);
}

StoreStatus Compressor::finish_entry(const PlannedEntry& entry, const EntryCoder::Outcome& coded,
                                     StoreResult& result) {
    if (stop_requested()) return abandon(StoreStatus::Interrupted, result);
    IntegrityRecord record = entry.record;
    record.content_checksum = coded.content_checksum;
    result.entry_size = archive_.entry_bytes() + (options_.plain ? 0 : RECORD_BYTES);
    if (!archive_.finish_entry(options_.plain ? nullptr : &record)) return abandon(StoreStatus::WriteFailed, result);
    if (coded.shrank) return StoreStatus::Shrank;
    if (coded.grew) return StoreStatus::Grew;
    return coded.changed ? StoreStatus::Changed : StoreStatus::Stored;
}

StoreResult Compressor::compress_file(const std::string& input_path, std::string name, std::string dir,
                                      EntryType type) {
    StoreResult result;
    PlannedEntry entry;
    result.status = plan(input_path, std::move(name), std::move(dir), type, entry, result);
    if (result.status != StoreStatus::Stored) return result;
    if (!coder_.prepare()) {
        result.status = StoreStatus::NoMemory;
        return result;
    }
    if (observer_ != nullptr) observer_->coding_started(input_path);
    result.coding_began = true;

    // The stream goes straight into the archive, behind the header.
    if (!archive_.begin_entry(entry.header)) {
        abandon(StoreStatus::WriteFailed, result);
        return result;
    }
    if (stop_requested()) {
        abandon(StoreStatus::Interrupted, result);
        return result;
    }
    const EntryCoder::Outcome coded =
        coder_.code(entry.input, entry.header.unpacked_size, entry.shrank, entry.header.settings, archive_.sink(),
                    entropy_, options_.should_stop, options_.bytes_done);
    if (coded.write_failed) {
        abandon(StoreStatus::WriteFailed, result);
    } else if (coded.interrupted) {
        abandon(StoreStatus::Interrupted, result);
    } else {
        result.status = finish_entry(entry, coded, result);
    }
    return result;
}

}  // namespace qev
