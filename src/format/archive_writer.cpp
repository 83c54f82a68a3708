#include "format/archive_writer.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace qev {

namespace {

// A source over bytes in memory.
class MemorySource : public ByteSource {
public:
    MemorySource(const std::uint8_t* data, std::size_t n) : at_(data), left_(n) {}
    std::size_t read(std::uint8_t* data, std::size_t n) override {
        const std::size_t take = std::min(n, left_);
        std::copy(at_, at_ + take, data);
        at_ += take;
        left_ -= take;
        return take;
    }

private:
    const std::uint8_t* at_;
    std::size_t left_;
};

// The longest header the format allows.
constexpr std::uint64_t MAX_HEADER_BYTES = FIXED_HEADER_BYTES + 2 * 0xFFFFu;

// A quick look at a candidate header in memory before it is parsed: its
// strings end with their zero inside the entry and its ring size is one
// the format allows. (Parsing copies the strings, which for the coded bytes
// of a stream can be long.)
bool header_may_be_sound(const std::uint8_t* at, std::uint64_t available, std::uint64_t entry_size) {
    if (available < HEADER_PREFIX_BYTES + 2) return false;
    const std::uint64_t name_length = get_le(at + 9, 2);
    if (name_length == 0 || FIXED_HEADER_BYTES + name_length + 1 > entry_size) return false;
    if (HEADER_PREFIX_BYTES + name_length + 2 > available || at[HEADER_PREFIX_BYTES + name_length - 1] != 0) {
        return false;
    }
    const std::uint64_t dir_length = get_le(at + HEADER_PREFIX_BYTES + name_length, 2);
    const std::uint64_t header_bytes = FIXED_HEADER_BYTES + name_length + dir_length;
    if (dir_length == 0 || header_bytes > entry_size || header_bytes > available) return false;
    const std::uint8_t* suffix = at + header_bytes - HEADER_SUFFIX_BYTES;
    return suffix[-1] == 0 && ring_size_valid(static_cast<std::uint32_t>(get_le(suffix + 16, 4)));
}

// True when a sound entry header without a record in [from, end) has a size
// that reaches exactly to the end of the file: the last of complete plain
// entries that a run appended after an unfinished one. (Coded bytes that
// happen to hold the 64-bit distance to the end and a sound header are not
// to be expected.) One pass over the bytes, in memory.
bool plain_entry_reaches_end(platform::File& file, std::uint64_t from, std::uint64_t end) {
    constexpr std::uint64_t MIN_ENTRY = FIXED_HEADER_BYTES + 2;
    constexpr std::uint64_t CHUNK = 1u << 20;
    // Each chunk is read with room for the longest header after its last
    // position, so that every header looked at lies in memory.
    std::vector<std::uint8_t> chunk(CHUNK + MAX_HEADER_BYTES);
    for (std::uint64_t start = from; start + MIN_ENTRY <= end; start += CHUNK) {
        const std::uint64_t last = std::min(start + CHUNK, end - MIN_ENTRY + 1);  // positions [start, last)
        const std::uint64_t want = std::min<std::uint64_t>(start + chunk.size(), end) - start;
        if (!file.seek(start) || file.read(chunk.data(), want) != want) return true;
        for (std::uint64_t p = start; p < last; ++p) {
            const std::uint8_t* at = chunk.data() + (p - start);
            if (get_le(at, 8) != end - p) continue;
            const std::uint64_t available = want - (p - start);
            if (!header_may_be_sound(at, available, end - p)) continue;
            EntryHeader header;
            std::string problem;
            MemorySource source(at, static_cast<std::size_t>(available));
            if (parse_header(source, end - p, header, problem) == HeaderCheck::Ok) return true;
        }
    }
    return false;
}

// True when complete entries follow the unfinished entry, which runs to the
// end of the file. Every entry with an integrity record ends with it, so
// the last entry is found at the end of the file: a sound record there is
// a complete entry's, unless it is the unfinished entry's own (written
// just before its size would have been patched in). Without a record at
// the end, an archive whose earlier entries carry records was written by
// runs that cut off or refuse an unfinished entry before they append, so
// nothing complete follows; only an archive of plain entries is searched.
bool complete_entry_follows(platform::File& file, const ArchiveReader::Entry& unfinished, std::uint64_t end,
                            bool records_before) {
    const std::uint64_t stream_start = unfinished.offset + unfinished.header.header_size();
    IntegrityRecord record;
    std::string problem;
    if (read_record_ending_at(file, end, end - stream_start, record, problem) == RecordCheck::Ok) {
        EntryHeader own = unfinished.header;
        own.entry_size = end - unfinished.offset;
        const std::vector<std::uint8_t> header = serialize_header(own);
        const bool own_record = record.stream_length == end - stream_start - record.length() &&
                                checksum_of(header.data(), header.size()) == record.header_checksum;
        return !own_record;
    }
    if (records_before) return false;
    return plain_entry_reaches_end(file, stream_start, end);
}

// The place N of a pack named qev-pack-N.tar.
bool pack_place(const std::string& name, std::uint64_t& place) {
    const std::string head = "qev-pack-";
    const std::string tail = ".tar";
    if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
        return false;
    }
    place = 0;
    for (std::size_t i = head.size(); i < name.size() - tail.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || place > (UINT64_MAX - 9) / 10) return false;
        place = place * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    return true;
}

}  // namespace

