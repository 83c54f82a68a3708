// The archive walk, entry restoration and listing.
//
// Every entry header is checked before it is used: its size must cover its
// header and stay inside the archive, its strings must end with their zero,
// and its settings must be ones the decoder can obey. A damaged entry gets
// one error line; the walk goes on wherever the entry's size can still be
// trusted and stops where it cannot.
#include "extract/extract.h"

#include <algorithm>
#include <cinttypes>
#include <new>
#include <vector>

#include "compress/filters.h"
#include "extract/inverse_filters.h"
#include "extract/wildcard.h"

namespace qev {

namespace {

enum class HeaderCheck {
    Ok,
    BadEntry,  // the entry cannot be restored, but its size is sound
    BadSize,   // the entry's size cannot be trusted: the walk ends here
};

// Reads and checks the header of the entry at offset. On a problem, the
// reason is left in problem.
HeaderCheck read_entry_header(platform::File& archive, std::uint64_t offset, std::uint64_t archive_size,
                              EntryHeader& h, std::string& problem) {
    const std::uint64_t room = archive_size - offset;
    std::uint8_t prefix[HEADER_PREFIX_BYTES];
    if (room < HEADER_PREFIX_BYTES || !archive.seek(offset) || archive.read(prefix, sizeof prefix) != sizeof prefix) {
        problem = "the entry header is cut short";
        return HeaderCheck::BadSize;
    }
    h.entry_size = get_le(prefix, 8);
    h.solid = prefix[8];
    const std::size_t name_length = static_cast<std::size_t>(get_le(prefix + 9, 2));
    if (h.entry_size == 0) {
        problem = "the entry was never finished (its size is 0)";
        return HeaderCheck::BadSize;
    }
    if (h.entry_size > room) {
        problem = "the entry reaches past the end of the archive";
        return HeaderCheck::BadSize;
    }
    if (name_length == 0 || h.entry_size < FIXED_HEADER_BYTES + name_length + 1) {
        problem = "the entry's name length does not fit the entry";
        return HeaderCheck::BadSize;
    }
    std::vector<std::uint8_t> bytes(name_length + 2);
    if (archive.read(bytes.data(), bytes.size()) != bytes.size()) {
        problem = "the entry header is cut short";
        return HeaderCheck::BadSize;
    }
    const std::size_t dir_length = static_cast<std::size_t>(get_le(bytes.data() + name_length, 2));
    if (dir_length == 0 || h.entry_size < FIXED_HEADER_BYTES + name_length + dir_length) {
        problem = "the entry's dir length does not fit the entry";
        return HeaderCheck::BadSize;
    }
    h.name.assign(reinterpret_cast<const char*>(bytes.data()),
                  std::find(bytes.begin(), bytes.begin() + name_length - 1, 0) - bytes.begin());
    if (bytes[name_length - 1] != 0) {
        problem = "the entry's name has no terminating zero";
        return HeaderCheck::BadEntry;
    }
    bytes.resize(dir_length + HEADER_SUFFIX_BYTES);
    if (archive.read(bytes.data(), bytes.size()) != bytes.size()) {
        problem = "the entry header is cut short";
        return HeaderCheck::BadSize;
    }
    h.dir.assign(reinterpret_cast<const char*>(bytes.data()),
                 std::find(bytes.begin(), bytes.begin() + dir_length - 1, 0) - bytes.begin());
    if (bytes[dir_length - 1] != 0) {
        problem = "the entry's dir has no terminating zero";
        return HeaderCheck::BadEntry;
    }
    const std::uint8_t* f = bytes.data() + dir_length;
    h.unpacked_size = get_le(f, 8);
    h.settings.media_mode = f[8];
    h.settings.channels = f[9];
    h.settings.sample_bytes = f[10];
    h.settings.lz_mode = f[11];
    h.search_depth = static_cast<std::uint32_t>(get_le(f + 12, 4));
    h.ring_size = static_cast<std::uint32_t>(get_le(f + 16, 4));
    h.settings.stride = f[20];
    h.settings.second_distance = f[21];
    h.settings.image_width = static_cast<std::uint32_t>(get_le(f + 22, 4));
    if (!ring_size_valid(h.ring_size)) {
        problem = "the entry's ring size is not a power of two from 8 MiB to 1 GiB";
        return HeaderCheck::BadEntry;
    }
    if (!settings_usable(h.settings)) {
        problem = "the entry's coding settings are invalid";
        return HeaderCheck::BadEntry;
    }
    return HeaderCheck::Ok;
}

// The stored path as the archive holds it: dir followed by name.
std::string stored_path(const EntryHeader& h) { return h.dir + h.name; }

// The text after the last separator.
std::string base_name_of(const std::string& path) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (platform::is_separator(path[i])) start = i + 1;
    }
    return path.substr(start);
}

