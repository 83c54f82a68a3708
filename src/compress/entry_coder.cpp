#include "compress/entry_coder.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "format/filter_chain.h"
#include "platform/interruption.h"

namespace qev {

namespace {

std::unique_ptr<std::uint8_t[]> zeroed_buffer(std::size_t n) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[n]());
}

}  // namespace

bool EntryInput::open(const std::string& path, EntryType type, IntegrityRecord& record) {
    record.type = type;
    from_file_ = type == EntryType::File;
    if (from_file_) {
        return file_.open_read(path) && file_.stamp(opened_) &&
               file_.times_and_mode(record.mode, record.mtime_seconds, record.mtime_nanoseconds);
    }
    if (type == EntryType::Link && !platform::read_link(path, bytes_)) return false;
    return platform::times_and_mode_of(path, false, record.mode, record.mtime_seconds, record.mtime_nanoseconds);
}

void EntryInput::use_bytes(std::string bytes) {
    from_file_ = false;
    file_.close();
    bytes_ = std::move(bytes);
    pos_ = 0;
}

std::uint64_t EntryInput::size(const std::string& path) const {
    return from_file_ ? platform::file_size(path) : bytes_.size();
}

std::size_t EntryInput::read(std::uint8_t* data, std::size_t n) {
    if (from_file_) return file_.read(data, n);
    const std::size_t take = std::min(n, bytes_.size() - pos_);
    std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + take),
              data);
    pos_ += take;
    return take;
}

void EntryInput::rewind() {
    if (from_file_) file_.seek(0);
    pos_ = 0;
}

bool EntryInput::changed_since_open() const {
    platform::File::Stamp now;
    return from_file_ && (!file_.stamp(now) || now != opened_);
}

// The pipeline's blocks: a few in flight, each with its bytes and tokens.
// The reader fills a free block, the parse writes its tokens and tells how
// many are complete, the coder codes them as they come and frees the block.
struct EntryCoder::Pipeline {
    static constexpr std::uint32_t DEPTH = 3;

    struct Slot {
        std::unique_ptr<std::uint8_t[]> bytes;  // BLOCK_SIZE + BLOCK_SLACK
        std::unique_ptr<Token[]> tokens;        // max_tokens(BLOCK_SIZE)
        Block block;
        bool filled = false;
        bool parsed = false;
        std::uint32_t ready = 0;  // tokens complete
    };

    // Tells the coder of the tokens of one slot as the parse completes them.
    struct Progress : TokenProgress {
        Pipeline& pipeline;
        Slot& slot;
        Progress(Pipeline& p, Slot& s) : pipeline(p), slot(s) {}
        void tokens_ready(std::uint32_t count) override {
            {
                std::lock_guard<std::mutex> lock(pipeline.mutex);
                slot.ready = count;
            }
            pipeline.changed.notify_all();
        }
    };

    Slot slots[DEPTH];
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t blocks = 0;  // blocks read so far
    bool reading_done = false;
    bool aborting = false;     // an early end: parse and coder stop
    bool write_failed = false;

    bool allocate() {
        for (Slot& slot : slots) {
            slot.bytes.reset(new (std::nothrow) std::uint8_t[BLOCK_SIZE + BLOCK_SLACK]);
            slot.tokens.reset(new (std::nothrow) Token[max_tokens(BLOCK_SIZE)]);
            if (!slot.bytes || !slot.tokens) return false;
        }
        return true;
    }
    void reset() {
        for (Slot& slot : slots) {
            slot.filled = false;
            slot.parsed = false;
            slot.ready = 0;
        }
        blocks = 0;
        reading_done = false;
        aborting = false;
        write_failed = false;
    }
    // Waits until block k has been read (true), or no block k will come.
    bool wait_filled(std::unique_lock<std::mutex>& lock, std::uint64_t k) {
        Slot& slot = slots[k % DEPTH];
        changed.wait(lock, [&] { return aborting || (k < blocks && slot.filled) || (reading_done && k >= blocks); });
        return !aborting && k < blocks;
    }
};

EntryCoder::EntryCoder(const SearchSettings& search, bool solid, SpareCores* spare)
    : search_(search), solid_(solid), spare_(spare) {}

EntryCoder::~EntryCoder() = default;

std::uint64_t EntryCoder::buffer_bytes() { return 2ull * (BLOCK_SIZE + BLOCK_SLACK) + sizeof(CoderState); }

std::uint64_t EntryCoder::pipeline_bytes() {
    return Pipeline::DEPTH * (BLOCK_SIZE + BLOCK_SLACK + std::uint64_t{max_tokens(BLOCK_SIZE)} * sizeof(Token));
}

