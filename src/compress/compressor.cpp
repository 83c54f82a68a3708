// The compression driver: one file, one entry. It opens the input and the
// archive, lets the analysis choose the file's settings, writes the header
// with entry_size 0, codes the file block by block through its filters and
// finally patches the entry's size into the header.
#include "compress/compressor.h"

#include <algorithm>
#include <cinttypes>
#include <new>

namespace qev {

namespace {

class ArchiveSink : public ByteSink {
public:
    explicit ArchiveSink(platform::File& file) : file_(file) {}
    bool write(const std::uint8_t* data, std::size_t n) override { return file_.write(data, n); }

private:
    platform::File& file_;
};

std::unique_ptr<std::uint8_t[]> zeroed_buffer(std::size_t n) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[n]());
}

}  // namespace

Compressor::Compressor(const CompressOptions& options, std::string archive_path)
    : options_(options), archive_path_(std::move(archive_path)) {}

Compressor::~Compressor() = default;

void Compressor::fail_no_memory() {
    std::fprintf(platform::console_out(), "No memory \n");
    throw ExitRequest{1};
}

void Compressor::fail_archive_write(std::uint64_t entry_start) {
    // Cut the unfinished entry off so that every earlier one stays valid.
    archive_.truncate(entry_start);
    archive_.close();
    std::fprintf(platform::console_out(), "Error: cannot write to Archive file %s\n", archive_path_.c_str());
    throw ExitRequest{1};
}

// The archive is created, or an archive from an earlier run is checked: only
// a non-solid archive takes more entries, and never from a solid run.
void Compressor::open_archive() {
    std::FILE* out = platform::console_out();
    if (archive_opened_) return;
    if (archive_.open_write(archive_path_)) {
        archive_.close();
        platform::File existing;
        if (!existing.open_read(archive_path_)) {
            std::fprintf(out, "Error: cannot open Archive file %s\n", archive_path_.c_str());
            throw ExitRequest{1};
        }
        std::uint8_t first[9] = {};
        existing.read(first, sizeof first);  // an empty file reads as a non-solid one
        existing.close();
        if (first[8] != 0 || options_.solid) {
            std::fprintf(out, "Not implemented in Solid mode ! ");
            throw ExitRequest{1};
        }
        if (!archive_.open_write(archive_path_)) {
            std::fprintf(out, "Error: cannot open Archive file %s\n", archive_path_.c_str());
            throw ExitRequest{1};
        }
    } else if (!archive_.create(archive_path_)) {
        std::fprintf(out, "Error: cannot open Output file %s\n", archive_path_.c_str());
        throw ExitRequest{1};
    }
    archive_opened_ = true;
}

// Buffers once per run; a fresh ring, table and models for every file of a
// normal run, and once for a solid run.
void Compressor::prepare_storage() {
    if (!buffers_ready_) {
        block_ = zeroed_buffer(BLOCK_SIZE + BLOCK_SLACK);
        sample_ = zeroed_buffer(BLOCK_SIZE + SAMPLE_SLACK);
        work_ = zeroed_buffer(BLOCK_SIZE + BLOCK_SLACK);
        encoder_.reset(new (std::nothrow) BlockEncoder(options_.search));
        if (!block_ || !sample_ || !work_ || !encoder_) fail_no_memory();
        if (options_.solid && !encoder_->reset_all()) fail_no_memory();
        buffers_ready_ = true;
    }
    if (!options_.solid && !encoder_->reset_all()) fail_no_memory();
}

Compressor::Result Compressor::compress_file(const std::string& input_path, std::string name, std::string dir) {
    std::FILE* out = platform::console_out();
    platform::File input;
    if (!input.open_read(input_path)) {
        std::fprintf(out, "Error: cannot open Input file %s\n", input_path.c_str());
        failed_ = true;
        return Result::Unreadable;
    }
    open_archive();
    const std::uint64_t entry_start = platform::file_size(archive_path_);
    const std::uint64_t unpacked_size = platform::file_size(input_path);
    prepare_storage();
    if (options_.verbose) std::fprintf(out, "compress.. %s ", input_path.c_str());

    // Analysis of the first 4 MiB. A file that yields fewer bytes than its
    // size is stored with zeros for the missing rest.
    bool shrank = false;
    const std::uint32_t sample_len = static_cast<std::uint32_t>(std::min<std::uint64_t>(unpacked_size, BLOCK_SIZE));
    const std::size_t got = input.read(sample_.get(), sample_len);
    if (got < sample_len) {
        std::fill(sample_.get() + got, sample_.get() + sample_len, 0);
        shrank = true;
    }
    input.seek(0);
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
    const std::vector<std::uint8_t> header_bytes = serialize_header(header);
    if (!archive_.seek(entry_start) || !archive_.write(header_bytes.data(), header_bytes.size())) {
        fail_archive_write(entry_start);
    }

    ArchiveSink sink(archive_);
    encoder_->begin_stream(&sink, stream_settings(settings));
    std::uint8_t* block = block_.get();
    for (std::uint64_t done = 0; done < unpacked_size;) {
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(BLOCK_SIZE, unpacked_size - done));
        const std::size_t read = shrank ? 0 : input.read(block, n);
        if (read < n) {
            std::fill(block + read, block + n, 0);
            shrank = true;
        }
        bool text_flag = false;
        if (settings.media_mode != 1) {
            text_flag = text_transform(block, n, work_.get());
            if (!text_flag && settings.lz_mode != 0) branch_transform(block, n, BranchDirection::Forward);
        } else {
            delta_filter(block, n, settings.channels, settings.sample_bytes);
        }
        entropy_.measure(block, n);
        const bool raw_flag = settings.media_mode != 1 && entropy_.score() > RAW_ENTROPY_THRESHOLD;
        encoder_->encode_block(block, n, text_flag, raw_flag);
        if (encoder_->coder().write_failed()) fail_archive_write(entry_start);
        done += n;
    }
    encoder_->finish_stream();
    if (encoder_->coder().write_failed()) fail_archive_write(entry_start);
    const std::uint64_t bytes_out = header_bytes.size() + encoder_->coder().bytes_written();
    if (options_.verbose) {
        std::fprintf(out, " %" PRId64 " to %" PRId64 " \n", static_cast<std::int64_t>(unpacked_size),
                     static_cast<std::int64_t>(bytes_out));
    }

    std::uint8_t size_field[8];
    for (int i = 0; i < 8; ++i) size_field[i] = static_cast<std::uint8_t>(bytes_out >> (8 * i));
    if (!archive_.seek(entry_start) || !archive_.write(size_field, sizeof size_field)) fail_archive_write(entry_start);

    if (shrank) {
        std::fprintf(out, "WARNING: %s has fewer bytes than its size of %" PRIu64 "; the missing bytes are stored as zeros\n",
                     input_path.c_str(), unpacked_size);
        failed_ = true;
    }
    return Result::Stored;
}

}  // namespace qev
