// The compression driver: one file, one entry. It opens the input and the
// archive, lets the analysis choose the file's settings, writes the header
// with entry_size 0, codes the file block by block through its filters and
// finally writes the integrity record and patches the entry's size into the
// header.
#include "compress/compressor.h"

#include <algorithm>
#include <new>

#include "format/pack.h"
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
    if (!options_.plain) {
        Metadata metadata;
        disk_.read(entry.input.descriptor(), input_path, metadata, nullptr, result.warning);
        entry.record.metadata = metadata_records(metadata);
    }
    result.unpacked_size = entry.input.size(input_path);
    return choose_settings(entry, std::move(name), std::move(dir), result);
}

StoreStatus Compressor::plan(const FileToStore& item, PlannedEntry& entry, StoreResult& result) {
    if (item.type == EntryType::Pack) return plan_pack(item, entry, result);
    return plan(item.path, item.name, item.dir, item.type, entry, result);
}

// Reads a pack member's content and metadata. A file is read up to the size
// it had when it was opened (at most what a member may hold); one that grew
// meanwhile is stored up to that size and said to have grown, one that
// shrank or was written to is stored as read and said to have changed. A
// file with holes is read only where it has data.
StoreStatus Compressor::read_member(const FileToStore& m, PackMember& member, std::string& content,
                                    std::string& warning) {
    member.type = m.type;
    if (m.type != EntryType::File) {
        const bool follow = m.type == EntryType::Folder;
        if (m.type == EntryType::Link && !platform::read_link(m.path, member.target)) return StoreStatus::Unreadable;
        if (m.type == EntryType::HardLink) {
            member.target = options_.recurse ? platform::normalise_separators(m.link_target) : m.link_target;
        }
        if ((m.type == EntryType::CharDevice || m.type == EntryType::BlockDevice) &&
            !platform::device_numbers(m.path, member.device_major, member.device_minor)) {
            return StoreStatus::Unreadable;
        }
        if (!platform::times_and_mode_of(m.path, follow, member.mode, member.mtime_seconds, member.mtime_nanoseconds)) {
            return StoreStatus::Unreadable;
        }
        return disk_.read(-1, m.path, member.meta, nullptr, warning) ? StoreStatus::Stored : StoreStatus::Unreadable;
    }
    // Everything about the file comes from the open file, at once.
    platform::File file;
    platform::File::Stamp opened;
    if (!file.open_read(m.path) || !file.stamp(opened)) return StoreStatus::Unreadable;
    member.mode = opened.mode;
    member.mtime_seconds = opened.mtime_seconds;
    member.mtime_nanoseconds = static_cast<std::uint32_t>(opened.mtime_nanoseconds);
    disk_.read(file.descriptor(), m.path, member.meta, &member.sparse, warning);
    if (!member.sparse.empty()) {
        // The data runs, as many as a member may hold; the rest of the
        // file reads as a hole.
        member.size = opened.size;
        std::uint64_t all = 0;
        for (const auto& run : member.sparse) all += run.first < opened.size ? std::min(run.second, opened.size - run.first) : 0;
        std::uint64_t data = 0;
        std::size_t keep = 0;
        for (auto& run : member.sparse) {
            if (run.first >= opened.size) break;
            run.second = std::min(run.second, opened.size - run.first);
            run.second = std::min(run.second, SPARSE_MEMBER_LIMIT - data);
            data += run.second;
            ++keep;
            if (data == SPARSE_MEMBER_LIMIT) break;
        }
        member.sparse.resize(keep);
        if (member.sparse.empty()) member.sparse.emplace_back(opened.size, 0);
        content.resize(static_cast<std::size_t>(data));
        std::size_t got = 0;
        bool whole = true;
        for (const auto& run : member.sparse) {
            if (run.second == 0) continue;
            if (!file.seek(run.first)) return StoreStatus::Unreadable;
            std::size_t read = 0;
            while (read < run.second) {
                const std::size_t n = file.read(&content[got + read], static_cast<std::size_t>(run.second) - read);
                if (n == 0) break;
                read += n;
            }
            // A run cut short reads as zeros.
            whole = whole && read == run.second;
            got += static_cast<std::size_t>(run.second);
        }
        platform::File::Stamp now;
        if (!whole || all > data || !file.stamp(now) || now != opened) return StoreStatus::Changed;
        return StoreStatus::Stored;
    }
    // A file that grew past what a member may hold since it was selected
    // is stored up to that, as a file that grew while it was read.
    const std::uint64_t size = std::min<std::uint64_t>(opened.size, PACK_MEMBER_LIMIT - 1);
    content.resize(static_cast<std::size_t>(size));
    std::size_t got = 0;
    while (got < content.size()) {
        const std::size_t n = file.read(&content[got], content.size() - got);
        if (n == 0) break;
        got += n;
    }
    content.resize(got);
    member.size = got;
    std::uint8_t more = 0;
    if (got == size && file.read(&more, 1) == 1) return StoreStatus::Grew;
    platform::File::Stamp now;
    if (got < size || !file.stamp(now) || now != opened) return StoreStatus::Changed;
    return StoreStatus::Stored;
}