bool EntryCoder::prepare() {
    if (encoder_) return true;
    block_ = zeroed_buffer(BLOCK_SIZE + BLOCK_SLACK);
    work_ = zeroed_buffer(BLOCK_SIZE + BLOCK_SLACK);
    encoder_.reset(new (std::nothrow) BlockEncoder(search_));
    if (!block_ || !work_ || !encoder_ || (solid_ && !encoder_->reset_all())) {
        encoder_.reset();
        return false;
    }
    return true;
}

EntryCoder::Block EntryCoder::read_block(EntryInput& input, std::uint64_t left, const FileSettings& settings,
                                         EntropyMeter& entropy, Outcome& outcome) {
    Block b;
    b.n = static_cast<std::uint32_t>(std::min<std::uint64_t>(BLOCK_SIZE, left));
    std::uint8_t* block = block_.get();
    // A file that yields fewer bytes than its size is stored with zeros
    // for the missing rest.
    const std::size_t read = outcome.shrank ? 0 : input.read(block, b.n);
    if (read < b.n) {
        std::fill(block + read, block + b.n, 0);
        outcome.shrank = true;
    }
    checksum_.update(block, b.n);
    b.text_flag = apply_filters(block, b.n, settings, work_.get());
    entropy.measure(block, b.n);
    b.raw_flag = settings.media_mode != 1 && entropy.score() > RAW_ENTROPY_THRESHOLD;
    return b;
}

bool EntryCoder::code_in_turn(EntryInput& input, std::uint64_t unpacked_size, std::uint64_t done,
                              const FileSettings& settings, EntropyMeter& entropy,
                              const std::function<bool()>& should_stop, std::atomic<std::uint64_t>* bytes_done,
                              Outcome& outcome, bool may_borrow) {
    while (done < unpacked_size) {
        // A core that comes free (another worker has no more files) takes
        // the rest of a large entry into a pipeline, at a block boundary.
        if (may_borrow && unpacked_size - done >= PIPELINE_MIN_BYTES && borrow_core()) {
            const bool whole =
                code_pipelined(input, unpacked_size, done, settings, entropy, should_stop, bytes_done, outcome);
            spare_->give();
            return whole;
        }
        const Block b = read_block(input, unpacked_size - done, settings, entropy, outcome);
        encoder_->encode_block(block_.get(), b.n, b.text_flag, b.raw_flag);
        if (bytes_done != nullptr) bytes_done->fetch_add(b.n, std::memory_order_relaxed);
        if (encoder_->coder().write_failed()) {
            outcome.write_failed = true;
            return false;
        }
        if (should_stop && should_stop()) {
            outcome.interrupted = true;
            return false;
        }
        done += b.n;
    }
    return true;
}

bool EntryCoder::borrow_core() {
    if (spare_ == nullptr || search_.strong || !spare_->take()) return false;
    if (!pipeline_) {
        pipeline_.reset(new (std::nothrow) Pipeline);
        if (!pipeline_ || !pipeline_->allocate()) pipeline_.reset();
    }
    if (!pipeline_) spare_->give();
    return pipeline_ != nullptr;
}

