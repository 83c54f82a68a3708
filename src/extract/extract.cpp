// The archive walk and the restoration of entries.
//
// A damaged entry is reported once; the walk goes on wherever the entry's
// size can still be trusted and stops where it cannot.
#include "extract/extract.h"

#include <algorithm>
#include <functional>
#include <new>
#include <vector>

#include "engine/engine.h"
#include "format/archive_reader.h"
#include "format/filter_chain.h"
#include "format/wildcard.h"
#include "platform/platform_file.h"

namespace qev {

namespace {

// Largest piece in which a restored block is written.
constexpr std::size_t WRITE_PIECE = 65535;

// The components of a stored path that stay under the destination: a drive
// prefix, leading separators, empty, "." and ".." components are dropped.
// escaped is set when something dropped would have led out of the
// destination (a drive prefix, a leading separator or a "..").
std::vector<std::string> safe_components(const std::string& stored, bool& escaped) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    if (stored.size() >= 2 && stored[1] == ':') {
        escaped = true;
        i = 2;
    }
    if (i < stored.size() && platform::is_separator(stored[i])) escaped = true;
    std::string part;
    for (; i <= stored.size(); ++i) {
        if (i == stored.size() || platform::is_separator(stored[i])) {
            if (part == "..") {
                escaped = true;
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part.push_back(stored[i]);
        }
    }
    return parts;
}

}  // namespace

// An output file in the making: written under a temporary name in its
// folder, renamed over the real name once complete.
struct Output {
    platform::Directory folder;
    platform::File file;
    std::string name;            // the real name in folder
    std::string temporary_name;  // empty when nothing was created
    std::string path;            // for messages

    bool open() const { return !temporary_name.empty(); }
    // Removes the temporary file.
    void discard() {
        if (!open()) return;
        file.close();
        folder.remove(temporary_name);
        temporary_name.clear();
    }
    // Gives the file its real name; false when that fails (the temporary
    // file is removed then).
    bool commit() {
        file.close();
        const bool renamed = folder.rename(temporary_name, name);
        if (!renamed) folder.remove(temporary_name);
        temporary_name.clear();
        return renamed;
    }
    ~Output() { discard(); }
};

struct Extractor::Impl {
    explicit Impl(ExtractObserver& o) : observer(o) {}

    ExtractObserver& observer;
    std::function<bool()> should_stop;
    std::unique_ptr<std::uint8_t[]> block;  // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<std::uint8_t[]> work;   // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<BlockDecoder> decoder;

    // Per extract_archive call.
    std::string destination;
    platform::FileId archive_id;
    bool archive_id_known = false;
    bool solid_started = false;
    bool solid_broken = false;
    bool failed = false;
    bool out_of_memory = false;
    bool interrupted = false;
    std::string unfinished;

    bool stop_requested() {
        if (!interrupted && should_stop && should_stop()) interrupted = true;
        return interrupted;
    }

    void report(const EntryHeader& h, const std::string& problem) {
        observer.damaged_entry(stored_path(h), problem);
        failed = true;
    }

    bool prepare_buffers() {
        if (!block) block.reset(new (std::nothrow) std::uint8_t[BLOCK_SIZE + BLOCK_SLACK]());
        if (!work) work.reset(new (std::nothrow) std::uint8_t[BLOCK_SIZE + BLOCK_SLACK]());
        if (!decoder) decoder.reset(new (std::nothrow) BlockDecoder());
        return block && work && decoder;
    }

    // Opens the destination folder, creating it level by level where it is
    // missing. The destination itself may be reached through links.
    bool open_destination(platform::Directory& folder) {
        for (std::size_t i = 0; i < destination.size(); ++i) {
            if (platform::is_separator(destination[i]) && i > 0 && destination[i - 1] != ':') {
                platform::make_directory(destination.substr(0, i));
            }
        }
        return folder.open(destination.empty() ? std::string(".") : destination);
    }

