// An arbitrary entry: the first bytes choose the settings a header would
// carry, the rest is the coded stream. Decoding with the inverse filters must
// stay inside its buffers and end, whatever the bytes.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "format/archive_format.h"
#include "format/filter_chain.h"

namespace {

class Source : public qev::ByteSource {
public:
    Source(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}
    std::size_t read(std::uint8_t* out, std::size_t n) override {
        const std::size_t take = std::min(n, left_);
        std::copy(data_, data_ + take, out);
        data_ += take;
        left_ -= take;
        return take;
    }

private:
    const std::uint8_t* data_;
    std::size_t left_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 12) return 0;
    qev::FileSettings s;
    s.media_mode = data[0] & 1;
    s.lz_mode = (data[0] >> 1) & 1;
    s.channels = data[1];
    s.sample_bytes = data[2];
    s.stride = data[3];
    s.second_distance = data[4];
    s.image_width = static_cast<std::uint32_t>(data[5] | data[6] << 8);
    if (data[7] & 1) s.image_width = 0xFFFFFFFFu;
    if (!qev::settings_usable(s)) return 0;
    // Up to two blocks, the first of them short, so block boundaries are met.
    const std::uint32_t first = 1 + (data[8] | data[9] << 8) % 5000;
    const std::uint32_t second = (data[10] | data[11] << 8) % 3000;
    const std::uint8_t* stream = data + 12;
    const std::size_t stream_size = size - 12;

    static std::unique_ptr<qev::BlockDecoder> decoder(new qev::BlockDecoder());
    static std::vector<std::uint8_t> block(qev::BLOCK_SIZE + qev::BLOCK_SLACK);
    static std::vector<std::uint8_t> work(qev::BLOCK_SIZE + qev::BLOCK_SLACK);
    if (!decoder->reset_all(qev::MIN_RING_SIZE)) return 0;
    Source source(stream, stream_size);
    decoder->begin_stream(&source, qev::stream_settings(s), stream_size);
    for (std::uint32_t len : {first, second}) {
        if (len == 0) break;
        bool text_flag = false;
        bool raw_flag = false;
        if (decoder->decode_block(block.data(), len, text_flag, raw_flag) != qev::DecodeStatus::Ok) break;
        qev::undo_filters(block.data(), len, s, text_flag, work.data());
    }
    return 0;
}
