// The compression driver: stores one file as one archive entry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "compress/analysis.h"
#include "compress/archive_format.h"
#include "compress/filters.h"
#include "engine/engine.h"
#include "platform/platform_file.h"

namespace qev {

struct CompressOptions {
    SearchSettings search;
    bool solid = false;
    bool verbose = false;
    bool recurse = false;
};

class Compressor {
public:
    Compressor(const CompressOptions& options, std::string archive_path);
    ~Compressor();

    enum class Result {
        Stored,      // the entry is complete
        Unreadable,  // the input could not be opened; nothing was written
    };

    // Stores one file. Messages go to the console. A failure that ends the
    // run (the archive cannot be opened or written, no memory, appending to
    // a solid archive) prints its message and throws ExitRequest; entries
    // completed before stay valid.
    Result compress_file(const std::string& input_path, std::string name, std::string dir);

    // True when something went wrong that did not end the run (an input that
    // could not be opened, a file that shrank while it was read).
    bool had_failure() const { return failed_; }

private:
    void open_archive();
    void prepare_storage();
    [[noreturn]] void fail_archive_write(std::uint64_t entry_start);
    [[noreturn]] void fail_no_memory();

    CompressOptions options_;
    std::string archive_path_;
    platform::File archive_;  // open for writing from the first entry on
    bool archive_opened_ = false;
    bool buffers_ready_ = false;
    bool failed_ = false;

    std::unique_ptr<std::uint8_t[]> block_;     // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<std::uint8_t[]> sample_;    // BLOCK_SIZE + SAMPLE_SLACK
    std::unique_ptr<std::uint8_t[]> work_;      // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<BlockEncoder> encoder_;
    Analyser analyser_;
    EntropyMeter entropy_;
};

}  // namespace qev