    // Forms the output path under the destination, creates its folders
    // without following links and a temporary file in the last of them.
    // False when the entry cannot be written (the observer was told).
    bool prepare_output(const EntryHeader& h, Output& out) {
        bool escaped = false;
        const std::vector<std::string> dir_parts = safe_components(h.dir, escaped);
        std::vector<std::string> name_parts = safe_components(h.name, escaped);
        if (name_parts.empty()) {
            report(h, "the entry has no file name");
            return false;
        }
        if (escaped) observer.leads_outside(stored_path(h));
        std::string path = destination;
        if (!path.empty() && !platform::is_separator(path.back())) path.push_back(platform::SEPARATOR);
        const std::size_t below = path.size();
        std::vector<std::string> parts = dir_parts;
        parts.insert(parts.end(), name_parts.begin(), name_parts.end());
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) path.push_back(platform::SEPARATOR);
            path += parts[i];
        }
        out.path = platform::normalise_separators(path);
        if (platform::path_too_long(out.path)) {
            observer.path_too_long(out.path);
            failed = true;
            return false;
        }
        const auto cannot_create = [&] {
            observer.cannot_create(out.path);
            failed = true;
            return false;
        };
        if (!open_destination(out.folder)) return cannot_create();
        std::string reached = path.substr(0, below);
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            reached += parts[i];
            platform::Directory child;
            const platform::Directory::Step step = out.folder.enter(parts[i], child);
            if (step == platform::Directory::Step::Link) {
                observer.meets_link(stored_path(h), reached);
                failed = true;
                return false;
            }
            if (step != platform::Directory::Step::Entered) return cannot_create();
            out.folder = std::move(child);
            reached.push_back(platform::SEPARATOR);
        }
        out.name = parts.back();
        platform::FileId existing;
        const platform::EntryStatus status = out.folder.status_of(out.name, &existing);
        if (status.type == platform::EntryType::Directory) return cannot_create();
        if (status.type != platform::EntryType::Missing && archive_id_known && existing == archive_id) {
            observer.would_replace_archive(stored_path(h), out.path);
            failed = true;
            return false;
        }
        if (!out.folder.create_temporary(out.name, out.file, out.temporary_name)) return cannot_create();
        return true;
    }

    // Restores one entry whose header has been checked; with output off the
    // entry is only decoded (solid archives). False when the stream is
    // damaged, the memory runs out or the run is interrupted; nothing of
    // such an entry is left behind, and a file it would have replaced stays.
    bool extract_entry(ArchiveReader& archive, const EntryHeader& h, bool output_enabled) {
        Output output;
        if (output_enabled) {
            output_enabled = prepare_output(h, output);
            if (output_enabled) observer.restoring(output.path);
        }

        if (!prepare_buffers() || ((!h.solid || !solid_started) && !decoder->reset_all(h.ring_size))) {
            out_of_memory = true;
            return false;
        }
        if (!h.solid || !solid_started) {
            solid_started = h.solid != 0;
        } else if (decoder->ring_size() != h.ring_size) {
            report(h, "its ring size differs from the earlier entries of the solid archive");
            return false;
        }

        const std::uint64_t stream_length = archive.stream_length();
        decoder->begin_stream(&archive.stream(), stream_settings(h.settings), stream_length);

        std::uint8_t* block = this->block.get();
        bool write_ok = true;
        for (std::uint64_t restored = 0; restored < h.unpacked_size;) {
            if (stop_requested()) {
                if (output.open()) unfinished = output.path;
                return false;
            }
            const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(BLOCK_SIZE, h.unpacked_size - restored));
            bool text_flag = false;
            bool raw_flag = false;
            const DecodeStatus status = decoder->decode_block(block, n, text_flag, raw_flag);
            if (status != DecodeStatus::Ok) {
                report(h, status == DecodeStatus::Damaged
                              ? "its coded stream asks for data outside the history or the block"
                              : "its coded stream ends before the file is complete");
                return false;
            }
            undo_filters(block, n, h.settings, text_flag, work.get());
            if (output.open() && write_ok) {
                for (std::uint32_t done = 0; done < n && write_ok;) {
                    const std::uint32_t piece = std::min<std::uint32_t>(static_cast<std::uint32_t>(WRITE_PIECE), n - done);
                    write_ok = output.file.write(block + done, piece);
                    done += piece;
                }
                if (!write_ok) {
                    observer.cannot_write(output.path);
                    failed = true;
                    output.discard();  // an incomplete file is not left behind
                }
            }
            restored += n;
        }
        if (decoder->consumed() != stream_length) {
            report(h, "its coded stream does not end where the entry ends");
            return false;
        }
        if (output.open() && !output.commit()) {
            observer.cannot_create(output.path);
            failed = true;
        }
        return true;
    }
};

Extractor::Extractor(ExtractObserver& observer) : impl_(std::make_unique<Impl>(observer)) {}

Extractor::~Extractor() = default;

void Extractor::set_stop_check(std::function<bool()> should_stop) { impl_->should_stop = std::move(should_stop); }

ExtractResult Extractor::extract_archive(const std::string& archive_path, const std::string& destination_directory,
                                         const std::string& pattern) {
    Impl& m = *impl_;
    m.destination = destination_directory;
    m.solid_started = false;
    m.solid_broken = false;
    m.failed = false;
    m.out_of_memory = false;
    m.interrupted = false;
    m.unfinished.clear();
    ExtractResult result;

    ArchiveReader archive;
    if (!archive.open(archive_path, &m.observer)) {
        result.status = ExtractStatus::CannotOpenArchive;
        return result;
    }
    m.archive_id_known = archive.identity(m.archive_id);
    int first_solid = -1;
    ArchiveReader::Entry entry;
    while (!m.stop_requested() && archive.next(entry)) {
        const EntryHeader& h = entry.header;
        if (ends_walk(entry.check)) {
            m.observer.damaged_archive(entry.offset, entry.problem);
            m.failed = true;
            break;
        }
        const bool matched =
            wildcard_match(pattern.c_str(), platform::lower_case_ascii(platform::base_name(stored_path(h))).c_str());
        if (first_solid < 0) first_solid = h.solid != 0;
        if (entry.check == HeaderCheck::BadEntry) {
            m.report(h, entry.problem);
            if (h.solid) m.solid_broken = true;
        } else if ((h.solid != 0) != (first_solid == 1)) {
            m.report(h, "its solid flag differs from the archive's first entry");
        } else if (!h.solid) {
            if (matched) {
                ++result.selected;
                m.extract_entry(archive, h, true);
            }
        } else if (m.solid_broken) {
            if (matched) {
                ++result.selected;
                m.report(h, "an earlier entry of the solid archive is damaged");
            }
        } else {
            if (matched) ++result.selected;
            if (!m.extract_entry(archive, h, matched)) m.solid_broken = true;
        }
        if (m.out_of_memory) {
            result.status = ExtractStatus::NoMemory;
            break;
        }
    }
    if (m.interrupted && !m.out_of_memory) {
        result.status = ExtractStatus::Interrupted;
        result.unfinished = m.unfinished;
    }
    result.failed = m.failed;
    return result;
}

}  // namespace qev
