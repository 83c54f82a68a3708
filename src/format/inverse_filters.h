// Inverses of the block filters, applied after a block is decoded.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qev {

// Expands fragment codes back into letters. work must hold len + 3 bytes.
void undo_text_transform(std::uint8_t* block, std::uint32_t len, std::uint8_t* work);

// Adds every sample back to the previous sample of its channel. channels must
// be 1..32; the buffer must have 3 writable bytes after len.
void undo_delta_filter(std::uint8_t* block, std::uint32_t len, std::uint32_t channels, std::uint32_t sample_bytes);

}  // namespace qev