StoreStatus Compressor::plan_pack(const FileToStore& pack, PlannedEntry& entry, StoreResult& result) {
    if (stop_requested()) return StoreStatus::Interrupted;
    const StoreStatus opened = open_archive(result);
    if (ends_run(opened)) return opened;
    PackBuilder builder;
    if (!builder.problem().empty()) return StoreStatus::NoMemory;
    result.members.assign(pack.members.size(), MemberResult());
    std::string content;
    IntegrityRecord& record = entry.record;
    record.type = EntryType::Pack;
    record.mode = 0644;
    record.mtime_seconds = 0;
    record.mtime_nanoseconds = 0;
    bool any = false;
    for (std::size_t i = 0; i < pack.members.size(); ++i) {
        if (stop_requested()) return StoreStatus::Interrupted;
        const FileToStore& m = pack.members[i];
        MemberResult& r = result.members[i];
        PackMember member;
        std::string name = m.name;
        std::string dir = m.dir;
        if (options_.recurse) {
            name = platform::normalise_separators(name);
            dir = platform::normalise_separators(dir);
        }
        member.path = dir + name;
        content.clear();
        r.status = read_member(m, member, content, r.warning);
        if (r.status == StoreStatus::Unreadable) continue;
        r.unpacked_size = member.data_bytes();
        if (!builder.add(member, reinterpret_cast<const std::uint8_t*>(content.data()))) return StoreStatus::NoMemory;
        any = true;
        // The pack carries the time of its newest member, so that the same
        // files always make the same pack.
        if (member.mtime_seconds > record.mtime_seconds ||
            (member.mtime_seconds == record.mtime_seconds && member.mtime_nanoseconds > record.mtime_nanoseconds)) {
            record.mtime_seconds = member.mtime_seconds;
            record.mtime_nanoseconds = member.mtime_nanoseconds;
        }
    }
    if (!any) return StoreStatus::Unreadable;
    if (!builder.finish()) return StoreStatus::NoMemory;
    result.unpacked_size = builder.bytes().size();
    entry.input.use_bytes(std::move(builder.bytes()));
    result.pack_name = pack_name(archive_.entries_before() + entries_planned_);
    return choose_settings(entry, result.pack_name, std::string(), result);
}

StoreStatus Compressor::choose_settings(PlannedEntry& entry, std::string name, std::string dir, StoreResult& result) {
    const std::uint64_t unpacked_size = result.unpacked_size;
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
    ++entries_planned_;
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
    result.entry_size = archive_.entry_bytes() + (options_.plain ? 0 : record.length());
    if (!archive_.finish_entry(options_.plain ? nullptr : &record)) return abandon(StoreStatus::WriteFailed, result);
    if (coded.shrank) return StoreStatus::Shrank;
    if (coded.grew) return StoreStatus::Grew;
    return coded.changed ? StoreStatus::Changed : StoreStatus::Stored;
}

StoreResult Compressor::compress_file(const std::string& input_path, std::string name, std::string dir,
                                      EntryType type) {
    FileToStore item;
    item.path = input_path;
    item.name = std::move(name);
    item.dir = std::move(dir);
    item.type = type;
    return compress(item);
}

StoreResult Compressor::compress(const FileToStore& item) {
    const std::string& input_path = item.path;
    StoreResult result;
    PlannedEntry entry;
    result.status = plan(item, entry, result);
    if (result.status != StoreStatus::Stored) return result;
    if (!coder_.prepare()) {
        result.status = StoreStatus::NoMemory;
        return result;
    }
    if (observer_ != nullptr && item.type != EntryType::Pack) observer_->coding_started(input_path);
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
