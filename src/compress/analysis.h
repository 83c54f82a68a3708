// Per-file data analysis: recognises image and audio headers and other known
// file types by their leading bytes, estimates how well the sample would
// compress, tries the sample delta filter, and chooses the settings with
// which the file is coded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "format/archive_format.h"
#include "engine/engine.h"

namespace qev {

// Bytes the analysis may read past the sample (signature fields of short
// files); it clears them itself so that they read as zeros.
constexpr std::size_t SAMPLE_SLACK = 64;

class Analyser {
public:
    Analyser();

    // Chooses the settings for a file whose first n bytes (n <= BLOCK_SIZE)
    // are in sample. sample must have SAMPLE_SLACK bytes after n, which are
    // cleared; scratch must hold n + BLOCK_SLACK bytes and is overwritten.
    // channels, sample_bytes and image_width carry over from file to file
    // unless a rule sets them, as stored in the previous result.
    FileSettings analyse(std::uint8_t* sample, std::uint32_t n, std::uint8_t* scratch);

    // Values the last analysis left (what the next one starts from).
    const FileSettings& carried() const { return carried_; }

private:
    FileSettings carried_;
    std::unique_ptr<SizeEstimator> estimator_;
};

// Reads an image width written as text after a three-byte signature; returns
// false (width unchanged) when no decimal integer follows.
bool read_width_text(const std::uint8_t* sample, std::uint32_t n, std::uint32_t& width);

}  // namespace qev
