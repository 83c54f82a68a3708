// The compression driver: one file, one entry. It opens the input and the
// archive, lets the analysis choose the file's settings, writes the header
// with entry_size 0, codes the file block by block through its filters and
// finally patches the entry's size into the header.
#include "compress/compressor.h"

#include <algorithm>
#include <new>

#include "format/filter_chain.h"
#include "platform/platform_file.h"

namespace qev {

namespace {

std::unique_ptr<std::uint8_t[]> zeroed_buffer(std::size_t n) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[n]());
}

// Where an entry's bytes come from: a regular file, or the target of a
// link held in memory (a folder has none).
class Input {
public:
    bool open(const std::string& path, EntryType type, IntegrityRecord& record) {
        record.type = type;
        from_file_ = type == EntryType::File;
        if (from_file_) {
            return file_.open_read(path) &&
                   file_.times_and_mode(record.mode, record.mtime_seconds, record.mtime_nanoseconds);
        }
        if (type == EntryType::Link && !platform::read_link(path, bytes_)) return false;
        return platform::times_and_mode_of(path, false, record.mode, record.mtime_seconds, record.mtime_nanoseconds);
    }
    std::uint64_t size(const std::string& path) const {
        return from_file_ ? platform::file_size(path) : bytes_.size();
    }
    std::size_t read(std::uint8_t* data, std::size_t n) {
        if (from_file_) return file_.read(data, n);
        const std::size_t take = std::min(n, bytes_.size() - pos_);
        std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + take), data);
        pos_ += take;
        return take;
    }
    void rewind() {
        if (from_file_) file_.seek(0);
        pos_ = 0;
    }

private:
    bool from_file_ = true;
    platform::File file_;
    std::string bytes_;
    std::size_t pos_ = 0;
};

}  // namespace

Compressor::Compressor(const CompressOptions& options, std::string archive_path)
    : options_(options), archive_path_(std::move(archive_path)) {}

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
            return StoreStatus::CannotCreateArchive;
        case ArchiveWriter::OpenStatus::CannotRead:
            return StoreStatus::CannotReadArchive;
        case ArchiveWriter::OpenStatus::SolidRefused:
            return StoreStatus::SolidRefused;
        case ArchiveWriter::OpenStatus::NotSound:
            result.problem_offset = report.problem_offset;
            result.problem = report.problem;
            return StoreStatus::ArchiveNotSound;
    }
    return StoreStatus::CannotReadArchive;
}

// Buffers once per run; a fresh ring, table and models for every file of a
// normal run, and once for a solid run.
bool Compressor::prepare_storage() {
    if (!buffers_ready_) {
        block_ = zeroed_buffer(BLOCK_SIZE + BLOCK_SLACK);
        sample_ = zeroed_buffer(BLOCK_SIZE + SAMPLE_SLACK);
        work_ = zeroed_buffer(BLOCK_SIZE + BLOCK_SLACK);
        encoder_.reset(new (std::nothrow) BlockEncoder(options_.search));
        if (!block_ || !sample_ || !work_ || !encoder_) return false;
        if (options_.solid && !encoder_->reset_all()) return false;
        buffers_ready_ = true;
    }
    return options_.solid || encoder_->reset_all();
}

StoreResult Compressor::compress_file(const std::string& input_path, std::string name, std::string dir,
                                      EntryType type) {
    StoreResult result;
    if (stop_requested()) {
        result.status = StoreStatus::Interrupted;
        return result;
    }
    Input input;
    IntegrityRecord record;
    if (!input.open(input_path, type, record)) {
        result.status = StoreStatus::Unreadable;
        return result;
    }
    result.status = open_archive(result);
    if (ends_run(result.status)) return result;
    const std::uint64_t unpacked_size = input.size(input_path);
    result.unpacked_size = unpacked_size;
    if (!prepare_storage()) {
        result.status = StoreStatus::NoMemory;
        return result;
    }
    if (observer_ != nullptr) observer_->coding_started(input_path);

    // Analysis of the first 4 MiB. A file that yields fewer bytes than its
    // size is stored with zeros for the missing rest.
    bool shrank = false;
    const std::uint32_t sample_len = static_cast<std::uint32_t>(std::min<std::uint64_t>(unpacked_size, BLOCK_SIZE));
    const std::size_t got = input.read(sample_.get(), sample_len);
    if (got < sample_len) {
        std::fill(sample_.get() + got, sample_.get() + sample_len, 0);
        shrank = true;
    }
    input.rewind();
    const FileSettings settings = analyser_.analyse(sample_.get(), sample_len, work_.get());

    if (options_.recurse) {
        name = platform::normalise_separators(name);
        dir = platform::normalise_separators(dir);
    }
    EntryHeader header;
    header.solid = options_.solid ? 1 : 0;
    header.name = name;
    header.dir = dir;
    header.unpacked_size = unpacked_size;
    header.settings = settings;
    header.search_depth = options_.search.search_depth;
    header.ring_size = options_.search.ring_size;
    const auto abandon = [&](StoreStatus status) {
        archive_.abandon_entry();
        archive_opened_ = false;
        result.status = status;
        result.archive_removed = archive_.removed();
        return result;
    };
    const auto write_failed = [&] { return abandon(StoreStatus::WriteFailed); };
    if (!archive_.begin_entry(header)) return write_failed();
    if (stop_requested()) return abandon(StoreStatus::Interrupted);

    encoder_->begin_stream(&archive_.sink(), stream_settings(settings));
    checksum_.reset();
    std::uint8_t* block = block_.get();
    for (std::uint64_t done = 0; done < unpacked_size;) {
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(BLOCK_SIZE, unpacked_size - done));
        const std::size_t read = shrank ? 0 : input.read(block, n);
        if (read < n) {
            std::fill(block + read, block + n, 0);
            shrank = true;
        }
        checksum_.update(block, n);
        const bool text_flag = apply_filters(block, n, settings, work_.get());
        entropy_.measure(block, n);
        const bool raw_flag = settings.media_mode != 1 && entropy_.score() > RAW_ENTROPY_THRESHOLD;
        encoder_->encode_block(block, n, text_flag, raw_flag);
        if (encoder_->coder().write_failed()) return write_failed();
        if (stop_requested()) return abandon(StoreStatus::Interrupted);
        done += n;
    }
    encoder_->finish_stream();
    if (encoder_->coder().write_failed()) return write_failed();
    if (stop_requested()) return abandon(StoreStatus::Interrupted);
    record.content_checksum = checksum_.value();
    result.entry_size = archive_.entry_bytes() + (options_.plain ? 0 : RECORD_BYTES);
    if (!archive_.finish_entry(options_.plain ? nullptr : &record)) return write_failed();
    // A byte past the stored size means the file grew after its size was
    // taken: the entry holds only what that size covers.
    std::uint8_t beyond = 0;
    const bool grew = !shrank && input.read(&beyond, 1) == 1;
    result.status = shrank ? StoreStatus::Shrank : grew ? StoreStatus::Grew : StoreStatus::Stored;
    return result;
}

}  // namespace qev
