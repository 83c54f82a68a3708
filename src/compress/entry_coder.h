// Coding one entry's bytes: the input read block by block, filtered, and
// coded as one stream into a sink. A coder owns its encoder (ring, match
// table, models) and its block buffers; several coders can run at once on
// different threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "format/archive_format.h"
#include "format/filters.h"
#include "format/integrity_record.h"
#include "platform/platform_file.h"
#include "platform/spare_cores.h"

namespace qev {

// Where an entry's bytes come from: a regular file, or the target of a
// link held in memory (a folder has none).
class EntryInput {
public:
    // Opens the input and fills in the record's type, mode and time.
    bool open(const std::string& path, EntryType type, IntegrityRecord& record);
    // The open file's descriptor; -1 where the content is not read from a file.
    int descriptor() const { return from_file_ ? file_.descriptor() : -1; }
    // Takes bytes made in memory (a pack's stream) as the input.
    void use_bytes(std::string bytes);
    std::uint64_t size(const std::string& path) const;
    std::size_t read(std::uint8_t* data, std::size_t n);
    void rewind();
    // True when the file's size, modification time or change time are not
    // what they were when it was opened: it was written while it was read.
    bool changed_since_open() const;

private:
    bool from_file_ = true;
    platform::File file_;
    platform::File::Stamp opened_;
    std::string bytes_;
    std::size_t pos_ = 0;
};

using platform::SpareCores;

class EntryCoder {
public:
    // spare, where given, lends the cores for pipelines (the strong encoder
    // takes none: its parse reads the models).
    EntryCoder(const SearchSettings& search, bool solid, SpareCores* spare = nullptr);
    ~EntryCoder();

    // The block buffers and the encoder; false when the memory cannot be
    // had. A solid coder starts its ring and models here, once.
    bool prepare();

    struct Outcome {
        bool write_failed = false;
        bool interrupted = false;
        bool shrank = false;  // fewer bytes than unpacked_size: zeros stand for the rest
        bool grew = false;    // more bytes than unpacked_size: only those are stored
        bool changed = false; // written to while it was read: stored as read
        std::uint64_t content_checksum = 0;
    };

    // Codes unpacked_size bytes of input under settings as one stream into
    // sink; with shrank set the input has already come up short and zeros
    // stand for all of it. entropy holds the score the previous file left (blocks under
    // 512 bytes keep it) and is left with this file's. should_stop is asked
    // after every block; bytes_done, where given, grows by each block.
    Outcome code(EntryInput& input, std::uint64_t unpacked_size, bool shrank, const FileSettings& settings, ByteSink& sink,
                 EntropyMeter& entropy, const std::function<bool()>& should_stop,
                 std::atomic<std::uint64_t>* bytes_done);

    // Bytes one coder needs at most besides its encoder's ring and table;
    // and what it needs more while it codes an entry as a pipeline.
    static std::uint64_t buffer_bytes();
    static std::uint64_t pipeline_bytes();

    // Entries of at least this many bytes are coded as a pipeline when a
    // core can be borrowed.
    static constexpr std::uint64_t PIPELINE_MIN_BYTES = 1u << 20;

private:
    struct Pipeline;
    struct Block {
        std::uint32_t n = 0;
        bool text_flag = false;
        bool raw_flag = false;
    };
    // Reads, checks and filters the next block of at most left bytes into
    // block_, and measures its entropy.
    Block read_block(EntryInput& input, std::uint64_t left, const FileSettings& settings, EntropyMeter& entropy,
                     Outcome& outcome);
    // The blocks coded one after another on this thread, the rest of the
    // entry as a pipeline once a core can be borrowed; false when the entry
    // ended early (outcome says why).
    bool code_in_turn(EntryInput& input, std::uint64_t unpacked_size, std::uint64_t done,
                      const FileSettings& settings, EntropyMeter& entropy, const std::function<bool()>& should_stop,
                      std::atomic<std::uint64_t>* bytes_done, Outcome& outcome, bool may_borrow);
    // The blocks from done on with the parse and the coding on two more
    // threads: block k + 1 is read and filtered while block k is parsed, and
    // the coder follows the parse within the block.
    bool code_pipelined(EntryInput& input, std::uint64_t unpacked_size, std::uint64_t done,
                        const FileSettings& settings, EntropyMeter& entropy, const std::function<bool()>& should_stop,
                        std::atomic<std::uint64_t>* bytes_done, Outcome& outcome);
    // Takes a spare core and the pipeline's buffers; false when either
    // cannot be had.
    bool borrow_core();

    SearchSettings search_;
    bool solid_;
    SpareCores* spare_;
    std::unique_ptr<Pipeline> pipeline_;
    std::unique_ptr<std::uint8_t[]> block_;  // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<std::uint8_t[]> work_;   // BLOCK_SIZE + BLOCK_SLACK
    std::unique_ptr<BlockEncoder> encoder_;
    ContentChecksum checksum_;
};

}  // namespace qev
