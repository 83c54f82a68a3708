// Reads what a file carries beside its bytes from the disk: owner numbers
// and names, extended attributes, ACLs and, for a file with holes, where
// its data lies. One reader per thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "format/metadata.h"

struct archive;

namespace qev {

class DiskMetadata {
public:
    DiskMetadata();
    ~DiskMetadata();
    DiskMetadata(const DiskMetadata&) = delete;
    DiskMetadata& operator=(const DiskMetadata&) = delete;

    using Runs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

    // Of the open file fd, or (fd < 0) of path itself, never following a
    // link. Where runs is given and the file has holes, it gets the file's
    // data runs (offset, length); otherwise it is left empty. False when
    // nothing could be read; warning then, or where only some attributes
    // could not be read, says what.
    bool read(int fd, const std::string& path, Metadata& metadata, Runs* runs, std::string& warning);

private:
    ::archive* disk_ = nullptr;
};

}  // namespace qev