bool EntryCoder::code_pipelined(EntryInput& input, std::uint64_t unpacked_size, std::uint64_t done,
                                const FileSettings& settings, EntropyMeter& entropy,
                                const std::function<bool()>& should_stop, std::atomic<std::uint64_t>* bytes_done,
                                Outcome& outcome) {
    Pipeline& pipe = *pipeline_;
    pipe.reset();
    BlockEncoder& encoder = *encoder_;
    const bool lz = encoder.lz_mode();

    // Without the threads (the system may refuse them) the entry is coded
    // on this thread, from the start.
    auto run_parse = [&] {
        for (std::uint64_t k = 0;; ++k) {
            Pipeline::Slot& slot = pipe.slots[k % Pipeline::DEPTH];
            {
                std::unique_lock<std::mutex> lock(pipe.mutex);
                if (!pipe.wait_filled(lock, k)) return;
            }
            std::uint32_t count = 0;
            if (lz) {
                Pipeline::Progress progress(pipe, slot);
                count = encoder.parse_block(slot.bytes.get(), slot.block.n, slot.tokens.get(), &progress);
            }
            {
                std::lock_guard<std::mutex> lock(pipe.mutex);
                slot.ready = count;
                slot.parsed = true;
            }
            pipe.changed.notify_all();
        }
    };
    // The coder waits for the parse at first: meanwhile it has the match
    // table's pages backed, work the parse would otherwise do as it goes.
    if (lz) encoder.expect_full_table();
    auto run_coder = [&] {
        if (lz) encoder.populate_table();
        for (std::uint64_t k = 0;; ++k) {
            Pipeline::Slot& slot = pipe.slots[k % Pipeline::DEPTH];
            std::unique_lock<std::mutex> lock(pipe.mutex);
            if (!pipe.wait_filled(lock, k)) return;
            lock.unlock();
            encoder.begin_code(slot.bytes.get(), slot.block.n, slot.block.text_flag, slot.block.raw_flag);
            for (std::uint32_t coded = 0;;) {
                lock.lock();
                pipe.changed.wait(lock, [&] { return pipe.aborting || slot.parsed || slot.ready > coded; });
                if (pipe.aborting) return;
                const std::uint32_t ready = slot.ready;
                const bool last = slot.parsed;
                lock.unlock();
                encoder.code_tokens(slot.tokens.get() + coded, ready - coded);
                coded = ready;
                if (last) break;
            }
            if (bytes_done != nullptr) bytes_done->fetch_add(slot.block.n, std::memory_order_relaxed);
            lock.lock();
            slot.filled = false;
            slot.parsed = false;
            slot.ready = 0;
            if (encoder.coder().write_failed()) {
                pipe.write_failed = true;
                pipe.aborting = true;
            }
            lock.unlock();
            pipe.changed.notify_all();
        }
    };
    std::thread parser;
    std::thread coder;
    try {
        parser = platform::start_thread(run_parse);
        coder = platform::start_thread(run_coder);
    } catch (const std::system_error&) {
        if (parser.joinable()) {
            {
                std::lock_guard<std::mutex> lock(pipe.mutex);
                pipe.aborting = true;
            }
            pipe.changed.notify_all();
            parser.join();
        }
        return code_in_turn(input, unpacked_size, done, settings, entropy, should_stop, bytes_done, outcome, false);
    }

    // This thread reads: block k + DEPTH waits for block k's slot. Each
    // block is read and filtered in block_, as without a pipeline, and
    // copied to its slot with the bytes after it, which the hash of the
    // last positions reads.
    for (std::uint64_t k = 0; done < unpacked_size; ++k) {
        Pipeline::Slot& slot = pipe.slots[k % Pipeline::DEPTH];
        {
            std::unique_lock<std::mutex> lock(pipe.mutex);
            pipe.changed.wait(lock, [&] { return pipe.aborting || !slot.filled; });
            if (pipe.aborting) break;
        }
        const Block b = read_block(input, unpacked_size - done, settings, entropy, outcome);
        std::memcpy(slot.bytes.get(), block_.get(), b.n + BLOCK_SLACK);
        {
            std::lock_guard<std::mutex> lock(pipe.mutex);
            slot.block = b;
            slot.filled = true;
            ++pipe.blocks;
        }
        pipe.changed.notify_all();
        done += b.n;
        if (should_stop && should_stop()) {
            outcome.interrupted = true;
            std::lock_guard<std::mutex> lock(pipe.mutex);
            pipe.aborting = true;
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(pipe.mutex);
        pipe.reading_done = true;
    }
    pipe.changed.notify_all();
    parser.join();
    coder.join();
    if (pipe.write_failed) outcome.write_failed = true;
    return !outcome.interrupted && !outcome.write_failed;
}

EntryCoder::Outcome EntryCoder::code(EntryInput& input, std::uint64_t unpacked_size, bool shrank,
                                     const FileSettings& settings,
                                     ByteSink& sink, EntropyMeter& entropy, const std::function<bool()>& should_stop,
                                     std::atomic<std::uint64_t>* bytes_done) {
    Outcome outcome;
    outcome.shrank = shrank;
    // A fresh ring, table and models for every file of a normal run.
    if (!solid_ && !encoder_->reset_all()) {
        outcome.write_failed = true;
        return outcome;
    }
    encoder_->begin_stream(&sink, stream_settings(settings));
    checksum_.reset();
    const bool whole = code_in_turn(input, unpacked_size, 0, settings, entropy, should_stop, bytes_done, outcome, true);
    if (!whole) return outcome;
    encoder_->finish_stream();
    outcome.write_failed = encoder_->coder().write_failed();
    outcome.content_checksum = checksum_.value();
    // A byte past the stored size means the file grew after its size was
    // taken: the entry holds only what that size covers.
    std::uint8_t beyond = 0;
    outcome.grew = !outcome.shrank && input.read(&beyond, 1) == 1;
    // Compared once every byte has been read, as the last read is done.
    outcome.changed = input.changed_since_open();
    return outcome;
}

}  // namespace qev
