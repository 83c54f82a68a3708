#include "format/filter_chain.h"

#include "format/filters.h"
#include "format/inverse_filters.h"

namespace qev {

bool apply_filters(std::uint8_t* block, std::uint32_t n, const FileSettings& s, std::uint8_t* work) {
    if (s.media_mode == 1) {
        delta_filter(block, n, s.channels, s.sample_bytes);
        return false;
    }
    const bool text_flag = text_transform(block, n, work);
    if (!text_flag && s.lz_mode != 0) branch_transform(block, n, BranchDirection::Forward);
    return text_flag;
}

void undo_filters(std::uint8_t* block, std::uint32_t n, const FileSettings& s, bool text_flag, std::uint8_t* work) {
    if (s.media_mode == 1) {
        undo_delta_filter(block, n, s.channels, s.sample_bytes);
    } else if (text_flag) {
        undo_text_transform(block, n, work);
    } else if (s.lz_mode != 0) {
        branch_transform(block, n, BranchDirection::Inverse);
    }
}

}  // namespace qev
