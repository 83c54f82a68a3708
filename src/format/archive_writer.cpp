#include "format/archive_writer.h"

#include <cerrno>
#include <vector>

namespace qev {

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
            // Cut off below, once it is known to be the last thing there.
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
    const std::vector<std::uint8_t> bytes = serialize_header(unfinished);
    header_bytes_ = bytes.size();
    sink_.file = &file_;
    sink_.written = 0;
    return file_.seek(entry_start_) && file_.write(bytes.data(), bytes.size());
}

bool ArchiveWriter::finish_entry() {
    std::uint8_t size_field[8];
    store_le(size_field, entry_bytes(), 8);
    if (!file_.seek(entry_start_) || !file_.write(size_field, sizeof size_field)) return false;
    ++completed_;
    return true;
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
