// Buffer handling of the range coder; the bit steps are inline in the header.
#include <cstring>

#include "engine/engine.h"

namespace qev {

void RangeEncoder::flush(std::size_t n) {
    if (n == 0) return;
    if (sink_ == nullptr || !sink_->write(buffer_, n)) write_failed_ = true;
    bytes_written_ += n;
}

void RangeEncoder::finish() {
    for (int i = 0; i < 5; ++i) bits_.shift_low();
    flush(bits_.pos);
    bits_.pos = 0;
}

void RangeDecoder::start(ByteSource* source) {
    source_ = source;
    const std::size_t got = source_ != nullptr ? source_->read(buffer_, BUFFER_SIZE) : 0;
    // Bytes past the end of the input read as zeros; a stream our encoder
    // wrote never needs them.
    if (got < BUFFER_SIZE) std::memset(buffer_ + got, 0, BUFFER_SIZE - got);
    bits_ = Bits{0xFFFFFFFFu, 0, 0, 0, buffer_, this};
    for (int i = 0; i < 5; ++i) bits_.code = (bits_.code << 8) | bits_.next_byte();
    bits_.range = 0xFFFFFFFFu;
}

void RangeDecoder::refill(std::size_t used) {
    std::memmove(buffer_, buffer_ + used, BUFFER_SIZE - used);
    std::uint8_t* tail = buffer_ + (BUFFER_SIZE - used);
    const std::size_t got = source_ != nullptr ? source_->read(tail, used) : 0;
    if (got < used) std::memset(tail + got, 0, used - got);
}

}  // namespace qev
