// Buffer handling of the range coder; the bit steps are inline in the header.
#include <cstring>

#include "engine/engine.h"

namespace qev {

void RangeEncoder::flush() {
    if (pos_ == 0) return;
    if (sink_ == nullptr || !sink_->write(buffer_, pos_)) write_failed_ = true;
    bytes_written_ += pos_;
    pos_ = 0;
}

void RangeEncoder::finish() {
    for (int i = 0; i < 5; ++i) shift_low();
    flush();
}

void RangeDecoder::start(ByteSource* source) {
    source_ = source;
    const std::size_t got = source_ != nullptr ? source_->read(buffer_, BUFFER_SIZE) : 0;
    // Bytes past the end of the input read as zeros; a stream our encoder
    // wrote never needs them.
    if (got < BUFFER_SIZE) std::memset(buffer_ + got, 0, BUFFER_SIZE - got);
    pos_ = 0;
    base_ = 0;
    code_ = 0;
    for (int i = 0; i < 5; ++i) code_ = (code_ << 8) | next_byte();
    range_ = 0xFFFFFFFFu;
}

void RangeDecoder::refill() {
    const std::size_t used = pos_;
    std::memmove(buffer_, buffer_ + used, BUFFER_SIZE - used);
    std::uint8_t* tail = buffer_ + (BUFFER_SIZE - used);
    const std::size_t got = source_ != nullptr ? source_->read(tail, used) : 0;
    if (got < used) std::memset(tail + got, 0, used - got);
    base_ += used;
    pos_ = 0;
}

}  // namespace qev
