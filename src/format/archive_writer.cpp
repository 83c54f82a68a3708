#include "format/archive_writer.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace qev {

namespace {

class FileSource : public ByteSource {
public:
    explicit FileSource(platform::File& file) : file_(file) {}
    std::size_t read(std::uint8_t* data, std::size_t n) override { return file_.read(data, n); }

private:
    platform::File& file_;
};

// True when a sound entry header in [from, end) has a size that reaches
// exactly to the end of the file: the last of complete entries that a run
// appended after an unfinished one. (Coded bytes that happen to hold the
// 64-bit distance to the end and a sound header are not to be expected.)
bool complete_entry_follows(platform::File& file, std::uint64_t from, std::uint64_t end) {
    constexpr std::uint64_t MIN_ENTRY = FIXED_HEADER_BYTES + 2;
    constexpr std::uint64_t CHUNK = 1u << 20;
    std::vector<std::uint8_t> chunk(CHUNK + 8);
    for (std::uint64_t start = from; start + MIN_ENTRY <= end; start += CHUNK) {
        const std::uint64_t last = std::min(start + CHUNK, end - MIN_ENTRY + 1);  // positions [start, last)
        const std::uint64_t want = std::min(last + 7, end) - start;
        if (!file.seek(start) || file.read(chunk.data(), want) != want) return true;
        for (std::uint64_t p = start; p < last; ++p) {
            if (get_le(chunk.data() + (p - start), 8) != end - p) continue;
            EntryHeader header;
            std::string problem;
            FileSource at(file);
            if (file.seek(p) && parse_header(at, end - p, header, problem) == HeaderCheck::Ok) return true;
        }
    }
    return false;
}

}  // namespace

ArchiveWriter::OpenReport ArchiveWriter::open(const std::string& path, bool solid, LockWaiter* waiter) {
    path_ = path;
    OpenReport report;
    for (;;) {
        created_ = false;
        if (!file_.open_read_write(path)) {
            if (file_.create_new(path)) {
                created_ = true;
            } else if (errno == EEXIST) {
                continue;  // made by another run just now: open that one
            } else if (platform::entry_status(path).type == platform::EntryType::Missing) {
                report.status = OpenStatus::CannotCreate;
                return report;
            } else {
                platform::File probe;
                report.status = probe.open_write(path) ? OpenStatus::CannotRead : OpenStatus::CannotCreate;
                return report;
            }
        }
        lock_archive(file_, path, true, waiter);
        // A run that held the lock before may have removed or replaced the
        // file meanwhile: then the path is opened again.
        platform::FileId held;
        platform::FileId named;
        if (file_.identity(held) && platform::path_identity(path, named) && held == named) break;
        file_.close();
    }
    // A file this run made is empty; one that another run made just before
    // is checked like any other.
    if (created_ && file_.size() == 0) return report;
    report = check_existing(solid);
    if (report.status != OpenStatus::Ok) file_.close();
    return report;
}

ArchiveWriter::OpenReport ArchiveWriter::check_existing(bool solid) {
    OpenReport report;
    if (solid) {
        report.status = OpenStatus::SolidRefused;
        return report;
    }
    ArchiveReader walk;
    walk.walk(file_);
    ArchiveReader::Entry entry;
    bool first = true;
    while (walk.next(entry)) {
        if (entry.check == HeaderCheck::Unfinished) {
            // Cut off below, unless complete entries follow it.
            const std::uint64_t stream_start = entry.offset + entry.header.header_size();
            if (complete_entry_follows(file_, stream_start, walk.size())) {
                report.status = OpenStatus::NotSound;
                report.problem_offset = entry.offset;
                report.problem = "an entry that was never finished is followed by complete entries";
                return report;
            }
            report.repaired = true;
            report.dropped_offset = entry.offset;
            report.dropped_bytes = walk.size() - entry.offset;
            break;
        }
        if (entry.check != HeaderCheck::Ok) {
            report.status = OpenStatus::NotSound;
            report.problem_offset = entry.offset;
            report.problem = entry.problem;
            return report;
        }
        if (first && entry.header.solid != 0) {
            report.status = OpenStatus::SolidRefused;
            return report;
        }
        first = false;
    }
    if (report.repaired && !file_.truncate(report.dropped_offset)) {
        report.status = OpenStatus::CannotRead;
        report.repaired = false;
    }
    return report;
}

bool ArchiveWriter::begin_entry(const EntryHeader& header) {
    entry_start_ = file_.size();
    EntryHeader unfinished = header;
    unfinished.entry_size = 0;
    header_ = serialize_header(unfinished);
    sink_.file = &file_;
    sink_.written = 0;
    sink_.checksum.reset();
    return file_.seek(entry_start_) && file_.write(header_.data(), header_.size());
}

bool ArchiveWriter::finish_entry(const IntegrityRecord* record) {
    std::uint64_t entry_size = entry_bytes();
    if (record != nullptr) {
        entry_size += RECORD_BYTES;
        IntegrityRecord complete = *record;
        complete.stream_length = sink_.written;
        complete.stream_checksum = sink_.checksum.value();
        // The header as it will stand once its size is patched in.
        std::vector<std::uint8_t> header = header_;
        store_le(header.data(), entry_size, 8);
        complete.header_checksum = checksum_of(header.data(), header.size());
        const std::vector<std::uint8_t> bytes = serialize_record(complete);
        if (!file_.write(bytes.data(), bytes.size())) return false;
    }
    std::uint8_t size_field[8];
    store_le(size_field, entry_size, 8);
    if (!file_.seek(entry_start_) || !file_.write(size_field, sizeof size_field)) return false;
    ++completed_;
    return true;
}

bool ArchiveWriter::end_without_entry() {
    if (!file_.is_open()) return false;
    if (created_ && completed_ == 0 && file_.size() == 0) {
        platform::remove_file(path_);
        removed_ = true;
    }
    file_.close();
    return removed_;
}

void ArchiveWriter::abandon_entry() {
    if (!file_.is_open()) return;
    file_.truncate(entry_start_);
    // Removed while still locked: a run waiting for the lock sees that the
    // path no longer names this file and opens it anew.
    if (created_ && completed_ == 0 && entry_start_ == 0) {
        platform::remove_file(path_);
        removed_ = true;
    }
    file_.close();
}

}  // namespace qev
