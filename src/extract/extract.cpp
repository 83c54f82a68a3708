// The archive walk and the restoration of entries.
//
// A damaged entry is reported once; the walk goes on wherever the entry's
// size can still be trusted and stops where it cannot.
#include "extract/extract.h"

#include <algorithm>
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
    if (platform::has_drive_prefix(stored)) {
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

struct Extractor::Impl {
    explicit Impl(ExtractObserver& o) : observer(o) {}

    ExtractObserver& observer;
    std::unique_ptr<std::uint8_t[]> block;  // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<std::uint8_t[]> work;   // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<BlockDecoder> decoder;

    // Per extract_archive call.
    std::string destination;
    bool solid_started = false;
    bool solid_broken = false;
    bool failed = false;
    bool out_of_memory = false;

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

    void discard(platform::File& output, const std::string& output_path) {
        if (!output.is_open()) return;
        output.close();
        platform::remove_file(output_path);
    }

    // Forms the output path under the destination and creates its
    // directories level by level. Empty when the entry has no usable name.
    std::string prepare_output(const EntryHeader& h) {
        bool escaped = false;
        const std::vector<std::string> dir_parts = safe_components(h.dir, escaped);
        std::vector<std::string> name_parts = safe_components(h.name, escaped);
        if (name_parts.empty()) {
            report(h, "the entry has no file name");
            return std::string();
        }
        if (escaped) observer.leads_outside(stored_path(h));
        std::string path = destination;
        if (!path.empty() && !platform::is_separator(path.back())) path.push_back(platform::SEPARATOR);
        std::vector<std::string> parts = dir_parts;
        parts.insert(parts.end(), name_parts.begin(), name_parts.end());
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) path.push_back(platform::SEPARATOR);
            path += parts[i];
        }
        path = platform::normalise_separators(path);
        if (platform::path_too_long(path)) {
            observer.path_too_long(path);
            failed = true;
            return std::string();
        }
        // Every directory level from the destination down.
        for (std::size_t i = 1; i < path.size(); ++i) {
            if (platform::is_separator(path[i]) && !(i == 2 && platform::has_drive_prefix(path))) {
                platform::make_directory(path.substr(0, i));
            }
        }
        return path;
    }

    // Restores one entry whose header has been checked; with output off the
    // entry is only decoded (solid archives). False when the stream is
    // damaged; what was written of such an entry is removed again, so that no
    // file with wrong content is left behind.
    bool extract_entry(ArchiveReader& archive, const EntryHeader& h, bool output_enabled) {
        platform::File output;
        std::string output_path;
        if (output_enabled) {
            output_path = prepare_output(h);
            if (output_path.empty()) {
                output_enabled = false;
            } else if (!output.create_replacing_link(output_path)) {
                observer.cannot_create(output_path);
                failed = true;
                output_enabled = false;
            } else {
                observer.restoring(output_path);
            }
        }

        if (!prepare_buffers() || ((!h.solid || !solid_started) && !decoder->reset_all(h.ring_size))) {
            out_of_memory = true;
            discard(output, output_path);
            return false;
        }
        if (!h.solid || !solid_started) {
            solid_started = h.solid != 0;
        } else if (decoder->ring_size() != h.ring_size) {
            report(h, "its ring size differs from the earlier entries of the solid archive");
            discard(output, output_path);
            return false;
        }

        const std::uint64_t stream_length = archive.stream_length();
        decoder->begin_stream(&archive.stream(), stream_settings(h.settings), stream_length);

        std::uint8_t* block = this->block.get();
        bool write_ok = true;
        for (std::uint64_t restored = 0; restored < h.unpacked_size;) {
            const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(BLOCK_SIZE, h.unpacked_size - restored));
            bool text_flag = false;
            bool raw_flag = false;
            const DecodeStatus status = decoder->decode_block(block, n, text_flag, raw_flag);
            if (status != DecodeStatus::Ok) {
                report(h, status == DecodeStatus::Damaged
                              ? "its coded stream asks for data outside the history or the block"
                              : "its coded stream ends before the file is complete");
                discard(output, output_path);
                return false;
            }
            undo_filters(block, n, h.settings, text_flag, work.get());
            if (output_enabled && write_ok) {
                for (std::uint32_t done = 0; done < n && write_ok;) {
                    const std::uint32_t piece = std::min<std::uint32_t>(static_cast<std::uint32_t>(WRITE_PIECE), n - done);
                    write_ok = output.write(block + done, piece);
                    done += piece;
                }
                if (!write_ok) {
                    observer.cannot_write(output_path);
                    failed = true;
                }
            }
            restored += n;
        }
        if (decoder->consumed() != stream_length) {
            report(h, "its coded stream does not end where the entry ends");
            discard(output, output_path);
            return false;
        }
        if (!write_ok) discard(output, output_path);  // an incomplete file is not left behind
        return true;
    }
};

Extractor::Extractor(ExtractObserver& observer) : impl_(std::make_unique<Impl>(observer)) {}

Extractor::~Extractor() = default;

ExtractResult Extractor::extract_archive(const std::string& archive_path, const std::string& destination_directory,
                                         const std::string& pattern) {
    Impl& m = *impl_;
    m.destination = destination_directory;
    m.solid_started = false;
    m.solid_broken = false;
    m.failed = false;
    m.out_of_memory = false;
    ExtractResult result;

    ArchiveReader archive;
    if (!archive.open(archive_path)) {
        result.status = ExtractStatus::CannotOpenArchive;
        return result;
    }
    int first_solid = -1;
    ArchiveReader::Entry entry;
    while (archive.next(entry)) {
        const EntryHeader& h = entry.header;
        if (entry.check == HeaderCheck::BadSize) {
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
    result.failed = m.failed;
    return result;
}

}  // namespace qev
