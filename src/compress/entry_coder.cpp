#include "compress/entry_coder.h"

#include <algorithm>
#include <new>

#include "format/filter_chain.h"

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
        return file_.open_read(path) && file_.times_and_mode(record.mode, record.mtime_seconds, record.mtime_nanoseconds);
    }
    if (type == EntryType::Link && !platform::read_link(path, bytes_)) return false;
    return platform::times_and_mode_of(path, false, record.mode, record.mtime_seconds, record.mtime_nanoseconds);
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

EntryCoder::EntryCoder(const SearchSettings& search, bool solid) : search_(search), solid_(solid) {}

EntryCoder::~EntryCoder() = default;

std::uint64_t EntryCoder::buffer_bytes() { return 2ull * (BLOCK_SIZE + BLOCK_SLACK) + sizeof(CoderState); }

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
    std::uint8_t* block = block_.get();
    for (std::uint64_t done = 0; done < unpacked_size;) {
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(BLOCK_SIZE, unpacked_size - done));
        // A file that yields fewer bytes than its size is stored with zeros
        // for the missing rest.
        const std::size_t read = outcome.shrank ? 0 : input.read(block, n);
        if (read < n) {
            std::fill(block + read, block + n, 0);
            outcome.shrank = true;
        }
        checksum_.update(block, n);
        const bool text_flag = apply_filters(block, n, settings, work_.get());
        entropy.measure(block, n);
        const bool raw_flag = settings.media_mode != 1 && entropy.score() > RAW_ENTROPY_THRESHOLD;
        encoder_->encode_block(block, n, text_flag, raw_flag);
        if (bytes_done != nullptr) bytes_done->fetch_add(n, std::memory_order_relaxed);
        if (encoder_->coder().write_failed()) {
            outcome.write_failed = true;
            return outcome;
        }
        if (should_stop && should_stop()) {
            outcome.interrupted = true;
            return outcome;
        }
        done += n;
    }
    encoder_->finish_stream();
    outcome.write_failed = encoder_->coder().write_failed();
    outcome.content_checksum = checksum_.value();
    // A byte past the stored size means the file grew after its size was
    // taken: the entry holds only what that size covers.
    std::uint8_t beyond = 0;
    outcome.grew = !outcome.shrank && input.read(&beyond, 1) == 1;
    return outcome;
}

}  // namespace qev
