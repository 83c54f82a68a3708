// The compression driver: stores one file as one archive entry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "compress/analysis.h"
#include "engine/engine.h"
#include "format/archive_format.h"
#include "format/archive_writer.h"
#include "format/filters.h"

namespace qev {

struct CompressOptions {
    SearchSettings search;
    bool solid = false;
    bool recurse = false;  // separator runs in stored names and dirs are cut
};

// What became of one file.
enum class StoreStatus {
    Stored,      // the entry is complete
    Shrank,      // stored, but the file had fewer bytes than its size: zeros stand for the rest
    Grew,        // stored up to its size, but the file had more bytes by the end
    Unreadable,  // the input could not be opened; nothing was written
    // The rest end the run; entries completed before stay valid.
    CannotCreateArchive,
    CannotReadArchive,
    SolidRefused,
    NoMemory,
    WriteFailed,  // the unfinished entry has been cut off again
};

// An entry for the file is in the archive.
inline bool entry_written(StoreStatus status) {
    return status == StoreStatus::Stored || status == StoreStatus::Shrank || status == StoreStatus::Grew;
}

inline bool ends_run(StoreStatus status) { return !entry_written(status) && status != StoreStatus::Unreadable; }

struct StoreResult {
    StoreStatus status = StoreStatus::Stored;
    std::uint64_t unpacked_size = 0;  // bytes of the file as its size said
    std::uint64_t entry_size = 0;     // bytes of the entry, header included
};

// Told when the coding of a file begins (after its input and the archive
// are open and the storage is ready), for progress lines.
class CompressObserver {
public:
    virtual ~CompressObserver() = default;
    virtual void coding_started(const std::string& input_path) = 0;
};

class Compressor {
public:
    Compressor(const CompressOptions& options, std::string archive_path);
    ~Compressor();

    void set_observer(CompressObserver* observer) { observer_ = observer; }

    // Stores one file under the given name and dir.
    StoreResult compress_file(const std::string& input_path, std::string name, std::string dir);

private:
    StoreStatus open_archive();
    bool prepare_storage();

    CompressOptions options_;
    std::string archive_path_;
    ArchiveWriter archive_;
    CompressObserver* observer_ = nullptr;
    bool archive_opened_ = false;
    bool buffers_ready_ = false;

    std::unique_ptr<std::uint8_t[]> block_;     // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<std::uint8_t[]> sample_;    // BLOCK_SIZE + SAMPLE_SLACK
    std::unique_ptr<std::uint8_t[]> work_;      // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<BlockEncoder> encoder_;
    Analyser analyser_;
    EntropyMeter entropy_;
};

}  // namespace qev
