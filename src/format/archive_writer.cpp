#include "format/archive_writer.h"

#include <vector>

namespace qev {

ArchiveWriter::OpenStatus ArchiveWriter::open(const std::string& path, bool solid) {
    path_ = path;
    if (file_.open_write(path)) {
        // An archive from an earlier run: its first entry says whether it is
        // solid. An empty file reads as a non-solid one.
        file_.close();
        platform::File existing;
        if (!existing.open_read(path)) return OpenStatus::CannotRead;
        std::uint8_t first[9] = {};
        existing.read(first, sizeof first);
        existing.close();
        if (first[8] != 0 || solid) return OpenStatus::SolidRefused;
        if (!file_.open_write(path)) return OpenStatus::CannotRead;
    } else if (!file_.create(path)) {
        return OpenStatus::CannotCreate;
    }
    return OpenStatus::Ok;
}

bool ArchiveWriter::begin_entry(const EntryHeader& header) {
    entry_start_ = platform::file_size(path_);
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
    return file_.seek(entry_start_) && file_.write(size_field, sizeof size_field);
}

void ArchiveWriter::abandon_entry() {
    file_.truncate(entry_start_);
    file_.close();
}

}  // namespace qev