std::string lower_base_name(const std::string& path) {
    std::string base = base_name_of(path);
    for (char& c : base) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return base;
}

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

// The decoder's input: the entry's coded stream, and nothing after it.
class StreamSource : public ByteSource {
public:
    StreamSource(platform::File& file, std::uint64_t length) : file_(file), left_(length) {}
    std::size_t read(std::uint8_t* data, std::size_t n) override {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, left_));
        const std::size_t got = take ? file_.read(data, take) : 0;
        left_ -= got;
        return got;
    }

private:
    platform::File& file_;
    std::uint64_t left_;
};

}  // namespace

struct Extractor::Impl {
    bool verbose = false;
    std::unique_ptr<std::uint8_t[]> block;  // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<std::uint8_t[]> work;   // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<BlockDecoder> decoder;

    // Per extract_archive call.
    std::string archive_path;
    std::string destination;
    bool solid_started = false;
    bool solid_broken = false;
    bool failed = false;

    void report(const EntryHeader& h, const std::string& problem) {
        std::fprintf(platform::console_out(), "Error: damaged entry %s in archive %s: %s\n", stored_path(h).c_str(),
                     archive_path.c_str(), problem.c_str());
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
        if (escaped) {
            std::fprintf(platform::console_out(),
                         "WARNING: entry %s leads outside the destination; it is restored under it\n",
                         stored_path(h).c_str());
        }
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
            std::fprintf(platform::console_out(), "Error: path too long: %s\n", path.c_str());
            failed = true;
            return std::string();
        }
        // Every directory level from the destination down.
        for (std::size_t i = 1; i < path.size(); ++i) {
            if (platform::is_separator(path[i]) && path[i - 1] != ':') platform::make_directory(path.substr(0, i));
        }
        return path;
    }

    // Restores one entry whose header has been checked; with output off the
    // entry is only decoded (solid archives). False when the stream is
    // damaged; what was written of such an entry is removed again, so that no
    // file with wrong content is left behind.
    bool extract_entry(platform::File& archive, std::uint64_t offset, const EntryHeader& h, bool output_enabled) {
        std::FILE* out = platform::console_out();
        platform::File output;
        std::string output_path;
        if (output_enabled) {
            output_path = prepare_output(h);
            if (output_path.empty()) {
                output_enabled = false;
            } else if (!output.create_replacing_link(output_path)) {
                std::fprintf(out, "Error: cannot open Output file %s\n", output_path.c_str());
                failed = true;
                output_enabled = false;
            } else if (verbose) {
                std::fprintf(out, " %s \n", output_path.c_str());
            }
        }

        if (!prepare_buffers()) {
            std::fprintf(out, "No memory \n");
            throw ExitRequest{1};
        }
        if (!h.solid || !solid_started) {
            if (!decoder->reset_all(h.ring_size)) {
                std::fprintf(out, "No memory \n");
                throw ExitRequest{1};
            }
            solid_started = h.solid != 0;
        } else if (decoder->ring_size() != h.ring_size) {
            report(h, "its ring size differs from the earlier entries of the solid archive");
            return false;
        }

        const std::uint64_t stream_length = h.entry_size - h.header_size();
        archive.seek(offset + h.header_size());
        StreamSource source(archive, stream_length);
        decoder->begin_stream(&source, stream_settings(h.settings), stream_length);

        const FileSettings& s = h.settings;
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
            if (s.media_mode == 0 && text_flag) undo_text_transform(block, n, work.get());
            if (s.media_mode == 1) undo_delta_filter(block, n, s.channels, s.sample_bytes);
            if (s.media_mode == 0 && !text_flag && s.lz_mode != 0) branch_transform(block, n, BranchDirection::Inverse);
            if (output_enabled && write_ok) {
                for (std::uint32_t done = 0; done < n && write_ok;) {
                    const std::uint32_t piece = std::min<std::uint32_t>(static_cast<std::uint32_t>(WRITE_PIECE), n - done);
                    write_ok = output.write(block + done, piece);
                    done += piece;
                }
                if (!write_ok) {
                    std::fprintf(out, "Error: cannot write Output file %s\n", output_path.c_str());
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

Extractor::Extractor(bool verbose) : impl_(std::make_unique<Impl>()) { impl_->verbose = verbose; }

Extractor::~Extractor() = default;

ExtractResult Extractor::extract_archive(const std::string& archive_path, const std::string& destination_directory,
                                         const std::string& pattern) {
    Impl& m = *impl_;
    m.archive_path = archive_path;
    m.destination = destination_directory;
    m.solid_started = false;
    m.solid_broken = false;
    m.failed = false;
    ExtractResult result;

    platform::File archive;
    if (!archive.open_read(archive_path)) {
        std::fprintf(platform::console_out(), "Error: cannot open Archive file %s\n", archive_path.c_str());
        throw ExitRequest{1};
    }
    const std::uint64_t archive_size = platform::file_size(archive_path);
    int first_solid = -1;
    for (std::uint64_t offset = 0; offset < archive_size;) {
        EntryHeader h;
        std::string problem;
        const HeaderCheck check = read_entry_header(archive, offset, archive_size, h, problem);
        if (check == HeaderCheck::BadSize) {
            std::fprintf(platform::console_out(), "Error: damaged archive %s at offset %" PRIu64 ": %s\n",
                         archive_path.c_str(), offset, problem.c_str());
            m.failed = true;
            break;
        }
        const bool matched = wildcard_match(pattern.c_str(), lower_base_name(stored_path(h)).c_str());
        if (first_solid < 0) first_solid = h.solid != 0;
        if (check == HeaderCheck::BadEntry) {
            m.report(h, problem);
            if (h.solid) m.solid_broken = true;
        } else if ((h.solid != 0) != (first_solid == 1)) {
            m.report(h, "its solid flag differs from the archive's first entry");
        } else if (!h.solid) {
            if (matched) {
                ++result.selected;
                m.extract_entry(archive, offset, h, true);
            }
        } else if (m.solid_broken) {
            if (matched) {
                ++result.selected;
                m.report(h, "an earlier entry of the solid archive is damaged");
            }
        } else {
            if (matched) ++result.selected;
            if (!m.extract_entry(archive, offset, h, matched)) m.solid_broken = true;
        }
        offset += h.entry_size;
    }
    result.failed = m.failed;
    return result;
}

ListResult list_archive(const std::string& archive_path, const std::string& pattern) {
    ListResult result;
    std::FILE* out = platform::console_out();
    platform::File archive;
    if (!archive.open_read(archive_path)) {
        std::fprintf(out, "Error: cannot open Archive file %s\n", archive_path.c_str());
        throw ExitRequest{1};
    }
    const std::uint64_t archive_size = platform::file_size(archive_path);
    for (std::uint64_t offset = 0; offset < archive_size;) {
        EntryHeader h;
        std::string problem;
        const HeaderCheck check = read_entry_header(archive, offset, archive_size, h, problem);
        if (check == HeaderCheck::BadSize) {
            std::fprintf(out, "Error: damaged archive %s at offset %" PRIu64 ": %s\n", archive_path.c_str(), offset,
                         problem.c_str());
            result.failed = true;
            break;
        }
        if (check == HeaderCheck::BadEntry) {
            std::fprintf(out, "Error: damaged entry %s in archive %s: %s\n", stored_path(h).c_str(),
                         archive_path.c_str(), problem.c_str());
            result.failed = true;
        } else {
            const std::string path = stored_path(h);
            if (wildcard_match(pattern.c_str(), base_name_of(path).c_str())) {
                ++result.listed;
                std::fprintf(out, "%s \n", path.c_str());
            }
        }
        offset += h.entry_size;
    }
    return result;
}

}  // namespace qev