ArchiveWriter::OpenReport ArchiveWriter::open(const std::string& path, bool solid, LockWaiter* waiter) {
    path_ = path;
    OpenReport report;
    // Another run may create, remove or replace the file between our steps;
    // each time that happens the path is opened again, but not for ever.
    constexpr int OPEN_TRIES = 16;
    for (int tries = 0;; ++tries) {
        created_ = false;
        if (tries == OPEN_TRIES) {
            report.status = OpenStatus::CannotCreate;
            report.problem = "other programs kept creating, removing or replacing it while it was opened";
            return report;
        }
        if (!file_.open_read_write(path)) {
            const int open_error = errno;
            // Only a path with nothing there is created; anything else that
            // is there and does not open is not retried.
            const bool missing = open_error == ENOENT && !platform::is_dangling_link(path);
            if (missing && file_.create_new(path)) {
                created_ = true;
            } else {
                const int error = missing ? errno : open_error;
                if (missing && error == EEXIST && !platform::is_dangling_link(path)) {
                    continue;  // made by another run just now: open that one
                }
                platform::File probe;
                const bool exists = platform::entry_status(path).type != platform::EntryType::Missing;
                report.status = exists && probe.open_write(path) ? OpenStatus::CannotRead : OpenStatus::CannotCreate;
                report.problem = platform::open_failure_reason(path, error);
                return report;
            }
        }
        if (file_.is_pipe()) {
            // An archive is written at positions and read back: a pipe that
            // nobody reads would take the bytes until it is full, and wait.
            file_.close();
            report.status = OpenStatus::CannotCreate;
            report.problem = platform::open_failure_reason(path, EINVAL);
            return report;
        }
        if (!lock_archive(file_, path, true, waiter)) {
            // A file this run has just created is left: another run that
            // opened it meanwhile holds the lock and writes to it.
            file_.close();
            created_ = false;
            report.status = OpenStatus::Interrupted;
            return report;
        }
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
    entries_before_ = 0;
    ArchiveReader walk;
    walk.walk(file_);
    // An entry whose size cannot be trusted ends the walk: nothing is
    // appended behind damage.
    walk.set_look_ahead(false);
    ArchiveReader::Entry entry;
    bool first = true;
    bool records_before = false;
    while (walk.next(entry)) {
        if (entry.check == HeaderCheck::Unfinished) {
            // Cut off below, unless complete entries follow it.
            if (complete_entry_follows(file_, entry, walk.size(), records_before)) {
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
        if (entry.has_record) records_before = true;
        ++entries_before_;
        // A removal keeps the names of the packs it keeps: places are
        // counted on from past the highest one, so no two packs share one.
        std::uint64_t place = 0;
        if (entry.has_record && entry.record.type == EntryType::Pack && entry.header.dir.empty() &&
            pack_place(entry.header.name, place)) {
            entries_before_ = std::max(entries_before_, place + 1);
        }
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
        entry_size += record->length();
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
