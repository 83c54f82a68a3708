// The filters a block passes through before coding, and their inverses after
// decoding, side by side: the two directions must stay mirrors.
//
// Forward: a media file's block goes through the sample delta filter; any
// other block through the text transform, and where that does not take it
// and the file is coded with LZ, through the branch transform.
#pragma once

#include <cstdint>

#include "format/archive_format.h"

namespace qev {

// Filters the block in place; returns the block's text flag (true when the
// text transform replaced it). work must hold BLOCK_SIZE + BLOCK_SLACK bytes;
// block must have 3 writable bytes after n.
bool apply_filters(std::uint8_t* block, std::uint32_t n, const FileSettings& settings, std::uint8_t* work);

// Undoes apply_filters on a decoded block, given its text flag. Same buffer
// needs as apply_filters.
void undo_filters(std::uint8_t* block, std::uint32_t n, const FileSettings& settings, bool text_flag,
                  std::uint8_t* work);

}  // namespace qev
